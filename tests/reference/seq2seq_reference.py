"""Eager PyTorch reference of the character sequence-to-sequence model, used to
check the C++ engine numerically.

It reads a "lemma" or "mwt" bundle directly (manifest, assets JSON, raw tensor
file) and runs the model with torch modules and functions as the model is
described: nn.Embedding and a bidirectional nn.LSTM encoder (packed sequences
for batches), a hand-written LSTM cell decoder with soft attention, a copy
gate mixing the vocabulary distribution with attention mass over the word's
extended ids, greedy decoding, beam search and batched greedy decoding.
Nothing here is shared with the C++ code.

Command line:

    seq2seq_reference.py REQUEST.json RESULT.json

REQUEST is {"jobs": [...]}; RESULT is {"jobs": [...]} with one result per job:

  {"kind": "predict", "bundle": DIR, "words": [...] | {"random": N, "seed": S},
   "beam": B, "forbid_unk": bool}
      -> {"words", "pos", "greedy", "beam", "batched", "margins",
         "float64_gap"}: each prediction is [text, edit or null]; "beam"
         holds beam-B search results, "batched" the batched greedy results.
         "pos" holds the tags given (null: none). "margins": per word the
         smallest lead of a choice (edit class, token, hypothesis) over the
         runner-up in any of the three decodings, per log-probability summed
         in the scores compared. "float64_gap": how far the edit logits and
         the log-probabilities along any word's greedy path lie from the
         float64 twin's taking the same tokens (bundle_reference).
  {"kind": "step", "bundle": DIR, "seed": S, "cases": [{"rows", "positions",
   "extra", "forbid", "mask", "limits"}]}
      -> {"cases": [{inputs and expected outputs as flat lists,
         "float64_gap": of log_probs, h_out and c_out}]}
  {"kind": "time", "bundle": DIR, "words": [...], "pos": [...], "mode":
   "batched" | "single" | "beam", "beam": B, "repeat": R}
      -> {"seconds": best of R, "steps": mean decoder steps per word}
"""

from __future__ import annotations

import json
import math
import random
import sys
import time
from pathlib import Path

import torch
import torch.nn.functional as F
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence
import bundle_reference  # noqa: E402

PAD, UNK, SOS, EOS = 0, 1, 2, 3
NUMPY_TYPES = {"float32": "<f4", "float64": "<f8", "int64": "<i8", "int32": "<i4"}


def load_bundle(path):
    _, assets, tensors = bundle_reference.read_bundle(path)
    return assets, tensors


def lead_of(scores, terms=1):
    """The lead of the best of `scores` (bundle_reference.lead) per
    log-probability summed in each (`terms`)."""
    return bundle_reference.lead(scores) / terms


