"""Compares the library's per-code-point Unicode data with CPython's.

Usage: unicode_case_check.py DUMP VERSION {case,digit}

DUMP has one line per Unicode scalar value, in order, written by unicode_test:
    case:  <code point> <upper> <lower> <is_upper> <is_lower>
    digit: <code point> <is_decimal_digit>
Code points are hexadecimal, mappings comma-separated hexadecimal code points,
flags 0/1. For a single code point, str.upper()/str.lower() are the full
unconditional mappings and str.isupper()/str.islower() the Uppercase and
Lowercase properties. The interpreter must carry exactly VERSION of the
Unicode data.
"""

import sys
import unicodedata


def seq(text):
    return ",".join(f"{ord(x):X}" for x in text)


def case_line(c):
    ch = chr(c)
    return f"{c:X} {seq(ch.upper())} {seq(ch.lower())} {int(ch.isupper())} {int(ch.islower())}"


def digit_line(c):
    return f"{c:X} {int(unicodedata.category(chr(c)) == 'Nd')}"


def main():
    dump, version, kind = sys.argv[1:4]
    if unicodedata.unidata_version != version:
        sys.exit(f"this interpreter has Unicode {unicodedata.unidata_version}, not {version}")
    expected_line = {"case": case_line, "digit": digit_line}[kind]
    with open(dump, encoding="ascii") as f:
        lines = f.read().splitlines()
    scalars = [c for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]
    if len(lines) != len(scalars):
        sys.exit(f"expected {len(scalars)} lines, got {len(lines)}")
    mismatches = [(want, got) for want, got in zip(map(expected_line, scalars), lines) if want != got]
    for want, got in mismatches[:20]:
        print(f"python {want!r} != ours {got!r}")
    if mismatches:
        sys.exit(f"{len(mismatches)} code points differ")
    print(f"all {len(scalars)} code points agree")


if __name__ == "__main__":
    main()
