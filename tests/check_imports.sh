#!/bin/sh
# check_imports.sh ARCH FILE...   (ARCH: x64 or arm64)
# Fails when a built program or DLL is not for ARCH, imports anything but
# Windows system DLLs (a C or C++ runtime of the compiler, say), when a program
# imports or delay-loads a DLL that is no KnownDLL (Windows would look for it
# beside the program first), or when the monitor's export is decorated.
set -eu
arch=$1
shift
case "$arch" in
  x64) machine=8664 ;;
  arm64) machine=aa64 ;;
  *) echo "unknown architecture: $arch"; exit 2 ;;
esac
llvm=/usr/lib/llvm-14/bin
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of
# Windows 10 22H2 and Windows 11, and ntdll.dll, which the kernel maps first.
known=" advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll difxapi.dll gdi32.dll gdiplus.dll
 imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll
 psapi.dll rpcrt4.dll sechost.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll user32.dll wldap32.dll
 wow64.dll wow64cpu.dll wow64win.dll ws2_32.dll ntdll.dll "
status=0
allowed='^(kernel32|user32|advapi32|winspool\.drv|wtsapi32|userenv|ntdll|msvcrt|api-ms-win-crt-[a-z0-9-]+|ucrtbase|shell32|ole32|version)\.dll$|^winspool\.drv$'
for file in "$@"; do
  # The PE header's offset is at 0x3c; its machine field follows the signature.
  header=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
  found=$(od -An -tx2 -j$((header + 4)) -N2 "$file" | tr -d ' ')
  echo "$file machine: $found"
  if [ "$found" != "$machine" ]; then
    echo "  not a binary for $arch (machine $machine)"
    status=1
    continue
  fi
  if [ "$arch" = x64 ]; then
    imports=$(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
    # objdump names no delay-loaded DLL; its directory (entry d) must be empty.
    if ! x86_64-w64-mingw32-objdump -p "$file" | grep -q '^Entry d 0*[[:space:]]0*[[:space:]]Delay Import Directory'; then
      echo "  delay-loads DLLs"
      status=1
    fi
    exports=$(x86_64-w64-mingw32-objdump -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n '2,$s/^.*\] //p')
  else
    imports=$("$llvm/llvm-readobj" --coff-imports "$file" | sed -n 's/^[[:space:]]*Name: //p')
    exports=$("$llvm/llvm-readobj" --coff-exports "$file" | sed -n 's/^[[:space:]]*Name: //p')
  fi
  imports=$(echo "$imports" | tr 'A-Z' 'a-z')
  echo "$file imports: $(echo $imports)"
  for dll in $imports; do
    if ! echo "$dll" | grep -Eq "$allowed"; then
      echo "  not a Windows system DLL: $dll"
      status=1
    fi
  done
  case "$file" in
    *.exe|*.EXE)
      for dll in $imports; do
        case "$known" in *[[:space:]]"$dll"[[:space:]]*) ;; *) echo "  no KnownDLL: $dll"; status=1 ;; esac
      done
      ;;
    *.dll|*.DLL)
      echo "$file exports: $(echo $exports)"
      if [ "$(echo $exports)" != "InitializePrintMonitor2" ]; then
        echo "  expected exactly one undecorated export, InitializePrintMonitor2"
        status=1
      fi
      ;;
  esac
done
exit $status