class Model:
    def __init__(self, bundle_dir):
        assets, self.t = load_bundle(bundle_dir)
        cfg = assets["config"]
        vocab = assets["vocab"]
        chars = vocab["char"] if "char" in vocab else vocab
        self.id2unit = chars["_id2unit"]
        self.unit2id = chars["_unit2id"]
        self.pos_unit2id = vocab["pos"]["_unit2id"] if "pos" in vocab else None
        self.V = cfg["vocab_size"]
        self.H = cfg["hidden_dim"]
        self.layers = cfg["num_layers"]
        self.max_dec_len = cfg["max_dec_len"]
        self.beam_size = cfg.get("beam_size") or 1
        self.batch_size = cfg.get("batch_size") or 50
        self.use_pos = cfg.get("pos") is True
        self.use_edit = cfg.get("edit") is True
        self.use_copy = cfg.get("copy") is True
        emb = self.t["embedding.weight"]
        self.dtype = emb.dtype
        self.embedding = nn.Embedding(emb.shape[0], emb.shape[1], _weight=emb.clone())
        self.encoder = nn.LSTM(emb.shape[1], self.H // 2, self.layers, bidirectional=True, batch_first=True)
        self.encoder.to(self.dtype)
        with torch.no_grad():
            for name, param in self.encoder.named_parameters():
                param.copy_(self.t["encoder." + name])
        self.steps = 0
        self.lead = math.inf  # the smallest lead_of of a choice made since it was reset

    def note_lead(self, scores, terms=1):
        self.lead = min(self.lead, lead_of(scores, terms))

    # Source encoding -------------------------------------------------------
    def encode_source(self, word):
        ids, oov = [SOS], []
        for ch in word:  # Python strings iterate over code points
            if ch in self.unit2id:
                ids.append(self.unit2id[ch])
            else:
                if ch not in oov:
                    oov.append(ch)
                ids.append(len(self.id2unit) + oov.index(ch))
        ids.append(EOS)
        return ids, oov

    def pos_id(self, tag):
        return self.pos_unit2id.get(tag, UNK)

    # Encoder ---------------------------------------------------------------
    def encode(self, sources, tags):
        """Encoder outputs, initial h and c, mask, edit classes and edit
        logits (None without edits) of a batch whose rows are sorted longest
        first."""
        L = max(len(s) for s in sources)
        emb_ids = torch.tensor([[i if i < self.V else UNK for i in s] + [PAD] * (L - len(s)) for s in sources])
        x = self.embedding(emb_ids)
        lengths = [len(s) for s in sources]
        if self.use_pos:
            p = F.embedding(torch.tensor([self.pos_id(t) for t in tags]), self.t["pos_embedding.weight"])
            x = torch.cat([p.unsqueeze(1), x], 1)
            lengths = [n + 1 for n in lengths]
        T = x.shape[1]
        h0 = torch.zeros(2 * self.layers, len(sources), self.H // 2, dtype=self.dtype)
        packed = pack_padded_sequence(x, torch.tensor(lengths), batch_first=True)
        out, (hn, cn) = self.encoder(packed, (h0, h0.clone()))
        memory, _ = pad_packed_sequence(out, batch_first=True, total_length=T)
        h = torch.cat([hn[-1], hn[-2]], 1)
        c = torch.cat([cn[-1], cn[-2]], 1)
        mask = torch.arange(T).unsqueeze(0) >= torch.tensor(lengths).unsqueeze(1)
        edits, logits = [None] * len(sources), None
        if self.use_edit:
            hidden = F.relu(F.linear(h, self.t["edit_clf.0.weight"], self.t["edit_clf.0.bias"]))
            logits = F.linear(hidden, self.t["edit_clf.2.weight"], self.t["edit_clf.2.bias"])
            edits = [int(e) for e in torch.argmax(logits, 1)]
        return memory, h, c, mask, edits, logits

    def width(self, source):
        return max(self.V, max(source) + 1) if self.use_copy else self.V

    # Decoder step ----------------------------------------------------------
    def step(self, ids, h, c, memory, src, X, forbid, mask=None, limits=None):
        self.steps += 1
        t = self.t
        ids[ids >= self.V] = UNK  # in the caller's tensor
        x = F.embedding(ids, t["embedding.weight"])
        gates = (x @ t["decoder.lstm_cell.weight_ih"].T + t["decoder.lstm_cell.bias_ih"]) + (
            h @ t["decoder.lstm_cell.weight_hh"].T + t["decoder.lstm_cell.bias_hh"]
        )
        i, f, g, o = gates.chunk(4, 1)
        c1 = torch.sigmoid(f) * c + torch.sigmoid(i) * torch.tanh(g)
        h1 = torch.sigmoid(o) * torch.tanh(c1)
        q = h1 @ t["decoder.attention_layer.linear_in.weight"].T
        scores = torch.bmm(memory, q.unsqueeze(2)).squeeze(2)
        if mask is not None:
            scores = scores.masked_fill(mask, -1e12)
        log_alpha = torch.log_softmax(scores, 1)
        alpha = log_alpha.exp() if self.use_copy else torch.softmax(scores, 1)
        context = torch.bmm(alpha.unsqueeze(1), memory).squeeze(1)
        attended = torch.tanh(torch.cat([context, h1], 1) @ t["decoder.attention_layer.linear_out.weight"].T)
        P = torch.log_softmax(attended @ t["dec2vocab.weight"].T + t["dec2vocab.bias"], 1)
        if not self.use_copy:
            result = P
        else:
            gamma = attended @ t["copy_gate.weight"].T + t["copy_gate.bias"]
            la = log_alpha[:, 1:] if self.use_pos else log_alpha
            la = torch.log_softmax(la, -1)
            s = F.logsigmoid(gamma) + la
            m = s.max(-1, keepdim=True).values
            mass = torch.zeros(ids.shape[0], X, dtype=P.dtype).scatter_add(-1, src, (s - m).exp())
            empty = mass == 0
            C = torch.log(mass.masked_fill(empty, 1e-12)) + m
            C = C.masked_fill(empty, -1e12)
            lam = -torch.log(1 + torch.exp(gamma))
            if X > self.V:
                P = torch.cat([P, P[:, UNK : UNK + 1].expand(-1, X - self.V)], 1)
            result = torch.logsumexp(torch.stack([C, P + lam]), 0)
            if limits is not None:
                result = result.masked_fill(torch.arange(X).unsqueeze(0) >= limits.unsqueeze(1), -1e12)
        if forbid:
            result = result.clone()
            result[:, UNK] = float("-inf")
        return result, h1, c1

    # Decoding --------------------------------------------------------------
    def text(self, ids, oov):
        N = len(self.id2unit)
        out = []
        for i in ids:
            if 0 <= i < N:
                out.append(self.id2unit[i])
            elif 0 <= i - N < len(oov):
                out.append(oov[i - N])
            else:
                out.append("<UNK>")
        return "".join(out)

    def greedy(self, word, tag, forbid, tokens=None):
        """(tokens chosen, ending with EOS when it came; the edit logits (None
        without edits) and the log-probability rows the choices read). With
        `tokens`, those are chosen instead (for the float64 twin)."""
        src, _ = self.encode_source(word)
        memory, h, c, _, _, edit_logits = self.encode([src], [tag])
        src_t, X = torch.tensor([src]), self.width(src)
        chosen, rows, token = [], [], SOS
        for k in range(self.max_dec_len):
            logp, h, c = self.step(torch.tensor([token]), h, c, memory, src_t, X, forbid)
            rows.append(logp[0])
            token = int(torch.argmax(logp, 1)[0]) if tokens is None else tokens[k]
            chosen.append(token)
            if token == EOS:
                break
        return chosen, (edit_logits, rows)

    def predict(self, word, tag, beam, forbid):
        src, oov = self.encode_source(word)
        if beam == 1:
            chosen, (edit_logits, rows) = self.greedy(word, tag, forbid)
            for row in rows:
                self.note_lead(row)
            out = chosen[:-1] if chosen and chosen[-1] == EOS else chosen
        else:
            memory, h, c, _, _, edit_logits = self.encode([src], [tag])
            out = self.beam_search(memory, h, c, torch.tensor([src]), self.width(src), beam, forbid)
        edit = None
        if edit_logits is not None:
            self.note_lead(edit_logits[0])
            edit = int(torch.argmax(edit_logits[0]))
        return [self.text(out, oov), edit]

    def beam_search(self, memory, h, c, src, X, beam, forbid):
        hyps = [(0.0, [], h, c, SOS)]
        for step in range(1, self.max_dec_len + 1):
            n = len(hyps)
            ids = torch.tensor([hyp[4] for hyp in hyps])
            hs = torch.cat([hyp[2] for hyp in hyps], 0)
            cs = torch.cat([hyp[3] for hyp in hyps], 0)
            logp, h1, c1 = self.step(ids, hs, cs, memory.repeat(n, 1, 1), src.repeat(n, 1), X, forbid)
            W = logp.shape[1]
            scores = torch.tensor([[hyp[0]] for hyp in hyps], dtype=logp.dtype)
            flat = (scores + logp).reshape(-1)
            # The best hypothesis and the last one kept, each against the next.
            ranked = torch.topk(flat, min(beam + 1, n * W)).values
            for k in {0, min(beam, n * W) - 1}:
                self.note_lead(ranked[k:], step)
            values, indices = torch.topk(flat, min(beam, n * W))
            new = []
            for value, index in zip(values.tolist(), indices.tolist()):
                parent, token = index // W, index % W
                new.append((value, hyps[parent][1] + [token], h1[parent : parent + 1], c1[parent : parent + 1], token))
            hyps = new
            if hyps[0][4] == EOS:
                break
        tokens = hyps[0][1]
        return tokens[: tokens.index(EOS)] if EOS in tokens else tokens

    def predict_many(self, words, tags, forbid, leads=None):
        """Batched greedy predictions; `leads` (one number per word) keeps
        each word's smallest lead as note_lead counts it."""
        encoded = [self.encode_source(w) for w in words]
        order = sorted(range(len(words)), key=lambda i: -len(encoded[i][0]))  # stable
        results = [None] * len(words)
        for start in range(0, len(order), self.batch_size):
            rows = order[start : start + self.batch_size]
            sources = [encoded[i][0] for i in rows]
            memory, h, c, mask, edits, edit_logits = self.encode(sources, [tags[i] for i in rows])
            L = len(sources[0])
            src = torch.tensor([s + [PAD] * (L - len(s)) for s in sources])
            limits = torch.tensor([self.width(s) for s in sources])
            X = int(limits.max())
            ids = torch.full((len(rows),), SOS)
            outs = [[] for _ in rows]
            done = [False] * len(rows)
            row_leads = [math.inf] * len(rows) if edit_logits is None else [lead_of(row) for row in edit_logits]
            for _ in range(self.max_dec_len):
                logp, h, c = self.step(ids, h, c, memory, src, X, forbid, mask, limits if self.use_copy else None)
                ids = torch.argmax(logp, 1)
                emitted = False
                for r, token in enumerate(ids.tolist()):
                    if done[r]:
                        continue
                    row_leads[r] = min(row_leads[r], lead_of(logp[r]))
                    if token == EOS:
                        done[r] = True
                    else:
                        outs[r].append(token)
                        emitted = True
                if not emitted:
                    break
            for r, i in enumerate(rows):
                results[i] = [self.text(outs[r], encoded[i][1]), edits[r]]
                if leads is not None:
                    leads[i] = min(leads[i], row_leads[r])
        return results


# ---------------------------------------------------------------------------
# Jobs

ALPHABET = (
    list("abcdefghijklmnop")  # in the test vocabulary
    + ["\u00e9", "\u00df"]  # in it, two bytes each
    + list("xyzA")  # out of it (A: case matters)
    + ["\u0436", "\u6f22", "\U0001f600", "\u0301"]  # out of it, multi-byte, a combining mark
)


def random_words(count, seed):
    rng = random.Random(seed)
    words = [""]
    while len(words) < count:
        words.append("".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 8))))
    return words


