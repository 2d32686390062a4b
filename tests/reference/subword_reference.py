"""Independent reference of the subword tokenizers, written from their
descriptions, used to check the C++ tokenizers word by word.

Runs under a Python whose unicodedata is Unicode 15.1 (the character classes,
case mappings and decompositions come from it, not from the library's tables).

    subword_reference.py REQUEST RESULT

REQUEST is a text file of lines "<key> <field> <field> ...". Every string
field is "x" followed by the hex of its bytes ("x" alone is the empty string).
The first line names the tokenizer and its settings:
    wordpiece <lowercase 0|1> <strip_accents 0|1> <max_input_characters_per_word>
        then "unknown S", "cls S", "sep S", "prefix S", "vocab S S ..."
    bpe <add_prefix_space 0|1>
        then "unknown S", "cls S", "sep S", "vocab S S ...", one "merge S S"
        line per merge in rank order
    unigram <unknown_id>
        then "cls S", "sep S", "vocab S S ...", "scores F F ..." (float32
        values as C99 hex floats, "inf", "-inf" or "nan"), "charsmap S" (the
        precompiled character map's bytes)
and one "word S" line per word to tokenize.

RESULT gets one line per word: "ok <id> <id> ..." (the word's identifiers), or
"err <type> <byte offset>" for ill-formed UTF-8, where type is "wordpiece"
(the WordPiece tokenizer's own error), "invalid_argument" (the case
mapping's) or "subword" (the other tokenizers' error).
"""

import math
import struct
import sys
import unicodedata


class Utf8Error(Exception):
    def __init__(self, offset, kind):
        super().__init__(offset)
        self.offset = offset
        self.kind = kind


def unhex(field):
    assert field.startswith("x"), field
    return bytes.fromhex(field[1:])


def decode(data, kind):
    """Strict UTF-8 into code points; errors at the lead byte, or at the first
    bad continuation byte."""
    out = []
    i = 0
    while i < len(data):
        b = data[i]
        if b < 0x80:
            out.append(b)
            i += 1
            continue
        if b & 0xE0 == 0xC0:
            n, value, minimum = 2, b & 0x1F, 0x80
        elif b & 0xF0 == 0xE0:
            n, value, minimum = 3, b & 0x0F, 0x800
        elif b & 0xF8 == 0xF0:
            n, value, minimum = 4, b & 0x07, 0x10000
        else:
            raise Utf8Error(i, kind)
        if i + n > len(data):
            raise Utf8Error(i, kind)
        for k in range(1, n):
            if data[i + k] & 0xC0 != 0x80:
                raise Utf8Error(i + k, kind)
            value = (value << 6) | (data[i + k] & 0x3F)
        if value < minimum or value > 0x10FFFF or 0xD800 <= value <= 0xDFFF:
            raise Utf8Error(i, kind)
        out.append(value)
        i += n
    return out


def utf8(code_points):
    return "".join(map(chr, code_points)).encode("utf-8", "surrogatepass")


# --- WordPiece -------------------------------------------------------------

CJK = [(0x4E00, 0x9FFF), (0x3400, 0x4DBF), (0x20000, 0x2A6DF), (0x2A700, 0x2CEAF),
       (0xF900, 0xFAFF), (0x2F800, 0x2FA1F)]


def strip_accent(c):
    reduced = [ord(x) for x in unicodedata.normalize("NFD", chr(c))
               if unicodedata.category(x) != "Mn"]
    return reduced


def wordpiece_pieces(word, lowercase, strip_accents):
    text = word
    if lowercase:
        if all(b < 0x80 for b in word):
            text = bytes(b + 0x20 if 0x41 <= b <= 0x5A else b for b in word)
        else:
            code_points = decode(word, "invalid_argument")
            text = utf8([ord(x) for c in code_points for x in chr(c).lower()])
    code_points = decode(text, "wordpiece")
    if strip_accents:
        code_points = [x for c in code_points for x in strip_accent(c)]
    pieces, current = [], []

    def close():
        nonlocal current
        if current:
            pieces.append(current)
        current = []

    for c in code_points:
        if c in (0, 0xFFFD):
            continue
        category = unicodedata.category(chr(c))
        if category in ("Cc", "Cf", "Cs", "Co", "Cn") and c not in (9, 10, 13):
            continue
        if chr(c).isspace():
            close()
        elif category.startswith("P") or any(a <= c <= b for a, b in CJK):
            close()
            pieces.append([c])
        else:
            current.append(c)
    close()
    return pieces


