#!/usr/bin/env python3
"""End-to-end tests of the grep program.

Each case runs the built program (directly, or through a runner such as wine)
in a fresh temporary working directory holding the files the case names, with
standard input taken from /dev/null, a regular file or a pipe, and compares the
exact bytes written to standard output and the exit status with the values
written down in the case. The expected report lines are spelled out by hand; a
case states a message by its number and arguments, and its text is expanded
from the program's own catalogue grep.kvb beside it.

    python3 tests/e2e/run_e2e.py --program build/grep
    python3 tests/e2e/run_e2e.py --program build-win/grep.exe --runner wine

Options: --filter TEXT runs only cases whose name contains TEXT; --slow (or
GREP_E2E_SLOW=1) also runs the slow cases (the searches of a file of more
than 4 GiB); --keep keeps the working directory of each failing case; --list
prints the case names; --jobs N runs N
cases at a time, each in a worker process of its own (a case marked alone runs
after the others, by itself); --build-script no leaves out the checks of
build.sh, --build-script only runs just them. The last line is "N passed,
N failed"; the exit status is 0 only when every case that ran passed.

Only the Python standard library is used.
"""

import argparse
import itertools
import multiprocessing
import os
import random
import re
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from message_texts import Catalogue, CatalogueError  # noqa: E402

CRLF = b"\r\n"
SYNTAX_R, SYNTAX_U, SYNTAX_B = ord("R"), ord("U"), ord("B")
REGEX_SYNTAX_ERROR = -2500
NOT_FOUND = -2
DEFAULTS_MARKER = b"DEFAULT OPTIONS 1.05: \x00"
# A closed pipe: the bytes read before the reader closes it, and the seconds
# the program may take after that to end.
CLOSED_AFTER = 20
CLOSED_PIPE_SECONDS = 10
# A case with `meanwhile` reads this many bytes of the output before it acts.
MEANWHILE_AFTER = 20
# The user an unprivileged run takes when the suite runs as root.
NOBODY = 65534


def status_byte(status):
    """The part of an exit status that a Linux parent sees.

    The program exits with a signed 32-bit status (-2, -2500, ...). A Linux
    parent, including the wine loader that runs grep.exe, only receives its low
    byte, so statuses are compared as that byte on both builds.
    """
    return status & 0xFF


# ---------------------------------------------------------------------------
# Expected output: a list of parts, each bytes, a message line or the usage
# screen. Message argument slots keep their texts from one message to the
# next within a run, as the program's slots do.


class Msg:
    """A diagnostic line: message text with its arguments, then CR LF."""

    def __init__(self, number, **args):
        self.number = number
        self.args = {int(k[1:]): v for k, v in args.items()}  # a1="name" -> slot 1


class Usage:
    """The usage screen with the markers of the settings in force. The program's
    name is the one it was started by, without ".exe" ("grep" for the built
    program), and the system's suffix of program files: ".exe" on Windows,
    nothing on Linux."""

    def __init__(self, ignore_case=0, syntax=0, name="grep"):
        mark = lambda on: "(*)" if on else "   "
        self.slots = {
            0: "{EXT}",
            1: mark(ignore_case),
            2: mark(syntax == 0),
            3: name,
            4: mark(syntax == SYNTAX_R),
            5: mark(syntax == SYNTAX_U),
            6: mark(syntax == SYNTAX_B),
            7: mark(not ignore_case),
        }


class MsgText:
    """The plain text of a message, as an argument of another message."""

    def __init__(self, number):
        self.number = number


def to_bytes(value):
    return value if isinstance(value, bytes) else value.encode("utf-8", "surrogateescape")


def expand_expected(parts, catalogue, names):
    """Turns the parts into the exact bytes; None when a part needs the catalogue
    and there is none."""
    slots = {i: b"" for i in range(10)}
    out = bytearray()
    for part in parts:
        if isinstance(part, bytes):
            out += part
        elif isinstance(part, Msg):
            for slot, value in part.args.items():
                if isinstance(value, MsgText):
                    slots[slot] = catalogue.raw(value.number)[:511]
                else:
                    slots[slot] = to_bytes(substitute(value, names))[:511]
            out += catalogue.expand(part.number, slots) + CRLF
        elif isinstance(part, Usage):
            for slot, value in part.slots.items():
                slots[slot] = to_bytes(substitute(value, names))
            out += catalogue.expand(-3600, slots).replace(b"\n", b"\r\n")
        else:
            raise TypeError("unknown expected part %r" % (part,))
    return bytes(out)


def substitute(text, names):
    if isinstance(text, str):
        for key, value in names.items():
            text = text.replace("{%s}" % key, value)
    return text


# Report line builders. Names are str, line texts are bytes.

def rep(name, line, column, text):
    return b"%s %d %d:%s\r\n" % (to_bytes(name), line, column, text)


def rep_offset(name, offset, text):
    return b"%s offset=%d:%s\r\n" % (to_bytes(name), offset, text)


def summary(name, line, column, count):
    return b"%s %d %d: %d\r\n" % (to_bytes(name), line, column, count)


def summary_offset(name, offset, count):
    return b"%s offset=%d: %d\r\n" % (to_bytes(name), offset, count)


def heading(name):
    return b"File %s\r\n" % to_bytes(name)


def vrep(length, line, column, text):
    return b"  %d %d %d:%s\r\n" % (length, line, column, text)


def vrep_offset(length, offset, text):
    return b"  %d offset=%d:%s\r\n" % (length, offset, text)


def bare(text):
    return text + CRLF


# ---------------------------------------------------------------------------
# Files that a case creates


class Sparse:
    """A file of `size` bytes that is a hole except for the given pieces."""

    def __init__(self, size, pieces):
        self.size = size
        self.pieces = pieces

    def create(self, path):
        with open(path, "wb") as f:
            f.truncate(self.size)
            for offset, data in sorted(self.pieces.items()):
                f.seek(offset)
                f.write(data)
        blocks = os.stat(path).st_blocks * 512
        return blocks < 64 * 1024 * 1024  # False: the file system wrote it out


def lines_of_ten(count):
    """`count` lines of 9 digits and a line feed: 10 bytes each."""
    return b"".join(b"%09d\n" % i for i in range(count))


def pseudo_random(size, seed=12345):
    """Deterministic bytes that never contain the defaults marker."""
    out = bytearray()
    x = seed
    while len(out) < size:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    data = bytes(out)
    assert re.search(re.escape(DEFAULTS_MARKER), data, re.I) is None
    return data


# ---------------------------------------------------------------------------
# The case table

CASES = []


def case(name, args, out=(), status=0, files=None, stdin=None, **options):
    """Adds a case. args: "{P}" is the program's name in the working directory
    (copy_program, without_catalogue), "{P2}" and "{LINK}" names of its kind;
    out: parts (bytes, Msg, Usage), or out_re, a regular expression; files:
    name -> bytes or Sparse, or the bytes of f.txt alone; stdin: None
    (/dev/null), ("file"|"pipe", bytes).
    Options: check(ctx) after the run, setup(ctx) before it, err (standard
    error as parts), stdout "full" (/dev/full) or "closed" (a pipe closed
    after CLOSED_AFTER bytes), sigpipe "ignore", killed_by (a signal), env,
    file_size_limit (RLIMIT_FSIZE, SIGXFSZ ignored), unprivileged (as nobody
    when run as root), meanwhile(ctx) (run while the program waits on the full
    pipe after MEANWHILE_AFTER bytes), timeout, alone, native_only, slow,
    utf8_code_page (Suite.utf8_code_page_env)."""
    assert not any(c["name"] == name for c in CASES), name
    if isinstance(files, bytes):
        files = {"f.txt": files}
    CASES.append(dict(name=name, args=list(args), out=list(out), status=status,
                      files=files or {}, stdin=stdin, **options))


def cases(rows, **common):
    """Adds a case per row, (name, args, out[, status[, files]]), with the
    options the rows share."""
    for row in rows:
        case(*row, **common)


# --- The road of one request and the basic report line ----------------------
# The rules of the report line (columns, line ends, CR and 0x01, matches over
# lines, records) are the random cases' below; these show the options and
# the bytes the random texts do not hold.

ROAD = {"file.txt": b"first line\nneedle at start\nabc NEEDLE xyz\nend needle\n"}
R2, R3, R4 = (rep("file.txt", 2, 1, b"needle at start"), rep("file.txt", 3, 5, b"abc NEEDLE xyz"),
              rep("file.txt", 4, 5, b"end needle"))
cases([
    ("road: -i needle file.txt", ["-i", "needle", "file.txt"], [R2, R3, R4]),
    ("case-sensitive by default", ["needle", "file.txt"], [R2, R4]),
    ("-X after -I searches case-sensitively", ["-I", "-X", "NEEDLE", "file.txt"], [R3]),
    ("no match prints nothing", ["absent", "file.txt"], []),
    ("an option after the first file is a file specification", ["needle", "file.txt", "-I"],
     [R2, R4, Msg(-3639, a1="-I")]),
], files=ROAD)
# The fix-up moves the line start once per reported match, so with two CRs at
# the start of a line the second match of that line counts from one byte later.
case("line start fix-up runs again for the second match of a line", ["needle", "f.txt"],
     [rep("f.txt", 1, 2, b"needle needle"), rep("f.txt", 1, 8, b"needle needle")],
     files=b"\r\rneedle needle\n")
case("binary bytes: 0x01 printed as a blank, CR dropped, NUL and others kept",
     ["needle", "f.bin"], [rep("f.bin", 1, 7, b"a b\x00c\xffneedle\x02\x1a\x7f")],
     files={"f.bin": b"a\x01b\x00c\xffneedle\x02\r\x1a\x7f\n"})
NAMED = {"a.txt": b"a needle\n", "b.txt": b"b\nneedle b\n", "sub/a.txt": b"needle\n",
         "my file.txt": b"needle\n"}
cases([
    ("a file name with a blank is printed in double quotes", ["needle", "my file.txt"],
     [rep('"my file.txt"', 1, 1, b"needle")]),
    # -3639 names the file without quotes, even with a blank; the status stays 0.
    ("several files, one missing: -3639, the others are still searched",
     ["needle", "a.txt", "no such.txt", "b.txt"],
     [rep("a.txt", 1, 3, b"a needle"), Msg(-3639, a1="no such.txt"), rep("b.txt", 2, 1, b"needle b")]),
    ("a path with a directory part is searched and shown as given", ["needle", "sub/a.txt"],
     [rep("sub/a.txt", 1, 1, b"needle")]),
    ("a directory named as the file: -3639 and status 0", ["needle", "sub"], [Msg(-3639, a1="sub")]),
    ("a directory named as the list file: -3632", ["needle", "-L", "sub"], [Msg(-3632, a1="sub")], 1),
    ("a directory named as the pattern file: -3629", ["-F", "sub", "sub/a.txt"],
     [Msg(-3629, a1="sub")], 1),
], files=NAMED)
case("many report lines pass whole through the output buffer", ["needle", "f.txt"],
     [rep("f.txt", n, 3, b"a needle") for n in range(1, 20001)], files=b"a needle\n" * 20000)
AFRESH = {"a.txt": b"x\n" * 40000 + b"needle needle\n", "b.txt": b"bneedle"}
cases([
    ("each file starts afresh: line numbers and counts", ["needle", "a.txt", "b.txt"],
     [rep("a.txt", 40001, 1, b"needle needle"), rep("a.txt", 40001, 8, b"needle needle"),
      rep("b.txt", 1, 2, b"bneedle")]),
    ("-C: each file starts afresh", ["-C", "needle", "a.txt", "b.txt"],
     [summary("a.txt", 40001, 1, 2), summary("b.txt", 1, 2, 1)]),
], files=AFRESH)

# --- Standard input ------------------------------------------------------------
# Read from a file it has an empty display name; from a pipe it is copied to
# a file first, so a line longer than the window is read back either way.

LONG_STDIN = b"x" * 70000 + b"needle" + b"y" * 10 + b"\n" + b"needle\n"
for kind in ("file", "pipe"):
    case("standard input from a %s: a line longer than the window is read back" % kind, ["needle"],
         [rep("", 1, 70001, b"x" * 70000 + b"needle" + b"y" * 10), rep("", 2, 1, b"needle")],
         stdin=(kind, LONG_STDIN))
case("standard input empty (/dev/null)", ["needle"], [])
case("standard input from a pipe: many blocks, line numbers go on", ["needle"],
     [rep("", 300001, 2, b"aneedle")], stdin=("pipe", b"a\n" * 300000 + b"aneedle\n"))
case("standard input with -V: the heading has an empty name", ["-V", "needle"],
     [heading(""), vrep(6, 1, 3, b"a needle")], stdin=("pipe", b"a needle\n"))
case("an empty search text argument: the next word is the search text", ["", "f.txt"],
     [rep("", 1, 5, b"see f.txt here")], stdin=("file", b"see f.txt here\n"))

# --- Options of the option table -----------------------------------------------

F1 = {"f.txt": b"abc\nxx needle\nnothing\nneedle needle\n", "g.txt": b"nothing\n",
      "h.txt": b"needle\n", "my file.txt": b"needle\n", "n.txt": b"ne.dle\nneedle\n"}
F1_REPORTS = [rep("f.txt", 2, 4, b"xx needle"), rep("f.txt", 4, 1, b"needle needle"),
              rep("f.txt", 4, 8, b"needle needle")]
F1_LINES = [bare(b"xx needle"), bare(b"needle needle"), bare(b"needle needle")]
UNKNOWN = ["-Q", "-q", "-G", "-J", "-K", "-S", "-Z", "-A", "-", "-#"]
cases([
    ("-M: lines without file name and position", ["-M", "needle", "f.txt"], F1_LINES),
    ("-po: byte offsets instead of line and column", ["-po", "needle", "f.txt"],
     [rep_offset("f.txt", 7, b"xx needle"), rep_offset("f.txt", 22, b"needle needle"),
      rep_offset("f.txt", 29, b"needle needle")]),
    ("-P followed by anything but O is an unknown option", ["-PX", "-P", "needle", "f.txt"],
     [Msg(-3631, a1="-PX"), Msg(-3631, a1="-P")] + F1_REPORTS),
    ("-C: one summary line with the first position and the count", ["-C", "needle", "f.txt", "g.txt"],
     [summary("f.txt", 2, 4, 3)]),
    ("-C with -M: the count alone", ["-C", "-M", "needle", "f.txt"], [bare(b"3")]),
    ("-C with -V: -V has no effect", ["-V", "-C", "needle", "f.txt"], [summary("f.txt", 2, 4, 3)]),
    ("-V: a heading per file with matches and the length column",
     ["-V", "needle", "f.txt", "g.txt", "h.txt"],
     [heading("f.txt"), vrep(6, 2, 4, b"xx needle"), vrep(6, 4, 1, b"needle needle"),
      vrep(6, 4, 8, b"needle needle"), heading("h.txt"), vrep(6, 1, 1, b"needle")]),
    ("-V with -M: no heading, no location", ["-V", "-M", "needle", "f.txt"], F1_LINES),
    ("-V heading of a name with a blank is quoted", ["-V", "needle", "my file.txt"],
     [heading('"my file.txt"'), vrep(6, 1, 1, b"needle")]),
    ("-Y, -O and -N leave a literal search unchanged", ["-Y", "-O", "-N", "needle", "f.txt"], F1_REPORTS),
    ("-N after -R selects the literal search", ["-R", "-N", "ne.dle", "n.txt"], [rep("n.txt", 1, 1, b"ne.dle")]),
    ("-U followed by other words is ignored silently",
     ["-Ux", "-Unknown", "-UnicodeCallsAvailable", "-utf8", "ne.dle", "n.txt"], [rep("n.txt", 1, 1, b"ne.dle")]),
    ("unknown options print -3631 and the search still runs", UNKNOWN + ["needle", "f.txt"],
     [Msg(-3631, a1=o) for o in UNKNOWN] + F1_REPORTS),
    ("+T in the file phase makes later specifications tree walks",
     ["needle", "h.txt", "+T", "nosuch1.txt", "nosuch2.txt"], [rep("h.txt", 1, 1, b"needle")], NOT_FOUND),
    ("? after the search text is a wildcard specification", ["needle", "?"], []),
    ("a wildcard that selects nothing gives status 0", ["needle", "*.none"], []),
], files=F1)

