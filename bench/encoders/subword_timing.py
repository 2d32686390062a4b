"""Baseline timings for subword_bench: the PyPI tokenizers on the same
vocabulary and words, single-threaded.

    subword_timing.py REQUEST WORDS_PER_SENTENCE REPETITIONS [warm]

REQUEST is a request file in the format of tests/reference/subword_reference.py.
The words (which hold no spaces) are cut into sentences of WORDS_PER_SENTENCE
words, each joined by single spaces, and encoded in one batch on one thread
(the package's fastest path; pre-split input is about half as fast); prints the
best time, in seconds, of encoding all of them once. The byte-level BPE model
runs without its word cache, or, with "warm", with it filled by one untimed
pass first. A "spm" request trains the sentencepiece model that
subword_oracles.py trains on the same request (training is not timed).
"""

import os
import sys
import time

os.environ["RAYON_NUM_THREADS"] = "1"
os.environ["TOKENIZERS_PARALLELISM"] = "false"
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "reference"))
from subword_oracles import train_spm  # noqa: E402
from subword_reference import unhex  # noqa: E402


def wordpiece(header, lines, warm):
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers
    vocab = {unhex(t).decode(): i for i, t in enumerate(lines["vocab"])}
    tokenizer = Tokenizer(models.WordPiece(
        vocab, unk_token=unhex(lines["unknown"][0]).decode(),
        continuing_subword_prefix=unhex(lines["prefix"][0]).decode(),
        max_input_chars_per_word=int(header[2])))
    tokenizer.normalizer = normalizers.BertNormalizer(
        clean_text=True, handle_chinese_chars=True,
        strip_accents=header[1] == "1", lowercase=header[0] == "1")
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    return lambda batch: tokenizer.encode_batch(batch, add_special_tokens=False)


def bpe(header, lines, warm):
    from tokenizers import Tokenizer, models, pre_tokenizers
    vocab = {unhex(t).decode(): i for i, t in enumerate(lines["vocab"])}
    fields = lines["merge"]
    merges = [(unhex(fields[i]).decode(), unhex(fields[i + 1]).decode()) for i in range(0, len(fields), 2)]
    tokenizer = Tokenizer(models.BPE(vocab, merges, unk_token=unhex(lines["unknown"][0]).decode(),
                                     cache_capacity=100000 if warm else 0))
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=header[0] == "1")
    return lambda batch: tokenizer.encode_batch(batch, add_special_tokens=False)


def spm(header, lines, warm):
    _, sp = train_spm(header, lines)
    return lambda batch: sp.encode(batch, num_threads=1)


BASELINES = {"wordpiece": wordpiece, "bpe": bpe, "spm": spm}


def main():
    request, per_sentence, repetitions = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    warm = sys.argv[4:] == ["warm"]
    with open(request, encoding="ascii") as f:
        rows = [line.split(" ") for line in f.read().splitlines()]
    lines, words = {}, []
    for row in rows[1:]:
        if row[0] == "word":
            words.append(unhex(row[1]).decode())
        else:
            lines.setdefault(row[0], []).extend(row[1:])
    encode = BASELINES[rows[0][0]](rows[0][1:], lines, warm)
    sentences = [" ".join(words[i:i + per_sentence]) for i in range(0, len(words), per_sentence)]
    if warm:
        encode(sentences)
    best = float("inf")
    for _ in range(repetitions):
        start = time.perf_counter()
        encode(sentences)
        best = min(best, time.perf_counter() - start)
    print(best)


if __name__ == "__main__":
    main()
