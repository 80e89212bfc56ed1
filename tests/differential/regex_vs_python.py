#!/usr/bin/env python3
"""Differential test of the regular-expression engine against Python's re.

Random patterns in the Unix-like dialect, built only from constructs that
both engines read the same way (characters, '.', bracket sets, groups,
non-capturing groups, back-references to closed groups, greedy and lazy
repeats, counted repeats, lazy and greedy, also over groups of alternatives,
alternation, anchors, negative look-ahead), are run over random texts by the
engine (through the regex_probe program, which walks a text as the search
driver does) and by Python's re (the same walk with Pattern.search). Both are
backtracking engines that report the first match in priority order, so every
reported start and length must agree.

Some texts are lines ended by CR LF or LF, searched as a file through the
text window: there each line is one subject for Python's re, without its line
end, and the walk ends, as the driver's does, when it moves to the end of the
file.

A share of the cases (--utf8-share) is UTF-8: patterns and texts drawn from
ASCII, Latin-1 letters, Greek, Cyrillic and CJK, searched in UTF-8 mode, with
and without ignoring case. Python's positions count characters; they are
turned into byte offsets. Every letter of the pool folds alike in both
engines, the Kelvin sign and the sharp s with their capitals included. Left
out are the characters that Python's re folds by rules of its own: its
back-references compare lower-case forms only, so the final sigma and the
long s, which the engine folds to σ and s there too, differ; so do the
Turkish dotted capital I and dotless i, the micro sign, the Greek symbol
variants (U+03D0, U+03F5, ...), the Angstrom and Ohm signs, and code points
above U+FFFF, which fold only in Python.

    python3 regex_vs_python.py --probe build/regex_probe --cases 20000 --seed 1

The last line is "N passed, N failed"; the exit status is 0 when all agree.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile

ALPHABET = "abc"
OTHERS = ["x", "A", "B", "-", "_", " "]
# The UTF-8 pool: letters of several scripts and both cases, k with the
# Kelvin sign, ß with ẞ.
UTF8_ALPHABET = "a\u00e9\u00c9\u00fc\u03c3\u03a3\u0436\u0416\u65e5\u672c"
UTF8_OTHERS = ["k", "K", "\u212a", "s", "S", "\u00df", "\u1e9e", "\u03b1", " ", "_",
               "\u00c0", "\u044f"]
UTF8_RANGES = ["a-c", "\u00e0-\u00fe", "\u03b1-\u03c9", "\u0391-\u03a9", "\u0430-\u044f",
               "\u4e00-\u9fa5", "j-l", "r-t"]


class Generator:
    def __init__(self, rng, utf8=False):
        self.rng = rng
        self.utf8 = utf8
        self.alphabet = UTF8_ALPHABET if utf8 else ALPHABET
        self.others = UTF8_OTHERS if utf8 else OTHERS
        self.groups = 0        # capturing groups opened so far
        self.closed = []       # capturing groups closed so far (Python numbers)

    def char(self):
        r = self.rng.random()
        if r < 0.75:
            return self.rng.choice(self.alphabet)
        if r < 0.85:
            return self.rng.choice(self.others)
        return "\\" + self.rng.choice(".*+?()[]{}|^$\\")

    def bracket(self):
        members = []
        for _ in range(self.rng.randint(1, 3)):
            if self.rng.random() < 0.3:
                if self.utf8:
                    members.append(self.rng.choice(UTF8_RANGES))
                else:
                    a, b = sorted(self.rng.sample(ALPHABET + "xyz", 2))
                    members.append(a + "-" + b)
            elif self.utf8:
                members.append(self.rng.choice(self.alphabet + "".join(self.others[:8])))
            else:
                members.append(self.rng.choice(ALPHABET + "xyz_"))
        negate = "^" if self.rng.random() < 0.3 else ""
        return "[" + negate + "".join(members) + "]"

    def atom(self, depth):
        r = self.rng.random()
        if depth < 3 and r < 0.22:
            kind = self.rng.random()
            if kind < 0.55 and self.groups < 9:
                self.groups += 1
                number = self.groups
                body = self.alternation(depth + 1)
                self.closed.append(number)
                return "(" + body + ")"
            if kind < 0.85:
                return "(?:" + self.alternation(depth + 1) + ")"
            return "(?!" + self.alternation(depth + 1) + ")"
        if r < 0.30:
            return "."
        if r < 0.42:
            return self.bracket()
        if r < 0.46 and self.closed:
            return "\\" + str(self.rng.choice(self.closed))
        return self.char()

    def short_sequence(self, depth):
        return "".join(self.quantified(depth) for _ in range(self.rng.randint(0, 2)))

    def counted_alternatives(self, depth):
        """A group of one to three short alternatives (some may be empty)
        under a counted repeat, lazy more often than not."""
        body = "|".join(self.short_sequence(depth + 1) for _ in range(self.rng.randint(1, 3)))
        if self.groups < 9 and self.rng.random() < 0.5:
            self.groups += 1
            self.closed.append(self.groups)
            group = "(" + body + ")"
        else:
            group = "(?:" + body + ")"
        low = self.rng.randint(0, 3)
        high = self.rng.randint(max(low, 1), 4)
        form = self.rng.choice(["{%d,%d}" % (low, high), "{%d,}" % low, "{%d}" % high, "?", "*", "+"])
        return group + form + ("?" if self.rng.random() < 0.7 else "")

    def quantified(self, depth):
        if depth < 3 and self.rng.random() < 0.06:
            return self.counted_alternatives(depth)
        atom = self.atom(depth)
        if atom.startswith("(?!"):
            return atom
        r = self.rng.random()
        if r < 0.55:
            return atom
        forms = ["*", "+", "?", "{%d}", "{%d,}", "{%d,%d}"]
        form = self.rng.choice(forms)
        if "%d,%d" in form:
            low = self.rng.randint(0, 3)
            high = self.rng.randint(max(low, 1), 4)
            form = form % (low, high)
        elif "%d" in form:
            form = form % self.rng.randint(1, 3)
        if self.rng.random() < 0.3:
            form += "?"
        return atom + form

    def sequence(self, depth):
        items = []
        if self.rng.random() < 0.1:
            items.append("^")
        for _ in range(self.rng.randint(0 if depth else 1, 4)):
            items.append(self.quantified(depth))
        if self.rng.random() < 0.1:
            items.append("$")
        return "".join(items)

    def loops(self):
        """A short pattern whose items are mostly counted groups: passes that
        take lazy or empty ways and give them back are where the count and
        the empty-pass guard must stay right."""
        items = []
        for _ in range(self.rng.randint(1, 3)):
            if self.rng.random() < 0.6:
                items.append(self.counted_alternatives(1))
            else:
                items.append(self.quantified(2))
        return ("^" if self.rng.random() < 0.2 else "") + "".join(items)

    def alternation(self, depth):
        parts = [self.sequence(depth)]
        while self.rng.random() < 0.25 and len(parts) < 3:
            parts.append(self.sequence(depth))
        return "|".join(parts)


def byte_offsets(text, matches):
    """Matches in characters as (byte offset, byte length) in UTF-8."""
    return [(len(text[:start].encode()), len(text[start:start + length].encode()))
            for start, length in matches]


def python_matches(pattern, text, ignore_case, as_file=False, utf8=False):
    if utf8:
        return byte_offsets(text, python_matches(pattern, text, ignore_case, as_file))
    if as_file:
        return python_file_matches(pattern, text, ignore_case)
    flags = re.IGNORECASE if ignore_case else 0
    compiled = re.compile(pattern, flags)
    result = []
    position = 0
    while position <= len(text):
        m = compiled.search(text, position)
        if m is None:
            break
        length = m.end() - m.start()
        result.append((m.start(), length))
        position = m.start() + (length if length > 0 else 1)
    return result


def text_lines(text):
    """(offset, line) for every line of a file's text: a line ends at a line
    feed, and a carriage return before it belongs to the line end. After a
    final line feed, and in an empty text, there is no line."""
    lines = []
    start = 0
    while start < len(text):
        end = text.find("\n", start)
        following = len(text) if end < 0 else end + 1
        if end < 0:
            end = len(text)
        elif end > start and text[end - 1] == "\r":
            end -= 1
        lines.append((start, text[start:end]))
        start = following
    return lines


def python_file_matches(pattern, text, ignore_case):
    """The matches of every line, at their offsets in the file, up to where
    the driver's walk moves to the end of the file."""
    found = []
    for offset, line in text_lines(text):
        for start, length in python_matches(pattern, line, ignore_case):
            if found and found[-1][0] + max(found[-1][1], 1) >= len(text):
                return found
            found.append((offset + start, length))
    return found


