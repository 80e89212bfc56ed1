#!/usr/bin/env python3
"""Benchmark of grep against GNU grep and ripgrep on one large text file.

    bench.py corpus --output bench/corpus/corpus.txt --megabytes 300
    bench.py run --program build/grep --corpus bench/corpus/corpus.txt --runs 5 --results bench/results
    bench.py run --regex --program build/grep --corpus bench/corpus/corpus.txt --runs 5 --results bench/results
    bench.py periodic --program build/grep --data bench/corpus/periodic --runs 5 --results bench/results

"corpus" concatenates the C headers under /usr/include and the Python
standard library (every *.h and *.py file, in sorted order) and repeats that
text until the file holds at least the asked size; an existing corpus of that
size is kept.

"run" times each search (literals, ignore case in ASCII and in UTF-8 text
under the locale the script runs in, whole words, a count): every program runs once to warm the page cache and
then `runs` times; the table shows the median wall time, the ratio of this
program's median to GNU grep's and ripgrep's, and the peak resident memory
(the largest "maximum resident set size" of the runs, from /usr/bin/time;
ripgrep's includes the pages of the file it maps). All three write into a
pipe that this script drains and discards the same way (GNU grep would stop
at the first match if its output were /dev/null). This program prints one
line per match, not per line, and its -C counts matches, where grep -c and
rg -c count matching lines; the table notes it. So ripgrep also runs a
second time doing the same work as this program (rg/m): one line per match
with its column (--vimgrep), or a count of matches (--count-matches).
ripgrep runs as `rg -j1 --no-mmap`: one thread, the file read, not mapped,
as the others read it. Python standard library only.

"run --regex" times regular expressions the same way: a class before an
inner literal, an anchored pattern, an alternation of literals, an
ignore-case pattern, a pattern whose only literal is one common byte, and an
'R'-dialect pattern beside the -E pattern of the same meaning. Each is
checked first: the lines our reports fall on must be the lines grep -c
counts. The issue's cases are among them: a class before a literal suffix,
an anchored literal, alternations of literals before a class, an
ignore-case alternation, a counted hexadecimal class, and a word list of
2,000 words each between a class of letters and one of digits (GNU grep takes
about a minute a run over the corpus on it). The target column holds the
ratio to GNU grep that the case should keep.

"periodic" times long periodic search texts read from a pattern file (ours
-FB FILE -C, grep -F -c -f FILE, rg -F -c -f FILE) over texts that agree with
them for long stretches at every position: x repeated k times and NEEDLE
(k = 100, 1,000, 10,000 and 2,000,000) over a line of 50 MB of x ending in
NEEDLE, and ("abc " x 1250, X, "abc " x 1250) over a 10 MB line of "abc "
with one X in its middle. Each case matches once. A run that takes longer
than --timeout seconds is stopped and shown as such, and that program is not
run again on that case. --baseline names another build of ours (the one
before a change, say) to time beside it.
"""

import argparse
import os
import random
import re
import selectors
import signal
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

SOURCES = ["/usr/include", sysconfig.get_paths()["stdlib"]]
SUFFIXES = (".h", ".py")


def build_corpus(output, megabytes):
    target = megabytes * 1000 * 1000
    if os.path.exists(output) and os.path.getsize(output) >= target:
        print("corpus: %s (%d bytes) kept" % (output, os.path.getsize(output)))
        return
    names = []
    for root in SOURCES:
        for directory, subdirectories, files in os.walk(root):
            subdirectories.sort()
            names += [os.path.join(directory, f) for f in sorted(files) if f.endswith(SUFFIXES)]
    chunk = bytearray()
    for name in names:
        try:
            with open(name, "rb") as f:
                chunk += f.read()
        except OSError:
            continue
    if not chunk:
        sys.exit("corpus: no source text found under %s" % ", ".join(SOURCES))
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    written = 0
    temporary = output + ".part"
    with open(temporary, "wb") as f:
        while written < target:
            f.write(chunk)
            written += len(chunk)
    os.replace(temporary, output)
    print("corpus: %s, %d files (%d bytes) repeated to %d bytes" % (output, len(names), len(chunk), written))


