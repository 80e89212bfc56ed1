#!/bin/sh
# Runs every fuzzing harness of a build, one after the other, each on a copy of
# its corpus (the committed corpus stays as it is).
#
#   fuzz/run_fuzzers.sh BUILD_DIR check         the test command's run: every input of
#                                               corpus/<harness> once, then a fixed number
#                                               of inputs made from a fixed seed
#   fuzz/run_fuzzers.sh BUILD_DIR SECONDS_EACH  exploration: that many seconds each, from a
#                                               new seed every time
#   fuzz/run_fuzzers.sh BUILD_DIR pending       every input of pending/<harness> once: the
#                                               findings whose fault is not mended yet
#
# BUILD_DIR is a build configured with -DGREP_FUZZ=ON. Exits non-zero when a
# harness is missing or reports a finding; the input that caused it and the
# harness's log are kept in BUILD_DIR/fuzz-findings/. Once its fault is
# mended, a finding's input goes into corpus/<harness>/, so that every check
# replays it from then on.
#
# The check run makes the same inputs on every run of the same code: the seed
# and the number of inputs are fixed, the corpus is not re-read while the run
# goes on, comparison operands (which hold addresses and file times) are not
# used as mutation hints, and address-space randomisation is turned off where
# the system allows it. So it passes or fails on every run alike, and a
# finding in it comes from a change of the code, never from the draw.
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR check|pending|SECONDS_EACH" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
mode=$2
source_dir=$(cd "$(dirname "$0")" && pwd)
case "$mode" in
  check | pending) ;;
  *[!0-9]* | "")
    echo "$0: the second argument is check, pending or a number of seconds, not '$mode'" >&2
    exit 2
    ;;
esac

# Harness and the number of inputs of its check run: a few seconds each on an
# idle machine, every input far below the timeout of one input.
check_runs="regex_fuzzer:8000 literal_fuzzer:3000 catalogue_fuzzer:3000 command_line_fuzzer:2500 wildcard_fuzzer:20000"
check_seed=2026
# An input that runs longer than this (seconds) is a finding.
input_timeout=10

fixed_addresses=""
if setarch "$(uname -m)" -R true 2>/dev/null; then
  fixed_addresses="setarch $(uname -m) -R"
elif [ "$mode" = check ]; then
  echo "note: address-space randomisation cannot be turned off here, so the check run" \
       "may make other inputs on each run" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/grep-fuzz.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT INT TERM
findings="$build/fuzz-findings"

# Runs one harness with the arguments given; reports and keeps a finding.
# Returns non-zero on a finding.
run_harness() {  # harness, label, libFuzzer arguments...
  harness=$1
  label=$2
  shift 2
  rm -rf "${work:?}/$harness"
  mkdir -p "$work/$harness/artifacts"
  log="$work/$harness/log"
  started=$(date +%s)
  # shellcheck disable=SC2086  # fixed_addresses is a command of several words
  $fixed_addresses "$build/fuzz/$harness" "$@" -timeout="$input_timeout" -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/$harness/artifacts/" >"$log" 2>&1
  status=$?
  seconds=$(($(date +%s) - started))
  if [ $status -ne 0 ] || [ -n "$(ls "$work/$harness/artifacts")" ]; then
    mkdir -p "$findings"
    cp "$log" "$findings/$harness.log"
    cp "$work/$harness/artifacts/"* "$findings/" 2>/dev/null
    echo "$harness: FINDING in $label (status $status); log and input in $findings" >&2
    grep -E 'ERROR|FUZZ CHECK|SUMMARY' "$log" | head -5 >&2
    return 1
  fi
  slowest=$(sed -n 's/^stat::slowest_unit_time_sec: *//p' "$log")
  # The coverage that a seeded run reached: the same on every check run of the
  # same code.
  reached=""
  case "$label" in
    seed*) reached=$(sed -n 's/.*DONE *cov: \([0-9]*\) ft: \([0-9]*\).*/, edges \1, features \2/p' "$log") ;;
  esac
  echo "$harness: $label: ok in $seconds s, the slowest input ${slowest:-?} s$reached"
}

failed=0
for entry in $check_runs; do
  harness=${entry%%:*}
  runs=${entry#*:}
  if [ ! -x "$build/fuzz/$harness" ]; then
    echo "$harness: not built in $build" >&2
    failed=1
    continue
  fi
  case "$mode" in
    check)
      corpus="$work/corpus-$harness"
      mkdir -p "$corpus"
      cp "$source_dir/corpus/$harness/"* "$corpus/" 2>/dev/null
      count=$(find "$corpus" -type f | wc -l)
      # -runs=0: each input of the corpus once, nothing made from them.
      run_harness "$harness" "corpus, $count inputs" "$corpus" -runs=0 || failed=1
      run_harness "$harness" "seed $check_seed, $runs inputs" "$corpus" -seed="$check_seed" -runs="$runs" \
        -reload=0 -use_cmp=0 || failed=1
      ;;
    pending)
      [ -n "$(ls "$source_dir/pending/$harness" 2>/dev/null)" ] || continue
      # Inputs named one by one are each run once.
      run_harness "$harness" "pending inputs" "$source_dir/pending/$harness/"* || failed=1
      ;;
    *)
      corpus="$work/corpus-$harness"
      mkdir -p "$corpus"
      cp "$source_dir/corpus/$harness/"* "$corpus/" 2>/dev/null
      run_harness "$harness" "$mode s from a new seed" "$corpus" -max_total_time="$mode" || failed=1
      ;;
  esac
done
exit $failed
