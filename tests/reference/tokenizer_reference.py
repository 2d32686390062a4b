"""Eager PyTorch reference of the character tokenizer, used to check the C++
engine numerically.

It reads a "tokenize" bundle directly (manifest, assets JSON, raw tensor
file), splits text into paragraphs of units, computes the feature rows, runs
the two-level bidirectional LSTM with torch.nn modules (nn.Embedding, nn.LSTM,
nn.Linear; packed sequences for batches), decodes the labels, and turns them
into sentences of tokens. Nothing here is shared with the C++ code.

Command line:

    tokenizer_reference.py label BUNDLE REQUEST.json RESULT.json
        REQUEST: {"texts": [...], "batch_size": optional int,
                  "sentence_cuts": optional bool}
        RESULT:  {"documents": [{"paragraphs": [{"offsets", "single_labels",
                  "single_logits", "exact_logits", "margins", "batch_labels",
                  "batch_logits"}], "sentences": [[token, ...], ...]}]}
        Logits are [tok, sent, mwt] per unit (mwt 0 without MWT); the single
        path runs every paragraph alone in windows, the batch path groups the
        paragraphs of all texts as the bulk entry point does. "exact_logits"
        are the single path's in float64, "margins" per unit the lead of the
        best label's score over the others' in them (label_margins). The
        "sentences" are built from the single-path labels. With
        "sentence_cuts", every paragraph also gets "sentence_cut_labels": the
        single path's labels when windows are cut back only after sentence
        ends.
"""

from __future__ import annotations

import argparse
import copy
import json
import re
import sys
import unicodedata
from pathlib import Path

import torch
import torch.nn.functional as F
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence
import bundle_reference  # noqa: E402

WINDOW = 1000
LONG_TOKEN = 1000

# ---------------------------------------------------------------------------
# Bundle


def load_bundle(path):
    """(manifest, assets, {name: tensor}) of a bundle directory."""
    return bundle_reference.read_bundle(path)


# ---------------------------------------------------------------------------
# Paragraphs: (char, offset) units

SPACES = (
    set(range(0x09, 0x0E))
    | set(range(0x1C, 0x21))
    | set(range(0x80, 0xA0))
    | {0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}
    | set(range(0x2000, 0x200B))
)
TRIMMED = SPACES - (set(range(0x80, 0xA0)) - {0x85})


def split_paragraphs(text: str, skip_newline: bool):
    """Paragraphs of (char, offset) units, whitespace runs collapsed to one
    space that keeps the offset of the run's first character."""
    n = len(text)
    ranges = []
    start = 0
    i = 0
    while i + 1 < n:
        if text[i] != "\n":
            i += 1
            continue
        j = i + 1
        second = None
        while j < n and ord(text[j]) in SPACES:
            if text[j] == "\n":
                second = j
            j += 1
        if second is None:
            i += 1
            continue
        ranges.append((start, i))
        start = second + 1
        i = second + 1
    ranges.append((start, n))

    paragraphs = []
    for begin, end in ranges:
        while end > begin and ord(text[end - 1]) in TRIMMED:
            end -= 1
        units = []
        for k in range(begin, end):
            ch = text[k]
            if skip_newline and ch == "\n":
                continue
            if ord(ch) in SPACES:
                if units and units[-1][0] == " ":
                    continue
                units.append((" ", k))
            else:
                units.append((ch, k))
        if units:
            paragraphs.append(units)
    return paragraphs


# ---------------------------------------------------------------------------
# Feature rows

PATTERNS = {
    "labeled_field": rb"\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:",
    "phone_id": rb"(?:\([0-9]{3}\)\s?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|(?:\bx[0-9]{3,5}\b)",
    "date_pattern": rb"(?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|March|April|May|June|July|August|September|October|November|December)\s+[0-9]{1,2},?\s+[0-9]{4}\b)",
    "currency": rb"\$\s?[0-9][0-9,]*(?:\.[0-9]+)?",
}
PATTERN_ORDER = ["labeled_field", "phone_id", "date_pattern", "currency"]

