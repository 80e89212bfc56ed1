#!/usr/bin/env python3
"""Tests of the install layout, the release archives and the manual page.

    test_packaging.py install --build DIR --cmake CMAKE
                      --link-name NAME --program-dir DIR --bin-dir DIR --man-dir DIR
    test_packaging.py archive --build DIR --cmake CMAKE
                      --link-name NAME --program-dir DIR --bin-dir DIR --man-dir DIR
                      --cpack CPACK --generator TGZ|ZIP --file-name NAME [--runner EMULATOR]
    test_packaging.py manual --build DIR --cmake CMAKE
                      --groff GROFF --page PAGE --program PROGRAM

install: `cmake --install` into a temporary prefix; the command in bin/ is a
relative link, not named grep, and the program run through it from another
folder, by path and by a bare name found along PATH, finds its catalogue.
archive: cpack packs the build, the archive holds exactly the files of the
install layout, and the program unpacked from it searches a file and prints
catalogue messages (a Windows archive runs under the emulator).
manual: the page renders without a groff warning, and its OPTIONS section and
the usage screen name the same options.

Only the Python standard library is used. Prints "N passed, N failed" last;
the exit status is 0 only when every check passed.
"""

import argparse
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from message_texts import Catalogue  # noqa: E402

NOTES = b"first line\r\nthe needle is here\nneedle needle\n"
# Report lines for NOTES: name, line, column, the line without its line end.
NOTES_REPORT = (b"notes.txt 2 5:the needle is here\r\n"
                b"notes.txt 3 1:needle needle\r\n"
                b"notes.txt 3 8:needle needle\r\n")
MISSING = "missing.txt"


class Checks:
    def __init__(self):
        self.passed = 0
        self.failures = []

    def check(self, condition, what, detail=""):
        if condition:
            self.passed += 1
        else:
            self.failures.append(what + (": " + detail if detail else ""))
        return condition

    def equal(self, actual, expected, what):
        return self.check(actual == expected, what, "got %r, expected %r" % (actual, expected))

    def finish(self):
        for failure in self.failures:
            print("FAIL " + failure)
        print("%d passed, %d failed" % (self.passed, len(self.failures)))
        return 0 if not self.failures else 1


def run(command, cwd, env=None):
    result = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return result.returncode, result.stdout, result.stderr


def check_program(checks, command, work, messages, suffix, label, env=None, name="grep"):
    """Runs a search and the usage screen through `command` from `work`; the
    usage screen calls the program by `name`, the name it was started by."""
    with open(os.path.join(work, "notes.txt"), "wb") as notes:
        notes.write(NOTES)
    expected = NOTES_REPORT + messages.expand(-3639, {1: MISSING.encode()}) + b"\r\n"
    status, out, err = run(command + ["needle", "notes.txt", MISSING], work, env)
    checks.equal((status, out), (0, expected), label + ": search report and missing-file message")
    status, out, err = run(command + ["-H"], work, env)
    usage = messages.expand(-3600, {3: name.encode(), 0: suffix.encode()})
    first_line = usage.split(b"\n")[0] + b"\r\n"
    checks.equal((status, out[:len(first_line)]), (0, first_line), label + ": usage screen")


def test_install(args, checks, messages):
    with tempfile.TemporaryDirectory() as temp:
        prefix = os.path.join(temp, "prefix")
        status, out, err = run([args.cmake, "--install", args.build, "--prefix", prefix], temp)
        if not checks.equal(status, 0, "cmake --install: " + err.decode("latin-1")):
            return
        bin_dir = os.path.join(prefix, args.bin_dir)
        checks.equal(sorted(os.listdir(bin_dir)), [args.link_name], "bin/ holds the link only")
        checks.check(args.link_name != "grep", "the link does not shadow the system's grep")
        link = os.path.join(bin_dir, args.link_name)
        checks.check(os.path.islink(link) and not os.path.isabs(os.readlink(link)),
                     "bin/%s is a relative symbolic link" % args.link_name)
        program_dir = os.path.join(prefix, args.program_dir)
        checks.equal(sorted(os.listdir(program_dir)), ["grep", "grep.kvb"],
                     "program and catalogue side by side")
        checks.equal(os.path.realpath(link), os.path.realpath(os.path.join(program_dir, "grep")),
                     "the link leads to the program")
        page = os.path.join(prefix, args.man_dir, "man1", args.link_name + ".1")
        checks.check(os.path.isfile(page), "manual page installed under the link's name", page)
        work = os.path.join(temp, "work")
        os.mkdir(work)
        check_program(checks, [link], work, messages, "", "link by path", name=args.link_name)
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
        check_program(checks, [args.link_name], work, messages, "", "link along PATH", env,
                      name=args.link_name)


def unpack(archive, target):
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as packed:
            packed.extractall(target)
            return sorted(name for name in packed.namelist() if not name.endswith("/"))
    with tarfile.open(archive) as packed:
        names = sorted(member.name for member in packed.getmembers() if not member.isdir())
        if hasattr(tarfile, "data_filter"):
            packed.extractall(target, filter="tar")
        else:
            packed.extractall(target)
        return names


