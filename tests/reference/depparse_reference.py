"""Eager PyTorch reference of the dependency parser's sentence encoder, joined
to the scoring and decoding reference (depparse_scoring_reference.py) for the
rest of the parse.

It reads a "depparse" bundle directly (manifest, assets JSON, raw tensor
file) and computes, sentence by sentence and word by word, what the parser
specifies: a ROOT row (identifier 3 everywhere, character ids [3], "\\n" for
the character language models), vocabulary keys with the punctuation rule,
lemma and part-of-speech keys (composite XPOS split on its separator), the
character LSTM run on every word alone with sigmoid attention pooling or the
forward and backward character language models (charlm_reference.py), the
transformer rows of the package's eager module with the leading endpoint row
as the ROOT row (transformer_reference.py), the blocks in the order
pretrained, word, lemma, POS, POS, character part, transformer, and the
highway BiLSTM layers with nn.LSTM. Nothing is shared with the C++ code.

    depparse_reference.py REQUEST.json
        REQUEST: {"out": DIR, "cases": [{"name", "bundle", "sentences":
                  [[{"text", "lemma", "upos", "xpos"} (null: absent), ...], ...]}]}
        (a bundle with a transformer: the case also holds "transformer":
        {"packages_dir", "package"} and "encodings": per sentence the
        transformer tokenizer's [ids, word_ids] with special tokens)
        writes a bundle at DIR with tensors "<name>.<s>.inputs", ".encoded",
        ".arcs", ".relations" per non-empty sentence s (the parser's dtype),
        and assets {"config": {"cases": [{"name", "parses": [{"heads",
        "deprels"} | {"error"} | null per sentence], "float64_gaps":
        [{"inputs", "encoded", "arcs", "relations"} | null per sentence]}]}}:
        how far each tensor lies from the float64 twin's (bundle_reference).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import torch
import torch.nn.functional as F
from torch import nn

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "fixtures"))
import bundle_reference  # noqa: E402
import bundle_writer  # noqa: E402
import charlm_reference  # noqa: E402
import depparse_scoring_reference as scoring  # noqa: E402
import transformer_reference  # noqa: E402

QUESTION = ["?", "\uff1f", "\ufe16", "\ufe56", "\u2047"]
EXCLAMATION = ["!", "\uff01", "\ufe15", "\ufe57", "\u203c"]
ROOT = 3


def normalize(word):
    points = list(word)
    if len(points) >= 2 and all(p in QUESTION or p in EXCLAMATION for p in points):
        return "?" if points[0] in QUESTION else "!"
    return word


def make_lstm(tensors, prefix, bidirectional):
    """A one-layer nn.LSTM whose parameters are the bundle's tensors under prefix."""
    weight = tensors[prefix + "weight_ih_l0"]
    lstm = nn.LSTM(weight.shape[1], tensors[prefix + "weight_hh_l0"].shape[1], bidirectional=bidirectional,
                   batch_first=True).to(weight.dtype)
    lstm.load_state_dict({name: tensors[prefix + name] for name, _ in lstm.named_parameters()})
    return lstm.eval()


