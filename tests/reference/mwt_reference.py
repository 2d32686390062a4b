"""Eager PyTorch reference of the MWT split classifier, used to check the C++
engine numerically.

It reads an "mwt" bundle directly (manifest, assets JSON, raw tensor file) and
runs the classifier with torch modules as the model is described: the ids
2, one id per code point (1 when "_unit2id" lacks it), 3; nn.Embedding; a
bidirectional nn.LSTM (batch first, zero initial state); Linear, ReLU,
Linear; a boundary before code point i when the score of class 1 at position
i + 1 is strictly above that of class 0; the token rebuilt with a space
before every boundary and trimmed of leading and trailing spaces. One token
at a time, as the model is defined. Nothing here is shared with the C++ code.

Command line:

    mwt_reference.py REQUEST.json RESULT.json

REQUEST is {"jobs": [...]}; RESULT is {"jobs": [...]}, one result per job:

  {"bundle": DIR, "tokens": [...]} or {"bundle": DIR, "random": N, "seed": S}
      -> {"tokens", "pieces", "margins", "float64_gap"}: "margins" holds
         per token the smallest |score 1 - score 0| over the positions that
         are read (null for the empty token); "float64_gap" how far any
         token's differences score 1 - score 0 lie from the float64 twin's
         (bundle_reference)
  {"kind": "process", "bundle": DIR, "sentences": [[[text, flagged], ...], ...],
   "repeat": R}
      -> {"seconds": best of R, "words": word count}: the document rewrite
         in plain Python, flagged tokens classified one at a time
"""

from __future__ import annotations

import json
import random
import sys
import time
from pathlib import Path

import torch
from torch import nn
import bundle_reference  # noqa: E402

NUMPY_TYPES = {"float32": "<f4", "int64": "<i8"}


def load_bundle(path):
    _, assets, tensors = bundle_reference.read_bundle(path)
    return assets, tensors


class SplitClassifier:
    def __init__(self, bundle_dir):
        assets, t = load_bundle(bundle_dir)
        cfg = assets["config"]
        self.unit2id = assets["vocab"]["_unit2id"]
        emb = t["embedding.weight"]
        self.embedding = nn.Embedding(emb.shape[0], emb.shape[1], _weight=emb.clone())
        self.encoder = nn.LSTM(emb.shape[1], cfg["hidden_dim"] // 2, cfg["num_layers"], bidirectional=True,
                               batch_first=True)
        with torch.no_grad():
            for name, param in self.encoder.named_parameters():
                param.copy_(t["encoder." + name])
        w0, w2 = t["output_layer.0.weight"], t["output_layer.2.weight"]
        self.head = nn.Sequential(nn.Linear(w0.shape[1], w0.shape[0]), nn.ReLU(), nn.Linear(w2.shape[1], w2.shape[0]))
        with torch.no_grad():
            self.head[0].weight.copy_(w0)
            self.head[0].bias.copy_(t["output_layer.0.bias"])
            self.head[2].weight.copy_(w2)
            self.head[2].bias.copy_(t["output_layer.2.bias"])
        self.encoder.eval()

    def differences(self, token):
        """Score 1 - score 0 at every position of the token's ids."""
        ids = torch.tensor([[2] + [self.unit2id.get(c, 1) for c in token] + [3]])
        output, _ = self.encoder(self.embedding(ids))
        logits = self.head(output)[0]
        return logits[:, 1] - logits[:, 0]

    def classify(self, token):
        chars = list(token)
        diff = self.differences(token)
        text = ""
        for i, c in enumerate(chars):
            if diff[i + 1].item() > 0:
                text += " "
            text += c
        margin = diff[1 : len(chars) + 1].abs().min().item() if chars else None
        return text.strip(" "), margin


def random_tokens(units, count, seed):
    rng = random.Random(seed)
    pool = list(units) + ["\u00e9", "\u4e2d", " "]  # units outside the vocabulary too
    return ["".join(rng.choice(pool) for _ in range(rng.randint(0, 12))) for _ in range(count)]


def process_document(model, sentences):
    """Each flagged token gets the words of its expansion (one word when it
    splits nothing); the words of every sentence are numbered from 1."""
    result = []
    for sentence in sentences:
        r, tokens = 0, []
        for text, flagged in sentence:
            r += 1
            pieces = [text]
            if flagged:
                pieces = [p for p in model.classify(text)[0].split(" ") if p]
                if len(pieces) < 2:
                    pieces = [text]
            words = [{"id": r + k, "text": piece} for k, piece in enumerate(pieces)]
            tokens.append({"text": text, "id": [r, r + len(pieces) - 1], "words": words})
            r += len(pieces) - 1
        result.append(tokens)
    return result


def process_job(job):
    model = SplitClassifier(job["bundle"])
    best, words = None, 0
    for _ in range(max(job.get("repeat", 1), 1)):
        start = time.perf_counter()
        document = process_document(model, job["sentences"])
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
        words = sum(len(t["words"]) for s in document for t in s)
    return {"seconds": best, "words": words}


def run_job(job):
    if job.get("kind") == "process":
        return process_job(job)
    model = SplitClassifier(job["bundle"])
    tokens = job.get("tokens")
    if tokens is None:
        units = [u for u in model.unit2id if not u.startswith("<")]
        tokens = random_tokens(units, job["random"], job.get("seed", 0))
    results = [model.classify(token) for token in tokens]
    with bundle_reference.float64_twin():
        twin = SplitClassifier(job["bundle"])
        exact = [twin.differences(token) for token in tokens]
    gap = bundle_reference.float64_gap([model.differences(token) for token in tokens], exact)
    return {"tokens": tokens, "pieces": [p for p, _ in results], "margins": [m for _, m in results],
            "float64_gap": gap}


def main(argv):
    request = json.loads(Path(argv[0]).read_text(encoding="utf-8"))
    torch.set_num_threads(request.get("threads", 1))
    with torch.inference_mode():
        results = [run_job(job) for job in request["jobs"]]
    Path(argv[1]).write_text(json.dumps({"jobs": results}, ensure_ascii=False), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