def wordpiece_tokenize(cfg, word):
    ids = []
    for piece in wordpiece_pieces(word, cfg["lowercase"], cfg["strip_accents"]):
        if len(piece) > cfg["max_chars"]:
            ids.append(cfg["unknown"])
            continue
        found, start = [], 0
        while start < len(piece):
            for end in range(len(piece), start, -1):
                candidate = (cfg["prefix"] if start > 0 else b"") + utf8(piece[start:end])
                if candidate in cfg["vocab"]:
                    found.append(cfg["vocab"][candidate])
                    start = end
                    break
            else:
                found = [cfg["unknown"]]
                break
        ids += found
    return ids


def wordpiece_word(cfg, word):
    ids = wordpiece_tokenize(cfg, word)
    if not ids:
        ids = wordpiece_tokenize(cfg, b"-")
    return ids or [cfg["unknown"]]


def wordpiece_setup(header, lines):
    vocab = {}
    for i, token in enumerate(lines["vocab"]):
        vocab.setdefault(unhex(token), i)
    return {
        "lowercase": header[0] == "1", "strip_accents": header[1] == "1",
        "max_chars": int(header[2]), "vocab": vocab,
        "unknown": vocab[unhex(lines["unknown"][0])], "prefix": unhex(lines["prefix"][0]),
    }, wordpiece_word


# --- Byte-level BPE ----------------------------------------------------------

def byte_character(b):
    printable = [c for c in range(256) if 0x21 <= c <= 0x7E or 0xA1 <= c <= 0xAC or c >= 0xAE]
    if b in printable:
        return chr(b)
    return chr(256 + [c for c in range(256) if c not in printable].index(b))


def bpe_class(c):
    category = unicodedata.category(chr(c))
    if category[0] in "LM":
        return 1
    if category[0] == "N":
        return 2
    return 3 if chr(c).isspace() else 4


def spans(data, kind):
    """(code point, begin, end) of every code point of data."""
    out, offset = [], 0
    for c in decode(data, kind):
        n = len(chr(c).encode("utf-8", "surrogatepass"))
        out.append((c, offset, offset + n))
        offset += n
    return out


def bpe_pretokenize(text):
    cps = spans(text, "subword")
    pieces, i, n = [], 0, len(cps)
    while i < n:
        if cps[i][0] == 0x27 and i + 1 < n:
            matched = None
            for suffix in (b"s", b"t", b"re", b"ve", b"m", b"ll", b"d"):
                end = cps[i][2] + len(suffix)
                if text[cps[i][2]:].startswith(suffix) and any(cp[2] == end for cp in cps[i + 1:]):
                    matched = end
                    break
            if matched is not None:
                pieces.append(text[cps[i][1]:matched])
                i = next(k for k in range(i + 1, n) if cps[k][2] == matched) + 1
                continue
        if cps[i][0] == 0x20 and i + 1 < n and not chr(cps[i + 1][0]).isspace():
            cls, j = bpe_class(cps[i + 1][0]), i + 2
        else:
            cls, j = bpe_class(cps[i][0]), i + 1
        while j < n and bpe_class(cps[j][0]) == cls:
            j += 1
        pieces.append(text[cps[i][1]:cps[j - 1][2]])
        i = j
    return pieces


def bpe_merge(cfg, piece):
    ids = [cfg["byte_ids"][b] for b in piece]
    while len(ids) >= 2:
        best = None
        for k in range(len(ids) - 1):
            rule = cfg["ranks"].get((ids[k], ids[k + 1]))
            if rule and (best is None or rule[0] < best[0]):
                best = rule + (ids[k], ids[k + 1])
        if best is None:
            break
        out, k = [], 0
        while k < len(ids):
            if k + 1 < len(ids) and (ids[k], ids[k + 1]) == best[2:]:
                out.append(best[1])
                k += 2
            else:
                out.append(ids[k])
                k += 1
        ids = out
    return ids


def bpe_word(cfg, word):
    text = word
    if cfg["add_prefix_space"] and word:
        if not chr(decode(word, "subword")[0]).isspace():
            text = b" " + word
    spans(word, "subword")  # errors are reported at offsets of the word itself
    ids = [i for piece in bpe_pretokenize(text) for i in bpe_merge(cfg, piece)]
    return ids or ([cfg["unknown"]] if word else [])


