#!/usr/bin/env python3
"""Generates the compiled-in Unicode tables of the library.

Writes src/encoders/unicode/unicode_tables.hpp and unicode_tables.cpp from the
Unicode character database that a CPython interpreter carries in its
`unicodedata` module and its str methods. Each table names the Unicode version
it must come from; the generator runs its extraction inside an interpreter of
exactly that version (a subprocess running this file with --extract), checks
every figure the library relies on, and refuses to write anything otherwise.

    python3 tools/unicode/generate_tables.py            # write the sources
    python3 tools/unicode/generate_tables.py --check    # compare, write nothing

Interpreters are taken from LORVANE_PY315 (Unicode 15.1) / LORVANE_PY150 (15.0)
or from the default paths in INTERPRETERS. See README.md beside this file for
how to add a table.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
OUT_DIR = REPO / "src" / "encoders" / "unicode"
HEADER = OUT_DIR / "unicode_tables.hpp"
SOURCE = OUT_DIR / "unicode_tables.cpp"

# Unicode version -> (environment variable, default interpreter).
INTERPRETERS = {
    "15.1.0": ("LORVANE_PY315", "/root/.pyenv/versions/3.13.0/bin/python"),
    "15.0.0": ("LORVANE_PY150", "/root/.pyenv/versions/3.12.1/bin/python"),
}

MAX_CODE_POINT = 0x10FFFF


# ---------------------------------------------------------------------------
# Extraction: runs inside the interpreter of the table's Unicode version and
# only uses that interpreter's own data. Every extractor returns plain lists.

def _scalar_values():
    return (c for c in range(MAX_CODE_POINT + 1) if not 0xD800 <= c <= 0xDFFF)


def _ranges(predicate):
    """Maximal inclusive ranges of the code points for which predicate holds."""
    ranges = []
    for c in range(MAX_CODE_POINT + 1):
        if predicate(c):
            if ranges and ranges[-1][1] == c - 1:
                ranges[-1][1] = c
            else:
                ranges.append([c, c])
    return ranges


def _is_uppercase(c):
    # For a single code point, str.isupper() reports the derived property
    # Uppercase itself (Lu + Other_Uppercase); multi-character strings add
    # rules about titlecase that do not apply here.
    return chr(c).isupper()


def _is_lowercase(c):
    return chr(c).islower()  # Lowercase = Ll + Other_Lowercase


def _is_cased(c):
    # The derived property Cased is defined as Uppercase + Lowercase + Lt.
    import unicodedata
    return _is_uppercase(c) or _is_lowercase(c) or unicodedata.category(chr(c)) == "Lt"


def _full_mapping(c, method):
    # str.upper()/str.lower() apply the unconditional full mappings; the only
    # contextual rule CPython has (final sigma) cannot fire on one code point.
    return [ord(x) for x in getattr(chr(c), method)()]


def _single_mappings(method):
    pairs = []
    for c in _scalar_values():
        mapped = _full_mapping(c, method)
        if len(mapped) == 1 and mapped[0] != c:
            pairs.append([c, mapped[0]])
    return pairs


def _special_mappings(method):
    mappings = ([c, _full_mapping(c, method)] for c in _scalar_values())
    return [row for row in mappings if len(row[1]) > 1]


def _general_category_ranges(category):
    import unicodedata
    return _ranges(lambda c: unicodedata.category(chr(c)) == category)


def _categories_ranges(categories):
    import unicodedata
    return _ranges(lambda c: unicodedata.category(chr(c)) in categories)


def _accent_stripped():
    """Code points whose NFD, less its nonspacing marks (Mn), is not the code
    point itself, with that reduced decomposition (possibly empty)."""
    import unicodedata
    rows = []
    for c in _scalar_values():
        reduced = [ord(x) for x in unicodedata.normalize("NFD", chr(c))
                   if unicodedata.category(x) != "Mn"]
        if reduced != [c]:
            rows.append([c, reduced])
    return rows


# Fixed ideograph blocks, in the order in which they are tested (not sorted);
# deliberately not the whole Unified_Ideograph property.
CJK_BLOCKS = [[0x4E00, 0x9FFF], [0x3400, 0x4DBF], [0x20000, 0x2A6DF],
              [0x2A700, 0x2CEAF], [0xF900, 0xFAFF], [0x2F800, 0x2FA1F]]


def _self_check_case_properties():
    """Cross-checks the derivations above against independent evidence.

    Lu must lie inside Uppercase and Ll inside Lowercase; and for every code
    point that is not case-ignorable, CPython's final-sigma rule (which reads
    the Cased property directly) must agree with the derived Cased set.
    """
    import unicodedata
    failures = []
    for c in _scalar_values():
        cat = unicodedata.category(chr(c))
        if cat == "Lu" and not _is_uppercase(c):
            failures.append(f"Lu U+{c:04X} is not Uppercase")
        if cat == "Ll" and not _is_lowercase(c):
            failures.append(f"Ll U+{c:04X} is not Lowercase")
        # c + SIGMA ends in final sigma exactly when c is cased and not
        # case-ignorable; "A" SIGMA c "A" ends in final sigma exactly when c is
        # neither cased nor case-ignorable. So one of the two fires for every
        # code point that is not case-ignorable.
        after_cased = (chr(c) + "\u03a3").lower().endswith("\u03c2")
        before_uncased = ("A\u03a3" + chr(c) + "A").lower()[1] == "\u03c2"
        if after_cased or before_uncased:
            if after_cased != _is_cased(c):
                failures.append(f"Cased disagrees with the final-sigma rule at U+{c:04X}")
    return failures


EXTRACTORS = {
    "cased": lambda: _ranges(_is_cased),
    "uppercase": lambda: _ranges(_is_uppercase),
    "lowercase": lambda: _ranges(_is_lowercase),
    "upper_pairs": lambda: _single_mappings("upper"),
    "upper_specials": lambda: _special_mappings("upper"),
    "lower_pairs": lambda: _single_mappings("lower"),
    "lower_specials": lambda: _special_mappings("lower"),
    "nd": lambda: _general_category_ranges("Nd"),
    "accents": _accent_stripped,
    # Cc, Cf, Cs, Co and Cn (unassigned) over the whole code space.
    "control": lambda: _categories_ranges({"Cc", "Cf", "Cs", "Co", "Cn"}),
    # str.isspace(): category Zs or bidirectional class WS, B or S.
    "whitespace": lambda: _ranges(lambda c: chr(c).isspace()),
    "punctuation": lambda: _categories_ranges({"Pc", "Pd", "Ps", "Pe", "Pi", "Pf", "Po"}),
    "cjk": lambda: CJK_BLOCKS,
    "letter": lambda: _categories_ranges({"Lu", "Ll", "Lt", "Lm", "Lo"}),
    "mark": lambda: _categories_ranges({"Mn", "Mc", "Me"}),
    "number": lambda: _categories_ranges({"Nd", "Nl", "No"}),
    "case_self_check": _self_check_case_properties,
}


def run_extraction(version, names):
    import unicodedata
    if unicodedata.unidata_version != version:
        sys.exit(f"extraction needs Unicode {version}, this interpreter has "
                 f"{unicodedata.unidata_version} ({sys.executable})")
    json.dump({name: EXTRACTORS[name]() for name in names}, sys.stdout)


# ---------------------------------------------------------------------------
# Table definitions. A table is one C++ array; `checks` hold the figures the
# library documents for it and are verified before anything is written.

class Table:
    def __init__(self, symbol, version, extractor, kind, comment, checks):
        self.symbol = symbol          # C++ name of the span
        self.version = version        # Unicode version the data must come from
        self.extractor = extractor    # key of EXTRACTORS
        self.kind = kind              # "ranges", "range_list", "pairs", "specials" or "replacements"
        self.comment = comment
        self.checks = checks          # list of (description, predicate(data))


def count_is(n):
    return (f"{n} entries", lambda data: len(data) == n)


def first_and_last(first, last):
    return (f"spans U+{first:04X}..U+{last:04X}",
            lambda data: data[0][0] == first and data[-1][1] == last)


def special_lengths(**expected):
    def check(data):
        counts = {}
        for _, mapped in data:
            counts[len(mapped)] = counts.get(len(mapped), 0) + 1
        return counts == {int(k[1:]): v for k, v in expected.items()}
    return (f"mapping lengths {expected}", check)


def contains_row(code_point, mapped):
    shown = mapped if isinstance(mapped, list) else [mapped]
    return (f"U+{code_point:04X} -> {' '.join(f'U+{m:04X}' for m in shown)}",
            lambda data: [code_point, mapped] in data)


def code_points_are(n):
    return (f"{n} code points", lambda data: sum(b - a + 1 for a, b in data) == n)


def ranges_are(*expected):
    return ("exactly the listed ranges", lambda data: data == [list(r) for r in expected])


def range_rows(*rows):
    return (f"rows {rows}", lambda data: all(list(r) in data for r in rows))


def every_range_ten_except(exceptions):
    return ("every range spans ten code points except the listed ones",
            lambda data: all((b - a + 1 == 10) != ([a, b] in exceptions) for a, b in data))


TABLES = [
    Table("kCasedRanges", "15.1.0", "cased", "ranges",
          "Code points with the derived property Cased.",
          [count_is(157)]),
    Table("kUppercaseRanges", "15.1.0", "uppercase", "ranges",
          "Code points with the derived property Uppercase (Lu + Other_Uppercase).",
          [count_is(651), ("holds U+24B6..U+24CF", lambda d: [0x24B6, 0x24CF] in d)]),
    Table("kLowercaseRanges", "15.1.0", "lowercase", "ranges",
          "Code points with the derived property Lowercase (Ll + Other_Lowercase).",
          [count_is(671), ("holds U+00AA", lambda d: [0xAA, 0xAA] in d),
           ("holds U+1E030..U+1E06D", lambda d: [0x1E030, 0x1E06D] in d)]),
    Table("kUppercasePairs", "15.1.0", "upper_pairs", "pairs",
          "Code points whose full uppercase mapping is one other code point.",
          [count_is(1423), contains_row(0x01C5, 0x01C4), contains_row(0x03C2, 0x03A3),
           contains_row(0x0131, 0x0049), contains_row(0x017F, 0x0053)]),
    Table("kUppercaseSpecials", "15.1.0", "upper_specials", "specials",
          "Code points whose full uppercase mapping has several code points.",
          [count_is(102), special_lengths(n2=86, n3=16),
           contains_row(0x00DF, [0x53, 0x53]), contains_row(0x1F80, [0x1F08, 0x399]),
           contains_row(0x0390, [0x399, 0x308, 0x301]), contains_row(0xFB13, [0x544, 0x546])]),
    Table("kLowercasePairs", "15.1.0", "lower_pairs", "pairs",
          "Code points whose full lowercase mapping is one other code point.",
          [count_is(1432), contains_row(0x01C5, 0x01C6), contains_row(0x03A3, 0x03C3),
           contains_row(0x1E9E, 0x00DF), contains_row(0x212A, 0x006B),
           contains_row(0x03F4, 0x03B8)]),
    Table("kLowercaseSpecials", "15.1.0", "lower_specials", "specials",
          "Code points whose full lowercase mapping has several code points.",
          [count_is(1), contains_row(0x0130, [0x69, 0x307])]),
    Table("kDecimalDigitRanges15_0", "15.0.0", "nd", "ranges",
          "General_Category Nd of Unicode 15.0 (kept at that version on purpose).",
          [count_is(64), first_and_last(0x30, 0x1FBF9),
           every_range_ten_except([[0x1D7CE, 0x1D7FF]]),
           ("holds U+11F50..U+11F59", lambda d: [0x11F50, 0x11F59] in d),
           ("holds U+1E4F0..U+1E4F9", lambda d: [0x1E4F0, 0x1E4F9] in d)]),
]

TABLES += [
    Table("kAccentStripTable", "15.1.0", "accents", "replacements",
          "Canonical decomposition without nonspacing marks (Mn), where it differs from the code point.",
          [count_is(15200), special_lengths(n0=1985, n1=2000, n2=433, n3=10782),
           contains_row(0x00C0, [0x41]), contains_row(0x00E9, [0x65]), contains_row(0x0130, [0x49]),
           contains_row(0x1E69, [0x73]), contains_row(0x212B, [0x41]), contains_row(0x2126, [0x3A9]),
           contains_row(0x1F80, [0x3B1]), contains_row(0x03D3, [0x3D2]), contains_row(0x0929, [0x928]),
           contains_row(0xFB2C, [0x5E9]), contains_row(0xF900, [0x8C48]),
           contains_row(0xAC00, [0x1100, 0x1161]), contains_row(0xAC01, [0x1100, 0x1161, 0x11A8]),
           contains_row(0x0301, []), contains_row(0x0344, []), contains_row(0x093C, []),
           ("no row for U+00C6, U+0141, U+00F8, U+0111",
            lambda d: not any(r[0] in (0xC6, 0x141, 0xF8, 0x111) for r in d))]),
    Table("kControlRanges", "15.1.0", "control", "ranges",
          "General categories Cc, Cf, Cs, Co and Cn (unassigned).",
          [count_is(712), range_rows((0x0, 0x1F), (0x7F, 0x9F), (0xAD, 0xAD), (0x378, 0x379),
                                     (0x380, 0x383), (0x2FA1E, 0x2FFFF), (0x3134B, 0x3134F),
                                     (0x323B0, 0xE00FF), (0xE01F0, 0x10FFFF))]),
    Table("kWhitespaceRanges", "15.1.0", "whitespace", "ranges",
          "Whitespace as str.isspace() defines it (Zs, or bidirectional class WS, B or S).",
          [count_is(10), code_points_are(29),
           ranges_are((0x9, 0xD), (0x1C, 0x20), (0x85, 0x85), (0xA0, 0xA0), (0x1680, 0x1680),
                      (0x2000, 0x200A), (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F),
                      (0x3000, 0x3000))]),
    Table("kPunctuationRanges", "15.1.0", "punctuation", "ranges",
          "General categories Pc, Pd, Ps, Pe, Pi, Pf and Po.",
          [count_is(191), range_rows((0x21, 0x23), (0x25, 0x2A), (0x2C, 0x2F), (0x3A, 0x3B),
                                     (0x3F, 0x40), (0x5B, 0x5D), (0x5F, 0x5F), (0x7B, 0x7B),
                                     (0x7D, 0x7D), (0xA1, 0xA1), (0x16FE2, 0x16FE2),
                                     (0x1E95E, 0x1E95F)),
           first_and_last(0x21, 0x1E95F)]),
    Table("kCjkRanges", "15.1.0", "cjk", "range_list",
          "Ideograph blocks split off as single pieces, in the order they are tested (not sorted).",
          [count_is(6), ranges_are(*CJK_BLOCKS)]),
    Table("kLetterRanges", "15.1.0", "letter", "ranges",
          "General category L (Lu, Ll, Lt, Lm, Lo).",
          [count_is(660), code_points_are(136726)]),
    Table("kMarkRanges", "15.1.0", "mark", "ranges",
          "General category M (Mn, Mc, Me).",
          [count_is(310), code_points_are(2450)]),
    Table("kNumberRanges", "15.1.0", "number", "ranges",
          "General category N (Nd, Nl, No).",
          [count_is(137), code_points_are(1831)]),
]

# Extractions that produce no table but must come back empty (a list of failures).
SELF_CHECKS = [("15.1.0", "case_self_check")]


# ---------------------------------------------------------------------------
# Driver.

def interpreter_for(version):
    variable, default = INTERPRETERS[version]
    path = os.environ.get(variable, default)
    if not Path(path).exists():
        sys.exit(f"no interpreter for Unicode {version}: set {variable}")
    return path


def extract(version, names):
    result = subprocess.run(
        [interpreter_for(version), str(Path(__file__).resolve()), "--extract", version, *names],
        check=False, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(result.stderr.strip() or f"extraction for Unicode {version} failed")
    return json.loads(result.stdout)


def check_structure(table, data):
    if table.kind == "range_list":
        return "a range ends before it starts" if any(a > b for a, b in data) else None
    keys = [row[0] for row in data]
    if keys != sorted(set(keys)):
        return "not sorted by code point, or a code point repeats"
    if table.kind == "ranges":
        for (a, b), (c, _) in zip(data, data[1:]):
            if c <= b + 1:
                return f"ranges U+{a:04X}..U+{b:04X} and U+{c:04X} touch"
        if any(a > b for a, b in data):
            return "a range ends before it starts"
    if table.kind == "specials" and any(not 2 <= len(m) <= 3 for _, m in data):
        return "a special mapping does not have two or three code points"
    if table.kind == "replacements" and any(len(m) > 3 for _, m in data):
        return "a replacement has more than three code points"
    return None


def verify(tables, data):
    problems = []
    for table in tables:
        rows = data[table.symbol]
        problem = check_structure(table, rows)
        if problem:
            problems.append(f"{table.symbol}: {problem}")
        for description, predicate in table.checks:
            if not predicate(rows):
                problems.append(f"{table.symbol}: expected {description}, got {len(rows)} entries")
    return problems


def cpp_row(kind, row):
    if kind in ("ranges", "range_list", "pairs"):
        return f"{{0x{row[0]:05X}, 0x{row[1]:05X}}}"
    mapped = row[1] + [0] * (3 - len(row[1]))
    return (f"{{0x{row[0]:05X}, {len(row[1])}, {{" +
            ", ".join(f"0x{m:05X}" for m in mapped) + "}}")


ELEMENT_TYPE = {"ranges": "CodePointRange", "range_list": "CodePointRange", "pairs": "CaseMapping",
                "specials": "SpecialCaseMapping", "replacements": "CodePointReplacement"}
BANNER = ("// Generated by tools/unicode/generate_tables.py; do not edit by hand.\n"
          "// Regenerate with: python3 tools/unicode/generate_tables.py\n")


def render_header(tables):
    lines = [BANNER, "#pragma once", "",
             "// Constant Unicode tables, each sorted by code point (except kCjkRanges, a",
             "// short list kept in its testing order). Range tables are maximal (no two",
             "// ranges touch); map tables hold each code point once.",
             "// Look them up with the helpers in unicode_lookup.hpp.", "",
             "#include <cstdint>", "#include <span>", "",
             "namespace lorvane::detail {", "",
             "// Inclusive range of code points.",
             "struct CodePointRange {", "  char32_t first;", "  char32_t last;", "};", "",
             "// One code point mapped to one other code point.",
             "struct CaseMapping {", "  char32_t code_point;", "  char32_t mapped;", "};", "",
             "// One code point mapped to `length` (2 or 3) code points.",
             "struct SpecialCaseMapping {", "  char32_t code_point;", "  std::uint32_t length;",
             "  char32_t mapped[3];", "};", "",
             "// One code point replaced by `length` (0 to 3) code points.",
             "struct CodePointReplacement {", "  char32_t code_point;", "  std::uint32_t length;",
             "  char32_t mapped[3];", "};", ""]
    for table in tables:
        lines.append(f"// Unicode {table.version}: {table.comment}")
        lines.append(f"extern const std::span<const {ELEMENT_TYPE[table.kind]}> {table.symbol};")
    lines += ["", "}  // namespace lorvane::detail", ""]
    return "\n".join(lines)


def render_source(tables, data):
    lines = [BANNER, '#include "encoders/unicode/unicode_tables.hpp"', "",
             "namespace lorvane::detail {", "namespace {", ""]
    for table in tables:
        rows = data[table.symbol]
        lines.append(f"constexpr {ELEMENT_TYPE[table.kind]} {table.symbol}Data[] = {{")
        per_line = {"specials": 1, "replacements": 2}.get(table.kind, 4)
        for i in range(0, len(rows), per_line):
            chunk = rows[i:i + per_line]
            lines.append("    " + " ".join(cpp_row(table.kind, r) + "," for r in chunk))
        lines += ["};", ""]
    lines += ["}  // namespace", ""]
    for table in tables:
        lines.append(f"const std::span<const {ELEMENT_TYPE[table.kind]}> "
                     f"{table.symbol}({table.symbol}Data);")
    lines += ["", "}  // namespace lorvane::detail", ""]
    return "\n".join(lines)


def generate():
    data = {}
    problems = []
    for version in sorted({t.version for t in TABLES} | {v for v, _ in SELF_CHECKS}):
        tables = [t for t in TABLES if t.version == version]
        checks = [name for v, name in SELF_CHECKS if v == version]
        extracted = extract(version, sorted({t.extractor for t in tables}) + checks)
        for table in tables:
            data[table.symbol] = extracted[table.extractor]
        for name in checks:
            problems += [f"{name}: {failure}" for failure in extracted[name]]
    problems += verify(TABLES, data)
    if problems:
        sys.exit("refusing to write the tables:\n  " + "\n  ".join(problems))
    return {HEADER: render_header(TABLES), SOURCE: render_source(TABLES, data)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the committed sources instead of writing them")
    parser.add_argument("--extract", nargs="+", metavar=("VERSION", "NAME"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.extract:
        run_extraction(args.extract[0], args.extract[1:])
        return
    outputs = generate()
    if args.check:
        stale = [str(p.relative_to(REPO)) for p, text in outputs.items()
                 if not p.exists() or p.read_text() != text]
        if stale:
            sys.exit("out of date: " + ", ".join(stale))
        print("tables are up to date")
        return
    for path, text in outputs.items():
        path.write_text(text)
        print(f"wrote {path.relative_to(REPO)}")


if __name__ == "__main__":
    main()
