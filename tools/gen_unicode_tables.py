#!/usr/bin/env python3
"""Writes the C++ source of the property tables behind \\p{..} and the case table.

Reads the four data files of the given directory (Unicode 3.1 blocks,
Unicode 3.1 general categories, XML 1.0 character classes, the simple case
mappings of the Basic Multilingual Plane) and writes one source file with the
block table, the general-category table, the XML class range table, the XML
class name table and the case-mapping table. The build runs it; its output is
never edited by hand.

    gen_unicode_tables.py DATA_DIR OUTPUT.cpp

Any row that cannot be read, and any table whose shape differs from what the
program expects, stops the build with a message naming the file and line.
"""

import os
import sys

BLOCKS_FILE = "unicode31-blocks.txt"
CATEGORIES_FILE = "unicode31-general-categories.txt"
XML_FILE = "xml10-character-classes.txt"
CASE_FILE = "unicode14-simple-case-mappings.txt"

# Row counts of the data files. A different count means a damaged or
# different data file, never a reason to emit a table.
BLOCK_ROWS = 108
CATEGORY_ROWS = 1986
XML_ROWS = 330
CASE_ROWS = 2359

MAX_CODE_POINT = 0x10FFFD  # the category table covers U+0000..U+10FFFD
CATEGORIES = set(
    "Cc Cf Cn Co Cs Ll Lm Lo Lt Lu Mc Me Mn Nd Nl No Pc Pd Pe Pf Pi Po Ps Sc Sk Sm So Zl Zp Zs"
    .split())

# Class names with the flag bits they select, in lookup order.
XML_CLASS_NAMES = [
    ("xmlLetter", 0x06),
    ("xmlBaseChar", 0x02),
    ("xmlIdeographic", 0x04),
    ("xmlCombiningChar", 0x08),
    ("xmlDigit", 0x10),
    ("xmlExtender", 0x20),
    ("xmlNameChar", 0xFE),
    ("xmlNameStartChar", 0x86),
]
XML_FLAGS = 0xFE
# The name-character rows stand first: '.', '-' (0x40), '_', ':' (0x80).
XML_LEADING_ROWS = [(0x2E, 0x40), (0x2D, 0x40), (0x5F, 0x80), (0x3A, 0x80)]


class DataError(Exception):
    pass


def read_rows(path, fields):
    """Yields (line number, fields) of every data line; '#' starts a comment line."""
    try:
        with open(path, encoding="ascii") as source:
            lines = source.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise DataError(f"{path}: {error}") from None
    for number, line in enumerate(lines, 1):
        if not line.strip() or line.startswith("#"):
            continue
        parts = line.split(";")
        if len(parts) != fields:
            raise DataError(f"{path}:{number}: expected {fields} fields: {line!r}")
        yield number, [part.strip() for part in parts]


def code_point(path, number, text):
    try:
        value = int(text, 16)
    except ValueError:
        raise DataError(f"{path}:{number}: not a hexadecimal code point: {text!r}") from None
    if value > MAX_CODE_POINT:
        raise DataError(f"{path}:{number}: code point out of range: {text}")
    return value


def code_range(path, number, first_text, last_text):
    first = code_point(path, number, first_text)
    last = code_point(path, number, last_text)
    if first > last:
        raise DataError(f"{path}:{number}: range runs backwards: {first_text}..{last_text}")
    return first, last


def check_count(path, rows, expected):
    if len(rows) != expected:
        raise DataError(f"{path}: {len(rows)} rows, expected {expected}")


def read_blocks(path):
    rows = []
    for number, (first, last, name) in read_rows(path, 3):
        if not name or not all(c.isalnum() or c == "-" for c in name):
            raise DataError(f"{path}:{number}: bad block name {name!r}")
        rows.append((*code_range(path, number, first, last), name))
    check_count(path, rows, BLOCK_ROWS)
    return rows


def read_categories(path):
    rows = []
    next_first = 0
    for number, (first, last, category) in read_rows(path, 3):
        if category not in CATEGORIES:
            raise DataError(f"{path}:{number}: unknown category {category!r}")
        first_value, last_value = code_range(path, number, first, last)
        # Consecutive ranges: a gap or an overlap would give a code point no
        # category or two.
        if first_value != next_first:
            raise DataError(f"{path}:{number}: range starts at {first}, expected {next_first:04X}")
        next_first = last_value + 1
        rows.append((first_value, last_value, category))
    if next_first != MAX_CODE_POINT + 1:
        raise DataError(
            f"{path}: ranges end at {next_first - 1:04X}, expected {MAX_CODE_POINT:04X}")
    check_count(path, rows, CATEGORY_ROWS)
    return rows


