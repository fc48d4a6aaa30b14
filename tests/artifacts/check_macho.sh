#!/usr/bin/env bash
# Checks a macOS MEX bundle's structure with LLVM's tools:
#   check_macho.sh FILE "HOST_IMPORTS" ARCH
# A Mach-O bundle (MH_BUNDLE) for ARCH (X86_64 or ARM64) and macOS 11.0 or later, exporting
# exactly _mexFunction; importing exactly HOST_IMPORTS, each bound
# (two-level) to the library it belongs to (mexErrMsgTxt to libmex, the rest
# to libmx); needing exactly libmx, libmex, libmat and libSystem; no C++
# runtime, and nothing from libSystem's mathematics (exp and log are ours).
# An arm64 bundle must also carry a code signature whose every page hash
# matches the file (check_codesign.py), and no file may hold a fused
# multiply-add instruction.
set -u
file=$1 imports=$2 arch=$3
objdump=${LLVM_OBJDUMP:-llvm-objdump-14} nm=${LLVM_NM:-llvm-nm-14}
fail=0
. "$(dirname "$0")/common.sh"

header=$("$objdump" --macho --private-header "$file") || exit 1
echo "$header" | grep -qE '\bBUNDLE\b' || { echo "FAIL $file is not a Mach-O bundle"; fail=1; }
echo "$header" | grep -qE "\\b$arch\\b" || { echo "FAIL $file is not for $arch"; fail=1; }
minos=$("$objdump" --macho --private-headers "$file" | awk '/cmd LC_BUILD_VERSION/ {b = 1} b && $1 == "minos" {print $2; exit}')
compare "minimum macOS version" "11.0" "$minos"

exports=$("$nm" -gU "$file" | awk '{print $NF}' | sort)
compare exports "_mexFunction" "$exports"

undefined=$("$nm" -m -u "$file")
bound() { # library: the undefined symbols bound to it
  echo "$undefined" | sed -n "s/^ *(undefined) external \([^ ]*\) (from $1)\$/\1/p" | sort
}
compare "imports from libmx" "$(echo "$imports" | sorted | grep -v '^_mexErrMsgTxt$')" "$(bound libmx)"
compare "imports from libmex" "$(echo "$imports" | sorted | grep '^_mexErrMsgTxt$')" "$(bound libmex)"
other=$(echo "$undefined" | grep -vE '\(from (libmx|libmex|libSystem)\)$' | sed '/^$/d')
if [ -n "$other" ]; then
  echo "FAIL $file imports from elsewhere:"; echo "$other" | sed 's/^/    /'; fail=1
fi
math=$(bound libSystem | grep -E '^_(exp|log|pow)' || true)
if [ -n "$math" ]; then
  echo "FAIL $file imports $(echo $math) from libSystem"; fail=1
fi

dylibs=$("$objdump" --macho --dylibs-used "$file" | tail -n +2 | awk '{print $1}' | sort)
compare "libraries" "$(printf '%s\n' /usr/lib/libSystem.B.dylib @rpath/libmat.dylib @rpath/libmex.dylib @rpath/libmx.dylib | sort)" "$dylibs"

"$(dirname "$0")/check_no_fma.sh" "$file" || fail=1
if [ "$arch" = ARM64 ]; then
  python3 "$(dirname "$0")/check_codesign.py" "$file" || fail=1
fi
exit $fail
