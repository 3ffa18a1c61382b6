#!/usr/bin/env bash
# Runs the fuzz tree's libFuzzer targets (./run fuzz builds the tree first):
#
#   run_fuzz.sh TREE SECONDS [--merge]
#
# Each target of TREE/fuzz_targets.txt (written by tests/fuzz/CMakeLists.txt)
# runs for SECONDS under AddressSanitizer and UndefinedBehaviorSanitizer over
# a working copy of its committed corpus, TREE/work/<target>; an input that
# crashes it, or runs for over 10 s, goes to TREE/crashes/<target>/. Then the
# source coverage of its functions under test over the working corpus.
# --merge adds the working inputs that bring new coverage to the committed
# corpus (tests/fuzz/corpus/<target>/), for a target that did not crash. A
# crash fails the run; its input is to be committed by hand.
set -euo pipefail
tree=$1 seconds=$2 merge=${3:-}
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
status=0
while read -r target functions sources <&3; do
  program=$tree/bin/fuzz_$target corpus=tests/fuzz/corpus/$target
  work=$tree/work/$target crashes=$tree/crashes/$target
  log=$tree/fuzz_$target.log
  rm -rf "$work" "$crashes"
  mkdir -p "$work" "$crashes"
  cp "$corpus"/* "$work"/
  result=0
  before=$(ls "$work" | wc -l)
  echo "fuzz_$target: ${seconds} s over $before inputs"
  UBSAN_OPTIONS=print_stacktrace=1 "$program" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -artifact_prefix="$crashes/" "$work" >"$log" 2>&1 || result=$?
  done_line=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "  ${execs:-?} executions (${rate:-?}/s), $(ls "$work" | wc -l) inputs now;" \
    "last: ${done_line:-none}"
  # Source coverage of the functions under test over the working corpus.
  profile=$tree/coverage_$target
  rm -f "$profile".profraw
  # shellcheck disable=SC2086 # the sources are words
  LLVM_PROFILE_FILE="$profile.profraw" "$tree/bin/fuzz_${target}_coverage" "$work" >/dev/null 2>&1 &&
    llvm-profdata merge -o "$profile.profdata" "$profile.profraw" &&
    llvm-cov report -show-functions "$tree/bin/fuzz_${target}_coverage" \
      -instr-profile="$profile.profdata" $sources | c++filt |
    grep -E "$functions" | sed 's/^[^ ]*:(anonymous namespace):://; s/([^)]*)//' |
    awk '{ printf "  %s: lines %d of %d, branches %d of %d\n", $1, $(NF-5) - $(NF-4), $(NF-5),
                  $(NF-2) - $(NF-1), $(NF-2) }' || true
  if [ "$result" -ne 0 ]; then
    status=1
    echo "  FAILED (exit $result): $(ls -d "$crashes"/* 2>/dev/null | tr '\n' ' ')"
    grep -E 'ERROR:|fuzz check failed|runtime error|SUMMARY' "$log" | head -5 | sed 's/^/  /'
    echo "  log: ${log}"
  fi
  if [ "$merge" = --merge ] && [ "$result" -eq 0 ]; then
    "$program" -merge=1 "$corpus" "$work" >>"$log" 2>&1
    echo "  merged: $(ls "$corpus" | wc -l) inputs in $corpus"
  fi
done 3<"$tree/fuzz_targets.txt"
exit $status
