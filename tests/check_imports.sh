#!/bin/sh
# Fails when a built program or DLL imports anything but Windows system DLLs
# (a C or C++ runtime of the compiler, say), or when the monitor's export is decorated.
set -eu
status=0
allowed='^(kernel32|user32|advapi32|winspool\.drv|wtsapi32|userenv|ntdll|msvcrt|api-ms-win-crt-[a-z0-9-]+|ucrtbase|shell32|ole32|version)\.dll$|^winspool\.drv$'
for file in "$@"; do
  imports=$(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  echo "$file imports: $(echo $imports)"
  for dll in $imports; do
    if ! echo "$dll" | grep -Eq "$allowed"; then
      echo "  not a Windows system DLL: $dll"
      status=1
    fi
  done
  case "$file" in
    *.dll|*.DLL)
      exports=$(x86_64-w64-mingw32-objdump -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n '2,$s/^.*\] //p')
      echo "$file exports: $(echo $exports)"
      if [ "$(echo $exports)" != "InitializePrintMonitor2" ]; then
        echo "  expected exactly one undecorated export, InitializePrintMonitor2"
        status=1
      fi
      ;;
  esac
done
exit $status
