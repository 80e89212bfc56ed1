#!/usr/bin/env bash
# Times grep against GNU grep and ripgrep on a corpus of at least 300 MB of
# C headers and Python sources, and on long periodic search texts over texts
# that agree with them at every position (bench.py periodic).
#
#   bench/run_bench.sh [PROGRAM] [RUNS] [all|corpus|regex|periodic]
#
# "corpus" is the literal searches over the corpus, "regex" the regular
# expressions over it (bench.py run --regex).
#
# PROGRAM defaults to build/grep of this tree, RUNS to 5, the set to all. The
# corpus and the periodic texts are built once into bench/corpus/ and the
# tables are printed and saved in bench/results/ (both git-ignored). ripgrep
# and /usr/bin/time are installed with apt-get when missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../build/grep}
runs=${2:-5}
set_name=${3:-all}

if [ ! -x "$program" ]; then
  echo "run_bench.sh: $program is not a built program (build it first, or name it)" >&2
  exit 1
fi
if [ ! -x /usr/bin/time ]; then
  echo "installing time"
  apt-get install -y time >/dev/null || { apt-get update >/dev/null && apt-get install -y time >/dev/null; }
fi
if ! command -v rg >/dev/null; then
  echo "installing ripgrep"
  apt-get install -y ripgrep >/dev/null || { apt-get update >/dev/null && apt-get install -y ripgrep >/dev/null; }
fi

if [ "$set_name" != periodic ]; then
  python3 "$here/bench.py" corpus --output "$here/corpus/corpus.txt" --megabytes 300
fi
if [ "$set_name" = all ] || [ "$set_name" = corpus ]; then
  python3 "$here/bench.py" run --program "$program" --corpus "$here/corpus/corpus.txt" \
    --runs "$runs" --results "$here/results"
fi
if [ "$set_name" = all ] || [ "$set_name" = regex ]; then
  python3 "$here/bench.py" run --regex --program "$program" --corpus "$here/corpus/corpus.txt" \
    --runs "$runs" --results "$here/results"
fi
if [ "$set_name" = all ] || [ "$set_name" = periodic ]; then
  python3 "$here/bench.py" periodic --program "$program" --data "$here/corpus/periodic" \
    --runs "$runs" --results "$here/results"
fi