def random_tags(model, words, seed):
    if not model.use_pos:
        return [None] * len(words)
    rng = random.Random(seed)
    tags = list(model.pos_unit2id)[4:] + ["UNSEEN"]
    return [rng.choice(tags) for _ in words]


def greedy_gap(model, twin, word, tag, forbid):
    """How far the edit logits and the log-probabilities along the word's
    greedy path lie from the float64 twin's taking the same tokens."""
    tokens, ours = model.greedy(word, tag, forbid)
    with bundle_reference.float64_twin():
        _, exact = twin.greedy(word, tag, forbid, tokens)
    return bundle_reference.float64_gap([x for x in ours if x is not None], [x for x in exact if x is not None])


def predict_job(job):
    model = Model(job["bundle"])
    with bundle_reference.float64_twin():
        twin = Model(job["bundle"])
    words = job["words"]
    if isinstance(words, dict):
        words = random_words(words["random"], words["seed"])
    tags = job.get("pos") or random_tags(model, words, 11)
    forbid = job.get("forbid_unk", False)
    beam = job.get("beam", 3)
    leads = [math.inf] * len(words)
    greedy, beamed = [], []
    for i, (word, tag) in enumerate(zip(words, tags)):
        model.lead = math.inf
        greedy.append(model.predict(word, tag, 1, forbid))
        beamed.append(model.predict(word, tag, beam, forbid))
        leads[i] = model.lead
    batched = model.predict_many(words, tags, forbid, leads)
    return {
        "words": words,
        "pos": tags,
        "greedy": greedy,
        "beam": beamed,
        "batched": batched,
        "margins": [bundle_reference.as_margin(lead) for lead in leads],
        "float64_gap": max(greedy_gap(model, twin, w, p, forbid) for w, p in zip(words, tags)),
    }


