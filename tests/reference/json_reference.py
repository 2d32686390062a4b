"""Reference JSON parser for differential tests of the C++ parser.

A deliberately plain, sequential parser: one routine per grammar rule, the
cursor moved byte by byte, every object member inserted (and a repeated key
caught) the moment its value ends, floats converted by Python's correctly
rounded float(). It shares no code or structure with the C++ parser.

Usage: json_reference.py INPUT OUTPUT
INPUT holds one hex-encoded JSON text per line; OUTPUT gets one line per text:
"V " and the canonical form of the value, or "E " and the error message.

Canonical form: n, t, f; i<decimal>; d<16 hex digits of the IEEE bits>;
s<hex bytes>; [a,b,...]; {<hex key>:<value>,...} with keys in byte order.
"""

import struct
import sys

MAX_DEPTH = 512
WHITESPACE = b" \t\n\r"
DIGITS = b"0123456789"
HEX = b"0123456789abcdefABCDEF"
DBL_MAX = 1.7976931348623157e308


class ParseError(Exception):
    pass


class Parser:
    def __init__(self, text: bytes):
        self.text = text
        self.pos = 0
        self.depth = 0

    def fail(self, reason, position=None):
        where = self.pos if position is None else position
        raise ParseError(f"{reason} at JSON byte {where}")

    def at_end(self):
        return self.pos >= len(self.text)

    def byte(self):
        return self.text[self.pos]

    def skip_ws(self):
        while not self.at_end() and self.byte() in WHITESPACE:
            self.pos += 1

    def expect(self, c):
        if self.at_end() or self.byte() != ord(c):
            self.fail(f"expected '{c}'")
        self.pos += 1

    def document(self):
        self.skip_ws()
        value = self.value()
        self.skip_ws()
        if not self.at_end():
            self.fail("unexpected trailing data")
        return value

    def value(self):
        if self.at_end():
            self.fail("unexpected end of JSON")
        b = self.byte()
        if b == ord('"'):
            return ("s", self.string())
        if b == ord("["):
            return self.array()
        if b == ord("{"):
            return self.object()
        if b == ord("f"):
            return self.literal(b"false", ("f",))
        if b == ord("n"):
            return self.literal(b"null", ("n",))
        if b == ord("t"):
            return self.literal(b"true", ("t",))
        if b == ord("-") or b in DIGITS:
            return self.number()
        self.fail("unexpected JSON token")

    def literal(self, spelling, result):
        if self.text[self.pos:self.pos + len(spelling)] != spelling:
            self.fail("invalid JSON literal")
        self.pos += len(spelling)
        return result

    def enter(self):
        if self.depth == MAX_DEPTH:
            self.fail("JSON nesting is too deep")
        self.depth += 1
        self.pos += 1
        self.skip_ws()

    def leave(self):
        self.pos += 1
        self.depth -= 1

    def array(self):
        self.enter()
        items = []
        if not self.at_end() and self.byte() == ord("]"):
            self.leave()
            return ("a", items)
        while True:
            self.skip_ws()
            items.append(self.value())
            self.skip_ws()
            if not self.at_end() and self.byte() == ord("]"):
                self.leave()
                return ("a", items)
            self.expect(",")

    def object(self):
        self.enter()
        members = {}
        if not self.at_end() and self.byte() == ord("}"):
            self.leave()
            return ("o", members)
        while True:
            self.skip_ws()
            if self.at_end() or self.byte() != ord('"'):
                self.fail("expected object key")
            key = self.string()
            self.skip_ws()
            self.expect(":")
            self.skip_ws()
            value = self.value()
            if key in members:
                self.fail("duplicate object key")
            members[key] = value
            self.skip_ws()
            if not self.at_end() and self.byte() == ord("}"):
                self.leave()
                return ("o", members)
            self.expect(",")

    def string(self):
        self.pos += 1
        out = bytearray()
        while True:
            if self.at_end():
                self.fail("unterminated string")
            b = self.byte()
            self.pos += 1
            if b == ord('"'):
                return bytes(out)
            if b < 0x20:
                self.fail("unescaped control character in string")
            if b != ord("\\"):
                out.append(b)
                continue
            if self.at_end():
                self.fail("truncated string escape")
            letter = self.byte()
            self.pos += 1
            simple = {ord('"'): b'"', ord("/"): b"/", ord("\\"): b"\\", ord("b"): b"\x08",
                      ord("f"): b"\x0c", ord("n"): b"\n", ord("r"): b"\r", ord("t"): b"\t"}
            if letter in simple:
                out += simple[letter]
            elif letter == ord("u"):
                out += self.unicode_escape()
            else:
                self.fail("invalid string escape")

    def hex_unit(self):
        if len(self.text) - self.pos < 4:
            self.fail("truncated Unicode escape")
        unit = 0
        for _ in range(4):
            b = self.byte()
            self.pos += 1
            if b not in HEX:
                self.fail("invalid Unicode escape")
            unit = unit * 16 + int(chr(b), 16)
        return unit

    def unicode_escape(self):
        unit = self.hex_unit()
        if 0xDC00 <= unit <= 0xDFFF:
            self.fail("unpaired low surrogate")
        if 0xD800 <= unit <= 0xDBFF:
            if len(self.text) - self.pos < 6 or self.text[self.pos:self.pos + 2] != b"\\u":
                self.fail("missing low surrogate")
            self.pos += 2
            low = self.hex_unit()
            if not 0xDC00 <= low <= 0xDFFF:
                self.fail("invalid low surrogate")
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)
        return chr(unit).encode("utf-8", "surrogatepass")

    def digits(self):
        while not self.at_end() and self.byte() in DIGITS:
            self.pos += 1

    def number(self):
        start = self.pos
        if self.byte() == ord("-"):
            self.pos += 1
            if self.at_end():
                self.fail("truncated number")
        if self.byte() == ord("0"):
            self.pos += 1
            if not self.at_end() and self.byte() in DIGITS:
                self.fail("leading zero in number")
        elif self.byte() in DIGITS:
            self.digits()
        else:
            self.fail("invalid number")
        plain = True
        if not self.at_end() and self.byte() == ord("."):
            plain = False
            self.pos += 1
            if self.at_end() or self.byte() not in DIGITS:
                self.fail("missing fractional digits")
            self.digits()
        if not self.at_end() and self.byte() in b"eE":
            plain = False
            self.pos += 1
            if not self.at_end() and self.byte() in b"+-":
                self.pos += 1
            if self.at_end() or self.byte() not in DIGITS:
                self.fail("missing exponent digits")
            self.digits()
        token = self.text[start:self.pos].decode("ascii")
        if plain:
            value = int(token)
            if -(2 ** 63) <= value < 2 ** 63:
                return ("i", value)
        value = float(token)
        if not abs(value) <= DBL_MAX:
            self.fail("invalid floating-point number")
        return ("d", value)


def canonical(value):
    kind = value[0]
    if kind in ("n", "t", "f"):
        return kind
    if kind == "i":
        return f"i{value[1]}"
    if kind == "d":
        return "d" + struct.pack(">d", value[1]).hex()
    if kind == "s":
        return "s" + value[1].hex()
    if kind == "a":
        return "[" + ",".join(canonical(item) for item in value[1]) + "]"
    keys = sorted(value[1])
    return "{" + ",".join(key.hex() + ":" + canonical(value[1][key]) for key in keys) + "}"


def main(argv):
    sys.setrecursionlimit(20000)
    with open(argv[1], encoding="ascii") as source, open(argv[2], "w", encoding="ascii") as out:
        for line in source:
            text = bytes.fromhex(line.strip())
            try:
                out.write("V " + canonical(Parser(text).document()) + "\n")
            except ParseError as error:
                out.write("E " + str(error) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