class Parser:
    def __init__(self, path, transformer=None):
        assets, self.t = charlm_reference.load_tensors(Path(path))
        self.transformer = None
        if transformer is not None:
            self.transformer = transformer_reference.WordRows(
                assets["transformer"], transformer["packages_dir"], transformer["package"])
        cfg, vocab = assets["config"], assets["vocab"]
        self.word_vocab = vocab["word"]["_unit2id"]
        self.word_lower = vocab["word"].get("lower", False)
        self.lemma_vocab = vocab["lemma"]["_unit2id"]
        self.lemma_lower = vocab["lemma"].get("lower", False)
        self.char_vocab = vocab["char"]["_unit2id"]
        self.upos_vocab = vocab["upos"]["_unit2id"]
        self.pretrain_vocab = assets["pretrain_vocab"]["_unit2id"]
        self.relations = vocab["deprel"]["_id2unit"]
        self.composite = vocab["_key2class"]["xpos"] == "XPOSVocab"
        if self.composite:
            self.sep = vocab["xpos"]["sep"]
            units = vocab["xpos"]["_unit2id"]
            self.components = [units[k] for k in sorted(units, key=int)]
        else:
            self.xpos_vocab = vocab["xpos"]["_unit2id"]
            self.ignore = bool(vocab["xpos"].get("ignore"))
        self.flags = {"linearization": bool(cfg.get("linearization")), "distance": bool(cfg.get("distance"))}
        self.use_charlm = bool(cfg.get("charlm"))
        if self.use_charlm:
            self.charlms = [charlm_reference.CharLM(assets["charlm"][d], self.t, f"charmodel_{d}.")
                            for d in ("forward", "backward")]
        else:
            self.char_lstm = make_lstm(self.t, "charmodel.charlstm.lstm.", False)
        self.layers = [make_lstm(self.t, f"parserlstm.lstm.{k}.lstm.", True) for k in range(cfg["num_layers"])]

    def xpos_ids(self, xpos):
        """One id per list: the plain XPOS list, or one per component."""
        if not self.composite:
            return [2 if xpos == "_" and self.ignore else self.xpos_vocab.get(xpos, 1)]
        if xpos == "_":
            return [2] * len(self.components)
        pieces = xpos.split(self.sep) if self.sep else list(xpos)
        return [vocab.get(pieces[c], 1) if c < len(pieces) else 2 for c, vocab in enumerate(self.components)]

    def char_representation(self, ids):
        embedded = F.embedding(torch.tensor([ids]), self.t["charmodel.char_emb.weight"])
        out, _ = self.char_lstm(embedded, (self.t["charmodel.charlstm_h_init"], self.t["charmodel.charlstm_c_init"]))
        attention = torch.sigmoid(F.linear(out, self.t["charmodel.char_attn.weight"]))
        return (out * attention).sum(1).squeeze(0)

    def inputs(self, words, encoding=None):
        t = self.t
        lists = {"word": [ROOT], "pretrained": [ROOT], "lemma": [ROOT], "upos": [ROOT],
                 "xpos": [[ROOT] for _ in (self.components if self.composite else [None])]}
        characters = [[ROOT]]
        for w in words:
            m = normalize(w["text"])
            lists["word"].append(self.word_vocab.get(m.lower() if self.word_lower else m, 1))
            lemma = w["lemma"] if w["lemma"] is not None else "_"
            lists["lemma"].append(self.lemma_vocab.get(lemma.lower() if self.lemma_lower else lemma, 1))
            lists["upos"].append(self.upos_vocab.get(w["upos"] if w["upos"] is not None else "_", 1))
            for ids, value in zip(lists["xpos"], self.xpos_ids(w["xpos"] if w["xpos"] is not None else "_")):
                ids.append(value)
            lists["pretrained"].append(self.pretrain_vocab.get(m.lower().replace(" ", "\u00a0"), 1))
            characters.append([self.char_vocab.get(c, 1) for c in m])

        def embed(ids, name):
            return F.embedding(torch.tensor(ids), t[name])

        pos = embed(lists["upos"], "upos_emb.weight")
        names = [f"xpos_emb.{c}.weight" for c in range(len(lists["xpos"]))] if self.composite else ["xpos_emb.weight"]
        for ids, name in zip(lists["xpos"], names):
            pos = pos + embed(ids, name)
        blocks = [F.linear(embed(lists["pretrained"], "pretrained_emb.weight"), t["trans_pretrained.weight"]),
                  embed(lists["word"], "word_emb.weight"), embed(lists["lemma"], "lemma_emb.weight"), pos, pos]
        if self.use_charlm:
            texts = ["\n"] + [w["text"] for w in words]
            blocks += [lm.encode(texts) for lm in self.charlms]
        else:
            reps = torch.stack([self.char_representation(ids) for ids in characters])
            blocks.append(F.linear(reps, t["trans_char.weight"]))
        if self.transformer is not None:
            # The leading endpoint row is the ROOT row; the trailing one is dropped.
            blocks.append(self.transformer(*encoding, len(words), keep_endpoints=True)[:-1])
        return torch.cat(blocks, 1).unsqueeze(0)

    def encode(self, x):
        t = self.t
        for k, lstm in enumerate(self.layers):
            state = (t["parserlstm_h_init"][2 * k : 2 * k + 2], t["parserlstm_c_init"][2 * k : 2 * k + 2])
            out, _ = lstm(x, state)
            highway = torch.tanh(F.linear(x, t[f"parserlstm.highway.{k}.weight"], t[f"parserlstm.highway.{k}.bias"]))
            gate = torch.sigmoid(F.linear(x, t[f"parserlstm.gate.{k}.weight"], t[f"parserlstm.gate.{k}.bias"]))
            x = out + gate * highway
        return x


def outputs(parser, words, encoding):
    """The sentence's input rows, encoded rows, arc and relation scores."""
    x = parser.inputs(words, encoding)
    encoded = parser.encode(x)
    return {"inputs": x, "encoded": encoded,
            **dict(zip(("arcs", "relations"), scoring.score_encoded(encoded, parser.t, parser.flags)))}


def run_case(case, tensors):
    parser = Parser(case["bundle"], case.get("transformer"))
    with bundle_reference.float64_twin():
        twin = Parser(case["bundle"], case.get("transformer"))
    scoring.RELATIONS = parser.relations  # the decoder names classes from this list
    parses, gaps = [], []
    encodings = case.get("encodings", [None] * len(case["sentences"]))
    for s, (words, encoding) in enumerate(zip(case["sentences"], encodings)):
        if not words:
            parses.append(None)
            gaps.append(None)
            continue
        ours = outputs(parser, words, encoding)
        with bundle_reference.float64_twin():
            exact = outputs(twin, words, encoding)
        tensors.update({f"{case['name']}.{s}.{key}": value for key, value in ours.items()})
        gaps.append({key: bundle_reference.float64_gap(value, exact[key]) for key, value in ours.items()})
        parses.append(scoring.parse_scored(ours["arcs"], ours["relations"]))
    return {"name": case["name"], "parses": parses, "float64_gaps": gaps}


def main(argv):
    request = json.loads(Path(argv[0]).read_text(encoding="utf-8"))
    torch.set_num_threads(1)
    tensors = {}
    with torch.no_grad():
        cases = [run_case(case, tensors) for case in request["cases"]]
    bundle_writer.write_bundle(request["out"], processor="depparse", config={"cases": cases}, tensors=tensors)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
