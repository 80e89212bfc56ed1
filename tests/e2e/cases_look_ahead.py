# Cases of run_e2e.py kept in a file of their own; run_e2e.py runs this file
# in its own namespace, so case(), summary() and the rest are at hand.

# --- Look-ahead bodies with loops of groups over lines longer than the window -----
# Whether such a body matches at a position depends on the rest of its line:
# at every b of a line of ab the body reads on to the line's end. Every line
# here is longer than the window's block of 65536 bytes and ends in what
# decides the bodies' answers, so an answer read from the line's last block
# is what every position before it sees. With N pairs ab (b at the odd
# offsets 1 to 2N - 1):
#   A = (ab)^N ac   from each b, (ba)^k then c: (?!(ba)*c) fails at every b,
#                   (?!(ba){2,}c) only at the last (one pair ba before c);
#                   after each b, (ab)^k then c is never there.
#   B = (ab)^N bd   no c: every body fails; the last b of the pairs is the
#                   one b followed by a byte other than a.
#   C = xb(ab)^N ac the same as A from every b, the first included.
#   E = (ab)^N aéc  (UTF-8) from each b, (ba)^k é c: with the alternative
#                   é the body makes at least two passes before c.
N_PAIRS = 36000
PAIRS = b"ab" * N_PAIRS
LINE_A, LINE_B, LINE_C = PAIRS + b"ac", PAIRS + b"bd", b"xb" + PAIRS + b"ac"
LINE_E = PAIRS + "a\u00e9c".encode()
BYTE_LINES = LINE_A + b"\n" + LINE_B + b"\n" + LINE_C + b"\r\n" + LINE_B
UTF8_LINES_E = LINE_E + b"\n" + LINE_B + b"\n"
B_ALL = N_PAIRS + 1  # every b of a line B
for pattern, first, count in (
        # A none, B all, C none, B all.
        ("(?!(ba)*c)b", (2, 2), 2 * B_ALL),
        # A all N, B all, C all N + 1, B all.
        ("b(?!(ab)*c)", (1, 2), N_PAIRS + 3 * B_ALL),
        # A the last b, B all, C the last b, B all.
        ("(?!(ba){2,}c)b", (1, 2 * N_PAIRS), 2 + 2 * B_ALL),
        # The b before the b of each line B.
        ("(?!(ba)*c)b[^a]", (2, 2 * N_PAIRS), 2)):
    case("[look-ahead] -C -U %s over lines of 72 KB" % pattern,
         ["-C", "-U", pattern, "l.txt"], [summary("l.txt", first[0], first[1], count)],
         files={"l.txt": BYTE_LINES}, timeout=20, env={"LC_ALL": "C"})
for pattern, first, count in (
        # E none, B all.
        ("(?!(ba|\u00e9){2,}c)b", (2, 2), B_ALL),
        # E all N, B all.
        ("(?!(ba){2,}c)b", (1, 2), N_PAIRS + B_ALL)):
    case("[look-ahead] [utf-8] -C -U %s over lines of 72 KB" % pattern,
         ["-C", "-U", pattern, "u.txt"], [summary("u.txt", first[0], first[1], count)],
         files={"u.txt": UTF8_LINES_E}, timeout=20, utf8_code_page=True)
# Standard input from a pipe is read back from its copy, as a file is.
case("[look-ahead] -C -U b(?!(ab)*c) over lines of 72 KB from a pipe",
     ["-C", "-U", "b(?!(ab)*c)"], [summary("", 1, 2, N_PAIRS + 3 * B_ALL)],
     stdin=("pipe", BYTE_LINES), timeout=20, env={"LC_ALL": "C"})

# --- Bodies of items that read across lines (\om) -------------------------
# Items that read on past a line's end but take neither CR nor LF stop
# where the line does: each body answers as on its line. The last pattern
# reads the line feed after line B as a character of its own and then the
# xb at the start of line C, where the body does not match.
for pattern, first, count in (
        ("\\omb(?!(ab)*c)", (1, 2), N_PAIRS + 3 * B_ALL),
        ("\\om(?!(ba){2,}c)b", (1, 2 * N_PAIRS), 2 + 2 * B_ALL),
        ("\\omd.xb(?!(ab)*c)", (2, 2 * N_PAIRS + 2), 1)):
    case("[look-ahead] -C -U %s over lines of 72 KB" % pattern,
         ["-C", "-U", pattern, "l.txt"], [summary("l.txt", first[0], first[1], count)],
         files={"l.txt": BYTE_LINES}, timeout=20, env={"LC_ALL": "C"})