ADDRESS = re.compile(
    rb"""(?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9]))\.){3}(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9])|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))|(?:(?:https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|www\.[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9]+\.[^\s"]{2,}|www\.[a-zA-Z0-9]+\.[^\s"]{2,})|[a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)(?:\.[^\s"]{2,}))"""
)
COMPILED = {name: re.compile(source) for name, source in PATTERNS.items()}


def matched_units(units, pattern) -> list[bool]:
    """Which units a match of the byte pattern covers: from the unit holding
    the match's first byte up to, not including, the unit holding the byte
    after it."""
    owner = []
    for index, (ch, _) in enumerate(units):
        owner.extend([index] * len(ch.encode("utf-8")))
    owner.append(len(units))
    data = b"".join(ch.encode("utf-8") for ch, _ in units)
    marks = [False] * len(units)
    for match in pattern.finditer(data):
        for u in range(owner[match.start()], owner[match.end()]):
            marks[u] = True
    return marks


def is_upper(ch: str) -> bool:
    return ch.isupper()


def is_digit(ch: str) -> bool:
    return unicodedata.category(ch) == "Nd"


class Lexicon:
    def __init__(self, entries):
        self.words, self.prefixes, self.suffixes = set(), set(), set()
        for entry in entries:
            if len(entry) < 2:
                continue
            self.words.add(entry)
            for k in range(1, len(entry)):
                self.prefixes.add(entry[:k])
                self.suffixes.add(entry[len(entry) - k :])


def dictionary_row(units, i, lexicon, windows):
    forward = [0.0] * windows
    backward = [0.0] * windows
    ahead = behind = units[i][0]
    ahead_open = behind_open = True
    n = len(units)
    for k in range(1, windows + 1):
        if i + k < n and ahead_open:
            ahead += units[i + k][0].lower()
            forward[k - 1] = 1.0 if ahead in lexicon.words else 0.0
            ahead_open = ahead in lexicon.prefixes
        if i >= k and behind_open:
            behind = units[i - k][0].lower() + behind
            backward[k - 1] = 1.0 if behind in lexicon.words else 0.0
            behind_open = behind in lexicon.suffixes
        if not ahead_open and not behind_open:
            break
    return forward + backward


def feature_rows(units, config, lexicon) -> torch.Tensor:
    names = config["feat_funcs"]
    n = len(units)
    columns = []
    for name in names:
        if name == "space_before":
            columns.append([1.0 if ch == " " else 0.0 for ch, _ in units])
        elif name == "capitalized":
            columns.append([1.0 if is_upper(ch) else 0.0 for ch, _ in units])
        elif name == "numeric":
            columns.append([1.0 if is_digit(ch) else 0.0 for ch, _ in units])
    if "end_of_para" in names:
        columns.append([1.0 if i == n - 1 else 0.0 for i in range(n)])
    if "start_of_para" in names:
        columns.append([1.0 if i == 0 else 0.0 for i in range(n)])
    for name in PATTERN_ORDER:
        if name in names:
            columns.append([1.0 if m else 0.0 for m in matched_units(units, COMPILED[name])])
    rows = torch.tensor(columns, dtype=torch.float32).T.reshape(n, len(columns))
    if config.get("use_dictionary"):
        windows = config["num_dict_feat"]
        extra = torch.tensor([dictionary_row(units, i, lexicon, windows) for i in range(n)], dtype=torch.float32)
        rows = torch.cat([rows, extra.reshape(n, 2 * windows)], dim=1)
    if rows.shape[1] != config["feat_dim"]:
        raise ValueError("feature width does not match feat_dim")
    return rows


# ---------------------------------------------------------------------------
# Network