# -E: the next argument is the search text. Argument errors end the program
# with status 1 before anything is searched.
cases([
    ("-E takes a text that begins with -", ["-E", "-x", "f.txt"], [rep("f.txt", 1, 2, b"a-x b")]),
    ("-E takes a text that begins with ?", ["-E", "?", "f.txt"], [rep("f.txt", 2, 5, b"what?")]),
    ("-E with an empty text leaves no search text: usage", ["-E", ""], [Usage()]),
    ("-E with an empty text: the next word is the search text", ["-E", "", "needle", "f.txt"],
     [rep("f.txt", 3, 1, b"needle")]),
    ("-E without an argument: -3626", ["-E"], [Msg(-3626)], 1),
    ("-E twice: -3627", ["-E", "a", "-E", "b"], [Msg(-3627)], 1),
    ("-E after a search text: -3627", ["needle", "-E", "x", "f.txt"], [Msg(-3627)], 1),
    ("-E after -F: -3627", ["-F", "p.txt", "-E", "x"], [Msg(-3627)], 1),
    ("-F after -E: -3627", ["-E", "x", "-F", "p.txt"], [Msg(-3627)], 1),
    ("-F without an argument: -3628", ["-F"], [Msg(-3628)], 1),
    ("-F on a missing file: -3629", ["-F", "nosuch.pat", "f.txt"], [Msg(-3629, a1="nosuch.pat")], 1),
    ("-L before a search text: -3630", ["-L", "list.lst", "needle"], [Msg(-3630)], 1),
    ("-D without arguments: -3625", ["-D"], [Msg(-3625)], 1),
    ("-D with one argument: -3625", ["-I", "-D", "grep"], [Msg(-3625)], 1),
], files={"f.txt": b"a-x b\nwhat?\nneedle\n", "p.txt": b"needle", "list.lst": b"f.txt\n"})

# -F and -FB: the search text from a file.
CRLF_TEXT = b"needle\r\nxneedle\n"
CRLF_FOUND = [rep("f.txt", 1, 1, b"needle"), rep("f.txt", 2, 2, b"xneedle")]
cases([
    ("-F drops a trailing CR LF", ["-F", "p.txt", "f.txt"], CRLF_FOUND, 0,
     {"p.txt": b"needle\r\n", "f.txt": CRLF_TEXT}),
    ("-F drops 0x1A, then LF, then CR", ["-F", "p.txt", "f.txt"], CRLF_FOUND, 0,
     {"p.txt": b"needle\r\n\x1a", "f.txt": CRLF_TEXT}),
    ("-F drops only one line feed", ["-F", "p.txt", "f.txt"], [rep("f.txt", 1, 3, b"a needle\r\n")], 0,
     {"p.txt": b"needle\n\n", "f.txt": b"a needle\nneedle"}),
    ("-FB keeps CR LF: a match over the line end prints both lines' bytes", ["-FB", "p.txt", "f.txt"],
     [rep("f.txt", 1, 3, b"x needle\r\n")], 0, {"p.txt": b"needle\r\n", "f.txt": b"x needle\r\nneedle\n"}),
    ("-FB: a match over a line feed prints every line it touches, the last up to its end",
     ["-FB", "p.txt", "f.txt"], [rep("f.txt", 2, 5, b"bbb needle1\r\nneedle2")], 0,
     {"p.txt": b"needle1\nneedle2", "f.txt": b"aaa\nbbb needle1\nneedle2 ccc\nddd\n"}),
    ("-FB: a match over a line feed at the window boundary; lines counted on", ["-FB", "p.txt", "w.txt"],
     [rep("w.txt", 6554, 5, b"abc needle1\r\nneedle2"), rep("w.txt", 6557, 1, b"needle1\r\nneedle2")], 0,
     {"p.txt": b"needle1\nneedle2",
      "w.txt": lines_of_ten(6553) + b"abc needle1\nneedle2 tail\nzz\nneedle1\nneedle2\n"}),
    ("-fb keeps a trailing 0x1A", ["-fb", "p.txt", "f.txt"], [rep("f.txt", 1, 1, b"ab\x1a")], 0,
     {"p.txt": b"ab\x1a", "f.txt": b"ab\x1a\nab\n"}),
    ("-F search text with a NUL byte", ["-F", "p.bin", "f.bin"], [rep("f.bin", 2, 3, b"zz\x00ab")], 0,
     {"p.bin": b"\x00ab", "f.bin": b"ab\nzz\x00ab\n"}),
])
case("a search text longer than the file", ["needle-needle", "f.txt"], [], files=b"needle")

# -L: list files.
ABC = {"a.txt": b"a needle\n", "b.txt": b"b needle\n", "c.txt": b"c needle\n"}
A, B, C = (rep(n + ".txt", 1, 3, n.encode() + b" needle") for n in "abc")
cases([
    ("-L: CR and 0x1A dropped, leading blanks removed, last line without LF not searched",
     ["needle", "-L", "list.lst"], [A, B], 0, dict(ABC, **{"list.lst": b"a.txt\r\n  b\x1a.txt\nc.txt"})),
    ("-l in lower case after files", ["needle", "c.txt", "-l", "list.lst"], [C, A], 0,
     dict(ABC, **{"list.lst": b"a.txt\n"})),
    ("-L as an option ends the option phase", ["needle", "-L", "list.lst", "b.txt"], [A, B], 0,
     dict(ABC, **{"list.lst": b"a.txt\n"})),
    ("-L: a list longer than one 1000-byte read", ["needle", "-L", "list.lst"], [A] * 200 + [B], 0,
     dict(ABC, **{"list.lst": b"   a.txt\n" * 200 + b"b.txt\n"})),
    ("-L: a line of 1024 bytes is accepted (CR not counted)", ["needle", "-L", "list.lst"], [A], 0,
     dict(ABC, **{"list.lst": b" " * 1019 + b"a.txt\r\n"})),
    ("-L: a 1025th byte in a line: -3634", ["needle", "-L", "list.lst"], [B, Msg(-3634)], 1,
     dict(ABC, **{"list.lst": b"b.txt\n" + b" " * 1020 + b"a.txt\n"})),
    ("-L: a +T line without wildcard that selects nothing gives -2", ["needle", "-L", "list.lst"], [A],
     NOT_FOUND, dict(ABC, **{"list.lst": b"a.txt\n  +T  nosuch.txt\n"})),
    ("-L: the command line's -T does not apply to list lines", ["-T", "needle", "-L", "list.lst"], [A], 0,
     dict(ABC, **{"list.lst": b"a.txt\n", "sub/a.txt": b"needle\n"})),
    ("-L: a missing name is reported and the list goes on", ["needle", "-L", "list.lst"],
     [Msg(-3639, a1="nosuch.txt"), C], 0, dict(ABC, **{"list.lst": b"nosuch.txt\nc.txt\n"})),
    ("-L on a missing list file: -3632", ["needle", "a.txt", "-L", "missing.lst"],
     [A, Msg(-3632, a1="missing.lst")], 1, ABC),
    # A prefix of the file phase with nothing after it is an error found
    # before anything is searched.
    ("-L as the last argument: -3661, nothing searched", ["needle", "a.txt", "-L"],
     [Msg(-3661, a1="-L")], 1, ABC),
    ("-l right after the search text and last: -3661", ["needle", "-l"], [Msg(-3661, a1="-l")], 1, ABC),
    ("+T as the last argument: -3662, nothing searched", ["needle", "a.txt", "+T"],
     [Msg(-3662, a1="+T")], 1, ABC),
    ("-t as the last argument of the file phase: -3662", ["needle", "a.txt", "-t"],
     [Msg(-3662, a1="-t")], 1, ABC),
    ("a prefix takes the next argument even when that looks like a prefix", ["needle", "a.txt", "+T", "-L"],
     [A], NOT_FOUND, ABC),
])
case("-L: an empty line searches standard input", ["needle", "-L", "list.lst"],
     [A, rep("", 1, 4, b"in needle")], files=dict(ABC, **{"list.lst": b"a.txt\n\n"}),
     stdin=("file", b"in needle\n"))

# --- The usage screen and its markers ---------------------------------------------

# (arguments, the markers the screen shows)
for args, marks in (([], {}), (["?"], {}), (["-C", "-V"], {}), (["needle", "-h", "f.txt"], {}),
                    (["-I", "?"], dict(ignore_case=1)), (["-I", "-X", "?"], {}),
                    (["-R", "-H"], dict(syntax=SYNTAX_R)), (["-u", "?"], dict(syntax=SYNTAX_U)),
                    (["-B", "?"], dict(syntax=SYNTAX_B)), (["-R", "-N", "?"], {})):
    case("usage: " + (" ".join(args) or "no arguments"), args, [Usage(**marks)])


def check_usage_under_other_name(ctx):
    """Installed as kgrep (a link natively, a copy named KGREP.EXE on Windows),
    the program calls itself by that name on its usage screen."""
    if ctx.runner:
        program = os.path.join(ctx.work, "KGREP.EXE")
        shutil.copy2(ctx.suite.program, program)
        shutil.copy2(ctx.suite.catalogue_path, os.path.join(ctx.work, "grep.kvb"))
        name = "KGREP"
    else:
        program = os.path.join(ctx.work, "kgrep")
        os.symlink(ctx.suite.program, program)
        name = "kgrep"
    return ctx.run_and_compare(program, ["-R", "-H"], [Usage(syntax=SYNTAX_R, name=name)], 0,
                               "usage screen of " + name)


case("usage: the program shows the name it was started by", ["-H"], [Usage()],
     check=check_usage_under_other_name)
case("usage: -? is an unknown option, then the usage screen", ["-?"],
     [Msg(-3631, a1="-?"), Usage()])

# Without the catalogue beside the program, its load error stands where the
# text would have, on a line of its own.
LOAD_ERROR = rb"Unable to open message file '[^\r\n]*grep\.kvb' not found\r\n"
case("without grep.kvb: the load error in place of the usage screen ends its line", ["?"],
     out_re=LOAD_ERROR, copy_program=True, without_catalogue=True)
case("without grep.kvb: the load error in place of a message ends its line", ["-E"],
     out_re=LOAD_ERROR, status=1, copy_program=True, without_catalogue=True)

# --- Record mode -------------------------------------------------------------------
# The report rules of records (boundaries, bases, the shown bytes, records
# across the window) are the random cases' below; these show how the
# numeric options are read.

REC40 = b"x" * 25 + b"QZ" + b"x" * 6 + b"QZ" + b"x" * 5   # QZ at 25 and 33
REC_FOUND = [rep("r.dat", 3, 6, b"xxxxxQZxxx"), rep("r.dat", 4, 4, b"xxxQZxxxxx")]
cases([
    ("record mode: the numeric option after the search text", ["QZ", "-10", "r.dat"], REC_FOUND),
    ("record mode with -PO", ["-10", "-PO", "QZ", "r.dat"],
     [rep_offset("r.dat", 25, b"xxxxxQZxxx"), rep_offset("r.dat", 33, b"xxxQZxxxxx")]),
    ("record mode -80 followed by the pattern: base 0", ["-80", "QZ", "r.dat"],
     [rep("r.dat", 1, 26, REC40), rep("r.dat", 1, 34, REC40)]),
    ("record mode: a record base beyond the end of the file", ["-10", "100", "QZ", "r.dat"], []),
], files={"r.dat": REC40})

# --- The text window -------------------------------------------------------------

WINDOW_EDGE = lines_of_ten(6553)  # 65530 bytes: the first block ends 6 bytes on
cases([
    ("a file of 65537 bytes: LF ends the first block, the last byte is line 6555", ["Q", "w.txt"],
     [rep("w.txt", 6555, 1, b"Q")], 0, {"w.txt": WINDOW_EDGE + b"abcde\n" + b"Q"}),
    ("line start fix-up reads a CR that ends the first block", ["needle", "w.txt"],
     [rep("w.txt", 6555, 1, b"needle")], 0, {"w.txt": WINDOW_EDGE + b"abcd\n" + b"\r" + b"needle\n"}),
    ("a line longer than the window is printed whole, read back by the same byte rules",
     ["needle", "w.txt"],
     [rep("w.txt", 1, 70001, b"a b" + b"x" * 69996 + b"needle" + b"y" * 100), rep("w.txt", 2, 1, b"needle")],
     0, {"w.txt": b"a\x01\rb" + b"x" * 69996 + b"needle" + b"y" * 100 + b"\n" + b"needle\n"}),
    ("a long line whose match is in the first block", ["needle", "w.txt"],
     [rep("w.txt", 1, 1, b"needle" + b"z" * 70000), rep("w.txt", 2, 6, b"tail needle")], 0,
     {"w.txt": b"needle" + b"z" * 70000 + b"\n" + b"tail needle\n"}),
])

# --- Regular expressions: report forms, dialects, anchors, whole words --------------
# Each expected line is worked out from the report rules: the column counts from
# the line (or record) start, a cursor mark moves the reported position and the
# advance to the mark, and -V shows the match length.