def run_once(command, cwd, timeout=None):
    """Runs the command with its output drained; returns (seconds, max RSS in KiB,
    status, output bytes), or None when it ran longer than `timeout` seconds
    (the program and /usr/bin/time are then stopped).

    The peak memory comes from /usr/bin/time, which waits for the program
    itself: the rusage that this script would get from wait4 also counts the
    pages of the forked Python process before it became the program.
    """
    with tempfile.NamedTemporaryFile(mode="r") as report:
        start = time.perf_counter()
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                                   cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        fd = process.stdout.fileno()
        total = 0
        with selectors.DefaultSelector() as selector:
            selector.register(fd, selectors.EVENT_READ)
            while True:
                left = None if timeout is None else timeout - (time.perf_counter() - start)
                if left is not None and left <= 0:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
                    process.stdout.close()
                    return None
                if not selector.select(left):
                    continue
                block = os.read(fd, 1 << 20)
                if not block:
                    break
                total += len(block)
        status = process.wait()
        seconds = time.perf_counter() - start
        process.stdout.close()
        kib = int(report.read().strip().splitlines()[-1])
    return seconds, kib, status, total


def capture(command, cwd):
    return subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=False).stdout


# ripgrep runs on one thread and reads the file as the others do, so that the
# three do the same work: one search, read(2) calls, no memory map.
RG = ["rg", "-j1", "--no-mmap"]


def searches(name):
    """(title, ours, GNU grep, ripgrep) for each search over the file `name`."""
    return [
        ("rare literal 'PyInterpreterState_Main'",
         ["PyInterpreterState_Main", name],
         ["grep", "-n", "-F", "PyInterpreterState_Main", name],
         RG + ["-n", "-F", "PyInterpreterState_Main", name]),
        ("rare literal 'PM_RESUME'",
         ["PM_RESUME", name],
         ["grep", "-n", "-F", "PM_RESUME", name],
         RG + ["-n", "-F", "PM_RESUME", name]),
        ("case-insensitive literal 'unicode'",
         ["-I", "unicode", name],
         ["grep", "-n", "-i", "-F", "unicode", name],
         RG + ["-n", "-i", "-F", "unicode", name]),
        ("common literal 'include'",
         ["include", name],
         ["grep", "-n", "-F", "include", name],
         RG + ["-n", "-F", "include", name]),
        ("case-insensitive UTF-8 literal '\u00e9'",
         ["-I", "\u00e9", name],
         ["grep", "-n", "-i", "-F", "\u00e9", name],
         RG + ["-n", "-i", "-F", "\u00e9", name]),
        ("whole word 'int' (ours -W, -w)",
         ["-W", "int", name],
         ["grep", "-n", "-w", "-F", "int", name],
         RG + ["-n", "-w", "-F", "int", name]),
        ("count of 'self' (ours -C: matches; -c: lines)",
         ["-C", "self", name],
         ["grep", "-c", "-F", "self", name],
         RG + ["-c", "-F", "self", name]),
    ]


# GNU grep runs in the C locale with -a, so that it reads bytes as ours does
# (in a UTF-8 locale a line with an invalid sequence makes it print "binary
# file matches" instead of the line) and never stops at binary data.
GNU_REGEX = ["env", "LC_ALL=C", "grep", "-a", "-n"]


def per_match(rg):
    """The ripgrep command `rg` made to report every match, as ours does: one
    line per match with its column (--vimgrep), or a count of matches."""
    if "-c" in rg:
        return [option if option != "-c" else "--count-matches" for option in rg]
    return [option if option != "-n" else "--vimgrep" for option in rg]