PYTHON_TIME_LIMIT = 0.1


class Slow(Exception):
    pass


def python_matches_in_time(pattern, text, ignore_case, as_file, utf8):
    """python_matches, or None when it takes longer than PYTHON_TIME_LIMIT."""
    def alarm(signum, frame):
        raise Slow()
    previous = signal.signal(signal.SIGALRM, alarm)
    signal.setitimer(signal.ITIMER_REAL, PYTHON_TIME_LIMIT)
    try:
        return python_matches(pattern, text, ignore_case, as_file, utf8)
    except Slow:
        return None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def random_text(rng, utf8=False):
    length = rng.randint(0, 24)
    pool = (UTF8_ALPHABET * 3 + "".join(UTF8_OTHERS) + "xb-") if utf8 else ALPHABET * 4 + "xyzAB_ -"
    return "".join(rng.choice(pool) for _ in range(length))


def random_lines(rng, utf8=False):
    """A few lines ended by CR LF or LF, the last one sometimes without."""
    text = ""
    for _ in range(rng.randint(0, 4)):
        text += random_text(rng, utf8)[:rng.randint(0, 8)] + rng.choice(["\r\n", "\r\n", "\n"])
    if text and rng.random() < 0.3:
        text += random_text(rng, utf8)[:rng.randint(1, 6)] or "a"
    return text