class Network(nn.Module):
    def __init__(self, tensors, config, pad_id):
        super().__init__()
        emb = tensors["embeddings.weight"]
        hidden = config["hidden_dim"]
        self.use_mwt = config["use_mwt"]
        self.invtemp = float(config["hier_invtemp"])
        self.embedding = nn.Embedding(emb.shape[0], emb.shape[1], padding_idx=pad_id)
        self.embedding.weight.data.copy_(emb)
        self.level1 = self._lstm(tensors, "rnn.", emb.shape[1] + config["feat_dim"], hidden)
        self.level2 = self._lstm(tensors, "rnn2.", 2 * hidden, hidden)
        heads = ["tok", "sent"] + (["mwt"] if self.use_mwt else [])
        self.heads1 = nn.ModuleDict({h: self._linear(tensors, f"{h}_clf.", True) for h in heads})
        self.heads2 = nn.ModuleDict({h: self._linear(tensors, f"{h}_clf2.", False) for h in heads})

    @staticmethod
    def _lstm(tensors, prefix, input_size, hidden):
        lstm = nn.LSTM(input_size, hidden, num_layers=1, bias=True, batch_first=True, bidirectional=True)
        for name, param in lstm.named_parameters():
            param.data.copy_(tensors[prefix + name])
        return lstm

    @staticmethod
    def _linear(tensors, prefix, bias):
        weight = tensors[prefix + "weight"]
        layer = nn.Linear(weight.shape[1], weight.shape[0], bias=bias)
        layer.weight.data.copy_(weight)
        if bias:
            layer.bias.data.copy_(tensors[prefix + "bias"])
        return layer

    def _run(self, lstm, x, lengths):
        if lengths is None:
            out, _ = lstm(x)
            return out
        packed = pack_padded_sequence(x, lengths, batch_first=True, enforce_sorted=True)
        out, _ = lstm(packed)
        out, _ = pad_packed_sequence(out, batch_first=True, padding_value=0.0, total_length=x.shape[1])
        return out

    def forward(self, ids, feats, lengths=None):
        """Summed logits [S, T, 3] (tok, sent, mwt; mwt zero without MWT)."""
        x = torch.cat([self.embedding(ids), feats], dim=2)
        o1 = self._run(self.level1, x, lengths)
        first = {h: layer(o1) for h, layer in self.heads1.items()}
        if self.invtemp > 0:
            x2 = o1 * (1 - torch.sigmoid(-first["tok"] * self.invtemp))
        else:
            x2 = o1
        o2 = self._run(self.level2, x2, lengths)
        summed = [first[h] + self.heads2[h](o2) for h in ("tok", "sent")]
        summed.append(first["mwt"] + self.heads2["mwt"](o2) if self.use_mwt else torch.zeros_like(summed[0]))
        return torch.cat(summed, dim=2)


def decode(logits: torch.Tensor, use_mwt: bool) -> torch.Tensor:
    return label_scores(logits, use_mwt).argmax(dim=-1)


def label_margins(logits, use_mwt: bool) -> list:
    """Per unit of a paragraph, how far the best label's score lies above the
    others' (bundle_reference.lead; null: none). The last unit's label only
    decides between a multi-word token and not (finish makes it a sentence
    end either way), so its margin is the lead of the better of the two."""
    scores = label_scores(torch.as_tensor(logits, dtype=torch.float64), use_mwt)
    leads = [bundle_reference.lead(row) for row in scores[:-1]]
    if len(scores):
        last = scores[-1]
        leads.append(bundle_reference.lead([last[:3].max(), last[3:].max()]) if use_mwt else float("inf"))
    return [bundle_reference.as_margin(lead) for lead in leads]


def label_scores(logits: torch.Tensor, use_mwt: bool) -> torch.Tensor:
    tok, sent, mwt = logits[..., 0], logits[..., 1], logits[..., 2]
    lt, nt = F.logsigmoid(tok), F.logsigmoid(-tok)
    ls, ns = F.logsigmoid(sent), F.logsigmoid(-sent)
    if use_mwt:
        lm, nm = F.logsigmoid(mwt), F.logsigmoid(-mwt)
        scores = [nt, lt + ns + nm, lt + ls + nm, lt + ns + lm, lt + ls + lm]
    else:
        scores = [nt, lt + ns, lt + ls]
    return torch.stack(scores, dim=-1)


# ---------------------------------------------------------------------------
# Tokenizer