def read_xml_classes(path):
    rows = []
    for number, (first, last, flags, _class_name) in read_rows(path, 4):
        try:
            flag_value = int(flags, 16)
        except ValueError:
            raise DataError(f"{path}:{number}: bad flags {flags!r}") from None
        if flag_value == 0 or flag_value & ~XML_FLAGS:
            raise DataError(f"{path}:{number}: bad flags {flags!r}")
        rows.append((*code_range(path, number, first, last), flag_value))
    check_count(path, rows, XML_ROWS)
    leading = [(first, flags) for first, last, flags in rows[:len(XML_LEADING_ROWS)]
               if first == last]
    if leading != XML_LEADING_ROWS:
        raise DataError(f"{path}: the first rows are not '.', '-', '_', ':'")
    return rows


def read_case_mappings(path):
    rows = []
    previous = -1
    for number, fields in read_rows(path, 3):
        values = [code_point(path, number, field) for field in fields]
        if any(value > 0xFFFF for value in values):
            raise DataError(f"{path}:{number}: case mappings stay in the basic plane")
        if values[0] <= previous:
            raise DataError(f"{path}:{number}: rows are not in code-point order")
        previous = values[0]
        rows.append(tuple(values))
    check_count(path, rows, CASE_ROWS)
    return rows


def render(blocks, categories, xml_rows, case_rows):
    out = [
        "// Generated by tools/gen_unicode_tables.py from data/" + BLOCKS_FILE + ",",
        "// data/" + CATEGORIES_FILE + ", data/" + XML_FILE + " and data/" + CASE_FILE + ".",
        "// Do not edit.",
        '#include "pattern/unicode_set.h"',
        '#include "support/case_folding.h"',
        "",
        f"const int32_t UNICODE_BLOCK_COUNT = {len(blocks)};",
        "const UnicodeBlockRow UNICODE_BLOCKS[] = {",
    ]
    out += [f'    {{0x{a:04X}, 0x{b:04X}, "{name}"}},' for a, b, name in blocks]
    out += [
        "};",
        "",
        f"const int32_t UNICODE_CATEGORY_COUNT = {len(categories)};",
        "const UnicodeCategoryRow UNICODE_CATEGORIES[] = {",
    ]
    out += [f'    {{0x{a:04X}, 0x{b:04X}, "{cat}"}},' for a, b, cat in categories]
    out += [
        "};",
        "",
        f"const int32_t XML_CLASS_RANGE_COUNT = {len(xml_rows)};",
        "const XmlClassRange XML_CLASS_RANGES[] = {",
    ]
    out += [f"    {{0x{a:04X}, 0x{b:04X}, 0x{flags:02X}}}," for a, b, flags in xml_rows]
    out += [
        "};",
        "",
        f"const int32_t XML_CLASS_NAME_COUNT = {len(XML_CLASS_NAMES)};",
        "const XmlClassName XML_CLASS_NAMES[] = {",
    ]
    out += [f'    {{"{name}", 0x{mask:02X}}},' for name, mask in XML_CLASS_NAMES]
    out += [
        "};",
        "",
        f"const int32_t CASE_MAPPING_COUNT = {len(case_rows)};",
        "const CaseMappingRow CASE_MAPPINGS[] = {",
    ]
    out += [f"    {{0x{c:04X}, 0x{u:04X}, 0x{l:04X}}}," for c, u, l in case_rows]
    out += ["};", ""]
    return "\n".join(out)


def main(argv):
    if len(argv) != 3:
        print("usage: gen_unicode_tables.py DATA_DIR OUTPUT.cpp", file=sys.stderr)
        return 2
    data_dir, output = argv[1], argv[2]
    try:
        text = render(read_blocks(os.path.join(data_dir, BLOCKS_FILE)),
                      read_categories(os.path.join(data_dir, CATEGORIES_FILE)),
                      read_xml_classes(os.path.join(data_dir, XML_FILE)),
                      read_case_mappings(os.path.join(data_dir, CASE_FILE)))
    except DataError as error:
        print(f"gen_unicode_tables.py: {error}", file=sys.stderr)
        return 1
    # Written beside the target and renamed, so a failed run never leaves a
    # half-written source that the build would take as up to date.
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    temporary = output + ".tmp"
    with open(temporary, "w", encoding="ascii", newline="\n") as target:
        target.write(text)
    os.replace(temporary, output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
