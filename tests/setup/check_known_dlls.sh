#!/bin/sh
# Fails when the program imports or delay-loads a DLL that is no KnownDLL:
# Windows would look for such a DLL beside the program first.
#   check_known_dlls.sh OBJDUMP PROGRAM
set -eu
listing=$("$1" -p "$2")
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of
# Windows 10 22H2 and Windows 11, and ntdll.dll, which the kernel maps first.
known=" advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll difxapi.dll gdi32.dll gdiplus.dll
 imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll
 psapi.dll rpcrt4.dll sechost.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll user32.dll wldap32.dll
 wow64.dll wow64cpu.dll wow64win.dll ws2_32.dll ntdll.dll "
imports=$(echo "$listing" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
echo "$2 imports: $(echo $imports)"
status=0
[ -n "$imports" ] || { echo "  no import table read"; status=1; }
for dll in $imports; do
  case "$known" in *[[:space:]]"$dll"[[:space:]]*) ;; *) echo "  no KnownDLL: $dll"; status=1 ;; esac
done
# objdump names no delay-loaded DLL; its directory (entry d) must be empty.
if ! echo "$listing" | grep -q '^Entry d 0*[[:space:]]0*[[:space:]]Delay Import Directory'; then
  echo "  delay-loads DLLs"; status=1
fi
exit $status
