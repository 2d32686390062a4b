"""Second oracles for the subword tokenizers: the PyPI packages `tokenizers`
and `sentencepiece`, run on the same vocabulary and words as the C++ tests.
They agree with the library only on the inputs the tests choose for them.

    subword_oracles.py REQUEST RESULT

REQUEST and RESULT use the line format of subword_reference.py (the same
request file serves both). Exits with status 3 and a message when the
package a request needs is not installed, so that the caller can skip.
"""

import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from subword_reference import unhex  # noqa: E402  (line format helpers only)


def missing(package):
    print(f"the Python package '{package}' is not installed", file=sys.stderr)
    sys.exit(3)


def wordpiece(header, lines, words):
    try:
        from tokenizers import Tokenizer, models, normalizers, pre_tokenizers
    except ImportError:
        missing("tokenizers")
    vocab = {}
    for i, token in enumerate(lines["vocab"]):
        vocab.setdefault(unhex(token).decode("utf-8"), i)
    model = models.WordPiece(vocab, unk_token=unhex(lines["unknown"][0]).decode("utf-8"),
                             continuing_subword_prefix=unhex(lines["prefix"][0]).decode("utf-8"),
                             max_input_chars_per_word=int(header[2]))
    tokenizer = Tokenizer(model)
    tokenizer.normalizer = normalizers.BertNormalizer(
        clean_text=True, handle_chinese_chars=True,
        strip_accents=header[1] == "1", lowercase=header[0] == "1")
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    texts = [w.decode("utf-8") for w in words]
    return [e.ids for e in tokenizer.encode_batch(texts, add_special_tokens=False)]


def bpe(header, lines, words):
    try:
        from tokenizers import Tokenizer, models, pre_tokenizers
    except ImportError:
        missing("tokenizers")
    vocab = {}
    for i, token in enumerate(lines["vocab"]):
        vocab.setdefault(unhex(token).decode("utf-8"), i)
    fields = lines.get("merge", [])
    merges = [(unhex(fields[i]).decode("utf-8"), unhex(fields[i + 1]).decode("utf-8"))
              for i in range(0, len(fields), 2)]
    tokenizer = Tokenizer(models.BPE(vocab, merges, unk_token=unhex(lines["unknown"][0]).decode("utf-8")))
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=header[0] == "1", use_regex=True)
    texts = [w.decode("utf-8") for w in words]
    return [e.ids for e in tokenizer.encode_batch(texts, add_special_tokens=False)]


ORACLES = {"wordpiece": wordpiece, "bpe": bpe}


def main():
    request, result = sys.argv[1:3]
    with open(request, encoding="ascii") as f:
        rows = [line.split(" ") for line in f.read().splitlines()]
    lines, words = {}, []
    for row in rows[1:]:
        if row[0] == "word":
            words.append(unhex(row[1]))
        else:
            lines.setdefault(row[0], []).extend(row[1:])
    ids = ORACLES[rows[0][0]](rows[0][1:], lines, words)
    with open(result, "w", encoding="ascii") as f:
        f.write("".join("ok" + "".join(f" {i}" for i in word) + "\n" for word in ids))


if __name__ == "__main__":
    main()
