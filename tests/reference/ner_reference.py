"""Eager PyTorch reference of the entity tagger, computed step by step from
the model's description: it reads an ner bundle's files itself and tags one
sentence at a time, running the character LSTM once per token.

    python ner_reference.py REQUEST.json
        REQUEST: {"bundles": [bundle, ...], "sentences": [[token, ...], ...]};
        prints per bundle, per sentence {"tags", "inputs", "scores",
        "float64_gap": {"inputs", "scores"}, "path_margin"}
        (inputs: the tagger input rows [n, D]; scores: the predicted
        column's emission rows [n, K]; float64_gap: how far each lies from
        the float64 twin's, see bundle_reference; path_margin: the best
        path's score less the second best's). A bundle is its directory, or, with
        a transformer, {"dir", "packages_dir", "package", "encodings"}:
        the compiled package's name and, per sentence, the transformer
        tokenizer's [ids, word_ids] with special tokens.
    python ner_reference.py --time BUNDLE SENTENCES.json THREADS
        prints the seconds that tagging all sentences takes
"""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path

import numpy as np
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
import transformer_reference  # noqa: E402
import bundle_reference  # noqa: E402


def load_bundle(directory: Path):
    _, assets, tensors = bundle_reference.read_bundle(directory)
    return assets, tensors


def lower(text: str) -> str:
    # Full lower-case mapping code point by code point (no final sigma).
    return "".join(ch.lower() for ch in text)


make_lstm = bundle_reference.make_lstm


class CharLM:
    """A character language model: the top layer's output at the space after each word."""

    def __init__(self, tensors, prefix, assets):
        self.forward = assets["is_forward_lm"]
        self.vocab = assets["vocab"]["_unit2id"]
        self.unknown = self.vocab.get("<UNK>", 1)
        self.emb = tensors[prefix + "char_emb.weight"]
        self.h0 = tensors[prefix + "charlstm_h_init"]
        self.c0 = tensors[prefix + "charlstm_c_init"]
        self.lstm = make_lstm(tensors, prefix + "charlstm.lstm.", assets["config"]["char_num_layers"], False)

    def encode(self, words):
        if not self.forward:
            words = [w[::-1] for w in reversed(words)]
        ids, positions = [self.vocab["\n"]], []
        for word in words:
            ids += [self.vocab.get(ch, self.unknown) for ch in word]
            ids.append(self.vocab[" "])
            positions.append(len(ids) - 1)
        if not self.forward:
            positions.reverse()
        out, _ = self.lstm(self.emb[torch.tensor([ids])], (self.h0, self.c0))
        return out[0, positions]


class Tagger:
    def __init__(self, directory: Path, transformer=None):
        """transformer: {"packages_dir", "package"} of a bundle with one."""
        assets, t = load_bundle(directory)
        self.t = t
        cfg = assets["config"]

        def flag(key, default=False):
            return default if cfg.get(key) is None else cfg[key]

        self.lowercase = flag("lowercase", True)
        self.char_lowercase = flag("char_lowercase")
        self.input_transform = flag("input_transform")
        self.connect = flag("connect_output_layers")
        self.charlm = flag("charlm")
        self.predict = cfg.get("predict_tagset") or 0
        vocab = assets["vocab"]
        self.words = vocab["word"]["_unit2id"]
        self.deltas = vocab["delta"]["_unit2id"]
        self.chars = vocab["char"]["_unit2id"]
        self.word_lower = vocab["word"].get("lower", False)
        self.delta_lower = vocab["delta"].get("lower", False)
        columns = vocab["tag"]["_id2unit"]
        self.columns = [columns[k] for k in sorted(columns, key=int)]
        if self.charlm:
            self.charlms = [CharLM(t, f"charmodel_{s}.", assets["charlm"][s]) for s in ("forward", "backward")]
        else:
            self.char_layers = cfg["char_num_layers"]
            self.char_lstm = make_lstm(t, "charmodel.charlstm.lstm.", self.char_layers, True)
        self.tagger = make_lstm(t, "taggerlstm.lstm.", cfg["num_layers"], True)
        self.transformer = None
        if transformer is not None:
            self.transformer = transformer_reference.WordRows(
                assets["transformer"], transformer["packages_dir"], transformer["package"])

    def ids(self, token):
        key = lower(token) if self.lowercase else token
        word_key = lower(key) if self.word_lower else key
        word = self.words.get(word_key.replace(" ", "\u00a0"), 1)
        delta = self.deltas.get(lower(key) if self.delta_lower else key)
        if delta is None or delta == 1:
            delta = 1 if word == 1 else 0
        return word, delta

    def char_vector(self, token):
        text = lower(token) if self.char_lowercase else token
        ids = torch.tensor([[self.chars.get(ch, 1) for ch in text]])
        h0, c0 = self.t["charmodel.charlstm_h_init"], self.t["charmodel.charlstm_c_init"]
        _, (h, _) = self.char_lstm(self.t["charmodel.char_emb.weight"][ids], (h0, c0))
        last = 2 * self.char_layers - 2
        return h[last : last + 2].transpose(0, 1).reshape(-1)

    def inputs(self, tokens, encoding=None):
        ids = [self.ids(token) for token in tokens]
        word = torch.tensor([i[0] for i in ids])
        delta = torch.tensor([i[1] for i in ids])
        parts = [self.t["word_emb.weight"][word] + self.t["delta_emb.weight"][delta]]
        if self.transformer is not None:
            parts.append(self.transformer(*encoding, len(tokens), keep_endpoints=False))
        if self.charlm:
            words = [lower(token) if self.char_lowercase else token for token in tokens]
            parts += [model.encode(words) for model in self.charlms]
        else:
            parts.append(torch.stack([self.char_vector(token) for token in tokens]))
        x = torch.cat(parts, 1)
        if self.input_transform:
            x = x @ self.t["input_transform.weight"].T + self.t["input_transform.bias"]
        return x

    def scores(self, x):
        h0, c0 = self.t["taggerlstm_h_init"], self.t["taggerlstm_c_init"]
        out = self.tagger(x.unsqueeze(0), (h0, c0))[0][0]
        heads = range(self.predict + 1) if self.connect else [self.predict]
        scores = None
        for c in heads:
            inp = out if scores is None else torch.cat([out, scores], 1)
            scores = inp @ self.t[f"tag_clfs.{c}.weight"].T + self.t[f"tag_clfs.{c}.bias"]
        return scores

    def forward(self, tokens, encoding=None):
        """(input rows, emission scores); encoding: the transformer
        tokenizer's [ids, word_ids] of the tokens."""
        with torch.inference_mode():
            x = self.inputs(tokens, encoding)
            return x, self.scores(x)

    def transitions(self):
        return self.t[f"crits.{self.predict}._transitions"].float().numpy()

    def tag(self, tokens, encoding=None):
        x, scores = self.forward(tokens, encoding)
        path = viterbi(scores.float().numpy(), self.transitions())
        column = self.columns[self.predict]
        return repair([column[max(i, 4)] for i in path]), x, scores


