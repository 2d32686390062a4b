"""Eager PyTorch reference of the in-order constituency parser, for the tests.

Reads a "constituency" bundle (manifest, assets, tensor file) on its own and
parses one sentence at a time, transition by transition: the word encoder
(embeddings, character language models, bidirectional word LSTM, ReLU
projection, sentence sentinels), the transition and constituent stack LSTMs
(one step per push, pops free), the ReLU scorer, the stable ranking of the
transition table (NaN scores after every number), the legality rules, Shift /
Open / Close with MAX composition, and the end test.

    constituency_reference.py --jobs JOBS.json     (a list of {"bundle", "input", "output"})
    constituency_reference.py --time BUNDLE INPUT.json [--repeat R] [--threads N] [--no-mkldnn]

INPUT is a list of {"words": [...], "tags": [...]}. OUTPUT gets one entry per
sentence: {"tree": text or null, "transitions": [indices], "error": message
or null, "vectors": the n + 2 word vectors, "float64_gap": {"vectors",
"scores"}, "margin": the smallest lead of a chosen transition's score over
the other legal ones' (bundle_reference.lead; null: none)}; float64_gap:
how far the vectors and the transition scores lie from the float64 twin's
taking the same transitions (bundle_reference). --time prints the best wall time
in seconds of parsing every sentence R times. For a bundle with a transformer
the job also holds "transformer": {"packages_dir", "package"} (the compiled
package whose eager module gives the rows), and every sentence "transformer":
the transformer tokenizer's [ids, word_ids] with special tokens.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
import transformer_reference  # noqa: E402
import bundle_reference  # noqa: E402


class ParseError(Exception):
    pass


def load_tensors(bundle: Path) -> dict:
    _, assets, tensors = bundle_reference.read_bundle(bundle)
    return tensors, assets


def make_lstm(tensors: dict, prefix: str, layers: int, bidirectional: bool) -> torch.nn.LSTM:
    first = tensors[prefix + "weight_ih_l0"]
    hidden = tensors[prefix + "weight_hh_l0"].shape[1]
    lstm = torch.nn.LSTM(first.shape[1], hidden, layers, bidirectional=bidirectional).to(first.dtype)
    for name, _ in list(lstm.named_parameters()):
        setattr(lstm, name, torch.nn.Parameter(tensors[prefix + name].clone(), requires_grad=False))
    lstm.eval()
    return lstm


class CharLM:
    """A character language model: the top LSTM output at the space after each word."""

    def __init__(self, tensors: dict, prefix: str, assets: dict):
        self.forward = assets["is_forward_lm"]
        self.vocab = assets["vocab"]["_unit2id"]
        self.embedding = tensors[prefix + "char_emb.weight"]
        self.h0 = tensors[prefix + "charlstm_h_init"]
        self.c0 = tensors[prefix + "charlstm_c_init"]
        self.lstm = make_lstm(tensors, prefix + "charlstm.lstm.", assets["config"]["char_num_layers"], False)

    def encode(self, words: list[str]) -> torch.Tensor:
        words = [w[::-1] for w in reversed(words)] if not self.forward else list(words)
        unknown = self.vocab.get("<UNK>", 1)
        ids, positions = [self.vocab["\n"]], []
        for word in words:
            ids.extend(self.vocab.get(ch, unknown) for ch in word)
            ids.append(self.vocab[" "])
            positions.append(len(ids) - 1)
        if not self.forward:
            positions.reverse()
        x = self.embedding[torch.tensor(ids)].unsqueeze(1)
        out, _ = self.lstm(x, (self.h0.contiguous(), self.c0.contiguous()))
        return out[:, 0][torch.tensor(positions)]


class Model:
    def __init__(self, bundle: str, transformer=None):
        self.t, assets = load_tensors(Path(bundle))
        self.transformer = None
        if transformer is not None:
            self.transformer = transformer_reference.WordRows(
                assets["transformer"], transformer["packages_dir"], transformer["package"])
        cfg = assets["config"]
        self.H = cfg["hidden_size"]
        self.Ht = cfg["transition_hidden_size"]
        self.Dt = cfg.get("tag_embedding_dim") or 0
        self.L = cfg["num_lstm_layers"]
        self.O = cfg["num_output_layers"]
        self.boundaries = cfg["sentence_boundary_vectors"] == "EVERYTHING"
        self.unary_limit = assets["unary_limit"]
        self.root_labels = set(assets["root_labels"])
        self.transitions = assets["transitions"]
        self.delta = {}
        for p, w in enumerate(assets["delta_words"]):
            self.delta.setdefault(w, p + 2)
        self.tags = {}
        for p, w in enumerate(assets["tags"]):
            self.tags.setdefault(w, p + 2)
        self.pretrain = assets["pretrain_vocab"]["_unit2id"]
        self.lower = assets["pretrain_vocab"].get("lower", False)
        self.charlms = []
        for direction in ("forward", "backward"):
            prefix = f"{direction}_charlm."
            if prefix + "char_emb.weight" in self.t:
                self.charlms.append(CharLM(self.t, prefix, assets["charlm"][direction]))
        self.word_lstm = make_lstm(self.t, "word_lstm.", self.L, True)
        self.transition_lstm = make_lstm(self.t, "transition_stack.lstm.", self.L, False)
        self.constituent_lstm = make_lstm(self.t, "constituent_stack.lstm.", self.L, False)
        dtype = self.t["embedding.weight"].dtype
        self.transition_zero = torch.zeros(self.L, 1, self.Ht, dtype=dtype)
        self.constituent_zero = torch.zeros(self.L, 1, self.H, dtype=dtype)

    # ---- word encoder

    def pretrain_key(self, word: str) -> str:
        return (word.lower() if self.lower else word).replace(" ", "\u00a0")

    def pretrained_id(self, word: str) -> int:
        first = self.pretrain.get(self.pretrain_key(word))
        if first is not None and first != 1:
            return first
        return self.pretrain.get(self.pretrain_key(word.lower()), 1)

    def encode_words(self, words: list[str], tags: list[str], encoding=None) -> list[torch.Tensor]:
        n = len(words)
        parts = [
            self.t["embedding.weight"][torch.tensor([self.pretrained_id(w) for w in words])],
            self.t["delta_embedding.weight"][torch.tensor([self.delta.get(w, 1) for w in words])],
        ]
        if self.Dt > 0:
            parts.append(self.t["tag_embedding.weight"][torch.tensor([self.tags.get(g, 1) for g in tags])])
        parts.extend(charlm.encode(words) for charlm in self.charlms)
        x = torch.cat(parts, dim=1)
        if self.boundaries:
            x = torch.cat([self.t["word_start_embedding"].view(1, -1), x, self.t["word_end_embedding"].view(1, -1)])
        if self.transformer is not None:
            x = torch.cat([x, self.transformer(*encoding, n, keep_endpoints=self.boundaries)], dim=1)
        zeros = torch.zeros(2 * self.L, 1, self.H, dtype=x.dtype)
        out, _ = self.word_lstm(x.unsqueeze(1), (zeros, zeros))
        y = torch.relu(torch.nn.functional.linear(
            out[:, 0], self.t["word_to_constituent.weight"], self.t["word_to_constituent.bias"]))
        rows = list(y)
        if not self.boundaries:
            zero = torch.zeros(self.H, dtype=y.dtype)
            rows = [zero] + rows + [zero]
        assert len(rows) == n + 2
        return rows

    # ---- stacks: a node is (payload, h [L, 1, H], c [L, 1, H], output [H])

    def start(self, lstm, zero, name):
        if not self.boundaries:
            return (None, zero, zero, zero[-1, 0])
        out, (h, c) = lstm(self.t[name].view(1, 1, -1), (zero, zero))
        return (None, h, c, out[0, 0])

    @staticmethod
    def push(stack, lstm, x, payload):
        _, h, c, _ = stack[-1]
        out, (h2, c2) = lstm(x.view(1, 1, -1), (h, c))
        stack.append((payload, h2, c2, out[0, 0]))

    # ---- parsing

    def too_many_unary(self, tree) -> bool:
        count, node = 0, tree
        while len(node[1]) == 1:
            node = node[1][0]
            count += 1
            if count > self.unary_limit:
                return True
        return False

    def legal(self, entry, s) -> bool:
        words_left = s["position"] < s["n"]
        open_count = s["open"]
        cstack = s["constituents"]
        start_only = len(cstack) == 1
        prev = self.transitions[s["transitions"][-1][0]]["kind"] if len(s["transitions"]) > 1 else None
        kind = entry["kind"]
        if kind == "shift":
            return words_left and (open_count > 0 or start_only)
        if kind == "close":
            if open_count <= 0:
                return False
            if prev != "open" or open_count != 1 or not words_left:
                return True
            if len(cstack) <= 2:
                return False
            below = cstack[-2][0]
            if below["tree"] is None:
                return True
            return not self.too_many_unary(below["tree"])
        if open_count > s["n"] + 10 or prev == "open" or start_only:
            return False
        if entry["labels"][0] in self.root_labels:
            return open_count == 0 and not words_left
        if open_count == 0 and words_left:
            return True
        top = cstack[-1][0]
        return not (top["tree"] is not None and self.too_many_unary(top["tree"]))

    def parse(self, words, tags, applied, encoding=None, forced=None, record=None):
        """The tree; `applied` receives the transitions as they are applied.
        With `forced`, the transitions are those as far as it goes (the
        float32 run's, for its twin); `record`, a dict, receives every step's
        scores ("scores") and the smallest lead of a chosen transition over
        the other legal ones ("margin")."""
        if not words:
            raise ParseError("constituency parser cannot parse an empty sentence")
        if len(words) != len(tags):
            raise ParseError("constituency words and tags have different lengths")
        n = len(words)
        vectors = self.encode_words(words, tags, encoding)
        pre = [(tags[i], [(words[i], [])]) for i in range(n)]
        s = {"n": n, "position": 0, "open": 0, "steps": 0,
             "transitions": [self.start(self.transition_lstm, self.transition_zero, "transition_stack.start_embedding")],
             "constituents": [self.start(self.constituent_lstm, self.constituent_zero, "constituent_stack.start_embedding")]}
        while True:
            cstack = s["constituents"]
            if s["position"] == n and len(cstack) == 2 and cstack[-1][0]["tree"] is not None \
                    and cstack[-1][0]["tree"][0] in self.root_labels:
                return cstack[-1][0]["tree"]
            x = torch.cat([vectors[s["position"] + 1], s["transitions"][-1][3], cstack[-1][3]])
            for i in range(self.O):
                x = torch.nn.functional.linear(torch.relu(x), self.t[f"output_layers.{i}.weight"],
                                               self.t[f"output_layers.{i}.bias"])
            if x.dim() != 1 or x.shape[0] != len(self.transitions):
                raise ParseError("constituency output layer has the wrong shape")
            scores = [float(v) for v in x]
            ranked = sorted(range(len(scores)), key=lambda i: (1, 0.0) if math.isnan(scores[i]) else (0, -scores[i]))
            legal = [i for i in ranked if self.legal(self.transitions[i], s)]
            chosen = legal[0] if legal else None
            if forced is not None and len(applied) < len(forced):
                chosen = forced[len(applied)]
            if record is not None:
                record.setdefault("scores", []).append(x)
                lead = bundle_reference.lead([scores[i] for i in legal])
                if math.isfinite(lead):
                    record["margin"] = lead if record.get("margin") is None else min(record["margin"], lead)
            if chosen is None:
                raise ParseError("constituency parser could not find a legal transition")
            if s["steps"] >= 20 * (n + 2):
                raise ParseError("constituency parser exceeded its transition limit")
            self.apply(chosen, s, vectors, pre)
            applied.append(chosen)
            self.push(s["transitions"], self.transition_lstm, self.t["transition_embedding.weight"][chosen], chosen)
            s["steps"] += 1

    def apply(self, index, s, vectors, pre):
        entry = self.transitions[index]
        cstack = s["constituents"]
        if entry["kind"] == "shift":
            p = s["position"]
            payload = {"tree": pre[p], "vector": vectors[p + 1][: self.H].view(1, -1), "labels": [], "dummy": False}
            s["position"] += 1
            self.push(cstack, self.constituent_lstm, payload["vector"][-1], payload)
        elif entry["kind"] == "open":
            dummies = self.t["dummy_embedding.weight"]
            k = entry["open_index"]
            if k >= dummies.shape[0]:
                raise ParseError("constituency Open index is outside dummy embeddings")
            payload = {"tree": None, "vector": dummies[k].view(1, -1), "labels": list(entry["labels"]), "dummy": True}
            self.push(cstack, self.constituent_lstm, payload["vector"][-1], payload)
            s["open"] += 1
        else:
            children = []
            while len(cstack) > 1 and not cstack[-1][0]["dummy"]:
                children.append(cstack.pop()[0])
            if len(cstack) == 1:
                raise ParseError("constituency Close has no matching Open")
            labels = cstack.pop()[0]["labels"]
            if len(cstack) == 1:
                raise ParseError("in-order constituency Close has no left child")
            children.append(cstack.pop()[0])
            children.reverse()
            if any(child["tree"] is None for child in children):
                raise ParseError("constituency child is a dummy marker")
            stacked = torch.stack([child["vector"].squeeze() for child in children])
            composed = torch.relu(torch.nn.functional.linear(
                stacked.max(dim=0).values, self.t["reduce_linear.weight"], self.t["reduce_linear.bias"])).unsqueeze(0)
            if not labels:
                raise ParseError("cannot build a constituent without a label")
            tree = (labels[-1], [child["tree"] for child in children])
            for label in reversed(labels[:-1]):
                tree = (label, [tree])
            payload = {"tree": tree, "vector": composed, "labels": [], "dummy": False}
            self.push(cstack, self.constituent_lstm, composed[-1], payload)
            s["open"] -= 1


def tree_text(tree) -> str:
    label, children = tree
    if not children:
        return label
    return "(" + label + "".join(" " + tree_text(child) for child in children) + ")"


def parse_recorded(model, sentence, applied, forced=None):
    """(tree text or None, error message or None, record of parse)."""
    record = {"scores": [], "margin": None}
    try:
        tree = model.parse(sentence["words"], sentence["tags"], applied, sentence.get("transformer"), forced, record)
        return tree_text(tree), None, record
    except ParseError as error:
        return None, str(error), record


def run(bundle: str, sentences: list, transformer=None) -> list:
    model = Model(bundle, transformer)
    with bundle_reference.float64_twin():
        twin = Model(bundle, transformer)
    results = []
    with torch.inference_mode():
        for sentence in sentences:
            result = {"transitions": []}
            result["tree"], result["error"], record = parse_recorded(model, sentence, result["transitions"])
            result["margin"] = record["margin"]
            with bundle_reference.float64_twin():
                exact = parse_recorded(twin, sentence, [], result["transitions"])[2]
            steps = min(len(record["scores"]), len(exact["scores"]))
            result["float64_gap"] = {
                "scores": bundle_reference.float64_gap(record["scores"][:steps], exact["scores"][:steps]), "vectors": 0.0}
            if sentence["words"]:
                vectors = model.encode_words(sentence["words"], sentence["tags"], sentence.get("transformer"))
                result["vectors"] = [v.tolist() for v in vectors]
                with bundle_reference.float64_twin():
                    exact_vectors = twin.encode_words(sentence["words"], sentence["tags"], sentence.get("transformer"))
                result["float64_gap"]["vectors"] = bundle_reference.float64_gap(vectors, exact_vectors)
            results.append(result)
    return results


def main(argv) -> int:
    sys.setrecursionlimit(100000)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bundle", nargs="?")
    parser.add_argument("input", nargs="?")
    parser.add_argument("--jobs")
    parser.add_argument("--time", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--no-mkldnn", action="store_true", help="--time without oneDNN kernels")
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    if args.time:
        model = Model(args.bundle)
        sentences = json.loads(Path(args.input).read_text())
        best = math.inf
        torch.backends.mkldnn.enabled = not args.no_mkldnn
        with torch.inference_mode():
            for _ in range(args.repeat):
                started = time.perf_counter()
                for sentence in sentences:
                    model.parse(sentence["words"], sentence["tags"], [])
                best = min(best, time.perf_counter() - started)
        print(best)
        return 0
    for job in json.loads(Path(args.jobs).read_text()):
        results = run(job["bundle"], json.loads(Path(job["input"]).read_text()), job.get("transformer"))
        Path(job["output"]).write_text(json.dumps(results))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
