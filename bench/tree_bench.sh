#!/usr/bin/env bash
# Times a tree search (-T) of grep against GNU grep and ripgrep on one real
# source tree, and measures grep's peak memory on trees made to be deep and
# wide.
#
#   bench/tree_bench.sh [PROGRAM] [TREE] [TEXT] [RUNS] [COMMON]
#
# PROGRAM defaults to build/grep of this tree, TREE to /usr/include, TEXT (a
# literal that is rare in the tree) to EPOLLEXCLUSIVE, RUNS to 9, COMMON (a
# literal on many lines) to define. Every
# program's output is drained through a pipe. The time is the median wall
# time of the runs, the memory the largest peak resident set of any run (as
# /usr/bin/time reports it). grep follows symbolic links into directories, as
# GNU grep -R does; -r does not, so both are shown. The synthetic trees are
# made under a temporary directory and removed afterwards.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "${1:-$here/../build/grep}")
tree=$(realpath "${2:-/usr/include}")
text=${3:-EPOLLEXCLUSIVE}
runs=${4:-9}
common=${5:-define}

. "$here/preflight.sh"
preflight tree_bench.sh "$program" /usr/bin/time rg grep python3

# A tree 200 directories deep with three files at every level, and one
# directory of 20000 files: neither may make a walk need more memory.
python3 - "$scratch" <<'EOF'
import os, sys
root = sys.argv[1]
level = os.path.join(root, "deep")
for i in range(200):
    os.makedirs(level)
    for name in ("a.txt", "b.c", "z.h"):
        with open(os.path.join(level, name), "w") as f:
            f.write("line %d\n" % i + ("needle\n" if name == "b.c" else ""))
    level = os.path.join(level, "d")
wide = os.path.join(root, "wide")
os.makedirs(wide)
for i in range(20000):
    with open(os.path.join(wide, "f%05d.txt" % i), "w") as f:
        f.write("needle\n" if i % 1000 == 0 else "hay\n")
EOF

python3 - "$runs" "$program" "$tree" "$text" "$scratch" "$common" <<'EOF'
import os, statistics, subprocess, sys, time
runs, program, tree, text, scratch, common = (int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4],
                                              sys.argv[5], sys.argv[6])

def measure(label, cwd, command):
    seconds, peaks, lines = [], [], 0
    for _ in range(runs):
        report = os.path.join(scratch, "time.txt")
        started = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report] + command, cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        out = proc.stdout.read()
        proc.wait()
        seconds.append(time.perf_counter() - started)
        with open(report) as f:
            peaks.append(int(f.read().split()[-1]))
        lines = out.count(b"\n")
    print("| %-52s | %7.3f | %8.2f | %6d |" % (label, statistics.median(seconds),
                                                max(peaks) / 1024.0, lines))

print("Tree %s, text %s, median of %d runs, output through a pipe" % (tree, text, runs))
print("| %-52s | %7s | %8s | %6s |" % ("program", "seconds", "peak MiB", "lines"))
print("|%s|%s|%s|%s|" % ("-" * 54, "-" * 9, "-" * 10, "-" * 8))
# Each search of the real tree by all three: the rare text, a common one, and
# the rare one in the *.h files only. ripgrep runs on one thread and reads
# files as the others do (-j1 --no-mmap), with no ignore files or hidden-file
# rules of its own, following links as grep -T does (-L).
RG = ["rg", "-j1", "--no-mmap", "-L", "-n", "--no-ignore", "--hidden"]
for word in (text, common):
    measure("grep -T %s '*'" % word, tree, [program, "-T", word, "*"])
    measure("GNU grep -rn %s ." % word, tree, ["grep", "-rn", word, "."])
    measure("GNU grep -Rn %s . (follows links, as grep -T)" % word, tree, ["grep", "-Rn", word, "."])
    measure("rg -j1 --no-mmap -L -n %s ." % word, tree, RG + [word, "."])
measure("grep -T %s '*.h'" % text, tree, [program, "-T", text, "*.h"])
measure("GNU grep -Rn --include='*.h' %s ." % text, tree, ["grep", "-Rn", "--include=*.h", text, "."])
measure("rg -j1 --no-mmap -L -n -g '*.h' %s ." % text, tree, RG + ["-g", "*.h", text, "."])
measure("grep -T needle '*' (200 levels deep)", os.path.join(scratch, "deep"),
        [program, "-T", "needle", "*"])
measure("grep -T needle '*.txt' (20000 files, one directory)", os.path.join(scratch, "wide"),
        [program, "-T", "needle", "*.txt"])
EOF
