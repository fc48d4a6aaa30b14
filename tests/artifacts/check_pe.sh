#!/usr/bin/env bash
# Checks a Windows MEX file's interface with objdump -p:
#   check_pe.sh OBJDUMP FILE "EXPORTS" "HOST_IMPORTS"
# EXPORTS: exactly the exported names.
# HOST_IMPORTS: exactly the names imported from libmx.dll and libmex.dll.
# The DLLs it needs must be libmx.dll and libmex.dll plus the system's
# KERNEL32.dll and msvcrt.dll: no MinGW or GCC runtime DLL.
set -u
objdump=$1 file=$2 exports=$3 imports=$4
fail=0
. "$(dirname "$0")/common.sh"
dump=$("$objdump" -p "$file") || exit 1

actualExports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
dlls=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | sort)
hostImports=$(echo "$dump" | awk '
  /DLL Name:/ { host = ($3 == "libmx.dll" || $3 == "libmex.dll"); next }
  host && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }
  NF == 0 { host = 0 }' | sort)

compare exports "$(echo "$exports" | sorted)" "$actualExports"
compare "host imports" "$(echo "$imports" | sorted)" "$hostImports"
for d in libmx.dll libmex.dll; do
  echo "$dlls" | grep -qx "$d" || { echo "FAIL $file does not import $d"; fail=1; }
done
for d in $dlls; do
  case "$d" in
    libmx.dll|libmex.dll|KERNEL32.dll|msvcrt.dll) ;;
    *) echo "FAIL $file needs $d"; fail=1 ;;
  esac
done
# No mathematics from any DLL: exp and log are the project's own.
math=$(echo "$dump" | awk '/DLL Name:/ { next } NF == 3 && $1 ~ /^[0-9a-f]+$/ && $3 ~ /^(exp|log|pow)/ { print $3 }')
if [ -n "$math" ]; then
  echo "FAIL $file imports $(echo $math)"; fail=1
fi
[ $fail -eq 0 ] && echo "ok   DLLs: $(echo $dlls), no mathematics imported"
exit $fail
