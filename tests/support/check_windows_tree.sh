#!/usr/bin/env bash
# check_windows_tree.sh BIN FORMAT
# Every program and DLL of a Windows tree's BIN is a PE file of FORMAT
# (pei-i386 or pei-x86-64) and imports only the system's DLLs and our own two;
# no other DLL (a compiler runtime) lies beside the programs.
set -euo pipefail
export LC_ALL=C
source "$(dirname "${BASH_SOURCE[0]}")/pe_files.sh"
bin=$1
expected=$2
shopt -s nullglob
files=("$bin"/*.exe "$bin"/*.dll)
[ ${#files[@]} -gt 0 ] || { echo "no programs in $bin"; exit 1; }
status=0
for file in "${files[@]}"; do
  name=$(basename "$file")
  format=$(pe_format "$file")
  [ "$format" == "$expected" ] || { echo "$name: $format, not $expected"; status=1; }
  case "$name" in
    *.dll) [ "$name" == serchan32.dll ] || [ "$name" == dump.dll ] ||
      { echo "$name: a DLL that is not ours"; status=1; } ;;
  esac
  for dll in $(pe_dump "$file" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    case "$dll" in
      serchan32.dll | dump.dll) ;;
      *) pe_system_dll "$dll" || { echo "$name imports $dll"; status=1; } ;;
    esac
  done
done
[ "$status" -eq 0 ] && echo "${#files[@]} files, all $expected, importing the system's DLLs and ours only"
exit "$status"
