#!/usr/bin/env python3
"""Benchmark of UTF-8 text searches against GNU grep in the same locale.

    utf8_bench.py corpus --output bench/corpus/utf8.txt [--megabytes 40 --prose 4]
    utf8_bench.py run --program build/grep --corpus bench/corpus/utf8.txt --runs 3 \
        [--baseline OTHER_BUILD/grep] --results bench/results

"corpus" writes the first megabytes of the literal corpus of bench.py (C
headers and Python sources, built by bench.py corpus when missing) followed
by megabytes of UTF-8 prose: lines of words in Latin, Greek, Cyrillic, CJK,
Japanese, Korean, Arabic, Hebrew, Devanagari and Thai script, drawn with a
fixed seed from the day, month and other names that the system's locale
sources (/usr/share/i18n/locales) spell in those scripts.

"run" times every literal and regular-expression search of bench.py, plus
searches that UTF-8 text adds (ignore case on non-ASCII words, '.' over
non-ASCII text, whole words), with this program under LANG=C.UTF-8 (the
code page 65001: UTF-8 text mode) and GNU grep under LC_ALL=C.UTF-8 with -a,
both writing into a pipe that is drained. It also times this program under
LC_ALL=C (bytes), and a --baseline build (the one before a change) under
LC_ALL=C beside it, so that the byte-mode figures can be compared. The table
shows medians of wall time, the ratio of ours in UTF-8 mode to GNU grep, and
the peak resident memory. Python standard library only.
"""

import argparse
import glob
import os
import random
import re
import statistics
import sys
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

# The scripts of the prose and their shares of its words.
SCRIPTS = {"LATIN": 4, "GREEK": 2, "CYRILLIC": 3, "CJK": 2, "HIRAGANA": 1, "KATAKANA": 1,
           "HANGUL": 1, "ARABIC": 1, "HEBREW": 1, "DEVANAGARI": 1, "THAI": 1}
ASCII_WORDS = ("the of and to in is that for it as was with be by on not he this are or "
               "his from at which but have an they you were her she there been one all").split()


def locale_words():
    """Words of the locale sources by script: the strings they spell as <Uxxxx>."""
    words = {script: set() for script in SCRIPTS}
    for name in sorted(glob.glob("/usr/share/i18n/locales/*")):
        try:
            with open(name, encoding="utf-8", errors="replace") as source:
                text = source.read()
        except OSError:
            continue
        for spelled in re.findall(r'"((?:<U[0-9A-Fa-f]{4,8}>)+)"', text):
            value = "".join(chr(int(x, 16)) for x in re.findall(r"<U([0-9A-Fa-f]{4,8})>", spelled))
            for word in re.split(r"[\s;,.%]+", value):
                if len(word) < 2 or word.isascii() or not word.isprintable():
                    continue
                script = unicodedata.name(word[0], "?").split()[0]
                if script in words and all(unicodedata.category(c)[0] == "L" for c in word):
                    words[script].add(word)
    return {script: sorted(found) for script, found in words.items() if found}


def build_corpus(output, megabytes, prose_megabytes):
    here = os.path.dirname(os.path.abspath(__file__))
    literal = os.path.join(here, "corpus", "corpus.txt")
    if not os.path.exists(literal):
        bench.build_corpus(literal, max(megabytes, 1))
    words = locale_words()
    if not words:
        sys.exit("corpus: no words found under /usr/share/i18n/locales")
    rng = random.Random(2026)
    scripts = [s for s in SCRIPTS if s in words]
    weights = [SCRIPTS[s] for s in scripts]
    lines = []
    size = 0
    while size < prose_megabytes * 1000 * 1000:
        line = []
        for _ in range(rng.randint(6, 14)):
            if rng.random() < 0.3:
                line.append(rng.choice(ASCII_WORDS))
            else:
                line.append(rng.choice(words[rng.choices(scripts, weights)[0]]))
        text = (" ".join(line) + ".\n").encode()
        lines.append(text)
        size += len(text)
    with open(literal, "rb") as source, open(output, "wb") as target:
        target.write(source.read(megabytes * 1000 * 1000))
        target.write(b"\n")
        target.writelines(lines)
    print("corpus: %s, %d MB of the literal corpus and %.1f MB of prose in %d scripts"
          % (output, megabytes, size / 1e6, len(scripts)))


GNU = ["env", "LC_ALL=C.UTF-8", "grep", "-a", "-n"]


