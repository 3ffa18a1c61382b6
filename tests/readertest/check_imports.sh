#!/usr/bin/env bash
# The reader console binds serchan32 and dump by ordinal alone: their import
# entries carry ordinals and no names, and they are exactly the calls it uses.
set -euo pipefail
export LC_ALL=C
exe=$1
source "$(dirname "${BASH_SOURCE[0]}")/../support/pe_files.sh"
dump=$(pe_dump "$exe")
format=$(pe_format "$exe")

# "ordinal name" for every import from one DLL, sorted by ordinal.
imports_of() {
  awk -v dll="$1" '
    /DLL Name:/ { inside = (toupper($3) == toupper(dll)); next }
    inside && /^[[:space:]]*$/ { inside = 0 }
    inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $2, $3 }' <<<"$dump" |
    while read -r ordinal name; do echo "$(pe_ordinal "$format" "$ordinal") $name"; done | sort -n
}

check() {
  local dll=$1 expected=$2
  local actual
  actual=$(imports_of "$dll")
  if [ "$actual" != "$expected" ]; then
    echo "imports from $dll differ:"
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
  fi
}

check serchan32.dll "$(printf '%s <none>\n' 4 6 7 14 15)"
check dump.dll "$(printf '%s <none>\n' 3 5 6 7 9 10 11 12 13 15 16 18 19 28 29)"
echo "serchan32.dll and dump.dll imported by ordinal only"
