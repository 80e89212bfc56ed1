# Cases of run_e2e.py kept in a file of their own; run_e2e.py runs this file
# in its own namespace, so case(), rep(), model_line_reports() and the rest
# are at hand.

# --- Report lines written in one piece, and what they keep from one to the next -----
# A match inside a line that the window holds whole is written straight into
# the output buffer. The line's end and whether it holds a carriage return or
# 0x01 are kept for the next report on the same line, and the name and line
# number in front of the column for the next report of the file, to which
# only the growth of the line number is added. Each text below is checked
# against the reference model of the report rules (run_e2e.py).


def lines_matching(count, matching):
    """`count` lines "x"; the lines numbered in `matching` hold "x(" instead,
    and the dictionary's value says how many times."""
    return b"".join(b"x" + b"(" * matching.get(n, 0) + b"\n" for n in range(1, count + 1))


# Line numbers that gain a digit (9 -> 10, 99 -> 100, 999999 -> 1000000),
# that carry through nines (1999 -> 2001), that grow by more than the last
# digit (110 -> 199) and that stay (two matches on a line).
DIGIT_LINES = lines_matching(1000001, {
    1: 2, 2: 1, 9: 1, 10: 1, 11: 1, 19: 1, 20: 1, 99: 1, 100: 2, 109: 1, 110: 1, 199: 1,
    200: 1, 990: 1, 999: 1, 1000: 1, 1999: 1, 2001: 1, 9999: 1, 10000: 1, 99999: 1,
    100000: 1, 999999: 2, 1000000: 1, 1000001: 1})
WINDOW = 65536


def edge_lines(first_end):
    """Lines around the window's end: the first ends in a line feed at
    `first_end` (the window's last byte, or the first byte after it, so that
    the line runs past the window and is read back from the stream); then a
    line longer than the window with matches on both sides of its edges, one
    with a carriage return and 0x01 in each window it touches, and a last line
    without a line feed."""
    return (b"a" * (first_end - 4) + b"(b(c\n" + b"((\n" + b"d(" * 8 + b"\n" +
            b"(" + b"e" * (WINDOW - 80) + b"(((" + b"e" * 200 + b"(((\n" +
            (b"\x01(\r" + b"y" * 40000) * 4 + b"(\n" + b"((")


SAME_LINES = b"\r(a\x01(b\r(\n(\x01\n\r\r((\n(\r\n((\r"
for name, text in (
        ("several reports on lines that hold CR and 0x01", SAME_LINES),
        ("line numbers gaining digits up to 1000000", DIGIT_LINES),
        ("a line ending in the window's last byte, lines longer than the window",
         edge_lines(WINDOW - 1)),
        ("a line ending in the byte after the window, lines longer than the window",
         edge_lines(WINDOW))):
    case("[reports] " + name, ["(", "f.txt"], [model_line_reports(text, b"(", b"f.txt", False)],
         files={"f.txt": text}, timeout=30)
assert edge_lines(WINDOW - 1)[WINDOW - 1] == 10 and edge_lines(WINDOW)[WINDOW] == 10

# The other report forms over the same texts: every report is spelled out.
DIGIT_MATCHES = [m.start() for m in re.finditer(rb"\(", DIGIT_LINES)]
cases([
    ("[reports] -PO: offsets gaining digits", ["-PO", "(", "f.txt"],
     [rep_offset("f.txt", offset, DIGIT_LINES[DIGIT_LINES.rfind(b"\n", 0, offset) + 1:
                                              DIGIT_LINES.find(b"\n", offset)])
      for offset in DIGIT_MATCHES], 0, {"f.txt": DIGIT_LINES}),
    ("[reports] -M: several reports on lines that hold CR and 0x01", ["-M", "(", "f.txt"],
     [bare(b"(a (b("), bare(b"(a (b("), bare(b"(a (b("), bare(b"( "), bare(b"(("),
      bare(b"(("), bare(b"("), bare(b"(("), bare(b"((")], 0, {"f.txt": SAME_LINES}),
    ("[reports] -V: several reports on lines that hold CR and 0x01", ["-V", "(", "f.txt"],
     [heading("f.txt"), vrep(1, 1, 1, b"(a (b("), vrep(1, 1, 4, b"(a (b("),
      vrep(1, 1, 7, b"(a (b("), vrep(1, 2, 1, b"( "), vrep(1, 3, 2, b"(("),
      vrep(1, 3, 2, b"(("), vrep(1, 4, 1, b"("), vrep(1, 5, 1, b"(("), vrep(1, 5, 2, b"((")],
     0, {"f.txt": SAME_LINES}),
], timeout=30)
# Files of one size whose first match stands on the line of the last match of
# the file before, at the same offset: nothing kept from one file's reports
# shows in the next one's.
cases([
    ("[reports] the name and the line are found afresh in each file",
     ["(", "a.txt", "b.txt", "c.txt"],
     [rep("a.txt", 1, 2, b"a("), rep("a.txt", 2, 2, b"b(("), rep("a.txt", 2, 3, b"b(("),
      rep("b.txt", 2, 2, b"d(("), rep("b.txt", 2, 3, b"d(("),
      rep("c.txt", 2, 1, b"(("), rep("c.txt", 2, 2, b"((")]),
], files={"a.txt": b"a(\nb((\n", "b.txt": b"cc\nd((\n", "c.txt": b"ee\n\r((\n"})