class Tokenizer:
    def __init__(self, bundle_dir):
        self.manifest, assets, tensors = load_bundle(bundle_dir)
        self.config = assets["config"]
        self.vocab = assets["vocab"]["_unit2id"]
        self.unk = self.vocab["<UNK>"]
        self.lexicon = Lexicon(assets.get("lexicon", []) if self.config.get("use_dictionary") else [])
        self.net = Network(tensors, self.config, self.vocab["<PAD>"]).eval()
        self.use_mwt = self.config["use_mwt"]
        self.batch_size = self.config.get("batch_size") or 32

    def paragraphs(self, text):
        return split_paragraphs(text, self.config["skip_newline"])

    def inputs(self, units):
        ids = torch.tensor([self.vocab.get(ch, self.unk) for ch, _ in units], dtype=torch.long)
        return ids, feature_rows(units, self.config, self.lexicon)

    @torch.inference_mode()
    def label_single(self, units, token_cuts=True):
        """(labels, logits) of one paragraph run in windows of WINDOW units.
        Each window but the last is cut back after its last sentence end;
        a window without one is cut back after its last token end that is
        not on its final unit (that unit is labelled as if the text ended
        there), so that no token is split at the window's edge, and kept
        whole only when it holds no such token end either. With token_cuts
        False, a window without a sentence end is always kept whole (the
        earlier rule)."""
        ids, feats = self.inputs(units)
        n = len(units)
        labels, logits = [], []
        self.last_windows = []
        start = 0
        while start < n:
            size = min(WINDOW, n - start)
            out = self.net(ids[None, start : start + size], feats[None, start : start + size])[0]
            window = decode(out, self.use_mwt)
            keep = size
            if start + WINDOW < n:
                sentence_ends = [k for k in range(size) if int(window[k]) in (2, 4)]
                token_ends = [k for k in range(size - 1) if int(window[k]) in (1, 3)] if token_cuts else []
                if sentence_ends:
                    keep = sentence_ends[-1] + 1
                elif token_ends:
                    keep = token_ends[-1] + 1
            labels.extend(int(v) for v in window[:keep])
            logits.extend(out[:keep].tolist())
            self.last_windows.append((start, size, keep))
            start += keep
        return self.finish(units, labels), logits

    @torch.inference_mode()
    def exact_logits(self, units, windows):
        """The logits of label_single's windows computed in float64: what
        float32 results are measured against."""
        if not hasattr(self, "net64"):
            self.net64 = copy.deepcopy(self.net).double()
        ids, feats = self.inputs(units)
        logits = []
        for start, size, keep in windows:
            out = self.net64(ids[None, start : start + size], feats[None, start : start + size].double())[0]
            logits.extend(out[:keep].tolist())
        return logits

    @torch.inference_mode()
    def label_batch(self, paragraphs):
        """(labels, logits) per paragraph of one padded, packed batch."""
        order = sorted(range(len(paragraphs)), key=lambda k: -len(paragraphs[k]))
        longest = len(paragraphs[order[0]])
        feat_dim = self.config["feat_dim"]
        ids = torch.full((len(order), longest), self.vocab["<PAD>"], dtype=torch.long)
        feats = torch.zeros((len(order), longest, feat_dim))
        lengths = []
        for row, k in enumerate(order):
            p_ids, p_feats = self.inputs(paragraphs[k])
            ids[row, : len(p_ids)] = p_ids
            feats[row, : len(p_ids)] = p_feats
            lengths.append(len(p_ids))
        out = self.net(ids, feats, torch.tensor(lengths))
        decoded = decode(out, self.use_mwt)
        result = [None] * len(paragraphs)
        for row, k in enumerate(order):
            n = lengths[row]
            labels = [int(v) for v in decoded[row, :n]]
            result[k] = (self.finish(paragraphs[k], labels), out[row, :n].tolist())
        return result

    def label_bulk(self, paragraphs):
        """Batches of consecutive paragraphs of at most WINDOW units; longer
        paragraphs alone through the windowed path."""
        result = [None] * len(paragraphs)
        pending = []

        def flush():
            if pending:
                for k, value in zip(pending, self.label_batch([paragraphs[k] for k in pending])):
                    result[k] = value
                pending.clear()

        for k, units in enumerate(paragraphs):
            if len(units) <= WINDOW:
                pending.append(k)
                if len(pending) == self.batch_size:
                    flush()
            else:
                flush()
                result[k] = self.label_single(units)
        flush()
        return result

    @staticmethod
    def finish(units, labels):
        labels[-1] = 4 if labels[-1] in (3, 4) else 2
        marks = matched_units(units, ADDRESS) if any(ch in "@." for ch, _ in units) else []
        k = 0
        while k < len(marks):
            if not marks[k]:
                k += 1
                continue
            end = k
            while end + 1 < len(marks) and marks[end + 1]:
                end += 1
            for u in range(k, end):
                labels[u] = 0
            if labels[end] == 0:
                labels[end] = 1
            k = end + 1
        return labels

    def sentences(self, text, paragraphs, labels_per_paragraph):
        """Sentences of token dicts built from the labels."""
        lang = self.config["lang"]
        squeeze = len(lang) >= 2 and lang[:2] in ("zh", "ja", "ko")
        colon_rule = self.config["shorthand"] == "la_ittb"
        sentences = []
        for units, labels in zip(paragraphs, labels_per_paragraph):
            current = []
            begin = 0
            for i, (ch, _) in enumerate(units):
                label = labels[i]
                if colon_rule and ch in ":;":
                    label = 2
                if label <= 0:
                    continue
                span = units[begin : i + 1]
                begin = i + 1
                solid = [k for k, (c, _) in enumerate(span) if c != " "]
                if not solid:
                    continue
                first, last = span[solid[0]], span[solid[-1]]
                body = "".join(c for c, _ in span).lstrip(" ")
                if squeeze:
                    body = body.replace(" ", "")
                if len(span) - solid[0] > LONG_TOKEN:
                    body = "<UNK>"
                current.append(
                    {
                        "text": body,
                        "start": first[1],
                        "end": last[1] + 1,
                        "misc": "MWT=Yes" if label in (3, 4) else None,
                        "id": len(current) + 1,
                    }
                )
                if label in (2, 4):
                    sentences.append(current)
                    current = []
            if current:
                sentences.append(current)
        tokens = [t for s in sentences for t in s]
        for k, token in enumerate(tokens):
            token["spaces_before"] = text[: token["start"]] if k == 0 else ""
            stop = tokens[k + 1]["start"] if k + 1 < len(tokens) else len(text)
            token["spaces_after"] = text[token["end"] : stop]
        return sentences