# The same search written in each dialect: one run of digits, as long as it goes
# ('R' # and 'B' \:+ are the maximal one-or-more loops), and the same with a
# cursor mark after the first digit. The report forms are the literal search's
# (above); a regular expression adds the match length (-V) and the mark, which
# moves the reported position and the advance.
DIGITS = {"f.txt": b"one 12 two\nthree 345\nnone\n", "p.txt": b"[0-9]+\r\n"}  # "12" at 4, "345" at 17
L1, L2 = b"one 12 two", b"three 345"
DIGIT_RUNS = [rep("f.txt", 1, 5, L1), rep("f.txt", 2, 7, L2)]
# With the mark the search goes on from the second digit: after "345" the run
# "45" is found as well.
MARKED_RUNS = [rep("f.txt", 1, 6, L1), rep("f.txt", 2, 8, L2), rep("f.txt", 2, 9, L2)]
for option, digits, marked in (("-R", "[0-9]#", "[0-9]\\c[0-9]#"), ("-U", "[0-9]+", "[0-9]\\c[0-9]+"),
                               ("-B", "[0-9]\\:+", "[0-9]\\c[0-9]\\:+")):
    case("[regex] %s digit runs" % option, [option, digits, "f.txt"], DIGIT_RUNS, files=DIGITS)
    case("[regex] %s cursor mark after the first digit" % option, [option, marked, "f.txt"],
         MARKED_RUNS, files=DIGITS)
# Records of 10 bytes from 3: " 12 two\nth", "ree 345\nno"; a line feed is
# printed inside a record.
for form, extra, pattern, expected in (
        ("-V", ["-V"], "[0-9]+", [heading("f.txt"), vrep(2, 1, 5, L1), vrep(3, 2, 7, L2)]),
        ("-C -PO", ["-C", "-PO"], "[0-9]+", [summary_offset("f.txt", 4, 2)]),
        ("records -10 3", ["-10", "3"], "[0-9]+",
         [rep("f.txt", 1, 2, b" 12 two\nth"), rep("f.txt", 2, 5, b"ree 345\nno")]),
        ("mark, -V -PO", ["-V", "-PO"], "[0-9]\\c[0-9]+",
         [heading("f.txt"), vrep_offset(2, 5, L1), vrep_offset(3, 18, L2), vrep_offset(2, 19, L2)]),
        ("mark, -C", ["-C"], "[0-9]\\c[0-9]+", [summary("f.txt", 1, 6, 3)]),
        ("mark, records -10", ["-10"], "[0-9]\\c[0-9]+",
         [rep("f.txt", 1, 6, L1), rep("f.txt", 2, 9, b"\nthree 345"), rep("f.txt", 2, 10, b"\nthree 345")]),
        ("from -F: the line end of the pattern file is dropped", ["-F", "p.txt"], None, DIGIT_RUNS)):
    case("[regex] -U digit runs, " + form, ["-U"] + extra + ([pattern] if pattern else []) + ["f.txt"],
         expected, files=DIGITS)
for option, pattern in (("-R", "t?o"), ("-U", "t.o"), ("-B", "t?o")):
    case("[regex] %s -I: any case" % option, [option, "-I", pattern, "f.txt"],
         [rep("f.txt", 1, 1, b"Two tWO"), rep("f.txt", 1, 5, b"Two tWO"), rep("f.txt", 2, 4, b"to two")],
         files=b"Two tWO\nto two\n")

# A cursor mark at the match end; the next search starts there. Anchors and
# empty matches: the end of a last line without a line feed is a line end; a
# line feed that begins the file ends an empty first line; the line start is
# moved past a carriage return that begins the line only for a match after
# it, so an empty match on it stands in column 1.
for name, pattern, text, matches in (
        ("ab\\c: the mark at the match end", "ab\\c", b"abab\n", [(2, 1, 3), (2, 1, 5)]),
        ("$ on lines with and without a final line feed", "$", b"ab\ncd", [(0, 1, 3), (0, 2, 3)]),
        ("$ on a file that begins with an empty line: every line", "$", b"\nab\n", [(0, 1, 1), (0, 2, 3)]),
        ("^$ on CRLF lines: column 1, on the carriage return", "^$", b"ab\r\n\r\ncd\r\n", [(0, 2, 1)])):
    lines = text.replace(b"\r", b"").split(b"\n")
    case("[regex] -U " + name, ["-V", "-U", pattern, "f.txt"],
         [heading("f.txt")] + [vrep(length, line, column, lines[line - 1]) for length, line, column in matches],
         files=text)
case("[regex] a match on a line reported twice, -C counts both", ["-C", "-U", "a.c", "f.txt"],
     [summary("f.txt", 1, 1, 2)], files=b"abc adc\n")

# Whole words: letters, digits, _ and $ are word characters unless -W= names
# a set of one's own; the search text and the set must compile.
WORDS = b"ab xab ab_ ab\n$ab ab9 (ab)\nab\n"
NUMBERS = b"a12 12 _12_ 3"
cases([
    ("[regex] -W: letters, digits, _ and $ are word characters", ["-W", "ab", "w.txt"],
     [rep("w.txt", 1, 1, b"ab xab ab_ ab"), rep("w.txt", 1, 12, b"ab xab ab_ ab"),
      rep("w.txt", 2, 10, b"$ab ab9 (ab)"), rep("w.txt", 3, 1, b"ab")]),
    ("[regex] -W -U [a-c]+: a match touching a word character is dropped", ["-W", "-U", "[a-c]+", "c.txt"],
     [rep("c.txt", 1, 1, b"abc xabc abc_ (cab)"), rep("c.txt", 1, 16, b"abc xabc abc_ (cab)")]),
    ("[regex] -W -U [0-9]+ with the default set: _ is a word character", ["-W", "-U", "[0-9]+", "f.txt"],
     [rep("f.txt", 1, 5, NUMBERS), rep("f.txt", 1, 13, NUMBERS)]),
    # The 2 of a12 is a whole word of its own here: 1 is no word character.
    ("[regex] -W=[a-z] -U [0-9]+: _ is not", ["-W=[a-z]", "-U", "[0-9]+", "f.txt"],
     [rep("f.txt", 1, c, NUMBERS) for c in (3, 5, 9, 13)]),
    ("[regex] -W=[a-z] on a literal search", ["-W=[a-z]", "12", "f.txt"],
     [rep("f.txt", 1, 5, NUMBERS), rep("f.txt", 1, 9, NUMBERS)]),
    ("[regex] -W= an empty set is unusable: -3640, status 1", ["-W=", "12", "f.txt"], [Msg(-3640)], 1),
    ("[regex] -W=? a set without first characters: -3640, status 1", ["-W=?", "12", "f.txt"], [Msg(-3640)], 1),
    ("[regex] -W=[a a set that does not compile: -3640 and its status", ["-W=[a", "12", "f.txt"],
     [Msg(-3640)], REGEX_SYNTAX_ERROR),
    ("[regex] -W with a search text that does not compile: -3641", ["-W", "-U", "x{2,1}", "f.txt"],
     [Msg(-3641)], REGEX_SYNTAX_ERROR),
    ("[regex] -R {ab without its } does not compile: -3641", ["-R", "{ab", "f.txt"],
     [Msg(-3641)], REGEX_SYNTAX_ERROR),
], files={"w.txt": WORDS, "c.txt": b"abc xabc abc_ (cab)\n", "f.txt": NUMBERS + b"\n"})

# Code page 932 (Shift JIS): 0x83 0x41 is one character whose second byte is
# "A", 0x83 0x61 one whose second byte is "a". The native program takes the code
# page from LANG; under Wine it is Wine's own, so these run natively only. How
# each engine keeps characters whole is their unit tests'; these show that
# the code page reaches them.
SJIS = {"LANG": "ja_JP.SJIS"}
A_ON_TRAIL = b"\x83\x41\x83\x41 A\x83\x41"  # "A\x83\x41" also at offset 1
WIDE = b"a\x83\x41b a\x83\x41\x83\x41b axb"
TRAIL_A = b"\x83\x41X \x83\x61X \x83\x61\x83\x41 a"
# A word right after a double-byte character whose second byte is a letter:
# that byte is no word character of its own, but the one before "x\x83\x41"
# (second byte of nothing) is.
WORD_AFTER = b"\x83\x41ab \x83\x83\x83\x41ab \x83\x83\x41ab"
cases([
    ("[dbcs] literal: a match never starts on a second byte", [os.fsdecode(b"A\x83\x41"), "a.txt"],
     [rep("a.txt", 1, 6, A_ON_TRAIL)]),
    ("[dbcs] -U: a match never starts on a second byte", ["-U", os.fsdecode(b"A\x83\x41"), "a.txt"],
     [rep("a.txt", 1, 6, A_ON_TRAIL)]),
    ("[dbcs] -Y: byte by byte, the straddling match too", ["-Y", os.fsdecode(b"A\x83\x41"), "a.txt"],
     [rep("a.txt", 1, 2, A_ON_TRAIL), rep("a.txt", 1, 6, A_ON_TRAIL)]),
    ("[dbcs] -U a.b: the any-character takes a whole character", ["-V", "-U", "a.b", "w.txt"],
     [heading("w.txt"), vrep(4, 1, 1, WIDE), vrep(3, 1, 13, WIDE)]),
    ("[dbcs] -B a?b: the any-character takes a whole character", ["-V", "-B", "a?b", "w.txt"],
     [heading("w.txt"), vrep(4, 1, 1, WIDE), vrep(3, 1, 13, WIDE)]),
    ("[dbcs] -I literal leaves the bytes of a double-byte character alone",
     ["-I", os.fsdecode(b"\x83\x61x"), "t.txt"], [rep("t.txt", 1, 5, TRAIL_A)]),
    ("[dbcs] -I -U leaves the bytes of a double-byte character alone",
     ["-I", "-U", os.fsdecode(b"\x83\x61x"), "t.txt"], [rep("t.txt", 1, 5, TRAIL_A)]),
    ("[dbcs] -I literal a never starts on a second byte a or A", ["-I", "a", "t.txt"],
     [rep("t.txt", 1, 14, TRAIL_A)]),
    ("[dbcs] -I -U a never starts on a second byte a or A", ["-I", "-U", "a", "t.txt"],
     [rep("t.txt", 1, 14, TRAIL_A)]),
    ("[dbcs] -W: a word after a double-byte character ending in a letter", ["-W", "ab", "d.txt"],
     [rep("d.txt", 1, 3, WORD_AFTER), rep("d.txt", 1, 10, WORD_AFTER)]),
], files={"a.txt": A_ON_TRAIL + b"\n", "w.txt": WIDE + b"\n", "t.txt": TRAIL_A + b"\n",
          "d.txt": WORD_AFTER + b"\n"}, env=SJIS, native_only=True)

# --- -D: the stored defaults update ---------------------------------------------------

def find_marker(data):
    """Offset of the first defaults marker, compared without regard to case."""
    found = re.search(re.escape(DEFAULTS_MARKER), data, re.I)
    return found.start() if found else -1


def patched(source, ignore_case, syntax):
    offset = find_marker(source)
    assert offset >= 0
    return source[:offset + 24] + struct.pack("<ii", ignore_case, syntax) + source[offset + 32:]


def check_file_equals(ctx, name, expected):
    path = os.path.join(ctx.work, name)
    if not os.path.exists(path):
        return ["%s was not written" % name]
    actual = open(path, "rb").read()
    return [] if actual == expected else ["%s differs\n%s" % (name, byte_diff(expected, actual))]


def file_holds(name, expected):
    """A check: the file holds the bytes expected(ctx)."""
    return lambda ctx: check_file_equals(ctx, substitute(name, ctx.names), expected(ctx))


def check_no_file(name):
    def check(ctx):
        return ["%s was left behind" % name] if os.path.lexists(os.path.join(ctx.work, name)) else []
    return check


def check_copy_with_defaults(ctx):
    """grep -I -R -D grep grep2: the copy holds the new defaults, keeps the file
    mode and shows the markers of -I and -R on its usage screen."""
    source = ctx.program_bytes
    if find_marker(source) < 0:
        return ["the program itself holds no defaults marker"]
    errors = check_file_equals(ctx, ctx.names["P2"], patched(source, 1, SYNTAX_R))
    copy = os.path.join(ctx.work, ctx.names["P2"])
    if errors:
        return errors
    if ctx.runner is None:
        mode_source = stat.S_IMODE(os.stat(os.path.join(ctx.work, ctx.names["P"])).st_mode)
        mode_copy = stat.S_IMODE(os.stat(copy).st_mode)
        if mode_copy != mode_source:
            errors.append("the copy has mode %o, the source %o" % (mode_copy, mode_source))
    errors += ctx.run_and_compare(copy, ["?"], [Usage(ignore_case=1, syntax=SYNTAX_R, name="grep2")],
                                  0, "the copy's usage screen")
    # The copy starts with ignore case and syntax R without being told.
    errors += ctx.run_and_compare(copy, ["NEEDLE", "f.txt"], [rep("f.txt", 1, 1, b"needle")], 0,
                                  "the copy searches with its stored defaults")
    return errors


def check_copy_elsewhere(ctx):
    """grep -I -D grep sub/grep2: the catalogue in use lies beside the copy
    too, and the copy shows its usage screen from it."""
    with open(ctx.suite.catalogue_path, "rb") as f:
        errors = check_file_equals(ctx, "sub/grep.kvb", f.read())
    copy = os.path.join(ctx.work, "sub", ctx.names["P2"])
    return errors + ctx.run_and_compare(copy, ["?"], [Usage(ignore_case=1, name="grep2")], 0,
                                        "the copy's usage screen")


def marker_block(ignore_case=0x77777777, syntax=0x77777777, omit=0x11111111, offsets=0x22222222,
                 marker=DEFAULTS_MARKER):
    return marker + b"\x00" + struct.pack("<iiii", ignore_case, syntax, omit, offsets)


SOURCE_INTACT = file_holds("{P}", lambda ctx: ctx.program_bytes)
case("-D: the copy holds -I and -R and its usage screen marks them",
     ["-I", "-R", "-D", "{P}", "{P2}"], [], copy_program=True, check=check_copy_with_defaults,
     files=b"needle\n")
case("-D: an earlier copy is replaced by the new one", ["-D", "{P}", "{P2}"], [], copy_program=True,
     setup=lambda ctx: open(os.path.join(ctx.work, ctx.names["P2"]), "wb").write(
         patched(ctx.program_bytes, 1, SYNTAX_B)),
     check=file_holds("{P2}", lambda ctx: patched(ctx.program_bytes, 0, 0)))
case("-D: a copy in another directory gets the catalogue beside it, and is told so",
     ["-I", "-D", "{P}", "sub/{P2}"], [Msg(-3663, a2="sub/grep.kvb")], copy_program=True,
     files={"sub/other.txt": b""}, check=check_copy_elsewhere)
case("-D: a catalogue already beside the copy is left as it is", ["-D", "{P}", "sub/{P2}"], [],
     copy_program=True, files={"sub/grep.kvb": b"not a catalogue"},
     check=file_holds("sub/grep.kvb", lambda ctx: b"not a catalogue"))
case("-D: no catalogue in use to copy: the load error and status 1", ["-D", "{P}", "sub/{P2}"],
     out_re=LOAD_ERROR, status=1, copy_program=True, without_catalogue=True,
     files={"sub/other.txt": b""})