def utf8_searches(name):
    """(title, ours, GNU grep) for the searches that UTF-8 text adds."""
    return [
        ("-I non-ASCII word 'ЯНВАРЯ'", ["-I", "ЯНВАРЯ", name], GNU + ["-i", "-F", "ЯНВАРЯ", name]),
        ("-I Greek word 'ΙΑΝΟΥΆΡΙΟΣ'", ["-I", "ΙΑΝΟΥΆΡΙΟΣ", name],
         GNU + ["-i", "-F", "ΙΑΝΟΥΆΡΙΟΣ", name]),
        ("-I ASCII word with s and k 'kiss'", ["-I", "kiss", name], GNU + ["-i", "-F", "kiss", name]),
        ("literal non-ASCII 'январь'", ["январь", name], GNU + ["-F", "январь", name]),
        ("U '.' between CJK '日.日'", ["-U", "日.日", name], GNU + ["-E", "日.日", name]),
        ("U -I class 'ЯНВАР[ЬЯ]'", ["-U", "-I", "ЯНВАР[ЬЯ]", name],
         GNU + ["-i", "-E", "ЯНВАР[ЬЯ]", name]),
        ("-W non-ASCII word 'Ελλάδα'", ["-W", "Ελλάδα", name], GNU + ["-w", "-F", "Ελλάδα", name]),
    ]


def cases_of(name, directory):
    """(title, ours, GNU grep) for every case over the file `name` in
    `directory`: bench.py's and the UTF-8 ones."""
    cases = []
    for title, ours, gnu, _ in bench.searches(name):
        cases.append((title, ours, GNU + [a for a in gnu[1:] if a != "-n"]))
    for title, ours, gnu, _, _ in bench.regex_searches(name, directory):
        arguments = gnu[gnu.index("grep") + 1:]
        cases.append((title, ours, GNU + [a for a in arguments if a not in ("-a", "-n")]))
    return cases + utf8_searches(name)


def median_run(command, env, cwd, runs):
    command = ["env", "-u", "LC_ALL", "-u", "LC_CTYPE"] + ["%s=%s" % kv for kv in env.items()] \
        + command
    bench.run_once(command, cwd)
    results = [bench.run_once(command, cwd) for _ in range(runs)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results), results[0][3]


def run(program, baseline, corpus, runs, results):
    program = os.path.abspath(program)
    name = os.path.basename(corpus)
    cwd = os.path.dirname(os.path.abspath(corpus))
    out = []

    def say(text=""):
        print(text, flush=True)
        out.append(text)

    say("corpus %s: %.1f MB; %d timed runs after one warm-up run" % (
        name, os.path.getsize(corpus) / 1e6, runs))
    say("ours %s (UTF-8: LANG=C.UTF-8; bytes: LC_ALL=C)%s; GNU grep under LC_ALL=C.UTF-8 -a" % (
        program, "; baseline %s (bytes)" % baseline if baseline else ""))
    header = "%-44s %9s %9s %7s %9s %9s %9s" % ("search", "utf8 s", "grep s", "ours/gr",
                                                "bytes s", "base s", "utf8 MiB")
    say(header)
    say("-" * len(header))
    for title, ours, gnu in cases_of(name, cwd):
        utf8 = median_run([program] + ours, {"LANG": "C.UTF-8"}, cwd, runs)
        gnu_run = median_run(gnu, {}, cwd, runs)
        byte = median_run([program] + ours, {"LC_ALL": "C"}, cwd, runs)
        base = median_run([os.path.abspath(baseline)] + ours, {"LC_ALL": "C"}, cwd, runs) \
            if baseline else None
        say("%-44s %9.3f %9.3f %7.2f %9.3f %9s %9.1f" % (
            title[:44], utf8[0], gnu_run[0], utf8[0] / gnu_run[0], byte[0],
            "%.3f" % base[0] if base else "-", utf8[1] / 1024))
    say()
    say("Times are medians of wall time; a ratio above 1 means ours is slower than GNU grep.")
    bench.save_table(out, results, "utf8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("corpus")
    c.add_argument("--output", required=True)
    c.add_argument("--megabytes", type=int, default=40)
    c.add_argument("--prose", type=int, default=4)
    r = sub.add_parser("run")
    r.add_argument("--program", required=True)
    r.add_argument("--baseline")
    r.add_argument("--corpus", required=True)
    r.add_argument("--runs", type=int, default=3)
    r.add_argument("--results", required=True)
    args = parser.parse_args()
    if args.command == "corpus":
        build_corpus(args.output, args.megabytes, args.prose)
    else:
        run(args.program, args.baseline, args.corpus, args.runs, args.results)


if __name__ == "__main__":
    main()