def bpe_setup(header, lines):
    vocab = {}
    for i, token in enumerate(lines["vocab"]):
        vocab.setdefault(unhex(token), i)
    ranks = {}
    merges = lines.get("merge", [])
    for r in range(0, len(merges), 2):
        first, second = unhex(merges[r]), unhex(merges[r + 1])
        ranks.setdefault((vocab[first], vocab[second]), (r // 2, vocab[first + second]))
    return {
        "add_prefix_space": header[0] == "1", "ranks": ranks,
        "byte_ids": [vocab[byte_character(b).encode("utf-8")] for b in range(256)],
        "unknown": vocab[unhex(lines["unknown"][0])],
    }, bpe_word


# --- Unigram with a precompiled character map --------------------------------

def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


class Charsmap:
    def __init__(self, data):
        size = struct.unpack("<I", data[:4])[0]
        self.units = list(struct.unpack(f"<{size // 4}I", data[4:4 + size]))
        self.blob = data[4 + size:]

    @staticmethod
    def offset(unit):
        return (unit >> 10) << ((unit & 0x200) >> 6)

    def lookup(self, key):
        """The replacement of exactly this key, or None when it is no key."""
        if not self.units or not key:
            return None
        pos = self.offset(self.units[0])
        unit = 0
        for c in key:
            if c == 0:
                return None
            pos ^= c
            if pos >= len(self.units):
                return None
            unit = self.units[pos]
            if unit & 0x800000FF != c:
                return None
            pos ^= self.offset(unit)
        if not unit & 0x100 or pos >= len(self.units):
            return None
        value = self.units[pos] & 0x7FFFFFFF
        if value >= len(self.blob):
            return None
        end = self.blob.find(b"\0", value)
        return self.blob[value:end if end >= 0 else len(self.blob)]


def unigram_normalize(cfg, word):
    """At each code point, the longest key that starts there (and ends where a
    code point ends) is replaced and the scan resumes after it; a code point
    that starts no key is kept."""
    cps = spans(word, "subword")
    out, i, n = b"", 0, len(cps)
    while i < n:
        for j in range(n, i, -1):
            replaced = cfg["charsmap"].lookup(word[cps[i][1]:cps[j - 1][2]])
            if replaced is not None:
                out += replaced
                i = j
                break
        else:
            out += word[cps[i][1]:cps[i][2]]
            i += 1
    return out


def unigram_segment(cfg, run):
    cps = spans(run, "subword")
    n = len(cps)
    at = [0] + [cp[2] for cp in cps]
    best = [-math.inf] * (n + 1)
    back, piece = [0] * (n + 1), [cfg["unknown"]] * (n + 1)
    best[0] = 0.0
    for s in range(n):
        if not math.isfinite(best[s]):
            continue
        found = False
        for e in range(s + 1, n + 1):
            if at[e] - at[s] > cfg["max_bytes"]:
                break
            token = cfg["vocab"].get(run[at[s]:at[e]])
            if token is not None:
                found = True
                candidate = f32(best[s] + cfg["scores"][token])
                if candidate > best[e]:
                    best[e], back[e], piece[e] = candidate, s, token
        if not found:
            candidate = f32(best[s] + cfg["scores"][cfg["unknown"]])
            if candidate > best[s + 1]:
                best[s + 1], back[s + 1], piece[s + 1] = candidate, s, cfg["unknown"]
    if not math.isfinite(best[n]):
        return [cfg["unknown"]]
    ids, p = [], n
    while p > 0:
        ids.append(piece[p])
        p = back[p]
    return ids[::-1]


def unigram_word(cfg, word):
    normalized = unigram_normalize(cfg, word)
    cps = spans(normalized, "subword")
    ids, run = [], b""
    for c, begin, end in cps + [(0x20, len(normalized), len(normalized))]:
        if chr(c).isspace():
            if run:
                ids += unigram_segment(cfg, "\u2581".encode() + run)
            run = b""
        else:
            run += normalized[begin:end]
    return ids


def unigram_setup(header, lines):
    vocab = {}
    tokens = [unhex(t) for t in lines["vocab"]]
    for i, token in enumerate(tokens):
        vocab.setdefault(token, i)
    scores = [f32(float(x) if x in ("inf", "-inf", "nan") else float.fromhex(x)) for x in lines["scores"]]
    return {
        "vocab": vocab, "scores": scores, "unknown": int(header[0]),
        "max_bytes": max(len(t) for t in tokens), "charsmap": Charsmap(unhex(lines["charsmap"][0])),
    }, unigram_word


SETUPS = {"wordpiece": wordpiece_setup, "bpe": bpe_setup, "unigram": unigram_setup}


def main():
    request, result = sys.argv[1:3]
    if unicodedata.unidata_version != "15.1.0":
        sys.exit(f"needs Unicode 15.1.0, this Python has {unicodedata.unidata_version}")
    with open(request, encoding="ascii") as f:
        rows = [line.split(" ") for line in f.read().splitlines()]
    kind, header = rows[0][0], rows[0][1:]
    lines, words = {}, []
    for row in rows[1:]:
        if row[0] == "word":
            words.append(unhex(row[1]))
        else:
            lines.setdefault(row[0], []).extend(row[1:])
    cfg, word_ids = SETUPS[kind](header, lines)
    out = []
    for word in words:
        try:
            out.append("ok" + "".join(f" {i}" for i in word_ids(cfg, word)))
        except Utf8Error as e:
            out.append(f"err {e.kind} {e.offset}")
    with open(result, "w", encoding="ascii") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