def run_probe(probe, cases, file_name, timeout=120):
    """The probe's answer lines for the cases, or None when it fails or hangs."""
    payload = bytearray()
    for pattern, text, ignore_case, as_file, utf8 in cases:
        encoding = "utf-8" if utf8 else "latin-1"
        p = pattern.encode(encoding)
        t = text.encode(encoding)
        payload += (b"U %d %d %d %s %d\n" % (1 if ignore_case else 0, len(p), len(t),
                                             b"F" if as_file else b"S", 2 if utf8 else 0) + p + t)
    try:
        run = subprocess.run([probe, file_name], input=bytes(payload), stdout=subprocess.PIPE,
                             timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    lines = run.stdout.decode("latin-1").splitlines()
    if run.returncode != 0 or len(lines) != len(cases):
        return None
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--cases", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--show", type=int, default=10, help="failures to print")
    parser.add_argument("--utf8-share", type=float, default=0.4,
                        help="share of the patterns that are UTF-8 (0 to 1)")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    cases = []
    expectations = []
    skipped = 0
    while len(cases) + skipped < args.cases:
        utf8 = rng.random() < args.utf8_share
        generator = Generator(rng, utf8)
        pattern = generator.loops() if rng.random() < 0.25 else generator.alternation(0)
        try:
            re.compile(pattern)
        except re.error:
            continue
        ignore_case = rng.random() < (0.5 if utf8 else 0.2)
        for _ in range(3):
            as_file = rng.random() < 0.3
            text = random_lines(rng, utf8) if as_file else random_text(rng, utf8)
            # Nested repeats can make any backtracking engine take exponential
            # time; a case that Python's re cannot answer quickly is left out.
            expected = python_matches_in_time(pattern, text, ignore_case, as_file, utf8)
            if expected is None:
                skipped += 1
                continue
            cases.append((pattern, text, ignore_case, as_file, utf8))
            expectations.append(expected)

    directory = tempfile.mkdtemp(prefix="regex_vs_python.")
    file_name = os.path.join(directory, "text")
    try:
        lines = []
        batch = 500
        for first in range(0, len(cases), batch):
            answers = run_probe(args.probe, cases[first:first + batch], file_name)
            if answers is None:
                print("the probe did not finish a batch; the slowest case:")
                for case in cases[first:first + batch]:
                    if run_probe(args.probe, [case], file_name, timeout=10) is None:
                        print("  pattern %r text %r icase %d file %d utf8 %d" % case)
                        break
                print("0 passed, %d failed" % len(cases))
                return 1
            lines += answers
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    passed = failed = 0
    for (pattern, text, ignore_case, as_file, utf8), expected, line in zip(cases, expectations,
                                                                            lines):
        fields = line.split()
        if fields[0] == "E":
            got = "compile status " + fields[1]
        else:
            numbers = list(map(int, fields[1:]))
            got = list(zip(numbers[0::2], numbers[1::2]))
        if got == expected:
            passed += 1
        else:
            failed += 1
            if failed <= args.show:
                print("MISMATCH pattern %r text %r icase %d file %d utf8 %d\n  engine %s\n  python %s"
                      % (pattern, text, ignore_case, as_file, utf8, got, expected))
    if skipped:
        print("%d cases left out: Python's re took over %.1f s on them" % (skipped, PYTHON_TIME_LIMIT))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