# ---------------------------------------------------------------------------
# Command line


def label_command(args):
    # Single-threaded: the numbers do not depend on it, and test programs run
    # side by side.
    torch.set_num_threads(1)
    tok = Tokenizer(args.bundle)
    request = json.loads(Path(args.request).read_text(encoding="utf-8"))
    if request.get("batch_size") is not None:
        tok.batch_size = int(request["batch_size"])
    texts = request["texts"]
    per_text = [tok.paragraphs(text) for text in texts]
    flat = [p for paragraphs in per_text for p in paragraphs]
    bulk = tok.label_bulk(flat)
    documents = []
    position = 0
    for text, paragraphs in zip(texts, per_text):
        entries = []
        single_labels = []
        for units in paragraphs:
            labels, logits = tok.label_single(units)
            exact = tok.exact_logits(units, tok.last_windows)
            b_labels, b_logits = bulk[position]
            position += 1
            single_labels.append(labels)
            entry = {
                "offsets": [offset for _, offset in units],
                "single_labels": labels,
                "single_logits": logits,
                "exact_logits": exact,
                "margins": label_margins(exact, tok.use_mwt),
                "batch_labels": b_labels,
                "batch_logits": b_logits,
            }
            if request.get("sentence_cuts"):
                entry["sentence_cut_labels"] = tok.label_single(units, token_cuts=False)[0]
            entries.append(entry)
        documents.append(
            {
                "paragraphs": entries,
                "sentences": tok.sentences(text, paragraphs, single_labels),
                "lang": tok.manifest["language"],
            }
        )
    Path(args.result).write_text(json.dumps({"documents": documents}), encoding="utf-8")


def tokenize(tok, text, bulk):
    """Sentences of one text, every paragraph alone or in bulk batches."""
    paragraphs = tok.paragraphs(text)
    if bulk:
        labels = [labels for labels, _ in tok.label_bulk(paragraphs)]
    else:
        labels = [tok.label_single(units)[0] for units in paragraphs]
    return tok.sentences(text, paragraphs, labels)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    label = sub.add_parser("label")
    label.add_argument("bundle")
    label.add_argument("request")
    label.add_argument("result")
    args = parser.parse_args(argv)
    label_command(args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
