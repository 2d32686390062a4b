"""Data and eager baseline of the dependency parser benchmark.

    depparse_timing.py data DIR        writes DIR/bundle (realistic sizes: hidden
                                       400, 3 layers, deep biaffine 400, 40
                                       relations) and DIR/sentences.json (1,000
                                       sentences of 5-60 words, then 200, 500
                                       and 1,000 words, last)
    depparse_timing.py time DIR THREADS COUNT
                                       prints {"all": s, "long": s}: the eager
                                       reference (tests/reference/depparse_reference.py)
                                       encoding and scoring the first COUNT
                                       sentences and the three long ones one by
                                       one, and the 1,000-word sentence alone
    depparse_timing.py peak DIR all|long
                                       prints the eager run's peak resident growth
                                       in bytes

The eager side stops at the score tensors: its decoder is plain Python (cubic
in the sentence length), so the library's decoding and repairs are not in the
baseline and the ratios understate the gain.
"""

from __future__ import annotations

import json
import resource
import sys
import time
from pathlib import Path

import numpy as np
import torch

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "fixtures"))
sys.path.insert(0, str(ROOT / "tests" / "reference"))
import depparse_bundle  # noqa: E402
import depparse_reference  # noqa: E402
import depparse_scoring_reference as scoring  # noqa: E402

CONFIG = {"word_emb_dim": 75, "tag_emb_dim": 50, "transformed_dim": 125, "char_emb_dim": 100,
          "char_hidden_dim": 400, "hidden_dim": 400, "num_layers": 3, "deep_biaff_hidden_dim": 400}
WORDS = [f"w{i}" for i in range(5000)]
RELATIONS = ["nsubj", "obj", "csubj", "nsubj:pass", "nsubj:outer"] + [f"rel{i}" for i in range(35)]
UPOS = ["NOUN", "VERB", "ADJ", "DET", "PUNCT", "PRON", "ADP", "PROPN"]
XPOS = ["NN", "NNS", "VBZ", "DT", "JJ", "IN", ".", ","]


def write_data(out: Path) -> None:
    depparse_bundle.write_depparse_bundle(
        out / "bundle", config=CONFIG, words=WORDS, lemmas=WORDS, pretrained=WORDS + [f"p{i}" for i in range(15000)],
        relations=RELATIONS, pretrain_dim=100, head_dim=400, seed=7, scale=0.05)
    rng = np.random.default_rng(11)
    lengths = list(rng.integers(5, 61, size=1000)) + [200, 500, 1000]
    sentences = []
    for n in lengths:
        words = []
        for _ in range(int(n)):
            k = int(rng.integers(0, 5500))
            text = WORDS[k] if k < 5000 else f"unk{k}"
            words.append({"text": text, "lemma": text, "upos": UPOS[k % len(UPOS)], "xpos": XPOS[k % len(XPOS)]})
        sentences.append(words)
    (out / "sentences.json").write_text(json.dumps(sentences))


def eager_parse(parser, words):
    arcs, relations = scoring.score_encoded(parser.encode(parser.inputs(words)), parser.t, parser.flags)
    return arcs.shape[1] + relations.shape[1]


def load(out: Path):
    return depparse_reference.Parser(out / "bundle"), json.loads((out / "sentences.json").read_text())


def timing(out: Path, threads: int, count: int) -> None:
    torch.set_num_threads(threads)
    parser, sentences = load(out)
    with torch.inference_mode():
        start = time.perf_counter()
        for words in sentences[:count] + sentences[-3:]:
            eager_parse(parser, words)
        whole = time.perf_counter() - start
        start = time.perf_counter()
        eager_parse(parser, sentences[-1])
        alone = time.perf_counter() - start
    print(json.dumps({"all": whole, "long": alone}))


def peak(out: Path, which: str) -> None:
    torch.set_num_threads(1)
    parser, sentences = load(out)
    chosen = sentences if which == "all" else sentences[-1:]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with torch.inference_mode():
        for words in chosen:
            eager_parse(parser, words)
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)


def main(argv):
    if argv[0] == "data":
        write_data(Path(argv[1]))
    elif argv[0] == "time":
        timing(Path(argv[1]), int(argv[2]), int(argv[3]))
    else:
        peak(Path(argv[1]), argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
