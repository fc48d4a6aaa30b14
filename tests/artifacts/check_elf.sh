#!/usr/bin/env bash
# Checks a Linux MEX file's dynamic interface:
#   check_elf.sh FILE "EXPORTS" "HOST_IMPORTS" "NEEDED"
# EXPORTS: exactly the defined dynamic symbols, as name@@VERSION.
# HOST_IMPORTS: exactly the undefined symbols that no system library versions
#   (the host's operations), as name or name@VERSION.
# NEEDED: exactly the DT_NEEDED entries, in any order.
# Every other undefined symbol must come from glibc (libc, libm) or be one of
# the weak hooks every shared object carries.
set -u
file=$1 exports=$2 imports=$3 needed=$4
readelf=${READELF:-readelf}
fail=0
. "$(dirname "$0")/common.sh"

syms=$("$readelf" --dyn-syms -W "$file" | awk 'NR > 3 && $8 != "" {print $5, $7, $8}')
defined=$(echo "$syms" | awk '$2 != "UND" && $2 != "ABS" {print $3}' | sort)
undefined=$(echo "$syms" | awk '$2 == "UND" {print $1, $3}')
host=$(echo "$undefined" | awk '$2 !~ /@GLIBC_/ && $1 != "WEAK" {sub(/ \([0-9]+\)$/, "", $2); print $2}' | sort)
other=$(echo "$undefined" | awk '$2 ~ /@GLIBC_/ || $1 == "WEAK" {print $2}')
libs=$("$readelf" -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)

compare exports "$(echo "$exports" | sorted)" "$defined"
compare "host imports" "$(echo "$imports" | sorted)" "$host"
compare "needed libraries" "$(echo "$needed" | sorted)" "$libs"
# The C library may supply memory and formatting functions, at versions
# old enough for every Linux MATLAB supports (glibc 2.17), but no
# mathematics: exp and log are the project's own.
for s in $other; do
  case "$s" in
    exp@*|log@*|exp[fl2]*@*|log[fl12p]*@*|pow@*|expm1@*)
      echo "FAIL $file imports $s from the C library"; fail=1 ;;
    *@GLIBC_*)
      version=${s##*@GLIBC_}
      if [ "$(printf '%s\n2.17\n' "$version" | sort -V | tail -n 1)" != 2.17 ]; then
        echo "FAIL $file needs $s, newer than glibc 2.17"; fail=1
      fi ;;
    __gmon_start__|_ITM_deregisterTMCloneTable|_ITM_registerTMCloneTable|__cxa_finalize*) ;;
    *) echo "FAIL unexpected undefined symbol $s in $file"; fail=1 ;;
  esac
done
[ $fail -eq 0 ] && echo "ok   C library: $(echo $other)"
if "$readelf" -d "$file" | grep -q -E 'libstdc\+\+|libgcc_s'; then
  echo "FAIL $file needs a C++ runtime library"; fail=1
fi
exit $fail
