"""Eager PyTorch reference of the POS tagger, used to check the C++ engine
numerically.

It reads a "pos" bundle directly (manifest, assets JSON, raw tensor file) and
computes, sentence by sentence and word by word, what the tagger specifies:
vocabulary keys with the punctuation rule, the character LSTM run on every
word alone (batch of one) with sigmoid attention pooling, or the forward and
backward character language models, the highway BiLSTM layers, and the UPOS,
XPOS and feature heads with F.bilinear. Nothing is shared with the C++ code.

Command line:

    pos_reference.py REQUEST.json RESULT.json
        REQUEST: {"cases": [{"bundle": DIR, "sentences": [[word, ...], ...]}]}
        (a bundle with a transformer: the case also holds "transformer":
        {"packages_dir", "package"} and "encodings": per sentence the
        transformer tokenizer's [ids, word_ids] with special tokens)
        RESULT:  {"cases": [{"encoded": [rows per sentence],
                             "tags": [[[upos, xpos, feats], ...] per sentence],
                             "float64_gap": [{"encoded", "scores"} per sentence],
                             "margin": [float per sentence]}]}
        An empty sentence gets no rows, no tags, gaps 0 and margin null.
        float64_gap: how far the encoder rows and the class scores of every
        head lie from the float64 twin's (bundle_reference); margin: the
        smallest lead of a chosen class's score (bundle_reference.lead).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import torch
import torch.nn.functional as F

sys.path.insert(0, str(Path(__file__).resolve().parent))
import transformer_reference  # noqa: E402
import bundle_reference  # noqa: E402

QUESTION = ["?", "\uff1f", "\ufe16", "\ufe56", "\u2047"]
EXCLAMATION = ["!", "\uff01", "\ufe15", "\ufe57", "\u203c"]


def load_bundle(path):
    _, assets, tensors = bundle_reference.read_bundle(path)
    return assets, tensors


make_lstm = bundle_reference.make_lstm


def normalize(word):
    points = list(word)
    if len(points) >= 2 and all(p in QUESTION or p in EXCLAMATION for p in points):
        return "?" if points[0] in QUESTION else "!"
    return word


class CharLM:
    """Forward or backward character language model: one row per word, the
    top layer's output at the space after the word."""

    def __init__(self, assets, tensors, prefix):
        self.vocab = assets["vocab"]["_unit2id"]
        self.forward = assets["is_forward_lm"]
        self.embedding = tensors[prefix + "char_emb.weight"]
        self.state = (tensors[prefix + "charlstm_h_init"], tensors[prefix + "charlstm_c_init"])
        self.lstm = make_lstm(tensors, prefix + "charlstm.lstm.", assets["config"]["char_num_layers"], False)

    def rows(self, words):
        words = list(words) if self.forward else [w[::-1] for w in reversed(words)]
        unknown = self.vocab.get("<UNK>", 1)
        ids, positions = [self.vocab["\n"]], []
        for word in words:
            ids += [self.vocab.get(c, unknown) for c in word] + [self.vocab[" "]]
            positions.append(len(ids) - 1)
        if not self.forward:
            positions.reverse()
        out, _ = self.lstm(F.embedding(torch.tensor([ids]), self.embedding), self.state)
        return out[0, positions]