# Items that take the line feed read on into the lines after: the body's
# answer at a position depends on the rest of the text, and $ holds at
# every line feed. Over lines of every length from 1 to 37 bytes and then a
# line longer than the window's block, the counts and first matches are
# Python's (re.M with re.S, where . and [^x] take the line feed too).
ACROSS_TEXT = "".join(("ab" * 19)[:1 + i % 37] + "\n" for i in range(4000)) + "abx" * 24000 + "\nab"
# The same with a carriage return that ends no line after every 997 bytes
# of the long line, none within 2 bytes of the end of the window's 64 KiB
# blocks (where the program reads it as a line end): a character that
# [^x] and . take and after which no line starts, as Python reads it.
RETURNS_TEXT = "".join(c + ("\r" if k % 997 == 996 else "") for k, c in enumerate(ACROSS_TEXT))
assert all(m.start() % 65536 < 65534 for m in re.finditer("\r", RETURNS_TEXT))
for text, patterns, what in (
        (ACROSS_TEXT, ("a(?!(b[^x])*$)", "(?!(a[^x])*c)b", "b(?!(a.)*\nab$)", "a(?!(b.)*^a)"), ""),
        (RETURNS_TEXT, ("a(?!(b[^x])*$)", "b(?!(a.)*\nab$)", "(?!(a.)*^a)b"),
         ", with lone carriage returns")):
    for pattern in patterns:
        found = [m.start() for m in re.finditer(pattern, text, re.M | re.S)]
        first_line = text.count("\n", 0, found[0]) + 1
        first_column = found[0] - (text.rfind("\n", 0, found[0]) + 1) + 1
        case("[look-ahead] -C -U \\om%s over lines read across%s" % (pattern, what),
             ["-C", "-U", "\\om" + pattern, "m.txt"],
             [summary("m.txt", first_line, first_column, len(found))],
             files={"m.txt": text.encode()}, timeout=20, env={"LC_ALL": "C"})

# A body that takes a line end (\n) reads on into the next line: lines 1
# and 2 (of 80 KB) are followed by a line that begins with c, line 3 by
# "xb" without a line feed. Under b(?!(ab)*\nc) every b of lines 1 and 2
# has its body match (the pairs to the line's end, the line end, the c),
# so only the b of line 3 and the last b are reported; under
# a(?!(ba)*b\n(ab)*c) only the a of line 3. Where the lines end in CR LF
# the program's \n takes the pair, and the reports are the same.
NEWLINE_PAIRS = 40000
for ending in ("\n", "\r\n"):
    text = ending.join(["ab" * NEWLINE_PAIRS, "c" + "ab" * NEWLINE_PAIRS,
                        "c" + "ab" * NEWLINE_PAIRS, "xb"]).encode()
    for pattern, first, count in (("b(?!(ab)*\\nc)", (3, 3), NEWLINE_PAIRS + 1),
                                  ("a(?!(ba)*b\\n(ab)*c)", (3, 2), NEWLINE_PAIRS)):
        case("[look-ahead] -C -U %s over lines of 80 KB ending in %r" % (pattern, ending),
             ["-C", "-U", pattern, "n.txt"], [summary("n.txt", first[0], first[1], count)],
             files={"n.txt": text}, timeout=20, env={"LC_ALL": "C"})

# A body that reads past the last line feed of the text, to its end, and
# asks for a byte there: the line numbers after it stay right.
for pattern in ("b(?!\\nc)", "a(?!(b)*\\nc)"):
    column = 2 if pattern.startswith("b") else 1
    case("[look-ahead] -U %s: line numbers where the body reads past the last line feed" % pattern,
         ["-U", pattern, "f.txt"], [rep("f.txt", line, column, b"ab") for line in (1, 2, 3)],
         files={"f.txt": b"ab\nab\nab\n"}, env={"LC_ALL": "C"})

# --- Bodies that hold a look-ahead of their own -----------------------------
# The inner look-ahead is asked at every pass of the loop. Under the first
# two, the pass of line A that reaches the c is refused (the c or the ac
# follows it), so no body matches: every b of each line is reported, where
# (?!(ba)*c)b reports none of lines A and C. Under the third, the inner
# look-ahead, asked after an a where a b follows, always holds, and the
# outer body matches after every a that a c follows: only the a of the
# lines B are reported.
for pattern, first, count in (
        ("(?!(ba(?!c))*c)b", (1, 2), N_PAIRS + 3 * B_ALL),
        ("(?!(b(?!ac)a)*c)b", (1, 2), N_PAIRS + 3 * B_ALL),
        ("a(?!(?!(ab){2,}c)(ba)*c)", (2, 1), 2 * N_PAIRS)):
    case("[look-ahead] -C -U %s over lines of 72 KB" % pattern,
         ["-C", "-U", pattern, "l.txt"], [summary("l.txt", first[0], first[1], count)],
         files={"l.txt": BYTE_LINES}, timeout=20, env={"LC_ALL": "C"})