def first_best(values, axis):
    """Index of the first maximum; NaN never wins (all NaN: 0)."""
    return np.where(np.isnan(values), np.float32(-np.inf), values).argmax(axis)


def viterbi(emissions, transitions):
    """Best path without start or end scores, float32 sums (score + transition) + emission."""
    n, k = emissions.shape
    score = emissions[0]
    back = np.zeros((n, k), dtype=np.int64)
    for t in range(1, n):
        candidates = score[:, None] + transitions  # [previous tag, current tag]
        back[t] = first_best(candidates, 0)
        score = candidates[back[t], np.arange(k)] + emissions[t]
    path = [int(first_best(score, 0))]
    for t in range(n - 1, 0, -1):
        path.append(int(back[t, path[-1]]))
    return path[::-1]


def path_margin(emissions, transitions):
    """The best path's score less the second best's, in float64: a path
    other than the best differs from it at some token t in some tag k, and
    the best path through (t, k) scores the forward and backward maxima of
    (t, k) together."""
    emissions, transitions = emissions.astype(np.float64), transitions.astype(np.float64)
    n, k = emissions.shape
    if k == 1:
        return None  # one path only
    forward, backward = np.empty((n, k)), np.zeros((n, k))
    forward[0] = emissions[0]
    for t in range(1, n):
        forward[t] = (forward[t - 1][:, None] + transitions).max(0) + emissions[t]
    for t in range(n - 2, -1, -1):
        backward[t] = (transitions + (emissions[t + 1] + backward[t + 1])[None, :]).max(1)
    through = forward + backward
    best = through[0].max()
    path = through.argmax(1)
    through[np.arange(n), path] = -np.inf
    return float(best - through.max())


def repair(tags):
    def typed(tag, prefixes, x):
        return any(tag == p + x for p in prefixes)

    for i, tag in enumerate(tags):
        if len(tag) >= 2 and tag.startswith("I-"):
            x = tag[2:]
            if i == len(tags) - 1 or not typed(tags[i + 1], ("I-", "E-"), x):
                tags[i] = "E-" + x
            if i == 0 or not typed(tags[i - 1], ("B-", "I-"), x):
                tags[i] = "B-" + x
    for i, tag in enumerate(tags):
        x = tag[2:]
        if tag.startswith("B-") and (i == len(tags) - 1 or not typed(tags[i + 1], ("I-", "E-"), x)):
            tags[i] = "S-" + x
        elif tag.startswith("E-") and (i == 0 or not typed(tags[i - 1], ("B-", "I-"), x)):
            tags[i] = "S-" + x
    return tags


def main(argv):
    if argv[0] == "--time":
        tagger = Tagger(Path(argv[1]))
        sentences = json.loads(Path(argv[2]).read_text())
        torch.set_num_threads(int(argv[3]))
        start = time.perf_counter()
        for tokens in sentences:
            tagger.tag(tokens)
        print(time.perf_counter() - start)
        return 0
    torch.set_num_threads(1)
    request = json.loads(Path(argv[0]).read_text())
    out = []
    for bundle in request["bundles"]:
        if isinstance(bundle, str):
            bundle = {"dir": bundle}
        transformer = bundle if "package" in bundle else None
        tagger = Tagger(Path(bundle["dir"]), transformer)
        with bundle_reference.float64_twin():
            twin = Tagger(Path(bundle["dir"]), transformer)
        encodings = bundle.get("encodings", [None] * len(request["sentences"]))
        results = []
        for tokens, encoding in zip(request["sentences"], encodings):
            tags, x, scores = tagger.tag(tokens, encoding)
            with bundle_reference.float64_twin():
                exact = twin.forward(tokens, encoding)
            results.append({"tags": tags, "inputs": x.tolist(), "scores": scores.tolist(),
                            "float64_gap": {"inputs": bundle_reference.float64_gap(x, exact[0]),
                                            "scores": bundle_reference.float64_gap(scores, exact[1])},
                            "path_margin": path_margin(scores.float().numpy(), tagger.transitions())})
        out.append(results)
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
