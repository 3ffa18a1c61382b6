#!/usr/bin/env bash
# check_exports.sh LIBRARY LIST [--no-platform] [--allow SONAME]...
# LIBRARY exports exactly the functions of LIST (lines "ORDINAL NAME") and
# needs the system's libraries only. A DLL has each at its ordinal and imports
# KERNEL32 (USER32 and MSVCRT allowed); a shared object has each by name, as a
# C function. --no-platform: a shared object must not carry the Win32-subset
# platform layer either. --allow: a shared object may need this library too
# (its name without the version: libedit.so).
set -euo pipefail
export LC_ALL=C
library=$1
list=$2
shift 2
no_platform=
allowed=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-platform) no_platform=$1 ;;
    --allow) allowed+=("$2"); shift ;;
  esac
  shift
done
count=$(grep -c . "$list")

differs() {
  echo "$1:"
  diff <(echo "$2") <(echo "$3") || true
  exit 1
}

if [[ $library == *.dll ]]; then
  source "$(dirname "${BASH_SOURCE[0]}")/pe_files.sh"
  expected=$(sort -n "$list")
  dump=$(pe_dump "$library")
  base=$(sed -n 's/^Ordinal Base[[:space:]]*//p' <<<"$dump")
  actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
    sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\] \(.*\)$/\1 \2/p' |
    while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
  [ "$actual" == "$expected" ] || differs "exports differ" "$expected" "$actual"
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'a-z' 'A-Z' | sort)
  for name in $imports; do
    pe_system_dll "$name" || { echo "imports a library that is not the system's: $name"; exit 1; }
  done
  grep -qx KERNEL32.DLL <<<"$imports" || { echo "no KERNEL32 import:" $imports; exit 1; }
  echo "$count exports at their ordinals; imports:" $imports
  exit 0
fi

expected=$(awk '{print $2}' "$list" | sort)
symbols=$(nm -D --defined-only "$library")
actual=$(awk '{print $NF}' <<<"$symbols" | sort)
[ "$actual" == "$expected" ] || differs "exports differ" "$expected" "$actual"
functions=$(awk '$2 == "T" {print $NF}' <<<"$symbols" | sort)
[ "$functions" == "$expected" ] || differs "exports that are not functions" "$expected" "$functions"
if [ "$no_platform" == --no-platform ]; then
  # The platform layer's calls, had it been linked in, would be in the symbol
  # table (local ones too) or wanted from elsewhere.
  platform_calls=' (CreateEventA|WaitForSingleObject|ExitProcess|EnterCriticalSection)$'
  # (Taken whole first: grep -q stopping early would fail the pipe.)
  all_symbols=$({ nm -a "$library" 2>/dev/null || true; } && nm -D "$library")
  if grep -Eq "$platform_calls" <<<"$all_symbols"; then
    echo "holds the Win32-subset platform layer"
    exit 1
  fi
fi
needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
for name in $needed; do
  case "$name" in
    libc.so.* | libm.so.* | libstdc++.so.* | libgcc_s.so.* | ld-linux*.so.* | libasan.so.* | libubsan.so.*) ;;
    *)
      ok=no
      for allow in "${allowed[@]}"; do [[ "$name" == "$allow".* ]] && ok=yes; done
      [ "$ok" = yes ] || { echo "needs a library that is not the system's: $name"; exit 1; }
      ;;
  esac
done
echo "$count exports, all functions; needs:" $needed