def test_archive(args, checks, messages):
    windows = args.generator == "ZIP"
    extension = ".zip" if windows else ".tar.gz"
    with tempfile.TemporaryDirectory() as temp:
        out_dir = os.path.join(temp, "out")
        status, out, err = run([args.cpack, "--config", os.path.join(args.build, "CPackConfig.cmake"),
                                "-G", args.generator, "-B", out_dir], args.build)
        if not checks.equal(status, 0, "cpack -G %s: %s" % (args.generator, (out + err).decode("latin-1"))):
            return
        archive = os.path.join(out_dir, args.file_name + extension)
        if not checks.check(os.path.isfile(archive), "archive written", archive):
            return
        unpacked = os.path.join(temp, "unpacked")
        names = unpack(archive, unpacked)
        top = args.file_name + "/"
        if windows:
            layout = [args.program_dir + "/" + name for name in ("grep.exe", "grep.kvb", "grep.txt")]
        else:
            layout = [args.bin_dir + "/" + args.link_name, args.program_dir + "/grep",
                      args.program_dir + "/grep.kvb", "%s/man1/%s.1" % (args.man_dir, args.link_name)]
        checks.equal(names, sorted(top + name for name in layout), "archive members")
        root = os.path.join(unpacked, args.file_name)
        work = os.path.join(temp, "work")
        os.mkdir(work)
        if windows:
            program = os.path.join(root, args.program_dir, "grep.exe")
            check_program(checks, args.runner + [program], work, messages, ".exe", "grep.exe from the zip")
            text = open(os.path.join(root, args.program_dir, "grep.txt"), "rb").read()
            checks.check(text.startswith(b"GREP(1)"), "manual text names grep", repr(text[:40]))
            checks.check(b"\nOPTIONS\r\n" in text and b"\r\n" in text and
                         text.count(b"\n") == text.count(b"\r\n"),
                         "manual text has its sections and CR LF line ends only")
            checks.check(re.search(rb"[\x08\x1b]", text) is None,
                         "manual text has no overstriking or escapes")
        else:
            link = os.path.join(root, args.bin_dir, args.link_name)
            checks.check(os.path.islink(link), "bin/%s unpacks as a link" % args.link_name)
            check_program(checks, [link], work, messages, "", "link from the tar.gz",
                          name=args.link_name)


# Roff alternating-font macros join their arguments without blanks; .B and .I
# join them with blanks.
ALTERNATING = {"BR", "RB", "BI", "IB", "IR", "RI"}


def roff_words(line):
    match = re.match(r"\.(\w+)\s*(.*)", line)
    if match is None:
        return line
    macro, rest = match.groups()
    parts = [part.strip('"') for part in re.findall(r'"[^"]*"|\S+', rest)]
    text = ("" if macro in ALTERNATING else " ").join(parts)
    text = re.sub(r"\\f(\[\w*\]|.)", "", text)
    return text.replace("\\-", "-").replace("\\&", "")


def page_options(page):
    """The options the page's OPTIONS section gives as paragraph tags."""
    lines = open(page, encoding="utf-8").read().split("\n")
    start = lines.index(".SH OPTIONS")
    end = next(i for i in range(start + 1, len(lines)) if lines[i].startswith(".SH "))
    options = set()
    for i in range(start, end):
        if lines[i] == ".TP":
            for piece in roff_words(lines[i + 1]).split(","):
                options.add(piece.split()[0])
    return options


def usage_options(usage):
    """The options in the option column of the usage screen, which begins in
    the sixth column (after a "(*)" marker or blanks) and ends at the gap
    before the description."""
    options = set()
    for line in usage.decode("latin-1").split("\r\n"):
        match = re.match(r"(?: {5}| \(\*\) )([-?].*?)(?: {2,}|$)", line)
        if match:
            for piece in match.group(1).split(","):
                options.add(piece.split()[0].replace("<", "").replace(">", ""))
    return options


def test_manual(args, checks, messages):
    status, out, err = run([args.groff, "-man", "-ww", "-z", args.page], args.build)
    checks.equal((status, err), (0, b""), "groff renders the page without warnings")
    status, usage, err = run([args.program, "-H"], args.build)
    listed = usage_options(usage)
    documented = page_options(args.page)
    checks.check(len(listed) > 20, "usage screen options read", repr(sorted(listed)))
    checks.equal(sorted(listed - documented), [], "usage screen options missing from the page")
    # Option letters ignore case, so the page may show -h for the usage's -H;
    # +T appears in the description column of the usage screen.
    text = usage.decode("latin-1").upper()
    stray = sorted(option for option in documented
                   if option.upper() not in {o.upper() for o in listed}
                   and re.search(r"(?<!\S)%s(?![\w=])" % re.escape(option.upper()), text) is None)
    checks.equal(stray, [], "page options the usage screen does not know")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["install", "archive", "manual"])
    parser.add_argument("--build", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--link-name")
    parser.add_argument("--program-dir")
    parser.add_argument("--bin-dir")
    parser.add_argument("--man-dir")
    parser.add_argument("--cpack")
    parser.add_argument("--generator")
    parser.add_argument("--file-name")
    parser.add_argument("--runner", nargs="*", default=[])
    parser.add_argument("--groff")
    parser.add_argument("--page")
    parser.add_argument("--program")
    args = parser.parse_args()
    checks = Checks()
    messages = Catalogue.from_catalogue(os.path.join(args.build, "grep.kvb"))
    {"install": test_install, "archive": test_archive, "manual": test_manual}[args.mode](
        args, checks, messages)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
