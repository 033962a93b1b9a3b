#!/usr/bin/env python3
"""Writes resources/blocks.txt and resources/unicodedata.txt, the Unicode 3.2
character data that the program carries inside itself.

Run once by hand; the outputs are committed. Needs Python's unicodedata module
(its ucd_3_2_0 view) and a Blocks.txt (Debian's unicode-data package).

  tools/gen_unicode_data.py [--blocks /usr/share/unicode/Blocks.txt] [--out resources]

blocks.txt: "first;last;Name" per line, names without spaces, only the blocks
that hold a code point assigned in Unicode 3.2 (category other than Cn).
unicodedata.txt: one line per assigned code point in the UnicodeData.txt field
layout, the large ranges written as <..., First>/<..., Last> pairs.
Both files use CR LF line ends.
"""

import argparse
import fractions
import os
import re
import sys
import unicodedata

UCD = unicodedata.ucd_3_2_0

# The ranges that UnicodeData.txt of Unicode 3.2 lists by their two ends only.
RANGES = [
    (0x3400, 0x4DB5, "CJK Ideograph Extension A"),
    (0x4E00, 0x9FA5, "CJK Ideograph"),
    (0xAC00, 0xD7A3, "Hangul Syllable"),
    (0xD800, 0xDB7F, "Non Private Use High Surrogate"),
    (0xDB80, 0xDBFF, "Private Use High Surrogate"),
    (0xDC00, 0xDFFF, "Low Surrogate"),
    (0xE000, 0xF8FF, "Private Use"),
    (0x20000, 0x2A6D6, "CJK Ideograph Extension B"),
    (0xF0000, 0xFFFFD, "Plane 15 Private Use"),
    (0x100000, 0x10FFFD, "Plane 16 Private Use"),
]

# Block names whose spelling in Unicode 3.2 differs from the current list.
BLOCK_RENAMES = {"CyrillicSupplement": "CyrillicSupplementary"}


def assigned(cp):
    return UCD.category(chr(cp)) != "Cn"


def read_blocks(path):
    blocks = []
    pattern = re.compile(r"^([0-9A-Fa-f]+)\.\.([0-9A-Fa-f]+);\s*(.+?)\s*$")
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            m = pattern.match(line)
            if m:
                blocks.append((int(m.group(1), 16), int(m.group(2), 16), m.group(3)))
    return blocks


def blocks_lines(blocks_path):
    lines = []
    for first, last, name in read_blocks(blocks_path):
        if not any(assigned(cp) for cp in range(first, last + 1)):
            continue
        name = name.replace(" ", "")
        name = BLOCK_RENAMES.get(name, name)
        lines.append("%04X;%04X;%s" % (first, last, name))
    return lines


def numeric_field(ch):
    value = UCD.numeric(ch, None)
    if value is None:
        return ""
    frac = fractions.Fraction(value).limit_denominator(1000)
    if frac.denominator == 1:
        return str(frac.numerator)
    return "%d/%d" % (frac.numerator, frac.denominator)


def data_line(cp, name):
    ch = chr(cp)
    decimal = UCD.decimal(ch, None)
    digit = UCD.digit(ch, None)
    fields = [
        "%04X" % cp,
        name,
        UCD.category(ch),
        str(UCD.combining(ch)),
        UCD.bidirectional(ch),
        UCD.decomposition(ch),
        "" if decimal is None else str(decimal),
        "" if digit is None else str(digit),
        numeric_field(ch),
        "Y" if UCD.mirrored(ch) else "N",
        "",  # Unicode 1.0 name: not in the 3.2 view of the module
        "",  # ISO comment
        "",  # simple upper-case mapping
        "",  # simple lower-case mapping
        "",  # simple title-case mapping
    ]
    return ";".join(fields)


def unicodedata_lines():
    lines = []
    range_at = {first: (last, label) for first, last, label in RANGES}
    cp = 0
    while cp <= 0x10FFFF:
        if cp in range_at:
            last, label = range_at[cp]
            lines.append(data_line(cp, "<%s, First>" % label))
            lines.append(data_line(last, "<%s, Last>" % label))
            cp = last + 1
            continue
        if assigned(cp):
            name = UCD.name(chr(cp), None)
            if name is None:
                if UCD.category(chr(cp)) != "Cc":
                    sys.exit("no name for assigned code point U+%04X" % cp)
                name = "<control>"
            lines.append(data_line(cp, name))
        cp += 1
    return lines


def write_crlf(path, lines):
    with open(path, "w", encoding="ascii", newline="") as f:
        for line in lines:
            f.write(line + "\r\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", default="/usr/share/unicode/Blocks.txt")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "resources"))
    args = parser.parse_args()
    if UCD.unidata_version != "3.2.0":
        sys.exit("unicodedata.ucd_3_2_0 is not Unicode 3.2")
    write_crlf(os.path.join(args.out, "blocks.txt"), blocks_lines(args.blocks))
    write_crlf(os.path.join(args.out, "unicodedata.txt"), unicodedata_lines())


if __name__ == "__main__":
    main()