# -D writes over nothing but an earlier copy of a program, and names the
# reason when it cannot write.
for label, name, reason, check in (
        ("the destination is the source itself", "{P}", -3680, SOURCE_INTACT),
        ("the destination is a hard link to the source", "{LINK}", -3680, SOURCE_INTACT),
        ("the message catalogue beside the program", "grep.kvb",
         -3682, file_holds("grep.kvb", lambda ctx: open(ctx.suite.catalogue_path, "rb").read())),
        ("a directory", "sub", -3681, check_no_file("sub/grep.kvb")),
        ("a directory with a final separator", "sub/", -3681, check_no_file("sub/grep.kvb"))):
    case("-D: %s is not replaced: -3636 with the reason, status 1" % label,
         ["-I", "-D", "{P}", name], [Msg(-3636, a1=name, a2=MsgText(reason))], status=1,
         copy_program=True, files={"sub/x.txt": b"x\n"}, check=check,
         setup=lambda ctx: os.link(os.path.join(ctx.work, ctx.names["P"]),
                                   os.path.join(ctx.work, ctx.names["LINK"])))

# Made-up sources: a marker 10 bytes before the end of the first block, in
# lower case, twice. These write the copy into the working directory, where
# no catalogue lies: the one in use is copied there too.
SRC_SECOND_PASS = b"." * 65526 + marker_block() + b"." * 1000
SRC_LOWER = b"xx" + marker_block(marker=DEFAULTS_MARKER.lower()) + b"yy"
SRC_TWO = b"a" * 100 + marker_block() + b"b" * 300 + marker_block() + b"c" * 10
for label, options, source, ignore_case, syntax in (
        ("a marker 10 bytes before the end of the first block is patched in the second pass",
         ["-I", "-B"], SRC_SECOND_PASS, 1, SYNTAX_B),
        ("the marker is found without regard to case", ["-u"], SRC_LOWER, 0, SYNTAX_U),
        ("only the first marker is patched, -M and -PO are not stored; options after -D count",
         ["-PO", "-M"], SRC_TWO, 1, 0)):
    case("-D: " + label, options + ["-D", "src.bin", "dst.bin"] + (["-I"] if source is SRC_TWO else []),
         [Msg(-3663, a2="grep.kvb")], files={"src.bin": source},
         check=file_holds("dst.bin", lambda ctx, s=source, i=ignore_case, y=syntax: patched(s, i, y)))
D_FAILURES = [
    # (what, arguments, message, native only, options)
    ("a source without the marker: -3637, and no copy is written", ["-I", "-D", "data.bin", "out.bin"],
     Msg(-3637, a1="data.bin"), False, dict(check=check_no_file("out.bin"))),
    ("a source that cannot be opened: -3635", ["-D", "nosuch.bin", "dst.bin"],
     Msg(-3635, a1="nosuch.bin"), False, {}),
    ("a destination in a missing directory: -3636 with the system's reason",
     ["-D", "src.bin", "nodir/dst.bin"], Msg(-3636, a1="nodir/dst.bin", a2=MsgText(-3)), False, {}),
    ("a device is no copy of the program: refused and left alone", ["-D", "src.bin", "/dev/full"],
     Msg(-3636, a1="/dev/full", a2=MsgText(-3682)), True,
     dict(check=lambda ctx: [] if os.path.exists("/dev/full") else ["/dev/full was removed"])),
    ("a directory that may not be written: -3636 with the system's reason", ["-D", "src.bin", "ro/dst.bin"],
     Msg(-3636, a1="ro/dst.bin", a2=MsgText(-38)), True,
     dict(setup=lambda ctx: os.makedirs(os.path.join(ctx.work, "ro"), 0o555), unprivileged=True)),
    # The disk fills up part way through the copy: the write limit lets the
    # first block through and fails the second.
    ("a disk that fills up part way: -3638, status 1, no partial copy", ["-I", "-D", "big.bin", "dst.bin"],
     Msg(-3638), True, dict(file_size_limit=100000, check=check_no_file("dst.bin"))),
]
D_SOURCES = {"src.bin": SRC_LOWER, "data.bin": pseudo_random(200000),
             "big.bin": pseudo_random(300000) + marker_block() + b"z" * 1000}
for what, args, message, native_only, options in D_FAILURES:
    case("-D: " + what, args, [message], status=1, native_only=native_only, files=D_SOURCES, **options)

# --- Standard output that cannot be written ------------------------------------------
# The first failed write ends the program with status 2: on a full disk after
# a message on standard error; into a closed pipe quietly. Natively a closed
# pipe raises SIGPIPE, which ends the program unless it is ignored; then the
# write fails like everywhere on Windows. The Windows program does not see
# Linux signals, so only the native program is checked for SIGPIPE.

WRITE_FAILED = 2
OUTPUT_FILES = {"f.txt": b"a needle\n", "long.txt": b"needle" + b"x" * (20 << 20) + b"\n"}
cases([
    ("standard output on a full disk: short output fails at the exit", ["needle", "f.txt"]),
    ("standard output on a full disk: a 20 MB line fails at its first write", ["needle", "long.txt"]),
    ("standard output on a full disk: the usage screen", ["?"]),
    ("standard output on a full disk: a message", ["-E"]),
], out=[], status=WRITE_FAILED, files=OUTPUT_FILES, stdout="full", err=[Msg(-3660, a1=MsgText(-36))])
LONG_LINE_HEAD = [rep("long.txt", 1, 1, b"needle" + b"x" * CLOSED_AFTER)[:CLOSED_AFTER]]
cases([
    ("a closed pipe ends the program at once and quietly (SIGPIPE ignored)", ["needle", "long.txt"],
     LONG_LINE_HEAD, WRITE_FAILED, OUTPUT_FILES),
    ("a closed pipe after many short report lines", ["needle", "f.txt"],
     [rep("f.txt", 1, 3, b"a needle")[:CLOSED_AFTER]], WRITE_FAILED, b"a needle\n" * 500000),
], stdout="closed", sigpipe="ignore", err=[])
case("a closed pipe ends the program by SIGPIPE where it is in force", ["needle", "long.txt"],
     LONG_LINE_HEAD, killed_by=signal.SIGPIPE, files=OUTPUT_FILES, stdout="closed", err=[],
     native_only=True)

# --- A file over 4 GiB ---------------------------------------------------------------
# A sparse file of 4 GiB + 64 bytes: "needle" at its start and once more after
# 2^32, behind a line feed at 2^32 - 1. The program has to read all of it,
# about 4 GiB of zeros: some 10 seconds a run natively and under wine, over a
# minute under the sanitizers. Both run only with --slow or GREP_E2E_SLOW=1:
# the text window's unit tests read such a file in every build, and these
# cases add the report lines, whose offset past 2^32 is what a 32-bit slip
# would get wrong. Both are skipped where the file system cannot hold the file
# sparse.

cases([
    ("a sparse file over 4 GiB: line numbers and columns", ["needle", "big.dat"],
     [rep("big.dat", 1, 1, b"needle"), rep("big.dat", 3, 6, b"abcdeneedle")]),
    ("a sparse file over 4 GiB: 64-bit offsets", ["-PO", "needle", "big.dat"],
     [rep_offset("big.dat", 0, b"needle"), rep_offset("big.dat", (1 << 32) + 5, b"abcdeneedle")]),
], files={"big.dat": Sparse((1 << 32) + 64, {0: b"needle\n", (1 << 32) - 1: b"\n", 1 << 32: b"abcdeneedle\n"})},
   slow=True)

# --- Random texts against a reference model of the report rules -------------
# Seeded, so every run checks the same cases. Texts of a few bytes up to two
# windows, of line feeds, carriage returns, 0x01 and letters; patterns may
# hold line feeds and carriage returns, so matches span lines. They pin the
# rules of the report line: columns, the line start moved past a carriage
# return, matches one after the other on a line, and in records the record
# number, the base and a match running on into the next record.

def model_line_reports(text, pattern, name, ignore_case):
    """The report lines of a literal search in line mode."""
    def fold(data):
        return data.upper() if ignore_case else data
    folded, wanted = fold(text), fold(pattern)
    out, position, fixed_start = [], 0, {}
    while True:
        match = folded.find(wanted, position)
        if match < 0:
            return b"".join(out)
        line_start = text.rfind(b"\n", 0, match) + 1
        # A carriage return that begins the line is stepped over, once for
        # every match reported on that line.
        start = fixed_start.get(line_start, line_start)
        if start < len(text) and text[start] == 13:
            start += 1
        fixed_start[line_start] = start
        end, shown, seen_line_feed, at = match + len(pattern), bytearray(), False, start
        while at < len(text) and not (seen_line_feed and at >= end):
            byte = text[at]
            if byte == 10:
                seen_line_feed = True
                if at >= end:
                    break
                shown += CRLF
            elif byte != 13:
                shown.append(32 if byte == 1 else byte)
            at += 1
        out.append(rep(name, text.count(b"\n", 0, match) + 1, match - start + 1, bytes(shown)))
        position = end


def model_record_reports(text, pattern, name, length, base):
    """The report lines of a literal search in record mode."""
    out, position = [], base
    while True:
        match = text.find(pattern, position)
        if match < 0:
            return b"".join(out)
        record = (match - base) // length
        start = record * length + base
        count = max(length, match + len(pattern) - start)
        shown = bytes(32 if b == 1 else b for b in text[start:start + count] if b != 13)
        out.append(rep(name, record + 1, match - start + 1, shown))
        position = match + len(pattern)


def add_random_cases(count, seed=2026):
    rng = random.Random(seed)
    for index in range(count):
        size = rng.choice([5, 40, 300, 70000, 140000])
        alphabet = rng.choice([b"ab\n", b"ab\n\r\x01", b"aB\n\r", b"abcdefgh\n"])
        text = bytes(rng.choice(alphabet) for _ in range(size))
        pattern = b"a" + bytes(rng.choice(b"ab\n\r") for _ in range(rng.choice([0, 1, 2, 4])))
        if index % 4 == 3:
            length, base = rng.choice([1, 3, 10, 80]), rng.choice([0, 1, 5])
            args = ["-%d" % length] + (["%d" % base] if base else [])
            expected = model_record_reports(text, pattern, b"r.txt", length, base)
        else:
            ignore_case = rng.random() < 0.3
            args = ["-I"] if ignore_case else []
            expected = model_line_reports(text, pattern, b"r.txt", ignore_case)
        case("random text %d (%d bytes)" % (index + 1, size),
             args + ["-E", pattern.decode("latin-1"), "r.txt"], [expected], files={"r.txt": text})


add_random_cases(24)


# ---------------------------------------------------------------------------
# File selection: wildcards, tree walks (-T, +T, tree lines of a list file)
#
# A directory lists its entries in the file system's order. Cases whose
# reports come from several files of one walk state them with any_order();
# otherwise only one entry of a directory leads to a report, or the files are
# separate specifications, whose order is the command line's. The walk writes
# the system's separator between the directories it goes down into: "\" in
# grep.exe, "/" in the POSIX program; a directory part given on the command
# line is shown as typed.

WALK_SEP = "\\" if any(a.endswith(".exe") for a in sys.argv[1:]) else "/"


def walked(*parts):
    return WALK_SEP.join(parts)


def any_order(*lines):
    """A pattern for out_re: exactly these report lines, each once, in any order."""
    ahead = b"".join(b"(?=(?:.*\r\n)?" + re.escape(line) + b")" for line in lines)
    return ahead + b"(?:" + b"|".join(re.escape(line) for line in lines) + b"){%d}" % len(lines)


TREE = {"a.txt": b"needle a\n", "b.c": b"hay\n", ".hidden.txt": b"needle h\n", "sub/c.txt": b"needle c\n",
        "sub/d.h": b"hay\n", "sub/deep/e.txt": b"x needle e\n", "sub/deep/f.c": b"needle f\n",
        "sub/deep/a.txt": b"needle deep a\n", "list.lst": b"a.txt\n+T  *.c\n-t e.txt\nc.txt\n"}
TOP_A, TOP_H = rep("a.txt", 1, 1, b"needle a"), rep(".hidden.txt", 1, 1, b"needle h")
SUB_C, DEEP_A = rep(walked("sub", "c.txt"), 1, 1, b"needle c"), rep(walked("sub", "deep", "a.txt"), 1, 1, b"needle deep a")
DEEP_E, DEEP_F = rep(walked("sub", "deep", "e.txt"), 1, 3, b"x needle e"), rep(walked("sub", "deep", "f.c"), 1, 1, b"needle f")
# With the C runtime's wildcard expansion "*.txt" would reach the program as
# "a.txt .hidden.txt", and the walk would look for those names alone: the
# files in sub show that it did not happen.
case("[walk] -T with a wildcard searches every subdirectory", ["-T", "needle", "*.txt"],
     out_re=any_order(TOP_A, TOP_H, SUB_C, DEEP_E, DEEP_A), files=TREE)
case("[walk] a wildcard without -T searches its own directory only, names with a dot first too",
     ["needle", "*.txt"], out_re=any_order(TOP_A, TOP_H), files=TREE)
cases([
    ("[walk] -T: plain names are searched one after the other, in the order given",
     ["-T", "needle", "e.txt", "c.txt"], [DEEP_E, SUB_C]),
    ("[walk] -T with a directory part walks below that directory, shown as typed",
     ["-T", "needle", "sub/*.c"], [rep("sub/deep" + WALK_SEP + "f.c", 1, 1, b"needle f")]),
    ("[walk] a wildcard with a directory part without -T", ["needle", "sub/*.txt"],
     [rep("sub/c.txt", 1, 1, b"needle c")]),
    ("[walk] a wildcard in the directory part finds nothing (status 0: it holds a wildcard)",
     ["-T", "needle", "s*/c.txt"], []),
    ("[walk] -T: a plain name found nowhere in the tree gives -2", ["-T", "needle", "g.txt"], [], NOT_FOUND),
    ("[walk] -T: a wildcard that selects nothing gives 0", ["-T", "needle", "*.none"], []),
    ("[walk] -T: a file found without a match gives 0", ["-T", "absent", "d.h"], []),
    # +T and -T in the file phase, and tree lines of list files.
    ("[walk] +T in the file phase: the later names are searched in the whole tree",
     ["needle", "a.txt", "+T", "e.txt", "c.txt"], [TOP_A, DEEP_E, SUB_C]),
    ("[walk] list file: a +T line and a -t line are tree walks, other lines are not",
     ["needle", "-L", "list.lst"], [TOP_A, DEEP_F, DEEP_E, Msg(-3639, a1="c.txt")]),
], files=TREE)
case("[walk] a file that cannot be opened during a walk: -3639, and the walk goes on",
     ["-T", "needle", "*.txt"], [Msg(-3639, a1=walked("sub", "gone.txt"))], native_only=True,
     files={"sub/other.dat": b"needle\n"},
     setup=lambda ctx: os.symlink("missing-target", os.path.join(ctx.work, "sub", "gone.txt")))
# Which names are wildcards and what they match is the wildcard unit tests'.
case("[walk] [ab].txt without * or ? is a plain name", ["-T", "needle", "[ab].txt"],
     [rep(walked("sub", "[ab].txt"), 1, 1, b"needle")],
     files={"sub/[ab].txt": b"needle\n", "a.txt": b"needle\n"})
