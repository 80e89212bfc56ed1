#!/usr/bin/env python3
"""Differential test of the regular-expression engine against Python's re.

Random patterns in the Unix-like dialect, built only from constructs that
both engines read the same way (characters, '.', bracket sets, groups,
non-capturing groups, back-references to closed groups, greedy and lazy
repeats, counted repeats, alternation, anchors, negative look-ahead), are run
over random texts by the engine (through the regex_probe program, which walks
a text as the search driver does) and by Python's re (the same walk with
Pattern.search). Both are backtracking engines that report the first match
in priority order, so every reported start and length must agree.

    python3 regex_vs_python.py --probe build/regex_probe --cases 20000 --seed 1

The last line is "N passed, N failed"; the exit status is 0 when all agree.
"""

import argparse
import random
import re
import signal
import subprocess
import sys

ALPHABET = "abc"


class Generator:
    def __init__(self, rng):
        self.rng = rng
        self.groups = 0        # capturing groups opened so far
        self.closed = []       # capturing groups closed so far (Python numbers)

    def char(self):
        r = self.rng.random()
        if r < 0.75:
            return self.rng.choice(ALPHABET)
        if r < 0.85:
            return self.rng.choice(["x", "A", "B", "-", "_", " "])
        return "\\" + self.rng.choice(".*+?()[]{}|^$\\")

    def bracket(self):
        members = []
        for _ in range(self.rng.randint(1, 3)):
            if self.rng.random() < 0.3:
                a, b = sorted(self.rng.sample(ALPHABET + "xyz", 2))
                members.append(a + "-" + b)
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

    def quantified(self, depth):
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

    def alternation(self, depth):
        parts = [self.sequence(depth)]
        while self.rng.random() < 0.25 and len(parts) < 3:
            parts.append(self.sequence(depth))
        return "|".join(parts)


def to_python(pattern):
    """The probe numbers back-references from \\1 = the first group, as Python
    does; the constructs used are spelled the same in both."""
    return pattern


def python_matches(pattern, text, ignore_case):
    flags = re.IGNORECASE if ignore_case else 0
    compiled = re.compile(to_python(pattern), flags)
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


PYTHON_TIME_LIMIT = 0.5


class Slow(Exception):
    pass


def python_matches_in_time(pattern, text, ignore_case):
    """python_matches, or None when it takes longer than PYTHON_TIME_LIMIT."""
    def alarm(signum, frame):
        raise Slow()
    previous = signal.signal(signal.SIGALRM, alarm)
    signal.setitimer(signal.ITIMER_REAL, PYTHON_TIME_LIMIT)
    try:
        return python_matches(pattern, text, ignore_case)
    except Slow:
        return None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def random_text(rng):
    length = rng.randint(0, 24)
    pool = ALPHABET * 4 + "xyzAB_ -"
    return "".join(rng.choice(pool) for _ in range(length))


def run_probe(probe, cases, timeout=120):
    """The probe's answer lines for the cases, or None when it fails or hangs."""
    payload = bytearray()
    for pattern, text, ignore_case in cases:
        p = pattern.encode("latin-1")
        t = text.encode("latin-1")
        payload += b"U %d %d %d\n" % (1 if ignore_case else 0, len(p), len(t)) + p + t
    try:
        run = subprocess.run([probe], input=bytes(payload), stdout=subprocess.PIPE,
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
    args = parser.parse_args()

    rng = random.Random(args.seed)
    cases = []
    expectations = []
    skipped = 0
    while len(cases) + skipped < args.cases:
        generator = Generator(rng)
        pattern = generator.alternation(0)
        try:
            re.compile(pattern)
        except re.error:
            continue
        ignore_case = rng.random() < 0.2
        for _ in range(3):
            text = random_text(rng)
            # Nested repeats can make any backtracking engine take exponential
            # time; a case that Python's re cannot answer quickly is left out.
            expected = python_matches_in_time(pattern, text, ignore_case)
            if expected is None:
                skipped += 1
                continue
            cases.append((pattern, text, ignore_case))
            expectations.append(expected)

    lines = []
    batch = 500
    for first in range(0, len(cases), batch):
        answers = run_probe(args.probe, cases[first:first + batch])
        if answers is None:
            print("the probe did not finish a batch; the slowest case:")
            for pattern, text, ignore_case in cases[first:first + batch]:
                if run_probe(args.probe, [(pattern, text, ignore_case)], timeout=10) is None:
                    print("  pattern %r text %r icase %d" % (pattern, text, ignore_case))
                    break
            print("0 passed, %d failed" % len(cases))
            return 1
        lines += answers

    passed = failed = 0
    for (pattern, text, ignore_case), expected, line in zip(cases, expectations, lines):
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
                print("MISMATCH pattern %r text %r icase %d\n  engine %s\n  python %s"
                      % (pattern, text, ignore_case, got, expected))
    if skipped:
        print("%d cases left out: Python's re took over %.1f s on them" % (skipped, PYTHON_TIME_LIMIT))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
