#!/usr/bin/env python3
"""Mutation check of the test suites.

Applies one simple change at a time to the product code of a copy of the
source tree (a comparison flipped, an integer constant off by one, a condition
negated, a statement dropped), rebuilds that copy in a build folder of its own
and runs the unit tests and the end-to-end suite on it. A mutant the suites
notice is "killed"; one they pass with "survived"; one that does not compile
is left out of the score. The file is put back after every mutant, also when
the run is interrupted.

    python3 tools/mutate.py --copy-from . --src /tmp/mut-src --build /tmp/mut-build \\
        --seed 7 --count 60 --out mutants.json

--copy-from makes the copy first: the files git tracks in that tree (and new
ones it does not ignore), as they stand in the work tree. The tree itself is
never mutated, so others may go on working in it.

Mutants are drawn from every site in the product folders (driver/ down to support/) and
the POSIX part of platform/ with a fixed seed, so two trees with the same
product code get the same mutants. --mutants FILE runs the list an earlier
run wrote (sites matched by file and line text, so they survive shifts of
line numbers); --list prints the mutants without running them.

Only the Python standard library is used.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

PRODUCT_DIRS = ("driver", "selection", "pattern", "console", "files", "support", "platform")
# Sources the native build does not compile: a mutant there cannot be seen.
NOT_BUILT = re.compile(r"(^|/)windows_|win32")
UNIT_EXCLUDE = "release_archive|install_layout|manual_page|regex_vs_python|end_to_end|build_script"

COMPARISONS = [("<=", ">"), (">=", "<"), ("==", "!="), ("!=", "=="), (" < ", " >= "), (" > ", " <= ")]
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CONDITION = re.compile(r"\b(if|while) \((.*)\)( \{)?$")
STATEMENT = re.compile(r"^\s+(?!return\b|break\b|continue\b|case\b|default\b)[\w:.\->\[\]()]+(\(.*\)| [+\-*/|&]?= .*|\+\+|--);$")


def code_lines(text):
    """(index, line) of the lines that are code: not blank, comment or preprocessor."""
    in_block = False
    for index, line in enumerate(text.split("\n")):
        stripped = line.strip()
        if in_block:
            in_block = "*/" not in stripped
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if not stripped or stripped.startswith(("//", "#")) or '"' in stripped or "'" in stripped:
            continue
        yield index, line


def sites(root):
    """Every mutant of the product code, in a fixed order."""
    found = []
    for folder in PRODUCT_DIRS:
        for base, _, names in sorted(os.walk(os.path.join(root, folder))):
            for name in sorted(names):
                path = os.path.relpath(os.path.join(base, name), root)
                if not name.endswith(".cpp") or NOT_BUILT.search(path):
                    continue
                with open(os.path.join(root, path), encoding="utf-8") as source:
                    text = source.read()
                for index, line in code_lines(text):
                    for kind, new in variants(line):
                        found.append({"file": path, "line": index + 1, "old": line, "new": new, "kind": kind})
    return found


def variants(line):
    code = line.split("//")[0]
    for old, new in COMPARISONS:
        at = code.find(old)
        if at >= 0 and "<<" not in code and ">>" not in code and "template" not in code and "->" not in code[at - 1:at + 2]:
            yield "comparison", line[:at] + new + line[at + len(old):]
    for match in INTEGER.finditer(code):
        value = int(match.group(1))
        if "[" in code[:match.start()] and "]" in code[match.end():] and "=" not in code:
            continue  # an array size: off by one only moves a bound
        yield "constant", line[:match.start()] + str(value + 1) + line[match.end():]
    match = CONDITION.search(code)
    if match and match.group(2).count("(") == match.group(2).count(")"):
        yield "condition", line[:match.start()] + f"{match.group(1)} (!({match.group(2)})){match.group(3) or ''}"
    if STATEMENT.match(code) and code.count("(") == code.count(")"):
        yield "dropped", line[:len(line) - len(line.lstrip())] + ";"


def locate(root, mutant):
    """The line number of the mutant's site in this tree, or None."""
    path = os.path.join(root, mutant["file"])
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as source:
        lines = source.read().split("\n")
    hits = [i for i, line in enumerate(lines) if line == mutant["old"]]
    if not hits:
        return None
    return min(hits, key=lambda i: abs(i + 1 - mutant["line"])) + 1


def run(command, cwd, seconds):
    """(exit status or "timeout", output); the command and all it started are
    ended when the time is up or this script is interrupted."""
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             start_new_session=True)
    try:
        output, _ = child.communicate(timeout=seconds)
        return child.returncode, output.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        output, _ = child.communicate()
        return "timeout", output.decode("utf-8", "replace")
    except BaseException:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        raise


