#!/usr/bin/env bash
# Fails when FILE holds a fused multiply-add instruction (x86 vfmadd and its
# kin, ARM fmadd, fmsub, fnmadd, fnmsub, fmla, fmls): every result must be
# the separately rounded product and sum on every platform.
#   check_no_fma.sh FILE
set -u
file=$1
objdump=${LLVM_OBJDUMP:-llvm-objdump-14}
fused=$("$objdump" -d --no-show-raw-insn "$file" | grep -E '\b(vfn?m(add|sub)[0-9a-z]*|fn?madd|fn?msub|fml[as])\b')
if [ -n "$fused" ]; then
  echo "FAIL $file holds fused multiply-add instructions:"
  echo "$fused" | head -5 | sed 's/^/    /'
  exit 1
fi
echo "ok   no fused multiply-add instruction in $file"
