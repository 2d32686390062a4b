"""Eager PyTorch reference of the sentence sentiment classifier, used to check
the C++ engine numerically.

It reads a "sentiment" bundle directly (manifest, assets JSON, raw tensor
file), sorts and cuts the sentences into batches by a budget of tokens, builds
each batch's padded input (pretrained and extra embeddings, character language
models, a transformer with a WordPiece tokenizer), and runs the network with
torch.nn modules (nn.LSTM, F.conv2d, F.max_pool2d, F.linear). The character
language models are charlm_reference.py's; the transformer runs the bundle's
compiled package from Python over subword_reference.py's WordPiece pieces, a
word's row being its last piece's. Nothing is shared with the C++ code.

    sentiment_reference.py REQUEST.json RESULT.json
        REQUEST: [{"bundle": DIR, "sentences": [[token, ...], ...], "budget": N}, ...]
        RESULT:  [{"batches": [[sentence index, ...], ...],
                   "logits": [[float, ...] per sentence, in input order],
                   "classes": [int per sentence],
                   "margins": [the best logit's lead (bundle_reference.lead), per sentence],
                   "float64_gap": float}, ...]
        float64_gap: how far any logit lies from the float64 twin's
        (bundle_reference; the transformer's rows are the package's in both).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import torch
import torch.nn.functional as F
from torch import nn

import charlm_reference
import subword_reference
import bundle_reference  # noqa: E402


def load_bundle(path):
    _, assets, tensors = bundle_reference.read_bundle(path)
    return assets, tensors


def lstm_module(tensors, prefix, input_size, hidden):
    lstm = nn.LSTM(input_size, hidden, num_layers=2, bidirectional=True, batch_first=True)
    lstm.load_state_dict({name: tensors[prefix + name] for name in lstm.state_dict()})
    return lstm.eval()


class Transformer:
    def __init__(self, assets, bundle):
        tokenizer = assets["tokenizer"]
        assert tokenizer["type"] == "WordPiece" and assets["model_max_length"] >= 64
        vocab = {}
        for i, token in enumerate(tokenizer["vocabulary"]):
            vocab.setdefault(token.encode(), i)
        self.cfg = {"lowercase": tokenizer["lowercase"], "strip_accents": tokenizer["strip_accents"],
                    "max_chars": tokenizer["max_input_characters_per_word"], "vocab": vocab,
                    "unknown": vocab[tokenizer["unknown_token"].encode()],
                    "prefix": tokenizer["continuing_subword_prefix"].encode()}
        self.ends = vocab[tokenizer["cls_token"].encode()], vocab[tokenizer["sep_token"].encode()]
        self.hidden = assets["hidden_size"]
        self.package = torch._inductor.aoti_load_package(str(Path(bundle) / assets["artifact"]))

    def encode(self, words):
        ids, last = [self.ends[0]], []
        for word in words:
            ids += subword_reference.wordpiece_word(self.cfg, word.encode())
            last.append(len(ids) - 1)
        ids = torch.tensor([ids + [self.ends[1]]])
        return bundle_reference.float32_rows(self.package, ids, torch.ones_like(ids))[0][last]


class Classifier:
    def __init__(self, bundle):
        assets, self.t = load_bundle(bundle)
        self.cfg = cfg = assets["config"]
        self.vocab = assets["pretrain_vocab"]["_unit2id"]
        self.lower = assets["pretrain_vocab"].get("lower", False)
        self.method = cfg["extra_wordvec_method"]
        self.extra = {}
        for j, word in enumerate(assets.get("extra_vocab") or []):
            self.extra.setdefault(word, j)
        self.filters = [(f, 0, False) if isinstance(f, int) else (f[0], f[1], True) for f in cfg["filter_sizes"]]
        # The window counts a 2-D filter's width; padding also reaches the
        # tallest filter, so that every filter fits.
        window = max(w if two_d else h for h, w, two_d in self.filters)
        self.min_length = max([window] + [h for h, _, _ in self.filters])
        self.charlms = [
            (d, charlm_reference.CharLM(assets["charlm"][d], self.t, f"{d}_charlm."))
            for d in ("forward", "backward")
            if cfg.get(f"has_charlm_{d}")
        ]
        self.projection = cfg.get("charlm_projection") or 0
        self.transformer = Transformer(assets["transformer"], bundle) if cfg.get("bert_model") is not None else None
        if cfg.get("bilstm"):
            width = self.t["bilstm.weight_ih_l0"].shape[1]
            self.bilstm = lstm_module(self.t, "bilstm.", width, cfg["bilstm_hidden_dim"])
        else:
            self.bilstm = None

    def pretrained_id(self, token):
        def find(key):
            return self.vocab.get(key.replace(" ", "\u00a0"))

        stored = (lambda s: s.lower()) if self.lower else (lambda s: s)
        keys = [stored(token)]
        if len(token.encode()) > 1 and token.endswith("'"):
            keys.append(stored(token[:-1]))
        keys.append(stored(token.lower()))
        for key in keys:
            if find(key) is not None:
                return find(key)
        return 1

    @staticmethod
    def context(encode, width, batch, length):
        part = torch.zeros(len(batch), length, width)
        for i, tokens in enumerate(batch):
            if tokens:
                part[i, : len(tokens)] = encode(tokens)
        return part

    def projected(self, direction, lm):
        name = f"charmodel_{direction}_projection"
        return lambda tokens: F.linear(lm.encode(tokens), self.t[name + ".weight"], self.t[name + ".bias"])

    def input(self, batch):
        length = max([self.min_length] + [len(s) for s in batch])
        ids = torch.zeros(len(batch), length, dtype=torch.long)
        extra = torch.zeros(len(batch), length, dtype=torch.long)
        for i, tokens in enumerate(batch):
            for j, token in enumerate(tokens):
                ids[i, j] = self.pretrained_id(token)
                extra[i, j] = self.extra.get(token, 1)
        words = F.embedding(ids, self.t["embedding.weight"])
        words = torch.where((ids == 1)[:, :, None], self.t["unk"][None, None, :], words)
        parts = [words]
        if self.method != "NONE":
            extra_rows = F.embedding(extra, self.t["extra_embedding.weight"])
            parts = [words + extra_rows] if self.method == "SUM" else [words, extra_rows]
        for direction, lm in self.charlms:
            if self.projection:
                parts.append(self.context(self.projected(direction, lm), self.projection, batch, length))
            else:
                parts.append(self.context(lm.encode, lm.hidden, batch, length))
        if self.transformer is not None:
            parts.append(self.context(self.transformer.encode, self.transformer.hidden, batch, length))
        return torch.cat(parts, dim=2)

    def logits(self, batch):
        x = self.input(batch)
        if self.bilstm is not None:
            x, _ = self.bilstm(x)
        x = x.unsqueeze(1)
        pooled = []
        for k, (height, width, two_d) in enumerate(self.filters):
            step = width if two_d else x.shape[3]
            y = F.conv2d(x, self.t[f"conv_layers.{k}.weight"], self.t[f"conv_layers.{k}.bias"], stride=(1, step))
            if two_d:
                y = y.transpose(2, 3).reshape(y.shape[0], y.shape[1] * y.shape[3], y.shape[2])
            else:
                y = y.squeeze(3)
            y = F.relu(y)
            pooled.append(F.max_pool2d(y, (self.cfg["maxpool_width"], y.shape[2])).squeeze(2))
        hidden = torch.cat(pooled, dim=1)
        layers = len(self.cfg["fc_shapes"]) + 1
        for j in range(layers):
            hidden = F.linear(hidden, self.t[f"fc_layers.{j}.weight"], self.t[f"fc_layers.{j}.bias"])
            if j + 1 < layers:
                hidden = F.relu(hidden)
        return hidden


def batches(sentences, budget):
    order = sorted(range(len(sentences)), key=lambda i: -len(sentences[i]))
    cut, current, taken = [], [], 0
    for i in order:
        if current and taken + len(sentences[i]) > budget:
            cut.append(current)
            current, taken = [], 0
        current.append(i)
        taken += len(sentences[i])
    return cut + [current] if current else cut


def all_logits(model, sentences, cut):
    logits = [None] * len(sentences)
    with torch.no_grad():
        for batch in cut:
            for i, row in zip(batch, model.logits([sentences[i] for i in batch])):
                logits[i] = row
    return logits


def run(request):
    sentences = request["sentences"]
    cut = batches(sentences, request["budget"])
    logits = all_logits(Classifier(request["bundle"]), sentences, cut)
    with bundle_reference.float64_twin():
        exact = all_logits(Classifier(request["bundle"]), sentences, cut)
    return {
        "batches": cut,
        "logits": [row.tolist() for row in logits],
        "classes": [int(torch.argmax(row)) for row in logits],
        "margins": [bundle_reference.as_margin(bundle_reference.lead(row)) for row in logits],
        "float64_gap": bundle_reference.float64_gap(logits, exact),
    }


def main(argv):
    torch.set_num_threads(1)  # as the tests run the compiled package
    requests = json.loads(Path(argv[0]).read_text(encoding="utf-8"))
    Path(argv[1]).write_text(json.dumps([run(r) for r in requests]), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