# Names that are not ASCII. Wine keeps the Unix file names in UTF-8 only under
# a UTF-8 locale, so these runs take one.

# Non-ASCII names typed and walked, along each route a name can take: the ANSI
# calls with names in the code page (no option), the ANSI calls with UTF-8
# names converted (-utf8), and the wide calls (-utf8 -UnicodeCallsAvailable).
# Every run takes LANG=C.UTF-8: natively that makes the code page UTF-8, so all
# routes reach every name; Wine then keeps Unix names in UTF-8 and has code
# page 1252, which holds e acute (0xE9) but neither the Japanese nor the Greek
# letters. A row gives the output on each build; None leaves the row out there.
E_ACUTE, NIHON, OMEGA = "\u00e9.txt", "\u65e5\u672c.txt", "\u03a9.txt"
ANSI_E_ACUTE = b"\xe9.txt"  # e acute in code page 1252
ON_WINDOWS = WALK_SEP == "\\"
TYPED_FILES = {E_ACUTE: b"needle \xc3\xa9\ncaf\xe9\n", NIHON: b"needle jp\n", OMEGA: b"needle omega\n"}
# With the CRT's wildcard expansion "*.txt" would become a.txt, and the walk
# would look for a.txt alone: the file in sub shows that it did not happen.
WALK_CODE_PAGE = {"a.txt": b"needle top\n", "sub/" + E_ACUTE: b"needle e\n"}
WALK_ALL = dict(WALK_CODE_PAGE, **{"sub/" + NIHON: b"needle jp\n", "sub/" + OMEGA: b"needle omega\n"})
TOP = rep("a.txt", 1, 1, b"needle top")


def in_sub(name, text):
    """The report of the first line of sub's file name (str in UTF-8, or bytes)."""
    return rep(to_bytes(walked("sub", "")) + to_bytes(name), 1, 1, text)


E_LINE, E_TEXT = rep(E_ACUTE, 1, 1, b"needle \xc3\xa9"), rep(E_ACUTE, 1, 8, b"needle \xc3\xa9")
JP, OM = rep(NIHON, 1, 1, b"needle jp"), rep(OMEGA, 1, 1, b"needle omega")
ANSI_TEXT = rep(ANSI_E_ACUTE, 2, 4, b"caf\xe9")  # the search text e acute as the byte 0xE9
SUB_E, SUB_ALL = in_sub(E_ACUTE, b"needle e"), [TOP, in_sub(E_ACUTE, b"needle e"),
                                                in_sub(NIHON, b"needle jp"), in_sub(OMEGA, b"needle omega")]
SAME = "the native output"
NAME_ROUTES = [
    # (what is checked, arguments, files, native output, Wine output)
    ("no option: a typed name reaches the program in the code page", ["needle", E_ACUTE],
     TYPED_FILES, [E_LINE], [rep(ANSI_E_ACUTE, 1, 1, b"needle \xc3\xa9")]),
    ("no option: the search text is bytes of the code page", ["\u00e9", E_ACUTE], TYPED_FILES,
     [E_TEXT], [ANSI_TEXT]),
    ("-UnicodeCallsAvailable alone changes nothing", ["-UnicodeCallsAvailable", "\u00e9", E_ACUTE],
     TYPED_FILES, [E_TEXT], [ANSI_TEXT]),
    ("-utf8: a typed name of the code page is opened and shown as typed", ["-utf8", "needle", E_ACUTE],
     TYPED_FILES, [E_LINE], SAME),
    ("-utf8: the search text is UTF-8", ["-utf8", "\u00e9", E_ACUTE], TYPED_FILES, [E_TEXT], SAME),
    ("-utf8 after the search text: the text is read again in UTF-8", ["\u00e9", "-utf8", E_ACUTE],
     TYPED_FILES, [E_TEXT], SAME),
    ("-utf8 after -E: the text is read again in UTF-8", ["-E", "\u00e9", "-utf8", E_ACUTE],
     TYPED_FILES, [E_TEXT], SAME),
    ("-utf8: typed names outside the code page need the wide calls", ["-utf8", "needle", NIHON, OMEGA],
     TYPED_FILES, [JP, OM], [Msg(-3639, a1=NIHON), Msg(-3639, a1=OMEGA)]),
    ("-utf8 -UnicodeCallsAvailable: every typed name is opened and shown as typed",
     ["-utf8", "-UnicodeCallsAvailable", "needle", E_ACUTE, NIHON, OMEGA], TYPED_FILES, [E_LINE, JP, OM], SAME),
    ("[walk] no option: a name the walk finds is shown in the code page", ["-T", "needle", "*.txt"],
     WALK_CODE_PAGE, [TOP, SUB_E], [TOP, in_sub(ANSI_E_ACUTE, b"needle e")]),
    ("[walk] -utf8: a name the walk finds is shown in UTF-8 and opened", ["-utf8", "-T", "needle", "*.txt"],
     WALK_CODE_PAGE, [TOP, SUB_E], SAME),
    ("[walk] -utf8: a typed name is compared with the names found in UTF-8",
     ["-utf8", "-T", "needle", E_ACUTE], WALK_CODE_PAGE, [SUB_E], SAME),
    ("[walk] -utf8: names outside the code page where the code page is UTF-8",
     ["-utf8", "-T", "needle", "*.txt"], WALK_ALL, SUB_ALL, None),
    ("[walk] -utf8 -UnicodeCallsAvailable: every name the walk finds",
     ["-utf8", "-UnicodeCallsAvailable", "-T", "needle", "*.txt"], WALK_ALL, SUB_ALL, SAME),
]
for what, args, files, native_out, wine_out in NAME_ROUTES:
    expected = (native_out if wine_out is SAME else wine_out) if ON_WINDOWS else native_out
    if expected is None:
        continue
    # A walk lists directories in the system's order.
    if what.startswith("[walk]") and len(expected) > 1:
        case("[names] " + what, args, files=files, env={"LANG": "C.UTF-8"}, out_re=any_order(*expected))
    else:
        case("[names] " + what, args, expected, files=files, env={"LANG": "C.UTF-8"})


# --- Arguments as typed: lossy names, "--", long names, record numbers ---------
# Windows hands main each argument in the code page, with "?" or a look-alike
# for a character the code page (1252 under Wine) lacks. Such an argument is
# refused by name instead of being used: "?.txt" would select other files, a
# search text "?" would show the usage screen. Natively the arguments are the
# bytes typed, and nothing is refused.
TABLE = "\u8868.txt"  # one character outside code page 1252
LOSSY = {E_ACUTE: b"needle e\n", TABLE: b"needle table\n", "a.txt": b"needle a\n",
         "t.txt": b"needle \xe8\xa1\xa8\n", "\u8868.lst": b"a.txt\n"}
LOSSY_ARGUMENTS = [
    # (what, arguments, native output and status, Wine output and status)
    ("a name the code page lacks is refused, not taken for a wildcard", ["needle", TABLE],
     [rep(TABLE, 1, 1, b"needle table")], 0, [Msg(-3671, a1="?.txt")], 1),
    ("the names after a refused one are searched", ["needle", TABLE, "a.txt"],
     [rep(TABLE, 1, 1, b"needle table"), rep("a.txt", 1, 1, b"needle a")], 0,
     [Msg(-3671, a1="?.txt"), rep("a.txt", 1, 1, b"needle a")], 0),
    ("a search text the code page lacks is refused, not taken for ?", ["\u8868", "t.txt"],
     [rep("t.txt", 1, 8, b"needle \xe8\xa1\xa8")], 0, [Msg(-3671, a1="?")], 1),
    ("a list file name the code page lacks is refused", ["needle", "-L", "\u8868.lst"],
     [rep("a.txt", 1, 1, b"needle a")], 0, [Msg(-3671, a1="?.lst")], 1),
    ("with -utf8 the same search text is read as typed", ["-utf8", "\u8868", "t.txt"],
     [rep("t.txt", 1, 8, b"needle \xe8\xa1\xa8")], 0, [rep("t.txt", 1, 8, b"needle \xe8\xa1\xa8")], 0),
]
for what, args, native_out, native_status, wine_out, wine_status in LOSSY_ARGUMENTS:
    case("[arguments] " + what, args, wine_out if ON_WINDOWS else native_out,
         status=wine_status if ON_WINDOWS else native_status, files=LOSSY,
         env={"LANG": "C.UTF-8"})

DASH = {"-dash.txt": b"needle dash\n", "f.txt": b"a -x b ? c\n", "-L": b"needle L\n",
        "+T": b"needle T\n"}
DOUBLE_DASH = [
    # (what, arguments, output): after "--" nothing is an option or a prefix.
    ("-- ends the options: a file name may begin with -", ["needle", "--", "-dash.txt"],
     [rep("-dash.txt", 1, 1, b"needle dash")]),
    ("-- before the search text: it may begin with -", ["--", "-x", "f.txt"],
     [rep("f.txt", 1, 3, b"a -x b ? c")]),
    ("-- before the search text: ? is searched for, not the usage screen", ["--", "?", "f.txt"],
     [rep("f.txt", 1, 8, b"a -x b ? c")]),
    ("-- after -E: -L and +T are file names", ["-E", "needle", "--", "-L", "+T"],
     [rep("-L", 1, 1, b"needle L"), rep("+T", 1, 1, b"needle T")]),
]
for what, args, out in DOUBLE_DASH:
    case("[arguments] " + what, args, out, files=DASH)


