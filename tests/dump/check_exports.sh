#!/usr/bin/env bash
# dump.dll exports exactly its 15 functions, each at its fixed ordinal, and
# imports system libraries only.
set -euo pipefail
export LC_ALL=C
dll=$1
expected="3 ConHexDump
5 ConPrint
6 ConWrite
7 ConEchoInput
9 ConStatus
10 ConKeyPressed
11 ConGetKey
12 ConReadLine
13 ConFlushKeys
15 ConBanner
16 ConOpen
18 ConGetSize
19 ConReadHex
28 ConSetColor
29 ConResetColor"
dump=$(i686-w64-mingw32-objdump -p "$dll")
base=$(sed -n 's/^Ordinal Base[[:space:]]*//p' <<<"$dump")
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\] \(.*\)$/\1 \2/p' |
  while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
if [ "$actual" != "$expected" ]; then
  echo "exports differ:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'a-z' 'A-Z' | sort)
for name in $imports; do
  case "$name" in
    KERNEL32.DLL | USER32.DLL | MSVCRT.DLL) ;;
    *) echo "imports a library that is not the system's: $name"; exit 1 ;;
  esac
done
grep -qx KERNEL32.DLL <<<"$imports" || { echo "no KERNEL32 import: $imports"; exit 1; }
echo "15 exports at their ordinals; imports:" $imports
