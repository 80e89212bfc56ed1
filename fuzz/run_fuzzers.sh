#!/bin/sh
# Runs every fuzzing harness of a build for a while, one after the other, each
# on a copy of its seed corpus (the committed corpus stays as it is).
#
#   fuzz/run_fuzzers.sh BUILD_DIR SECONDS_EACH
#
# BUILD_DIR is a build configured with -DGREP_FUZZ=ON. Exits non-zero when a
# harness is missing or reports a finding; the input that caused it and the
# harness's log are kept in BUILD_DIR/fuzz-findings/.
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS_EACH" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=$2
source_dir=$(cd "$(dirname "$0")" && pwd)
harnesses="regex_fuzzer literal_fuzzer catalogue_fuzzer command_line_fuzzer wildcard_fuzzer"

work=$(mktemp -d "${TMPDIR:-/tmp}/grep-fuzz.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT INT TERM
findings="$build/fuzz-findings"

failed=0
for harness in $harnesses; do
  program="$build/fuzz/$harness"
  if [ ! -x "$program" ]; then
    echo "$harness: not built in $build" >&2
    failed=1
    continue
  fi
  mkdir -p "$work/$harness/corpus" "$work/$harness/artifacts"
  cp "$source_dir/corpus/$harness/"* "$work/$harness/corpus/" 2>/dev/null
  log="$work/$harness/log"
  "$program" "$work/$harness/corpus" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/$harness/artifacts/" >"$log" 2>&1
  status=$?
  summary=$(grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" |
            sed 's/^stat:://' | tr -s ' \n' ' ')
  if [ $status -ne 0 ] || [ -n "$(ls "$work/$harness/artifacts")" ]; then
    mkdir -p "$findings"
    cp "$log" "$findings/$harness.log"
    cp "$work/$harness/artifacts/"* "$findings/" 2>/dev/null
    echo "$harness: FINDING (status $status); log and input in $findings" >&2
    grep -E 'ERROR|FUZZ CHECK|SUMMARY' "$log" | head -5 >&2
    failed=1
  else
    echo "$harness: ok, ${summary% }"
  fi
done
exit $failed