def shown_name(name, capacity=200):
    """A name as a message shows it: whole when it fits, else its first third
    and the rest of the room at its end, joined by "..."."""
    if len(name) < capacity:
        return name
    room = capacity - 1 - 3
    return name[:room // 3] + "..." + name[len(name) - (room - room // 3):]


LONG_NAME = "d/" * 600 + "x.txt"  # 1205 bytes: more than a file-spec holds
case("[arguments] a file name too long to be kept: the cannot-open message, and on",
     ["needle", LONG_NAME, "f.txt"], [Msg(-3639, a1=shown_name(LONG_NAME)), rep("f.txt", 1, 1, b"needle")],
     files=b"needle\n")
case("[arguments] a list file name too long to be kept: -3632, shortened",
     ["needle", "-L", LONG_NAME], [Msg(-3632, a1=shown_name(LONG_NAME))], status=1)
for args, message in ((["-4294967300"], "-4294967300"), (["-2147483648"], "-2147483648"),
                      (["-4", "4294967297"], "4294967297")):
    case("[arguments] a record length or base %s does not fit: refused" % message, args + ["needle", "f.txt"],
         [Msg(-3673, a1=message)], status=1, files=b"needle\n")
case("[arguments] the largest record length is taken", ["-2147483647", "needle", "f.txt"],
     [rep("f.txt", 1, 1, b"needle\n")], files=b"needle\n")


# --- List and pattern files with a byte-order mark -----------------------------
# Editors save UTF-8 with a mark (EF BB BF) and "Unicode" as UTF-16 after FF FE
# (or FE FF). The mark is no part of a name or of the search text; a UTF-16
# list file is read as text and its names are converted to the form names
# take: the code page without -utf8, UTF-8 with it. Natively the code page is
# UTF-8 here, under Wine 1252, which holds e acute but not the Japanese name.
UTF8_MARK = b"\xef\xbb\xbf"


def utf16(text, order):
    return (b"\xff\xfe" + text.encode("utf-16-le")) if order == "le" else \
        (b"\xfe\xff" + text.encode("utf-16-be"))


MARKED = {"a.txt": b"needle a\n", "sub/b.txt": b"needle b\n", E_ACUTE: b"needle e\n",
          NIHON: b"needle jp\n", "pat.txt": UTF8_MARK + b"needle\r\n"}
AB = [rep("a.txt", 1, 1, b"needle a"), rep(walked("sub", "b.txt"), 1, 1, b"needle b")]
MARKED_FILES = [
    # (what, arguments, list file, native output, Wine output)
    ("a UTF-8 list file: the mark is dropped", ["needle", "-L", "l.lst"],
     UTF8_MARK + b"a.txt\n+T b.txt\n", AB, AB),
    ("a UTF-16 list file, little-endian, CR LF lines", ["needle", "-L", "l.lst"],
     utf16("a.txt\r\n+T b.txt\r\n", "le"), AB, AB),
    ("a UTF-16 list file, big-endian", ["needle", "-L", "l.lst"], utf16("a.txt\n+T b.txt\n", "be"), AB, AB),
    ("a UTF-16 list file: names are converted to the code page", ["needle", "-L", "l.lst"],
     utf16(E_ACUTE + "\n" + NIHON + "\n", "le"),
     [rep(E_ACUTE, 1, 1, b"needle e"), rep(NIHON, 1, 1, b"needle jp")],
     [rep(ANSI_E_ACUTE, 1, 1, b"needle e"), Msg(-3672, a1="l.lst")]),
    ("a UTF-16 list file with -utf8: names are converted to UTF-8", ["-utf8", "needle", "-L", "l.lst"],
     utf16(E_ACUTE + "\n", "le"), [rep(E_ACUTE, 1, 1, b"needle e")], [rep(E_ACUTE, 1, 1, b"needle e")]),
    ("-F: the UTF-8 mark of the pattern file is dropped", ["-F", "pat.txt", "a.txt"], None,
     [rep("a.txt", 1, 1, b"needle a")], [rep("a.txt", 1, 1, b"needle a")]),
    ("-FB keeps the mark: no match", ["-FB", "pat.txt", "a.txt"], None, [], []),
]
for what, args, listed, native_out, wine_out in MARKED_FILES:
    files = dict(MARKED, **({"l.lst": listed} if listed is not None else {}))
    expected = wine_out if ON_WINDOWS else native_out
    case("[marks] " + what, args, expected, status=1 if expected and isinstance(expected[-1], Msg) else 0,
         files=files, env={"LANG": "C.UTF-8"})


def check_double_byte_names(ctx):
    """Under code page 932 "\u30bd" is 0x83 0x5C: its second byte is a backslash.
    The name part stays whole, and the wildcard's conversion keeps the pair."""
    env = {}
    so = b"\x83\\"
    if ctx.runner:
        # Wine takes code page 932 from a Japanese locale; one is made here.
        locales = os.path.join(os.path.dirname(ctx.work), "locales")
        os.makedirs(locales, exist_ok=True)
        made = shutil.which("localedef") and subprocess.run(
            ["localedef", "-i", "ja_JP", "-f", "UTF-8", os.path.join(locales, "ja_JP.UTF-8")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode in (0, 1)
        if not made or not os.path.isdir(os.path.join(locales, "ja_JP.UTF-8")):
            raise Skip("no Japanese locale can be made for Wine here")
        env.update(LOCPATH=locales, LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8")
        name = lambda text: text.decode("cp932")  # Wine keeps file names in UTF-8
        arg = name
    else:
        env.update(LANG="ja_JP.SJIS")
        name = lambda text: os.fsdecode(text)
        arg = lambda text: text
    for path, content in ((so + b"abc.txt", b"needle\n"), (b"other.txt", b"needle\n"),
                          (b"deep/" + so + b"z.c", b"needle z\n"), (b"deep/z.c", b"needle\n")):
        full = os.path.join(ctx.work, name(path))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(content)
    errors = []
    for args, expected in (([b"needle", so + b"*.txt"], rep(so + b"abc.txt", 1, 1, b"needle")),
                           ([b"-T", b"needle", so + b"*.c"],
                            rep(b"deep" + WALK_SEP.encode() + so + b"z.c", 1, 1, b"needle z"))):
        proc = ctx.suite.run(ctx.program, [arg(a) for a in args], ctx.work, env=env)
        if proc.returncode != 0 or proc.stdout != expected:
            errors.append("%r: status %d, output %r, expected %r"
                          % (args, proc.returncode, proc.stdout, expected))
    return errors


case("[walk] code page 932: a second byte equal to \\ keeps the name part whole",
     ["needle", "plain.txt"], [rep("plain.txt", 1, 1, b"needle")],
     files={"plain.txt": b"needle\n"}, check=check_double_byte_names)

# A wildcard too long for its buffer is never cut into another one.
case("[walk] a wildcard too long to be kept whole selects nothing, with a message",
     ["needle", "*" * 300], [Msg(-3666, a1="*" * 300)], files={"a.txt": b"needle\n"})


# --- Files that change while they are searched --------------------------------------
# The program has read the first block and waits on the full pipe when the
# file is cut short or grows. A file is searched as it was when it was
# opened: what was read is reported, nothing past the size it had then, and
# no line is made up of bytes that are gone.

CHANGING_NAME = "a-rather-long-file-name-that-fills-the-pipe.txt"
CHANGING_LINES = 20000  # "needle\n", 7 bytes each: 140000 bytes, three blocks


def changing_reports(count):
    return [rep(CHANGING_NAME, n, 1, b"needle") for n in range(1, count + 1)]


def cut_to(size):
    return lambda ctx: os.truncate(os.path.join(ctx.work, CHANGING_NAME), size)


def append_lines(ctx):
    with open(os.path.join(ctx.work, CHANGING_NAME), "ab") as f:
        f.write(b"needle\n" * 1000)


# Cut to nothing: the 9362 whole lines of the first block, which was read.
# Cut to 70003 bytes: the 10000 whole lines before the cut; "nee" is left.
for syntax_args, label in (([], "literal"), (["-U", "ne+dle"], "-U")):
    pattern_args = syntax_args or ["needle"]
    for size, count in ((0, 65536 // 7), (70003, 10000)):
        case("a file cut to %d bytes while it is searched (%s): what was there" % (size, label),
             pattern_args + [CHANGING_NAME], changing_reports(count),
             files={CHANGING_NAME: b"needle\n" * CHANGING_LINES}, meanwhile=cut_to(size))
    case("a file that grows while it is searched (%s): searched as it was opened" % label,
         pattern_args + [CHANGING_NAME], changing_reports(CHANGING_LINES),
         files={CHANGING_NAME: b"needle\n" * CHANGING_LINES}, meanwhile=append_lines)


def append_text(text):
    def append(ctx):
        with open(os.path.join(ctx.work, CHANGING_NAME), "ab") as f:
            f.write(text)
    return append


# A last line "nee" completed to "needle" after the open: neither the match
# across the old end nor the one after it is reported, by either search.
for pattern_args in (["needle"], ["-U", "ne+dle"]):
    case("a file that grows across a word while it is searched (%s)" % pattern_args[-1],
         pattern_args + [CHANGING_NAME], changing_reports(9000),
         files={CHANGING_NAME: b"needle\n" * 9000 + b"nee"},
         meanwhile=append_text(b"dle\nneedle\n"))

# --- Files that cannot be read, and entries that are no files --------------------------


def write_when_read(path, data):
    """Waits for a reader of the FIFO and writes the data to it."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # no reader yet (ENXIO), or the case is over
            time.sleep(0.01)
            continue
        os.set_blocking(fd, True)
        try:
            os.write(fd, data)
        finally:
            os.close(fd)
        return


def make_fifo(ctx, relative, data=None):
    """A FIFO; with data, a writer that waits for a reader. Without data no one
    ever writes, so opening it to read would wait for ever."""
    path = os.path.join(ctx.work, relative)
    os.mkfifo(path)
    if data is not None:
        threading.Thread(target=write_when_read, args=(path, data), daemon=True).start()


def make_fifo_and_socket(ctx):
    make_fifo(ctx, "sub/fifo.txt")
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(os.path.join(ctx.work, "socket.txt"))


for what, args, out, locked, files in (
        ("a file without read permission: -3639, and the next file is searched",
         ["needle", "locked.txt", "a.txt"], [Msg(-3639, a1="locked.txt"), rep("a.txt", 1, 1, b"needle")],
         "locked.txt", {"locked.txt": b"needle\n", "a.txt": b"needle\n"}),
        ("[walk] a file without read permission found by a walk: -3639, the walk goes on",
         ["-T", "needle", "*.txt"], [Msg(-3639, a1=walked("sub", "locked.txt"))], "sub/locked.txt",
         {"sub/locked.txt": b"needle\n", "sub/x.dat": b"needle\n"})):
    case(what, args, out, files=files, setup=lambda ctx, name=locked: os.chmod(os.path.join(ctx.work, name), 0),
         unprivileged=True, native_only=True)
# A FIFO cannot be read back: a search that reads around a match (a regular
# expression, a long line) works on a copy of it, as on a pipe on standard
# input.
FIFO_TEXT = b"a needle\nb\nneedle\n"
FIFO_LONG = b"ab" * 40000 + b"a\n" + b"abab\n"
for what, args, data, out in (
        ("a literal", ["needle"], FIFO_TEXT,
         [rep("pipe.fifo", 1, 3, b"a needle"), rep("pipe.fifo", 3, 1, b"needle")]),
        ("a group loop", ["-U", "ne(e)*dle"], FIFO_TEXT,
         [rep("pipe.fifo", 1, 3, b"a needle"), rep("pipe.fifo", 3, 1, b"needle")]),
        ("a look-ahead over a line longer than the window, counted", ["-C", "-U", "b(?!(ab)*c)"],
         FIFO_LONG, [summary("pipe.fifo", 1, 2, 40002)])):
    case("a FIFO named as the file is read as it is written: " + what,
         args + ["pipe.fifo"], out, setup=lambda ctx, data=data: make_fifo(ctx, "pipe.fifo", data),
         native_only=True, timeout=30)
case("[walk] a FIFO and a socket found by a walk are passed over, not waited for",
     ["-T", "needle", "*.txt"],
     out_re=any_order(rep("a.txt", 1, 1, b"needle"), rep(walked("sub", "b.txt"), 1, 1, b"needle")),
     files={"a.txt": b"needle\n", "sub/b.txt": b"needle\n"}, setup=make_fifo_and_socket,
     native_only=True, timeout=30)
# Files of line ends only. A carriage return that begins a line is not
# counted in the column, but an empty match on it stands in column 1.
EMPTY_MATCHES = [rep("f.txt", n, 1, b"") for n in (1, 2, 3)]
for label, content, args, out in (
        ("an empty file", b"", ["-U", "^"], []),
        ("an empty file, -C", b"", ["-C", "-R", "x@"], []),
        ("only line feeds", b"\n\n\n", ["-U", "^$"], EMPTY_MATCHES),
        ("only line feeds, -C", b"\n\n\n", ["-C", "-U", "^$"], [summary("f.txt", 1, 1, 3)]),
        ("only CR LF, -R", b"\r\n\r\n\r\n", ["-R", "$"], EMPTY_MATCHES),
        ("only CR LF, -PO", b"\r\n\r\n\r\n", ["-PO", "-U", "^$"],
         [rep_offset("f.txt", n, b"") for n in (0, 2, 4)]),
        ("only CR LF, -PO -C", b"\r\n\r\n\r\n", ["-C", "-PO", "-U", "^$"],
         [summary_offset("f.txt", 0, 3)])):
    case("%s: %s" % (label, " ".join(args)), args + ["f.txt"], out, files=content)

# --- One line far longer than the window ------------------------------------------------
# No line feed at all; "needle" at the start, in the middle and at the end,
# found by the literal search and by regular expressions.
HALF = 2 << 20
LINE_4MB = b"needle" + b"x" * HALF + b"needle" + b"x" * HALF + b"needle"
cases([
    ("a line of 4 MB without a line feed: each match prints the whole line", ["needle", "line.txt"],
     [rep("line.txt", 1, column, LINE_4MB) for column in (1, HALF + 7, 2 * HALF + 13)]),
    ("a line of 4 MB: -U finds its middle", ["-C", "-PO", "-U", "xneedlex", "line.txt"],
     [summary_offset("line.txt", HALF + 5, 1)]),
    ("a line of 4 MB: -U finds its end", ["-C", "-PO", "-U", "needle$", "line.txt"],
     [summary_offset("line.txt", 2 * HALF + 12, 1)]),
    ("a line of 4 MB: -R finds every match", ["-C", "-R", "ne@dle", "line.txt"], [summary("line.txt", 1, 1, 3)]),
], files={"line.txt": LINE_4MB})
# --- Patterns that backtrack without end ------------------------------------------------
# Nested loops over a run of "a" with no "b" would try every way of splitting
# the run at every start; the "b" that every match needs is looked for first,
# also past the window of a line longer than it. A loop after a look-ahead
# runs as a scan, without a choice point per pass; the look-ahead's answer is
# taken once a position, in the code page and in UTF-8 text. The engines'
# work against the length of the text is measured by their unit tests; here
# the program as a whole answers at once, with the engine it chooses itself.
UTF8 = {"LANG": "C.UTF-8"}
for args, what, text, found, env in (
        (["-R", "(a@)@b"], "a line of 100000 a without b", b"a" * 100000, None, None),
        (["-R", "(a@)@b"], "a line of 100000 a and a b", b"a" * 100000 + b"b", (1, 1, 1), None),
        (["-U", "(a*)*b"], "100000 a, a line feed, then ab", b"a" * 100000 + b"\nab", (2, 1, 1), None),
        (["-U", "(a|b)+"], "one line of ab 500000 times", b"ab" * 500000, (1, 1, 1), None),
        (["-U", "(?!x)a*b"], "one line of 20 MB of a and b", b"a" * 20000000 + b"b", (1, 1, 1), None),
        (["-U", "(a|b)+"], "UTF-8: \u00e9 then ab 200000 times", "\u00e9".encode() + b"ab" * 200000,
         (1, 3, 1), UTF8),
        (["-U", "(?!x)(ab)*c"], "ab 1000000 times, then c", b"ab" * 1000000 + b"c", (1, 1, 1), None),
        (["-U", "(?!x)(a|b)*c"], "ab 1000000 times, then xc", b"ab" * 1000000 + b"xc", (1, 2000002, 1), None),
        (["-U", "(?!\u00e9)(a|b)*c"], "ab 1000000 times, then c", b"ab" * 1000000 + b"c", (1, 1, 1), UTF8)):
    case("-C %s over %s" % (" ".join(args), what), ["-C"] + args + ["l.txt"],
         [summary("l.txt", *found)] if found else [], files={"l.txt": text + b"\n"}, timeout=20,
         env=env, native_only=env is not None)
# Wildcards of many "*" are such loops too, over a long file name.
case("wildcard of eleven *a and b over a name of 200 a: no file",
     ["x", "*a" * 11 + "b"], [], files={"a" * 200: b"x\n"}, timeout=20)
case("wildcard of eleven *a over a name of 200 a: the file",
     ["x", "*a" * 11], [rep("a" * 200, 1, 1, b"x")], files={"a" * 200: b"x\n"}, timeout=20)

# --- Regular expressions: line ends, sets of double-byte characters, counted loops ----
# A CR LF is one line end: neither byte is a character of the line, and no
# match starts on its line feed. Nor does one start after the last line.
CRLF_LINES = {"f.txt": b"ab\r\n\r\ncd\r\n"}
for args in (["-U", ".$"], ["-R", "-E", "?$"], ["-B", "-E", "?>"]):
    case("[regex lines] -C %s on CR LF lines: the last character of each line" % " ".join(args),
         ["-C"] + args + ["f.txt"], [summary("f.txt", 1, 2, 2)], files=CRLF_LINES)
# A set looped between two literals stops at the line end, LF or CR LF, but
# takes a carriage return that ends no line.
case("[regex lines] -U \"[^\"]*\": a lone CR inside the quotes, a quote open at the line end",
     ["-U", '"[^"]*"', "f.txt"], [rep("f.txt", 1, 5, b'x = "ab" + "c'), rep("f.txt", 3, 5, b'y = "d"')],
     files={"f.txt": b'x = "a\rb" + "c\n"open\r\ny = "d"\r\n'})
case("[regex lines] -U (?!a?$): nothing after the final line feed",
     ["-U", "(?!a?$)", "f.txt"], [rep("f.txt", 1, column, b"cac") for column in (1, 2, 3)],
     files={"f.txt": b"cac\n"})
# In a double-byte code page a set's member of two bytes is that character
# only: not the others with the same first byte (0x83 in Shift JIS, 0x95 and
# 0x81 in GBK).
for label, env, args, member, other in (
        ("932 -U", SJIS, ["-U"], b"\x83\x41", b"\x83\x43"),
        ("932 -R", SJIS, ["-R", "-E"], b"\x95\x5c", b"\x95\x84\x8d\x86"),
        ("936 -U", {"LANG": "zh_CN.GBK"}, ["-U"], b"\x81\x61", b"\x81\x40")):
    case("[regex dbcs] %s: a set of one double-byte character matches that one" % label,
         args + [os.fsdecode(b"[" + member + b"]"), "f.txt"], [rep("f.txt", 2, 2, b"x" + member)],
         files={"f.txt": other + b"\nx" + member + b"\n"}, env=env, native_only=True)
# A counted loop whose passes may be empty before one that must consume.
case("[regex loops] -U (?:a?){2,}(?:c){2} on abc: nothing, at once",
     ["-U", "(?:a?){2,}(?:c){2}", "f.txt"], [], files={"f.txt": b"abc\n"}, timeout=10)

# --- Whole words after a rejected match, -D's destinations, spooled input, --------------
# --- files that report no size, tree searches of a directory ----------------------------

# A whole word may begin inside a match that was rejected for touching a word
# character; the search goes on one character after the rejected start.
for args, text, column in (
        (["-W", "ab ab"], b"xab ab ab", 5),
        (["-W", "-U", "import [a-z_]+"], b"from zipimport import zipimporter", 16)):
    case("-W %s: a whole word that starts inside a rejected match" % " ".join(args[1:]),
         args + ["f.txt"], [rep("f.txt", 1, column, text)], files={"f.txt": text + b"\n"})
# Every start inside a long word is rejected; they are passed at once, not
# searched one by one (which would take minutes).
LONG_WORD = b"a" + b"x" * 1000000 + b"b x\n"
case("-W -U x+ over a word of a million x: the lone x after it, found in linear time",
     ["-W", "-U", "-C", "x+", "f.txt"], [summary("f.txt", 1, 1000004, 1)],
     files={"f.txt": LONG_WORD}, timeout=60)
case("[dbcs] -W: the search goes on one whole character after a rejected start",
     ["-W", os.fsdecode(b"\x83\x41 \x83\x41"), "f.txt"],
     [rep("f.txt", 1, 5, b"x\x83\x41 \x83\x41 \x83\x41")],
     files={"f.txt": b"x\x83\x41 \x83\x41 \x83\x41\n"}, env=SJIS, native_only=True)

# The copy of piped standard input is removed on every way out, also when the
# program ends with status 2 because its output pipe was closed.
def spools(ctx):
    """The program's copies of standard input in the folder of temporary files
    (natively TMPDIR, the working directory here; under Wine the user's Temp
    folder in its prefix, which Wine sets as %TEMP% itself), or a complaint."""
    temp = ctx.work
    if ctx.runner:
        users = os.path.join(os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine"), "drive_c", "users")
        found = [os.path.join(users, user, "Temp") for user in (os.listdir(users) if os.path.isdir(users) else [])
                 if user != "Public" and os.path.isdir(os.path.join(users, user, "Temp"))]
        if len(found) != 1:
            return {"no single folder of temporary files in %s: %s" % (users, found)}
        temp = found[0]
    return {n for n in os.listdir(temp) if n.lower().startswith("grp")}


def check_spool_removed(ctx):
    # Another run of the program may hold a copy for a moment; a copy left
    # behind stays.
    deadline = time.monotonic() + 5
    while spools(ctx) - ctx.spools_before and time.monotonic() < deadline:
        time.sleep(0.2)
    left = sorted(spools(ctx) - ctx.spools_before)
    return ["the copy of standard input was left behind: %s" % ", ".join(left)] if left else []


case("piped standard input, output into a pipe closed early: status 2, no copy left behind", ["needle"],
     [(rep("", 1, 3, b"a needle") + rep("", 2, 3, b"a needle"))[:CLOSED_AFTER]], status=WRITE_FAILED,
     stdin=("pipe", b"a needle\n" * 500000), stdout="closed", sigpipe="ignore",
     env={} if ON_WINDOWS else {"TMPDIR": "{WORK}"},
     setup=lambda ctx: setattr(ctx, "spools_before", {n for n in spools(ctx) if n.lower().startswith("grp")}),
     check=check_spool_removed,
     alone=True)  # Wine's Temp folder is every case's


# Files that the system makes up as they are read report a size of 0.
def needs_path(path):
    def setup(ctx):
        if not os.path.exists(path):
            raise Skip("%s does not exist here" % path)
    return setup


case("a file that reports a size of 0 is read to its end", ["Linux", "/proc/sys/kernel/ostype"],
     [rep("/proc/sys/kernel/ostype", 1, 1, b"Linux")], setup=needs_path("/proc/sys/kernel/ostype"))

# With -T (or +T) a file-spec that names a directory searches its whole tree.
DIR_TREE = {"src/a.c": b"needle a\n", "src/util/x.c": b"x needle\n", "top.txt": b"needle top\n",
            "empty/.keep": b""}


def tree_reports(prefix, with_top=False):
    lines = [rep(prefix + "a.c", 1, 1, b"needle a"), rep(prefix + walked("util", "x.c"), 1, 3, b"x needle")]
    if with_top:
        lines = [rep(prefix + walked("src", "a.c"), 1, 1, b"needle a"),
                 rep(prefix + walked("src", "util", "x.c"), 1, 3, b"x needle"),
                 rep(prefix + "top.txt", 1, 1, b"needle top")]
    return any_order(*lines)


for args, expected in (
        (["-T", "needle", "src"], tree_reports("src" + WALK_SEP)),
        (["-T", "needle", "src/"], tree_reports("src/")),
        (["-T", "needle", "src\\"], tree_reports("src\\")),
        (["needle", "+T", "src"], tree_reports("src" + WALK_SEP)),
        (["-T", "needle", "."], tree_reports("." + WALK_SEP, True)),
        (["-T", "needle", ".\\"], tree_reports(".\\", True)),
        (["-T", "needle", "empty"], b"")):
    case("[walk] -T: a directory's name searches its whole tree: %s" % " ".join(args), args,
         out_re=expected, files=DIR_TREE, stdin=("pipe", b"needle on standard input\n"))
case("[walk] -T .: a link back up the tree is not followed a second time",
     ["-T", "needle", "."], out_re=tree_reports("./", True), files=DIR_TREE,
     setup=lambda ctx: os.symlink("..", os.path.join(ctx.work, "src", "up")), native_only=True)

# --- UTF-8 text: searches under the code page 65001 ------------------------------
# Under the UTF-8 code page the text of files and standard input is searched as
# UTF-8: '.' and sets take whole characters, -I folds the letters of every
# script, -W decodes the characters beside a match. Columns stay byte counts.
# These cases take the code page 65001 (utf8_code_page): natively LANG=C.UTF-8;
# under Wine a UTF-8 locale without an ANSI code page (hi_IN.UTF-8, made with
# localedef), for which Wine takes 65001. Cases of byte behaviour pin LC_ALL=C.
UTF8_TEXT = "\u00c4rger \u00fcber Stra\u00dfe\n\u0391\u03bb\u03c6\u03b1 \u03b2\u03ae\u03c4\u03b1\n\u65e5\u672c\u8a9e\u30c6\u30ad\u30b9\u30c8\n".encode()
UTF8_LINES = UTF8_TEXT.split(b"\n")


def utf8_col(line, text):
    """The byte column of text in the given line (1-based) of UTF8_TEXT."""
    return UTF8_LINES[line - 1].index(text.encode()) + 1


def utf8_rep(line, text, name="f.txt"):
    return rep(name, line, utf8_col(line, text), UTF8_LINES[line - 1])


def utf8_case(name, args, out, files=None, **options):
    case("[utf-8] " + name, args, out, files={"f.txt": UTF8_TEXT} if files is None else files,
         utf8_code_page=True, **options)


# A maximal any-character loop near a lone CR reads whole characters up to the
# line end (it once failed there and left only empty matches).
CR_RUN = "bxx\x81a".encode("latin-1")
utf8_case("-R ?@ runs over a lone CR and an invalid byte to the line end",
          ["-V", "-R", "-E", "?@", "f.txt"],
          [heading("f.txt"), vrep(2, 1, 1, "\u00e9".encode()), vrep(0, 1, 3, "\u00e9".encode()),
           vrep(6, 2, 1, CR_RUN), vrep(0, 2, 7, CR_RUN), vrep(0, 2, 8, CR_RUN)],
          files={"f.txt": b"\xc3\xa9\r\nbxx\r\x81a\r\r\n"})
utf8_case("-I \u00e4rger finds \u00c4rger", ["-I", "\u00e4rger", "f.txt"], [utf8_rep(1, "\u00c4rger")])
utf8_case("-I \u0391\u039b\u03a6\u0391 finds \u0391\u03bb\u03c6\u03b1, and -U -I as well",
          ["-U", "-I", "\u03b1\u039b\u03c6\u0391|\u03a4\u0391$", "f.txt"],
          [utf8_rep(2, "\u0391\u03bb\u03c6\u03b1"), utf8_rep(2, "\u03c4\u03b1")])
utf8_case("-I -V: a match spans the bytes of its case forms, and the next starts after them",
          ["-I", "-V", "ss"], [heading(""), vrep(4, 1, 1, "\u017f\u017f\u017fs".encode()),
                               vrep(3, 1, 5, "\u017f\u017f\u017fs".encode())],
          stdin=("pipe", "\u017f\u017f\u017fs\n".encode()))
INVALID = b"caf\xe9 na\xefve \xff\xfe x\xc3(y \xe2\x82\n"
utf8_case("invalid UTF-8: a byte-exact literal is found, -I finds ASCII beside invalid bytes",
          ["-I", "NA", "f.txt"],
          [rep("f.txt", 1, 6, INVALID[:-1])], files={"f.txt": INVALID})
utf8_case("invalid UTF-8: a sequence cut by the end of the file is bytes of their own",
          ["-U", "\\(y ..$"], [rep("", 1, 3, b"x\xc3(y \xe2\x82")],
          stdin=("pipe", b"x\xc3(y \xe2\x82"))
WINDOW_CUT = b"x" * 65534 + " \u00c4rger \u65e5\u672c\n".encode()
utf8_case("a character cut by the 64 KiB window boundary is whole to '.', -I and -W",
          ["-U", "-I", "-W", "\u00e4RGER \u65e5.$", "f.txt"],
          [rep("f.txt", 1, 65536, WINDOW_CUT[:-1])], files={"f.txt": WINDOW_CUT})
utf8_case("a line feed that ends the 64 KiB window is counted before the next line's match",
          ["-U", "Stra.e"], [rep("", 2, 1, "Stra\u00dfe".encode())],
          stdin=("pipe", b"x" * 65535 + "\nStra\u00dfe\n".encode()))
utf8_case("a character cut by the end of a record is read across it, as bytes are",
          ["-4", "-U", "d.z"], [rep("", 1, 4, b"abcd\xc3\xa4z")],
          stdin=("pipe", b"abcd\xc3\xa4z  "))
utf8_case("-Y: bytes as before, '.' takes one byte of \u00df",
          ["-Y", "-U", "Stra..e|\u65e5.\u8a9e", "f.txt"], [utf8_rep(1, "Stra\u00dfe")])
utf8_case("-Y -I folds ASCII letters only", ["-Y", "-I", "\u00e4rger", "f.txt"], [])
case("[utf-8] LC_ALL=C: the same search in bytes: '.' takes one byte of \u00df",
     ["-U", "Stra..e|\u65e5.\u8a9e", "f.txt"], [utf8_rep(1, "Stra\u00dfe")],
     files={"f.txt": UTF8_TEXT}, env={"LC_ALL": "C"})

# --- UTF-8 text: regular expressions on the byte scans ---------------------------
# The regex search skips lines by a literal every match holds and finds
# candidates by bytes in UTF-8 text too; neither may pass over a match.
LONG_FORMS = "x_\u017fun\ny_\u212aEL\n".encode()
utf8_case("-U -I: lines that hold a word only with the long s or the Kelvin sign are searched",
          ["-U", "-I", "x_sun|y_kel", "f.txt"],
          [rep("f.txt", n, 1, line) for n, line in ((1, LONG_FORMS[:6]), (2, LONG_FORMS[7:-1]))],
          files={"f.txt": LONG_FORMS})
utf8_case("-U '.x' after a cut sequence: its stray byte is a character where a match starts",
          ["-U", ".x"], [rep("", 1, 3, b"a\xe2\x84x")], stdin=("pipe", b"a\xe2\x84x\n"))

# --- Cases kept in files of their own beside this one: cases_*.py ----------------

for _case_file in sorted(os.listdir(os.path.dirname(os.path.abspath(__file__)))):
    if _case_file.startswith("cases_") and _case_file.endswith(".py"):
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), _case_file),
                  encoding="utf-8") as _source:
            exec(compile(_source.read(), _case_file, "exec"))


# ---------------------------------------------------------------------------
# The build script. A copy of build.sh runs in a directory of its own, beside
# a made-up project, with apt-get, dpkg and sudo replaced by stubs: nothing it
# does can reach this tree or the system. Natively only; the script is the
# same for both programs.

BUILD_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build.sh")
SCRIPT_CHECKS = []


def script_check(name):
    def add(function):
        SCRIPT_CHECKS.append((name, function))
        return function
    return add


def run_build_script(args, project, prepare=None, inspect=None):
    """Runs the copy of build.sh in a new directory holding the project's files,
    after prepare(tree) when given; returns the exit status, everything it
    printed and what inspect(tree) returns after the run (None without it)."""
    with tempfile.TemporaryDirectory(prefix="grep-build-") as root:
        stubs = os.path.join(root, "stubs")
        os.mkdir(stubs)
        for stub in ("apt-get", "dpkg", "sudo"):
            path = os.path.join(stubs, stub)
            with open(path, "w") as f:
                f.write("#!/bin/sh\necho \"stub %s called\"\nexit 0\n" % stub)
            os.chmod(path, 0o755)
        tree = os.path.join(root, "tree")
        os.mkdir(tree)
        shutil.copy2(BUILD_SCRIPT, os.path.join(tree, "build.sh"))
        for name, text in project.items():
            with open(os.path.join(tree, name), "w") as f:
                f.write(text)
        env = dict(os.environ, PATH=stubs + os.pathsep + os.environ.get("PATH", ""), JOBS="1")
        if prepare:
            prepare(tree)
        proc = subprocess.run(["bash", os.path.join(tree, "build.sh")] + args, cwd=root, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=300)
        found = inspect(tree) if inspect else None
        return proc.returncode, proc.stdout.decode("utf-8", "replace"), found


# A project that must never be configured by a command that only shows help.
UNTOUCHABLE = {"CMakeLists.txt": 'message(FATAL_ERROR "the project was configured")\n'}


@script_check("build.sh without a command and with help shows its help and builds nothing")
def check_script_help():
    errors = []
    for args in ([], ["help"]):
        status, output, _ = run_build_script(args, UNTOUCHABLE)
        label = "build.sh %s" % " ".join(args)
        if status != 0:
            errors.append("%s: exit status %d" % (label, status))
        for wanted in ("./build.sh search", "./build.sh test", "windows"):
            if wanted not in output:
                errors.append("%s: the help does not name %r" % (label, wanted))
        for unwanted in ("set -e", "configured", "stub"):
            if unwanted in output:
                errors.append("%s: printed %r:\n%s" % (label, unwanted, output[:500]))
    return errors


@script_check("build.sh search shows the compiler's messages when the build fails")
def check_script_compile_error():
    project = {
        "CMakeLists.txt": "cmake_minimum_required(VERSION 3.16)\nproject(broken CXX)\n"
                          "add_executable(grep broken.cpp)\nadd_custom_target(catalogue)\n",
        "broken.cpp": "int main() { return undeclared_name_in_broken_cpp; }\n",
    }
    status, output, _ = run_build_script(["search", "x", "README.md"], project)
    errors = []
    if status == 0:
        errors.append("exit status 0 after a failed build")
    if "undeclared_name_in_broken_cpp" not in output:
        errors.append("the compiler's message is not shown:\n%s" % output[:500])
    return errors


@script_check("build.sh reconfigures a build folder that was configured with other options")
def check_script_reconfigures():
    project = {
        "CMakeLists.txt": "cmake_minimum_required(VERSION 3.16)\nproject(options NONE)\n"
                          "file(WRITE ${CMAKE_BINARY_DIR}/build-type.txt ${CMAKE_BUILD_TYPE})\n",
    }

    def configured_by_hand(tree):  # as a developer may do, for a debugger
        subprocess.run(["cmake", "-S", tree, "-B", os.path.join(tree, "build"), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Debug"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=300)

    def build_type(tree):
        with open(os.path.join(tree, "build", "build-type.txt")) as f:
            return f.read()

    status, output, found = run_build_script(["native"], project, configured_by_hand, build_type)
    if status != 0:
        return ["exit status %d:\n%s" % (status, output[-500:])]
    return [] if found == "Release" else ["the build folder is still configured as %r" % found]


# ---------------------------------------------------------------------------
# Running


class Skip(Exception):
    pass


class Context:
    def __init__(self, suite, work, names, program):
        self.suite = suite
        self.work = work
        self.names = names
        self.program = program
        self.runner = suite.runner
        self.program_bytes = suite.program_bytes

    def run_and_compare(self, program, args, parts, status, label):
        proc = self.suite.run(program, args, self.work)
        return self.suite.compare(parts, status, proc, self.names, label)


class Suite:
    def __init__(self, program, runner, keep, slow):
        self.program = os.path.abspath(program)
        self.runner = runner
        self.keep = keep
        self.slow = slow
        self.program_bytes = open(self.program, "rb").read()
        self.extension = os.path.splitext(self.program)[1]
        self.catalogue_path = os.path.join(os.path.dirname(self.program), "grep.kvb")
        self.problems = []
        self.catalogue = None
        try:
            self.catalogue = Catalogue.from_catalogue(self.catalogue_path)
        except (OSError, CatalogueError) as error:
            self.problems.append("catalogue beside the program: %s" % error)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("LC_")}
        self.env["LANG"] = "C"
        if runner:
            self.env["WINEDEBUG"] = "-all"
        self.timeout = 300 if runner else 60

    def command(self, program, args):
        return ([self.runner] if self.runner else []) + [program] + args

    def utf8_code_page_env(self):
        """The variables under which the program's code page is 65001. Natively
        a UTF-8 locale; Wine takes 65001 for a locale that has no ANSI code page
        (hi_IN.UTF-8), which localedef makes once per run, in a folder beside
        the working folders."""
        if not self.runner:
            return {"LANG": "C.UTF-8"}
        locales = os.path.join(tempfile.gettempdir(), "grep-e2e-locales-%d" % os.getuid())
        made = os.path.join(locales, "hi_IN.UTF-8")
        if not os.path.isdir(made):
            os.makedirs(locales, exist_ok=True)
            if not shutil.which("localedef"):
                raise Skip("no localedef to make a UTF-8 locale for Wine's code page 65001")
            # Made under a name of this worker's own and renamed when whole: a
            # worker beside it must not take a half-written locale for made.
            partial = "%s.%d" % (made, os.getpid())
            subprocess.run(["localedef", "-i", "hi_IN", "-f", "UTF-8", partial],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                os.rename(partial, made)
            except OSError:  # another worker's locale came first
                shutil.rmtree(partial, ignore_errors=True)
            if not os.path.isdir(made):
                raise Skip("the locale hi_IN.UTF-8 for Wine's code page 65001 cannot be made")
        return {"LOCPATH": locales, "LANG": "hi_IN.UTF-8", "LC_ALL": "hi_IN.UTF-8"}

    def run(self, program, args, cwd, stdin=None, timeout=None, stdout=None, sigpipe=None,
            preexec=None, meanwhile=None, env=None):
        """Runs the program; stdin is None, ("file", bytes) or ("pipe", bytes);
        stdout, sigpipe and meanwhile as for case(); preexec runs in the child
        before the program; env adds to the suite's variables. A closed pipe's
        result holds the bytes read before the close and, as
        seconds_after_close, how long the program went on."""
        timeout = timeout or self.timeout
        command = self.command(program, args)
        if sigpipe == "ignore":
            preexec = lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)  # noqa: E731
        data = None
        if stdin is None:
            source = open(os.devnull, "rb")
        elif stdin[0] == "pipe":
            source, data = subprocess.PIPE, stdin[1]
        else:
            path = os.path.join(os.path.dirname(cwd), "stdin.dat")  # outside the working directory
            with open(path, "wb") as f:
                f.write(stdin[1])
            source = open(path, "rb")
        sink = open("/dev/full", "wb") if stdout == "full" else subprocess.PIPE
        head, out, closed = b"", b"", None
        try:
            with subprocess.Popen(command, cwd=cwd, env=dict(self.env, **(env or {})), stdin=source,
                                  stdout=sink, stderr=subprocess.PIPE, preexec_fn=preexec) as child:
                try:
                    if stdout == "closed":
                        if data is not None:
                            threading.Thread(target=feed, args=(child.stdin, data), daemon=True).start()
                        head = child.stdout.read(CLOSED_AFTER)
                        child.stdout.close()
                        closed = time.monotonic()
                        err = child.stderr.read()
                        child.wait(timeout)
                    else:
                        # With meanwhile: the first bytes, read unbuffered, show
                        # that the program has begun; it then waits on the full
                        # pipe while meanwhile() runs.
                        while meanwhile is not None and len(head) < MEANWHILE_AFTER:
                            got = os.read(child.stdout.fileno(), MEANWHILE_AFTER - len(head))
                            if not got:
                                break
                            head += got
                        if meanwhile is not None:
                            meanwhile()
                        out, err = child.communicate(data, timeout=timeout)
                except BaseException:
                    child.kill()
                    raise
        finally:
            for f in (source, sink):
                if f is not subprocess.PIPE:
                    f.close()
        proc = subprocess.CompletedProcess(command, child.returncode, head + (out or b""), err)
        if closed is not None:
            proc.seconds_after_close = time.monotonic() - closed
        return proc

    def compare(self, parts, status, proc, names, label, killed_by=None, err=None, out_re=None):
        errors = []
        if killed_by is not None:
            if proc.returncode != -killed_by:
                errors.append("%s: exit status %d, expected the end by signal %d"
                              % (label, proc.returncode, killed_by))
        elif proc.returncode < 0:
            errors.append("%s: killed by signal %d" % (label, -proc.returncode))
        elif status_byte(proc.returncode) != status_byte(status):
            errors.append("%s: exit status %d, expected %d (low byte %d)"
                          % (label, proc.returncode, status, status_byte(status)))
        if err is not None:
            errors += self.compare_output(err, proc.stderr, names, label + ": standard error")
        if out_re is not None:
            if not re.match(out_re + b"\\Z", proc.stdout, re.S):
                errors.append("%s: standard output does not match %r: %r"
                              % (label, out_re, proc.stdout[:300]))
        else:
            errors += self.compare_output(parts, proc.stdout, names, label + ": standard output")
        if errors and proc.stderr and err is None:
            errors.append("%s: standard error: %r" % (label, proc.stderr[:300]))
        return errors

    def compare_output(self, parts, actual, names, label):
        errors = []
        try:
            expected = expand_expected(parts, self.catalogue, names)
        except CatalogueError as error:
            return errors + ["%s: %s" % (label, error)]
        if actual != expected:
            errors.append("%s differs\n%s" % (label, byte_diff(expected, actual)))
        return errors

    def run_case(self, c):
        root = tempfile.mkdtemp(prefix="grep-e2e-")
        work = os.path.join(root, "work")
        os.mkdir(work)
        names = {"P": "grep" + self.extension, "P2": "grep2" + self.extension,
                 "LINK": "grep_link" + self.extension, "EXT": self.extension, "WORK": work}
        program = self.program
        keep = False
        try:
            if c.get("copy_program"):
                program = os.path.join(work, names["P"])
                shutil.copy2(self.program, program)
                if os.path.exists(self.catalogue_path) and not c.get("without_catalogue"):
                    shutil.copy2(self.catalogue_path, os.path.join(work, "grep.kvb"))
            for name, content in c["files"].items():
                path = os.path.join(work, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                if isinstance(content, Sparse):
                    if not content.create(path):
                        raise Skip("the file system does not keep %s sparse" % name)
                else:
                    with open(path, "wb") as f:
                        f.write(content)
            ctx = Context(self, work, names, program)
            if c.get("setup"):
                try:
                    c["setup"](ctx)
                except OSError as error:
                    raise Skip("set-up not possible here: %s" % error)
            args = [substitute(a, names) for a in c["args"]]
            timeout = 1800 if c.get("slow") else c.get("timeout")
            preexec = self.preexec_for(c, root, work)
            meanwhile = (lambda: c["meanwhile"](ctx)) if c.get("meanwhile") else None
            env = {key: substitute(value, names) for key, value in (c.get("env") or {}).items()}
            if c.get("utf8_code_page"):
                env.update(self.utf8_code_page_env())
            try:
                proc = self.run(program, args, work, c["stdin"], timeout, c.get("stdout"),
                                c.get("sigpipe"), preexec, meanwhile, env)
            except subprocess.TimeoutExpired:
                keep = self.keep
                return ["timed out"]
            errors = self.compare(c["out"], c["status"], proc, names, "run", c.get("killed_by"),
                                  c.get("err"), c.get("out_re"))
            after_close = getattr(proc, "seconds_after_close", 0)
            if after_close > CLOSED_PIPE_SECONDS:
                errors.append("run: the program went on for %.1f s after the pipe was closed"
                              % after_close)
            if not errors and c.get("check"):
                errors += c["check"](ctx)
            keep = bool(errors) and self.keep
            if keep:
                errors.append("working directory kept: %s" % work)
            return errors
        finally:
            if not keep:
                shutil.rmtree(root, ignore_errors=True)

    def preexec_for(self, c, root, work):
        """The function the child runs before the program: a file size limit, a
        change to an unprivileged user; None when the case asks for neither."""
        limit = c.get("file_size_limit")
        unprivileged = c.get("unprivileged") and os.geteuid() == 0
        if limit is None and not unprivileged:
            return None
        if unprivileged:
            # nobody has to reach the working directory and the program.
            for path in (root, work):
                os.chmod(path, 0o755)
            if not os.access(self.program, os.R_OK | os.X_OK):
                raise Skip("the program is out of reach of an unprivileged user")

        def prepare():
            if limit is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            if unprivileged:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
        return prepare

    def warm_up(self):
        """The first wine start creates its prefix and takes long; do it once."""
        if self.runner:
            with tempfile.TemporaryDirectory() as d:
                subprocess.run(self.command(self.program, ["?"]), cwd=d, env=self.env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=900)


# The suite that run_item() uses: set before the worker processes are forked,
# which inherit it with the cases and their functions.
RUNNING_SUITE = None


def runs_alone(item):
    """Whether an item must not run beside another: one that measures time or
    loads the machine so heavily that a neighbour could miss its deadline."""
    kind, index = item
    return kind == "case" and bool(CASES[index].get("alone"))


def run_item(item):
    """Runs one build-script check or case; returns its name, the reason it was
    skipped (or None), its errors and the seconds it took."""
    kind, index = item
    started = time.monotonic()
    if kind == "script":
        name, check = SCRIPT_CHECKS[index]
        return name, None, check(), time.monotonic() - started
    name = CASES[index]["name"]
    try:
        errors = RUNNING_SUITE.run_case(CASES[index])
    except Skip as reason:
        return name, str(reason), None, 0
    return name, None, errors, time.monotonic() - started


def run_items(suite, items, jobs):
    """The outcomes of the items in their order, run `jobs` at a time. Each case
    has a working directory of its own, and a worker is a process of its own,
    so cases that run at once share no state of the suite."""
    global RUNNING_SUITE
    RUNNING_SUITE = suite
    if jobs <= 1 or len(items) <= 1:
        for item in items:
            yield run_item(item)
        return
    with multiprocessing.get_context("fork").Pool(jobs) as pool:
        yield from pool.imap(run_item, items)


def feed(pipe, data):
    """Writes the data into the pipe and closes it; a reader that is gone ends it."""
    try:
        pipe.write(data)
        pipe.close()
    except OSError:
        pass


def byte_diff(expected, actual):
    """Where the two outputs part, with some bytes around it."""
    first = next((i for i, (a, b) in enumerate(zip(expected, actual)) if a != b),
                 min(len(expected), len(actual)))
    return "    expected %d bytes, got %d; first difference at byte %d: expected %r, got %r" % (
        len(expected), len(actual), first, expected[max(0, first - 40):first + 80],
        actual[max(0, first - 40):first + 80])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--program", required=True, help="the built grep or grep.exe")
    parser.add_argument("--runner", help="a program that runs it, e.g. wine")
    parser.add_argument("--filter", help="run only cases whose name contains this text")
    parser.add_argument("--slow", action="store_true", help="also run the slow cases")
    parser.add_argument("--keep", action="store_true", help="keep failing cases' directories")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("--jobs", type=int, default=1,
                        help="run this many cases at a time (cases marked alone run last, one by one)")
    parser.add_argument("--build-script", choices=("yes", "no", "only"), default="yes",
                        help="whether to check build.sh too (natively only), or only that")
    options = parser.parse_args()

    if options.list:
        for name, _ in SCRIPT_CHECKS:
            print(name)
        for c in CASES:
            print(c["name"])
        return 0
    if not os.path.isfile(options.program):
        print("the program %s does not exist" % options.program)
        print("0 passed, 1 failed")
        return 1

    slow = options.slow or os.environ.get("GREP_E2E_SLOW") == "1"
    suite = Suite(options.program, options.runner, options.keep, slow)
    if suite.catalogue is None:
        print("; ".join(suite.problems))
        print("0 passed, 1 failed")
        return 1
    suite.warm_up()

    passed = failed = skipped = 0
    cases = CASES if options.build_script != "only" else []
    items = []
    for index, (name, _) in enumerate(SCRIPT_CHECKS if options.build_script != "no" else []):
        if options.filter and options.filter not in name:
            continue
        if options.runner:
            skipped += 1
            continue
        items.append(("script", index))
    for index, c in enumerate(cases):
        if options.filter and options.filter not in c["name"]:
            continue
        if c.get("native_only") and options.runner:
            skipped += 1
            continue
        if c.get("slow") and not slow:
            skipped += 1
            continue
        items.append(("case", index))
    # The cases that must have the machine to themselves run last, one by one.
    together = [item for item in items if not runs_alone(item)]
    alone = [item for item in items if runs_alone(item)]
    for name, skip, errors, seconds in itertools.chain(run_items(suite, together, options.jobs),
                                                       run_items(suite, alone, 1)):
        if skip is not None:
            print("SKIP %s: %s" % (name, skip))
            skipped += 1
            continue
        if seconds > 20:
            print("note: %s took %.0f s" % (name, seconds))
        if errors:
            failed += 1
            print("FAIL %s: %s" % (name, errors[0].split("\n")[0]))
            rest = "\n".join(errors[0].split("\n")[1:] + errors[1:])
            if rest:
                print(rest)
        else:
            passed += 1
    if skipped:
        print("%d skipped (slow cases need --slow or GREP_E2E_SLOW=1; some run natively only)" % skipped)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