def flat(tensor):
    """The values in row-major order; infinities as the strings "inf" and "-inf"."""
    return [v if not isinstance(v, float) or abs(v) != float("inf") else str(v) for v in tensor.reshape(-1).tolist()]


def step_job(job):
    model = Model(job["bundle"])
    with bundle_reference.float64_twin():
        twin = Model(job["bundle"])
    gen = torch.Generator().manual_seed(job["seed"])
    results = []
    for case in job["cases"]:
        B, T, extra = case["rows"], case["positions"], case["extra"]
        X = model.V + extra
        Ls = T - 1 if model.use_pos else T
        rand = lambda *shape: torch.randn(*shape, generator=gen, dtype=torch.float64).to(model.dtype)  # noqa: E731
        ids = torch.randint(0, X, (B,), generator=gen)
        ids[0] = SOS
        if extra:
            ids[-1] = X - 1
        h, c = rand(B, model.H) * 0.5, rand(B, model.H) * 0.5
        memory = rand(B, T, model.H)
        src = torch.randint(0, X, (B, Ls), generator=gen)
        if extra and Ls >= 3:
            src[:, 1] = model.V  # the same unknown character twice
            src[:, Ls - 2] = model.V
        mask = limits = None
        if case.get("mask"):
            lengths = torch.randint(T // 2 + 1, T + 1, (B,), generator=gen)
            lengths[0] = T
            mask = torch.arange(T).unsqueeze(0) >= lengths.unsqueeze(1)
            memory = memory.masked_fill(mask.unsqueeze(2), 0.0)
        if case.get("limits"):
            limits = torch.randint(model.V, X + 1, (B,), generator=gen)
            limits[0] = X
            src = torch.minimum(src, (limits - 1).unsqueeze(1))
        given = ids.clone()
        with bundle_reference.float64_twin():
            w = bundle_reference.widened
            exact = twin.step(given.clone(), w(h), w(c), w(memory), src, X, case.get("forbid", False), mask, limits)
        logp, h1, c1 = model.step(ids, h, c, memory, src, X, case.get("forbid", False), mask, limits)
        results.append(
            {
                "rows": B, "positions": T, "ext_width": X, "forbid": case.get("forbid", False),
                "ids": flat(given), "h": flat(h), "c": flat(c), "memory": flat(memory), "source": flat(src),
                "mask": None if mask is None else flat(mask.long()),
                "limits": None if limits is None else flat(limits),
                "ids_after": flat(ids), "log_probs": flat(logp), "h_out": flat(h1), "c_out": flat(c1),
                "width": logp.shape[1], "float64_gap": bundle_reference.float64_gap((logp, h1, c1), exact),
            }
        )
    return {"cases": results}


def time_job(job):
    model = Model(job["bundle"])
    words, tags = job["words"], job.get("pos") or [None] * len(job["words"])
    mode = job["mode"]
    best = float("inf")
    for _ in range(job.get("repeat", 3)):
        model.steps = 0
        start = time.perf_counter()
        if mode == "batched":
            model.predict_many(words, tags, False)
        else:
            beam = 1 if mode == "single" else job["beam"]
            for w, p in zip(words, tags):
                model.predict(w, p, beam, False)
        best = min(best, time.perf_counter() - start)
    return {"seconds": best, "steps": model.steps / len(words)}


def main(argv):
    request = json.loads(Path(argv[0]).read_text(encoding="utf-8"))
    torch.set_num_threads(request.get("threads", 1))
    kinds = {"predict": predict_job, "step": step_job, "time": time_job}
    with torch.inference_mode():
        results = [kinds[job["kind"]](job) for job in request["jobs"]]
    Path(argv[1]).write_text(json.dumps({"jobs": results}, ensure_ascii=False, allow_nan=False), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
