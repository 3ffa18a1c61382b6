#!/usr/bin/env bash
# check_format.sh REPO: every C and C++ file that git tracks in REPO is
# formatted as its .clang-format says (clang-format --dry-run -Werror names
# each line that is not). Outside a git checkout there is nothing to list: exit
# 77, which ctest counts as skipped.
set -euo pipefail
cd "$1"
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: no tracked files to check"
  exit 77
fi
command -v clang-format >/dev/null || { echo "no clang-format (./run setup installs it)"; exit 1; }
files=$(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | wc -l)
git ls-files -z '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format --dry-run -Werror
echo "$files files formatted as .clang-format says"
