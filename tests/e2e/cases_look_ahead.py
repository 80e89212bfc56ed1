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