def regex_searches(name, directory="."):
    """(title, ours, GNU grep, ripgrep, kind) for each regular-expression search
    over the file `name`; kind "literal" marks a pattern every match of which
    holds a literal of more than one byte, "other" the rest."""
    cases = [
        ("U class + literal '[A-Z]+_SUSPEND'", [], "[A-Z]+_SUSPEND", "literal"),
        ("U anchored '^#define'", [], "^#define", "literal"),
        ("U alternation 'PM_RESUME|PM_SUSPEND'", [], "PM_RESUME|PM_SUSPEND", "literal"),
        ("U ignore case 'unicode[a-z]*'", ["-I"], "unicode[a-z]*", "literal"),
        ("U one-byte literal '[0-9]{4}-[0-9]{2}'", [], "[0-9]{4}-[0-9]{2}", "other"),
        ("U class + suffix '[a-z]+_alloc'", [], "[a-z]+_alloc", "literal"),
        ("U anchored '^#include <sys'", [], "^#include <sys", "literal"),
        ("U alternation '(struct|union) [a-z_]+ \\{'", [], "(struct|union) [a-z_]+ \\{", "literal"),
        ("U ignore case 'max_(size|len)'", ["-I"], "max_(size|len)", "literal"),
        ("U hex '0x[0-9a-f]{8}'", [], "0x[0-9a-f]{8}", "literal"),
        ("U call '[A-Za-z_]+\\('", [], "[A-Za-z_]+\\(", "other"),
        ("U snake case '[a-z]+_[a-z]+_[a-z]+'", [], "[a-z]+_[a-z]+_[a-z]+", "other"),
        ("U string '\"[^\"]*\"'", [], "\"[^\"]*\"", "other"),
        ("U version '[0-9]+\\.[0-9]+'", [], "[0-9]+\\.[0-9]+", "other"),
    ]
    result = []
    for title, flags, pattern, kind in cases:
        case = ["-i"] if flags else []
        result.append((title, flags + ["-U", pattern, name], GNU_REGEX + case + ["-E", pattern, name],
                       RG + ["-n"] + case + [pattern, name], kind))
    result += [
        ("R '{Py}[A-Z]@_' = E '(Py)[A-Z]*_'",
         ["-R", "{Py}[A-Z]@_", name],
         GNU_REGEX + ["-E", "(Py)[A-Z]*_", name],
         RG + ["-n", "(Py)[A-Z]*_", name], "literal"),
        ("R 'str?cpy' = E 'str.cpy'",
         ["-R", "str?cpy", name],
         GNU_REGEX + ["-E", "str.cpy", name],
         RG + ["-n", "str.cpy", name], "literal"),
    ]
    words = word_list(os.path.join(directory, name))
    result.append(("U word list of %d identifiers 'a|b|...'" % words.count("|"),
                   ["-U", words, name], GNU_REGEX + ["-E", words, name],
                   RG + ["-n", words, name], "other"))
    classes = class_word_list()
    result.append(("U class word list %d '[a-z]word[0-9]|...'" % (classes.count("|") + 1),
                   ["-U", classes, name], GNU_REGEX + ["-E", classes, name],
                   RG + ["-n", classes, name], "other"))
    return result


def class_word_list(count=2000):
    """An alternation of words of six random letters, each after a class of
    letters and before one of digits: a word list whose every branch begins
    with a class, so that its first bytes are most letters of the text."""
    chosen = random.Random(5)
    letters = "abcdefghijklmnopqrstuvwxyz"
    return "|".join("[a-z]%s[0-9]" % "".join(chosen.choice(letters) for _ in range(6))
                    for _ in range(count))


def word_list(name, count=400):
    """An alternation of identifiers of the corpus (every seventh distinct one
    of ten letters or more in its first megabyte): the pattern of a search for
    a word list."""
    with open(name, "rb") as corpus:
        head = corpus.read(1 << 20).decode("latin-1")
    found = sorted(set(re.findall(r"[A-Za-z_]{10,}", head)))
    return "|".join(found[::7][:count])


def regex_sanity_checks(program, name, cwd):
    """For each regular-expression search, the distinct lines of our reports
    against GNU grep -c: a pattern matches a line in both or in neither,
    whatever the rules that pick one match among several."""
    messages = []
    for title, ours, gnu, _, _ in regex_searches(name, cwd):
        lines = set()
        reports = 0
        for report in capture([program] + ours, cwd).split(b"\r\n"):
            if report:
                reports += 1
                lines.add(int(report.split(b" ")[1]))
        counted = int(capture([a if a != "-n" else "-c" for a in gnu], cwd).strip() or b"0")
        messages.append("%s: ours %d reports on %d distinct lines, grep -c %d lines: %s"
                        % (title, reports, len(lines), counted,
                           "same" if len(lines) == counted else "DIFFERENT"))
    return messages


def sanity_checks(program, name, cwd):
    """Our reports and GNU grep agree on the rare literal (distinct line numbers
    against grep -c), and our -C count equals ripgrep's count of matches."""
    lines = set()
    for report in capture([program, "PyInterpreterState_Main", name], cwd).split(b"\r\n"):
        if report:
            lines.add(int(report.split(b" ")[1]))
    gnu = int(capture(["grep", "-c", "-F", "PyInterpreterState_Main", name], cwd) or b"0")
    messages = ["rare literal: our reports fall on %d distinct lines, grep -c counts %d: %s"
                % (len(lines), gnu, "same" if len(lines) == gnu else "DIFFERENT")]
    summary = capture([program, "-C", "self", name], cwd).strip()
    ours = int(summary.rsplit(b": ", 1)[1]) if b": " in summary else -1
    rg = int(capture(RG + ["--count-matches", "-F", "self", name], cwd).strip() or b"0")
    messages.append("count of 'self': ours -C %d matches, rg --count-matches %d: %s"
                    % (ours, rg, "same" if ours == rg else "DIFFERENT"))
    return messages