def judge(args):
    """'killed (how)', 'survived' or 'not compiled' for the tree as it stands."""
    status, output = run(["ninja", "-C", args.build, f"-j{args.jobs}"], args.src, args.build_seconds)
    if status != 0:
        return "not compiled", output[-400:]
    status, output = run(["ctest", "-j", str(args.jobs), "--timeout", str(args.unit_seconds),
                          "-E", UNIT_EXCLUDE], args.build, args.unit_seconds * 3)
    if status != 0:
        failed = re.findall(r"\d+ - (\w+) \(", output)
        return "killed (unit: " + ",".join(failed[:4]) + ")", ""
    status, output = run([sys.executable, os.path.join(args.src, "tests/e2e/run_e2e.py"), "--program",
                          os.path.join(args.build, "grep"), "--jobs", str(args.jobs), "--build-script", "no"],
                         args.src, args.e2e_seconds)
    if status != 0:
        failed = re.findall(r"^FAIL:? (\S+)", output, re.M)
        return f"killed (e2e{' ' + status if status == 'timeout' else ''}: {','.join(failed[:3])})", ""
    return "survived", ""


class Interrupted(Exception):
    pass


def on_signal(number, _):
    raise Interrupted(f"signal {number}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--src", required=True, help="the copy of the tree to mutate")
    parser.add_argument("--copy-from", help="copy this work tree's files to --src first")
    parser.add_argument("--build", required=True, help="its build folder (configured when missing)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--count", type=int, default=60)
    parser.add_argument("--mutants", help="run the mutants an earlier run wrote to this file")
    parser.add_argument("--out", help="write the mutants and their outcomes to this file")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--build-seconds", type=int, default=600)
    parser.add_argument("--unit-seconds", type=int, default=120)
    parser.add_argument("--e2e-seconds", type=int, default=600)
    args = parser.parse_args()
    args.src, args.build = os.path.abspath(args.src), os.path.abspath(args.build)
    if args.copy_from:
        if os.path.exists(args.src):
            sys.exit("mutate.py: --src exists already; copy into a new folder")
        listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"],
                                cwd=args.copy_from, stdout=subprocess.PIPE, check=True).stdout
        for name in filter(None, listed.decode("utf-8").split("\0")):
            source = os.path.join(args.copy_from, name)
            if os.path.isfile(source):
                os.makedirs(os.path.dirname(os.path.join(args.src, name)), exist_ok=True)
                shutil.copy2(source, os.path.join(args.src, name))
    if os.path.samefile(args.src, os.path.dirname(os.path.abspath(__file__)) + "/.."):
        sys.exit("mutate.py: --src must be a copy of the tree, not the tree this script is in")

    if args.mutants:
        with open(args.mutants, encoding="utf-8") as saved:
            chosen = [{k: m[k] for k in ("file", "line", "old", "new", "kind")} for m in json.load(saved)]
    else:
        every = sites(args.src)
        chosen = random.Random(args.seed).sample(every, min(args.count, len(every)))
    if args.list:
        for m in chosen:
            print(f"{m['file']}:{m['line']} {m['kind']}: {m['new'].strip()}")
        return 0

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    if not os.path.exists(os.path.join(args.build, "build.ninja")):
        status, output = run(["cmake", "-S", args.src, "-B", args.build, "-G", "Ninja",
                              "-DCMAKE_BUILD_TYPE=Release"], args.src, 600)
        if status != 0:
            sys.exit(output)
    results = []
    try:
        status, detail = judge(args)
        if status != "survived":
            sys.exit(f"mutate.py: the unmutated tree does not pass: {status} {detail}")
        for number, mutant in enumerate(chosen, 1):
            line = locate(args.src, mutant)
            started = time.time()
            if line is None:
                outcome = "site gone"
            else:
                path = os.path.join(args.src, mutant["file"])
                with open(path, "rb") as source:
                    original = source.read()
                lines = original.decode("utf-8").split("\n")
                lines[line - 1] = mutant["new"]
                try:
                    with open(path, "wb") as source:
                        source.write("\n".join(lines).encode("utf-8"))
                    outcome, _ = judge(args)
                finally:
                    with open(path, "wb") as source:
                        source.write(original)
            seconds = time.time() - started
            results.append(dict(mutant, outcome=outcome, seconds=round(seconds)))
            print(f"{number:3} {outcome:40} {seconds:5.0f}s {mutant['file']}:{mutant['line']} "
                  f"{mutant['kind']}: {mutant['new'].strip()}", flush=True)
    except (KeyboardInterrupt, Interrupted) as reason:
        print(f"interrupted ({reason}); the file is restored", flush=True)
    finally:
        if args.out:
            with open(args.out, "w", encoding="utf-8") as out:
                json.dump(results or chosen, out, indent=1)
    scored = [r for r in results if r["outcome"].startswith(("killed", "survived"))]
    killed = sum(r["outcome"].startswith("killed") for r in scored)
    print(f"{killed}/{len(scored)} killed; {len(results) - len(scored)} not compiled or gone")
    return 0


if __name__ == "__main__":
    sys.exit(main())
