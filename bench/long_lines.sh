#!/usr/bin/env bash
# Times regular expressions over long lines (minified code, base64 and log
# lines run to megabytes) and over loops that match one text in many ways,
# against GNU grep's -E, in the C locale, and ripgrep on one thread reading
# the file (rg -j1 --no-mmap).
#
#   bench/long_lines.sh [PROGRAM] [MEGABYTES] [TIMEOUT]
#
# PROGRAM defaults to build/grep of this tree, MEGABYTES (the length of each
# long line) to 20, TIMEOUT (seconds a run may take before it is stopped) to
# 30. Each cell is the wall time of one run and its peak resident set, as
# /usr/bin/time reports them; "timeout" when the run was stopped. Output goes
# to /dev/null (the -C forms print one line). The long lines are:
#   a       one line of "a", then the pattern's missing "b" or not
#   base64  one line of base64 letters and digits, no "_"
#   ab      one line of "ab" repeated, one match of it all
#   ab_c    the same line and a "c", a_c a line of "a" and a "c": the
#           look-ahead patterns' required "c" is there
#   a_bc    a line of "a" a sixteenth as long, then "bc": under a(?!.*y)
#           every "a" is a match, each found by a search of its own (-C
#           counts them; grep and rg count the line)
#   ab_ac   the "ab" line and "ac": under (?!(ba)*c) the body run from
#           each "b" matches at the line's end, over "ab" it fails there
#   ab16    the "ab" line a sixteenth as long: under b(?!(ab)*c) every "b"
#           is a match; over the whole "ab" line too, and every "b" under
#           (?!(ba){2,}c)b, where the body's answers are read back from the
#           line's end: a search at every "b" of the line
#   ab_cr   the "ab" line, then a carriage return that ends no line and "x":
#           the same searches; and the "ab" line by records of 2000 bytes
#           (ours with -2000; grep and rg read it as a line), across which
#           the bodies read
#   ab      again with items that read across lines (ours with \om before
#           the pattern; grep and rg have no such mode and take the pattern
#           as it is), and under a body that holds a look-ahead of its own
#   sj_ab   one line of the Shift-JIS pair 0x82 0xA0 and "ab" repeated, and
#   sj      one of the pair alone: ours in code page 932 (LC_ALL=ja_JP.SJIS),
#           grep and rg in the C locale, reading bytes
# and the short ones the nested loops that a backtracker takes exponential
# time over: 24 "a" then "cb", 28 "x" without "y". Patterns with look-ahead
# are timed against grep -P and rg -P, the engines that know it. grep -c and
# rg -c count lines, and may stop at a line's first match; ours -C counts
# matches, each found to its end, as rg --count-matches does (the last
# column): that column compares the same work.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "${1:-$here/../build/grep}")
megabytes=${2:-20}
limit=${3:-30}

. "$here/preflight.sh"
preflight long_lines.sh "$program" /usr/bin/time grep rg python3 timeout

python3 - "$scratch" "$megabytes" <<'EOF'
import sys
folder, size = sys.argv[1], int(sys.argv[2]) << 20
letters = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
lines = {
    "a": b"a" * size,
    "a_b": b"a" * size + b"b",
    "base64": bytes(letters[(i * 7919) % 62] for i in range(1 << 16)) * (size >> 16),
    "ab": b"ab" * (size // 2),
    "ab_c": b"ab" * (size // 2) + b"c",
    "a_c": b"a" * size + b"c",
    "a_cy": b"a" * size + b"cy",
    "a_y": b"a" * size + b"y",
    "a_bc": b"a" * (size >> 4) + b"bc",
    "ab_ac": b"ab" * (size // 2) + b"ac",
    "ab16": b"ab" * (size >> 5),
    "ab_cr": b"ab" * (size // 2) + b"\rx",
    "sj_ab": b"\x82\xa0ab" * (size // 4),
    "sj": b"\x82\xa0" * (size // 2),
    "a24cb": b"a" * 24 + b"cb",
    "x28": b"x" * 28,
}
for name, line in lines.items():
    with open("%s/%s.txt" % (folder, name), "wb") as f:
        f.write(line + b"\n")
EOF

printf '%-34s %-26s %-26s %-26s %-26s\n' "pattern over text" "ours" "grep -E" "rg -j1 --no-mmap" \
  "rg ... --count-matches"
# cell PATTERN TEXT [OPTION [PREFIX [LOCALE]]]: OPTION goes to ours alone
# (-2000: records; "" none), and so do PREFIX, put before the pattern (\om),
# and LOCALE, ours's LC_ALL (ja_JP.SJIS: code page 932; none: as it is).
cell() {
  local pattern=$1 text=$2 syntax=-E rgSyntax=() ours=() prefix=${4:-} locale=${5:-}
  if [[ $pattern == *'(?!'* ]]; then syntax=-P rgSyntax=(-P); fi
  if [[ -n ${3:-} ]]; then ours=("$3"); fi
  printf '%-34s %-26s %-26s %-26s %-26s\n' "$prefix$pattern over $text${3:+ $3}" \
    "$(measure env ${locale:+LC_ALL="$locale"} "$program" "${ours[@]}" -C -U "$prefix$pattern" "$scratch/$text.txt")" \
    "$(measure env LC_ALL=C grep -a -c "$syntax" "$pattern" "$scratch/$text.txt")" \
    "$(measure rg -j1 --no-mmap -c "${rgSyntax[@]}" "$pattern" "$scratch/$text.txt")" \
    "$(measure rg -j1 --no-mmap --count-matches "${rgSyntax[@]}" "$pattern" "$scratch/$text.txt")"
}
cell 'a*b' a
cell 'a*b' a_b
cell '[A-Za-z0-9]+_' base64
cell '[A-Za-z0-9]+_alloc' base64
cell '(a|b)+' ab
cell '(a|aa)*c' a
cell '(.*,){12}X' a
cell '(a|a){1,30}b' a_b
cell '(a{1,5}){1,20}b' a_b
cell '(a*)*b' a24cb
cell '(x+x+)+y' x28
cell '(?!x)(ab)*c' ab_c
cell '(?!x)(a|b)*c' ab_c
cell '(?!foo|bar)(a|b)*c' ab_c
cell '(a|aa)*(?!x)c' a_c
cell '(a|aa)*(?!.*y)c' a_c
cell '(a|aa)*(?!.*y)c' a_cy
cell 'a(?!.*y)' a_y
cell 'a(?!(?!.*x).*y)' a_y
cell 'a(?!.*y)' a_bc
cell '(?!(ba)*c)b$' ab
cell '(?!(ba)*c)b$' ab_ac
cell '(?!(b|a)*c)b$' ab
cell '(?!(ba){2,}c)b$' ab
cell 'b(?!(ab)*c)' ab16
cell '(?!(ba)*c)b[^a]' ab
cell 'b(?!(ab)*c)' ab
cell '(?!(ba){2,}c)b' ab
cell 'b(?!(ab)*c)' ab_cr
cell '(?!(ba)*c)b[^a]' ab_cr
cell 'b(?!(ab)*c)' ab -2000
cell 'b(?!(ab)*c)' ab '' '\om'
cell '(?!(ba){2,}c)b' ab '' '\om'
cell 'b(?!(ab(?!x))*c)' ab
cell '(?!(ba(?!$))*c)b' ab
cell 'b(?!(ab)*c)' sj_ab '' '' ja_JP.SJIS
cell $'\x82\xa0(?!(\x82\xa0)*c)' sj '' '' ja_JP.SJIS