# E all N (the pass before the c is refused), B all.
case("[look-ahead] [utf-8] -C -U (?!(ba(?!\u00e9))*\u00e9c)b over lines of 72 KB",
     ["-C", "-U", "(?!(ba(?!\u00e9))*\u00e9c)b", "u.txt"], [summary("u.txt", 1, 2, N_PAIRS + B_ALL)],
     files={"u.txt": UTF8_LINES_E}, timeout=20, utf8_code_page=True)

# --- Bodies in double-byte text (code page 932) ------------------------------
# Lines of 24000 units a 0x83 0x62, a character of two bytes whose second
# byte is "b": line 1 ends in c, line 2 in the pair 0x83 c, line 3 (after a
# pair) in a lead byte alone before CR LF. Under a(?!(.a)*.c) the last .
# takes the pair before the c of line 1, where every body matches; in lines
# 2 and 3 no c stands alone and every a is reported (in single-byte text
# . would take 0x83 alone and every a of the three lines is reported). The
# program takes the code page from LANG natively; Wine has its own.
UNITS = b"a\x83\x62" * 24000
DOUBLE_BYTE_LINES = (UNITS + b"c\n" + UNITS + b"\x83c\r\n" + b"\x83\x62" + UNITS + b"\x83\r\n")
for pattern, first, count in (
        (b"a(?!(.a)*.c)", (2, 1), 48000),
        (b"a(?!([^x]a){2,}$)", (1, 1), 72000),
        (b"\\oma(?!(\x83ba)*\x83bc)", (2, 1), 48000)):
    case("[look-ahead] [932] -C -U %s over lines of 72 KB" % pattern.decode("latin-1"),
         ["-C", "-U", pattern, "d.txt"], [summary("d.txt", first[0], first[1], count)],
         files={"d.txt": DOUBLE_BYTE_LINES}, timeout=20, env={"LANG": "ja_JP.SJIS"},
         native_only=True)

# --- Carriage returns that end no line, in lines longer than the window -------
# The window holds 65536 bytes of the file at a time. A carriage return not
# followed by a line feed is read as a character more than two bytes before
# the window's end (in UTF-8 text, more than five: a whole sequence), and
# as a line end nearer, where $ holds on it within two bytes. Each file is
# one line of 34000 pairs ab with one byte turned into a carriage return;
# under b(?!(a.)*$) the body runs its pairs a. from after a b and wants the
# line's end after them:
#   r1.txt  the b at 65533 (3 before the window's end): in single-byte
#           text . takes it and the body reaches the line's end from every
#           b: none is reported; in UTF-8 text . does not take it, $ does
#           not hold before it, and the 32766 b before it are reported.
#   r2.txt  the a at 65534 (2 before): $ holds on it, every body matches.
#   r3.txt  the a at 65530 (6 before): a character, no line end; the 32765
#           b before it are reported.
def line_with_return(at):
    line = bytearray(b"ab" * 34000)
    line[at] = 13
    return bytes(line) + b"\n"
RETURN_FILES = {"r1.txt": line_with_return(65533), "r2.txt": line_with_return(65534),
                "r3.txt": line_with_return(65530)}
for utf8, out in ((False, [summary("r3.txt", 1, 2, 32765)]),
                  (True, [summary("r1.txt", 1, 2, 32766), summary("r3.txt", 1, 2, 32765)])):
    case("[look-ahead]%s -C -U b(?!(a.)*$) over lines of 68 KB with a lone CR near the window's end"
         % (" [utf-8]" if utf8 else ""),
         ["-C", "-U", "b(?!(a.)*$)", "r1.txt", "r2.txt", "r3.txt"], out, files=RETURN_FILES,
         timeout=20, **({"utf8_code_page": True} if utf8 else {"env": {"LC_ALL": "C"}}))

# --- Bodies by records --------------------------------------------------------
# Records of 2000 bytes; a body reads across them, and $ holds at each
# record's start and at the end of the text. The file is 40000 pairs ab, a
# line feed at 80000, 40000 pairs ab from 80001 and a c: the line feed and
# the c are many records away from most positions.
RECORDS = b"ab" * 40000 + b"\n" + b"ab" * 40000 + b"c"
for pattern, first, count in (
        # Only the b of the first half: the c is after every b of the second.
        ("b(?!(ab)*c)", (1, 2), 40000),
        # Pairs ab from an a at an even offset reach the next record's start,
        # from one at an odd offset (the second half) never.
        ("(?!(ab)*$)a", (41, 2), 40000),
        # From a b at an even offset (the second half) two pairs ba or more
        # reach a record's start but for the last two b; from one at an odd
        # offset never.
        ("(?!(ba){2,}$)b", (1, 2), 40002)):
    case("[look-ahead] -2000 -C -U %s: bodies read across records" % pattern,
         ["-2000", "-C", "-U", pattern, "rec.txt"], [summary("rec.txt", first[0], first[1], count)],
         files={"rec.txt": RECORDS}, timeout=20, env={"LC_ALL": "C"})
