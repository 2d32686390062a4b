"""Second oracles for the subword tokenizers: the PyPI packages `tokenizers`
and `sentencepiece`, run on the same vocabulary and words as the C++ tests.
They agree with the library only on the inputs the tests choose for them.

    subword_oracles.py REQUEST RESULT

REQUEST and RESULT use the line format of subword_reference.py (the same
request file serves both). A "spm <vocabulary size>" request instead trains a
sentencepiece unigram model (with its built-in NFKC character map) on its
"text S" lines; RESULT then begins with the model as the unigram tokenizer
takes it ("unknown N", "vocab S ...", "scores F ...", "charsmap S") and the
package's normalisation of each word ("normalized S ...", with its word-start
marks) before the per-word lines. Exits with status 3 and a message when the
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
    return [], [e.ids for e in tokenizer.encode_batch(texts, add_special_tokens=False)]


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
    return [], [e.ids for e in tokenizer.encode_batch(texts, add_special_tokens=False)]


def _fields(message):
    """(field number, wire type, value) of a serialised protocol buffer message."""
    def varint(i):
        value, shift = 0, 0
        while True:
            b = message[i]
            value |= (b & 0x7F) << shift
            i, shift = i + 1, shift + 7
            if b < 0x80:
                return value, i
    i = 0
    while i < len(message):
        key, i = varint(i)
        number, wire = key >> 3, key & 7
        if wire == 0:
            value, i = varint(i)
        elif wire == 1:
            value, i = message[i:i + 8], i + 8
        elif wire == 2:
            length, i = varint(i)
            value, i = message[i:i + length], i + length
        elif wire == 5:
            value, i = message[i:i + 4], i + 4
        else:
            raise ValueError(f"wire type {wire}")
        yield number, wire, value


def train_spm(header, lines):
    """A sentencepiece processor trained on the request's "text" lines (one thread)."""
    try:
        import sentencepiece
    except ImportError:
        missing("sentencepiece")
    import contextlib
    import io
    import os
    texts = [unhex(t).decode("utf-8") for t in lines["text"]]
    model = io.BytesIO()
    with open(os.devnull, "w") as quiet, contextlib.redirect_stderr(quiet):
        sentencepiece.SentencePieceTrainer.train(
            sentence_iterator=iter(texts), model_writer=model, vocab_size=int(header[0]),
            model_type="unigram", normalization_rule_name="nmt_nfkc", hard_vocab_limit=False,
            character_coverage=1.0, num_threads=1, minloglevel=2)
    proto = model.getvalue()
    return proto, sentencepiece.SentencePieceProcessor(model_proto=proto)


def spm(header, lines, words):
    proto, sp = train_spm(header, lines)
    normalizer = next(v for n, w, v in _fields(proto) if n == 3)
    charsmap = next(v for n, w, v in _fields(normalizer) if n == 2)
    size = sp.get_piece_size()
    head = [f"unknown {sp.unk_id()}",
            "vocab" + "".join(" x" + sp.id_to_piece(i).encode().hex() for i in range(size)),
            "scores" + "".join(" " + float.hex(sp.get_score(i)) for i in range(size)),
            "charsmap x" + charsmap.hex(),
            "normalized" + "".join(" x" + sp.normalize(w.decode("utf-8")).encode().hex() for w in words)]
    return head, [sp.encode(w.decode("utf-8")) for w in words]


ORACLES = {"wordpiece": wordpiece, "bpe": bpe, "spm": spm}


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
    head, ids = ORACLES[rows[0][0]](rows[0][1:], lines, words)
    with open(result, "w", encoding="ascii") as f:
        f.write("".join(line + "\n" for line in head))
        f.write("".join("ok" + "".join(f" {i}" for i in word) + "\n" for word in ids))


if __name__ == "__main__":
    main()
