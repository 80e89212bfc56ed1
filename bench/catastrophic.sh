#!/usr/bin/env bash
# Times nested-loop patterns, which a backtracking matcher can take
# exponential time over, against GNU grep's DFA (-E) and PCRE (-P) matchers.
#
#   bench/catastrophic.sh [PROGRAM] [TIMEOUT]
#
# PROGRAM defaults to build/grep of this tree, TIMEOUT (seconds a run may
# take before it is stopped) to 20. The texts are one line of N "a" for N =
# 30, 1000 and 100000: without a "b", with a "b" at the end, and with "cb" at
# the end (there the "b" every match needs is on the line, so nothing lets a
# backtracking matcher skip the attempts; N is kept small for that form).
# Each cell is the wall time of one run and its peak resident set, as
# /usr/bin/time reports them; "timeout" when the run was stopped. Output goes
# to /dev/null: both programs print at most one line here.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "${1:-$here/../build/grep}")
limit=${2:-20}

. "$here/preflight.sh"
preflight catastrophic.sh "$program" /usr/bin/time grep python3 timeout

printf '%-22s %-22s %-22s %-22s %-22s\n' text "ours -R (a@)@b" "ours -U (a*)*b" \
  "grep -E (a*)*b" "grep -P (a*)*b"
for text in "30" "1000" "100000" "30 b" "1000 b" "100000 b" "16 cb" "20 cb" "24 cb" "1000 cb"; do
  set -- $text
  file="$scratch/line.txt"
  python3 -c 'import sys; sys.stdout.write("a" * int(sys.argv[1]) + sys.argv[2] + "\n")' \
    "$1" "${2:-}" >"$file"
  printf '%-22s %-22s %-22s %-22s %-22s\n' "${1} a${2:+ + $2}" \
    "$(measure "$program" -C -R '(a@)@b' "$file")" \
    "$(measure "$program" -C -U '(a*)*b' "$file")" \
    "$(measure grep -c -E '(a*)*b' "$file")" \
    "$(measure grep -c -P '(a*)*b' "$file")"
done