def run_benchmark(program, corpus, runs, results, regex=False):
    program = os.path.abspath(program)
    cwd, name = os.path.split(os.path.abspath(corpus))
    size = os.path.getsize(corpus)
    out = []

    def say(text=""):
        print(text, flush=True)
        out.append(text)

    say("corpus %s: %.1f MB; %d timed runs per program after one warm-up run" % (name, size / 1e6, runs))
    say("programs: ours %s; %s; %s" % (
        program, capture(["grep", "--version"], cwd).split(b"\n")[0].decode(),
        capture(["rg", "--version"], cwd).split(b"\n")[0].decode()))
    if regex:
        cases = regex_searches(name, cwd)
        checks = regex_sanity_checks(program, name, cwd)
    else:
        cases = [case + ("",) for case in searches(name)]
        checks = sanity_checks(program, name, cwd)
    for message in checks:
        say(message)
    say()
    header = "%-46s %9s %9s %9s %8s %8s %9s %8s %9s %9s %9s %11s" % (
        "search", "ours s", "grep s", "rg s", "ours/gr", "ours/rg", "rg/m s", "ours/rgm",
        "ours MiB", "grep MiB", "rg MiB", "out MB o/g/r")
    if regex:
        header += " %7s" % "target"
    say(header)
    say("-" * len(header))
    for title, ours, gnu, rg, kind in cases:
        # The programs take turns, run after run, so that a slow minute of the
        # machine (its times move by 10-25 %) falls on all of them alike.
        commands = [[program] + ours, gnu, rg, per_match(rg)]
        times = [[] for _ in commands]
        rss = [[] for _ in commands]
        totals = [0 for _ in commands]
        for command in commands:
            run_once(command, cwd)
        for _ in range(runs):
            for i, command in enumerate(commands):
                seconds, kib, status, totals[i] = run_once(command, cwd)
                times[i].append(seconds)
                rss[i].append(kib)
        medians = [statistics.median(t) for t in times]
        peaks = [max(r) / 1024 for r in rss]
        outputs = [total / 1e6 for total in totals]
        line = "%-46s %9.3f %9.3f %9.3f %8.2f %8.2f %9.3f %8.2f %9.1f %9.1f %9.1f %11s" % (
            title, medians[0], medians[1], medians[2], medians[0] / medians[1], medians[0] / medians[2],
            medians[3], medians[0] / medians[3],
            peaks[0], peaks[1], peaks[2], "/".join("%.0f" % o for o in outputs[:3]))
        if regex:
            limit = 1.0 if kind == "literal" else 1.5
            line += " %7s" % ("<=%.1f %s" % (limit, "ok" if medians[0] / medians[1] <= limit else "MISS"))
        say(line)
    say()
    say("Times are medians of wall time; ratios above 1 mean ours is slower. Ours prints one")
    say("line per match (grep and rg one per matching line), so its output can be larger.")
    say("rg/m is ripgrep doing the same work as ours: one line per match (--vimgrep), or")
    say("counting matches (--count-matches) where ours counts them; ours/rgm compares with it.")
    if regex:
        say("GNU grep runs as LC_ALL=C grep -a -n -E (bytes, as ours reads them). Target: ours/gr")
        say("<= 1.0 where every match holds a literal of more than one byte, <= 1.5 otherwise.")
    save_table(out, results, "regex" if regex else "bench")


PERIODIC_PATTERNS = [
    ("x*100+NEEDLE", "k100.pat", b"x" * 100 + b"NEEDLE"),
    ("x*1000+NEEDLE", "k1000.pat", b"x" * 1000 + b"NEEDLE"),
    ("x*10000+NEEDLE", "k10000.pat", b"x" * 10000 + b"NEEDLE"),
    ("x*2000000+NEEDLE (2 MB)", "k2m.pat", b"x" * 2000000 + b"NEEDLE"),
    ("abc*1250+X+abc*1250", "abc.pat", b"abc " * 1250 + b"X" + b"abc " * 1250),
]


def build_periodic(directory):
    """The texts and pattern files of the periodic cases; existing ones are kept."""
    os.makedirs(directory, exist_ok=True)
    texts = {"x50m.txt": lambda f: (f.write(b"x" * 50000000), f.write(b"NEEDLE\n")),
             "abc10m.txt": lambda f: (f.write(b"abc " * 1250000), f.write(b"X"),
                                      f.write(b"abc " * 1250000), f.write(b"\n"))}
    for name, write in texts.items():
        path = os.path.join(directory, name)
        if not os.path.exists(path):
            with open(path + ".part", "wb") as f:
                write(f)
            os.replace(path + ".part", path)
    for _, name, pattern in PERIODIC_PATTERNS:
        path = os.path.join(directory, name)
        if not os.path.exists(path) or os.path.getsize(path) != len(pattern):
            with open(path, "wb") as f:
                f.write(pattern)