class Tagger:
    def __init__(self, path, transformer=None):
        assets, self.t = load_bundle(path)
        self.transformer = None
        if transformer is not None:
            self.transformer = transformer_reference.WordRows(
                assets["transformer"], transformer["packages_dir"], transformer["package"])
        cfg, vocab = assets["config"], assets["vocab"]
        self.word_vocab = vocab["word"]["_unit2id"]
        self.lower = vocab["word"].get("lower", False)
        self.char_vocab = vocab["char"]["_unit2id"]
        self.pretrain_vocab = assets["pretrain_vocab"]["_unit2id"]
        self.upos = vocab["upos"]["_id2unit"]
        self.composite = vocab["_key2class"]["xpos"] == "XPOSVocab"
        if self.composite:
            self.sep = vocab["xpos"]["sep"]
            units = vocab["xpos"]["_id2unit"]
            self.xpos = [units[k] for k in sorted(units, key=int)]
        else:
            self.xpos = vocab["xpos"]["_id2unit"]
            self.ignore = bool(vocab["xpos"].get("ignore"))
        self.feats = sorted(vocab["feats"]["_id2unit"].items())
        self.use_charlm = bool(cfg.get("charlm"))
        self.transform = cfg.get("charlm_transform_dim") or 0
        self.layers = cfg["num_layers"]
        if self.use_charlm:
            self.charlms = [CharLM(assets["charlm"][d], self.t, f"charmodel_{d}.") for d in ("forward", "backward")]
        else:
            self.char_lstm = make_lstm(self.t, "charmodel.charlstm.lstm.", 1, False)
        self.tagger = [make_lstm(self.t, f"taggerlstm.lstm.{k}.lstm.", 1, True) for k in range(self.layers)]

    def char_representation(self, word):
        ids = torch.tensor([[self.char_vocab.get(c, 1) for c in word]])
        state = (self.t["charmodel.charlstm_h_init"], self.t["charmodel.charlstm_c_init"])
        out, _ = self.char_lstm(F.embedding(ids, self.t["charmodel.char_emb.weight"]), state)
        attention = torch.sigmoid(F.linear(out, self.t["charmodel.char_attn.weight"]))
        return (out * attention).sum(1).squeeze(0)

    def inputs(self, words, encoding=None):
        t = self.t
        normalized = [normalize(w) for w in words]
        word_ids = [self.word_vocab.get(m.lower() if self.lower else m, 1) for m in normalized]
        pre_ids = [self.pretrain_vocab.get(m.lower().replace(" ", "\u00a0"), 1) for m in normalized]
        blocks = [F.embedding(torch.tensor(word_ids), t["word_emb.weight"]),
                  F.linear(F.embedding(torch.tensor(pre_ids), t["pretrained_emb.weight"]), t["trans_pretrained.weight"])]
        if self.use_charlm:
            for lm, direction in zip(self.charlms, ("forward", "backward")):
                rows = lm.rows(words)
                if self.transform > 0:
                    rows = F.linear(rows, t[f"charmodel_{direction}_transform.weight"])
                blocks.append(rows)
        else:
            reps = torch.stack([self.char_representation(m) for m in normalized])
            blocks.append(F.linear(reps, t["trans_char.weight"]))
        if self.transformer is not None:
            blocks.append(self.transformer(*encoding, len(words), keep_endpoints=False))
        return torch.cat(blocks, 1).unsqueeze(0)

    def encode(self, words, encoding=None):
        x = self.inputs(words, encoding)
        for k, lstm in enumerate(self.tagger):
            state = (self.t["taggerlstm_h_init"][2 * k : 2 * k + 2], self.t["taggerlstm_c_init"][2 * k : 2 * k + 2])
            out, _ = lstm(x, state)
            highway = torch.tanh(F.linear(x, self.t[f"taggerlstm.highway.{k}.weight"], self.t[f"taggerlstm.highway.{k}.bias"]))
            gate = torch.sigmoid(F.linear(x, self.t[f"taggerlstm.gate.{k}.weight"], self.t[f"taggerlstm.gate.{k}.bias"]))
            x = out + gate * highway
        return x.squeeze(0)

    def biaffine(self, a, b, prefix):
        ones = torch.ones(a.shape[0], 1)
        return F.bilinear(torch.cat([a, ones], 1), torch.cat([b, ones], 1), self.t[prefix + ".weight"], self.t[prefix + ".bias"])

    def head_scores(self, encoded, upos=None):
        """(UPOS ids, UPOS scores, [XPOS scores], [feature scores]); the XPOS
        and feature heads read the embedding of the given UPOS ids, by
        default of the UPOS head's own choice."""
        t = self.t
        upos_hidden = F.relu(F.linear(encoded, t["upos_hid.weight"], t["upos_hid.bias"]))
        upos_scores = F.linear(upos_hidden, t["upos_clf.weight"], t["upos_clf.bias"])
        if upos is None:
            upos = upos_scores.argmax(1)
        emb = F.embedding(upos, t["upos_emb.weight"])
        xpos_hidden = F.relu(F.linear(encoded, t["xpos_hid.weight"], t["xpos_hid.bias"]))
        feats_hidden = F.relu(F.linear(encoded, t["ufeats_hid.weight"], t["ufeats_hid.bias"]))
        if self.composite:
            xpos = [self.biaffine(xpos_hidden, emb, f"xpos_clf.{i}.W_bilin") for i in range(len(self.xpos))]
        else:
            xpos = [self.biaffine(xpos_hidden, emb, "xpos_clf.W_bilin")]
        feats = [self.biaffine(feats_hidden, emb, f"ufeats_clf.{j}.W_bilin") for j in range(len(self.feats))]
        return upos, upos_scores, xpos, feats

    def tag(self, encoded):
        upos, _, xpos, feats = self.head_scores(encoded)
        xpos = [scores.argmax(1) for scores in xpos]
        feats = [scores.argmax(1) for scores in feats]
        tags = []
        for k in range(encoded.shape[0]):
            if self.composite:
                pieces = [self.xpos[i][int(ids[k])] for i, ids in enumerate(xpos) if int(ids[k]) != 2]
                x = self.sep.join(pieces) or "_"
            else:
                i = int(xpos[0][k])
                x = "_" if i == 2 and self.ignore else self.xpos[i]
            f = "|".join(f"{name}={units[int(ids[k])]}" for (name, units), ids in zip(self.feats, feats) if int(ids[k]) != 2)
            tags.append([self.upos[int(upos[k])], x, f or "_"])
        return tags


def smallest_margin(scores):
    """The smallest lead of a row's best score (bundle_reference.lead)."""
    return min(bundle_reference.lead(row) for rows in scores for row in rows)


def run_case(case):
    tagger = Tagger(case["bundle"], case.get("transformer"))
    with bundle_reference.float64_twin():
        twin = Tagger(case["bundle"], case.get("transformer"))
    encoded, tags, gaps, margins = [], [], [], []
    encodings = case.get("encodings", [None] * len(case["sentences"]))
    for words, encoding in zip(case["sentences"], encodings):
        if not words:
            encoded.append([])
            tags.append([])
            gaps.append({"encoded": 0.0, "scores": 0.0})
            margins.append(None)
            continue
        rows = tagger.encode(words, encoding)
        encoded.append(rows.tolist())
        tags.append(tagger.tag(rows))
        upos, *scores = tagger.head_scores(rows)
        with bundle_reference.float64_twin():
            exact_rows = twin.encode(words, encoding)
            _, *exact_scores = twin.head_scores(exact_rows, upos)
        gaps.append({"encoded": bundle_reference.float64_gap(rows, exact_rows),
                     "scores": bundle_reference.float64_gap(scores, exact_scores)})
        margins.append(bundle_reference.as_margin(smallest_margin([scores[0], *scores[1], *scores[2]])))
    return {"encoded": encoded, "tags": tags, "float64_gap": gaps, "margin": margins}


def main(argv):
    request = json.loads(Path(argv[0]).read_text(encoding="utf-8"))
    torch.set_num_threads(1)
    with torch.no_grad():
        result = {"cases": [run_case(case) for case in request["cases"]]}
    Path(argv[1]).write_text(json.dumps(result, ensure_ascii=False), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