def count_of(output):
    """The count that a program printed: ours "NAME LINE COLUMN: COUNT", theirs "COUNT"."""
    text = output.strip().split(b"\r\n")[-1]
    try:
        return int(text.rsplit(b": ", 1)[-1] if b": " in text else text or b"0")
    except ValueError:
        return None


def run_periodic(program, baseline, directory, runs, timeout, results):
    build_periodic(directory)
    programs = [("ours", os.path.abspath(program))]
    if baseline:
        programs.append(("baseline", os.path.abspath(baseline)))
    out = []

    def say(text=""):
        print(text, flush=True)
        out.append(text)

    say("periodic search texts from a pattern file; %d timed runs per program after one warm-up "
        "run; runs over %d s are stopped" % (runs, timeout))
    say("programs: %s; %s; %s" % (
        "; ".join("%s %s" % p for p in programs),
        capture(["grep", "--version"], directory).split(b"\n")[0].decode(),
        capture(["rg", "--version"], directory).split(b"\n")[0].decode()))
    names = [label for label, _ in programs] + ["grep", "rg"]
    header = "%-26s %-11s" % ("search text", "text") + "".join("%11s" % (n + " s") for n in names) \
        + "%9s" % "ours/gr" + "".join("%14s" % (n + " MiB") for n in names) + "  counts"
    say(header)
    say("-" * len(header))
    for title, pattern, _ in PERIODIC_PATTERNS:
        text = "abc10m.txt" if pattern == "abc.pat" else "x50m.txt"
        commands = [[path, "-FB", pattern, "-C", text] for _, path in programs]
        commands += [["grep", "-F", "-c", "-f", pattern, text], RG + ["-F", "-c", "-f", pattern, text]]
        medians, peaks, counts = [], [], []
        for command in commands:
            runs_done = [run_once(command, directory, timeout)]
            if runs_done[0] is not None:
                runs_done = [run_once(command, directory, timeout) for _ in range(runs)]
            if any(r is None for r in runs_done):
                medians.append(None)
                peaks.append(None)
                counts.append("-")
                continue
            medians.append(statistics.median(r[0] for r in runs_done))
            peaks.append(max(r[1] for r in runs_done) / 1024)
            counts.append(str(count_of(capture(command, directory))))
        grep_median = medians[len(programs)]
        ratio = "%9.2f" % (medians[0] / grep_median) if medians[0] and grep_median else "%9s" % "-"
        say("%-26s %-11s" % (title, text)
            + "".join("%11.3f" % m if m is not None else "%11s" % ">%ds" % timeout for m in medians)
            + ratio + "".join("%14.1f" % p if p is not None else "%14s" % "-" for p in peaks)
            + "  " + "/".join(counts))
    say()
    say("Times are medians of wall time; a ratio above 1 means ours is slower than GNU grep.")
    say("Counts: ours -C counts matches, grep -c and rg -c matching lines; each case has one.")
    save_table(out, results, "periodic")


def save_table(lines, results, prefix):
    """Writes a printed table to results/PREFIX-date-time.txt and says where."""
    os.makedirs(results, exist_ok=True)
    path = os.path.join(results, time.strftime(prefix + "-%Y%m%d-%H%M%S.txt"))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("saved in %s" % path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("corpus")
    c.add_argument("--output", required=True)
    c.add_argument("--megabytes", type=int, default=300)
    r = sub.add_parser("run")
    r.add_argument("--program", required=True)
    r.add_argument("--corpus", required=True)
    r.add_argument("--runs", type=int, default=5)
    r.add_argument("--results", required=True)
    r.add_argument("--regex", action="store_true",
                   help="the regular-expression searches instead of the literal ones")
    p = sub.add_parser("periodic")
    p.add_argument("--program", required=True)
    p.add_argument("--baseline", help="another build of ours to time beside it")
    p.add_argument("--data", required=True, help="folder for the texts and pattern files")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--timeout", type=int, default=120, help="seconds before a run is stopped")
    p.add_argument("--results", required=True)
    options = parser.parse_args()
    if options.command == "corpus":
        build_corpus(options.output, options.megabytes)
    elif options.command == "periodic":
        run_periodic(options.program, options.baseline, options.data, options.runs, options.timeout,
                     options.results)
    else:
        run_benchmark(options.program, options.corpus, options.runs, options.results, options.regex)


if __name__ == "__main__":
    main()
