"""Reference lemmatiser, used to check the C++ engine.

It reads a "lemma" bundle directly (manifest and assets JSON) for the settings
and the POS-keyed dictionary, and asks the eager sequence-to-sequence
reference (seq2seq_reference.Model) for the words the dictionary does not
settle, then applies the edit class and the clean-up rules.

Command line:

    lemma_reference.py REQUEST.json RESULT.json

REQUEST is {"jobs": [...]}; RESULT is {"jobs": [...]} with one result per job:

  {"bundle": DIR, "random": N, "seed": S}
      -> {"words", "upos", "single", "batched", "misses", "margins",
         "float64_gap"}: N non-empty random words with their UPOS tags (null:
         none), the lemma of each word with one model call per miss
         ("single") and with one batched call for all misses ("batched"), the
         number of misses, and the model's margins per word (null: settled
         without the model, or no close choice) and float64 gap as
         seq2seq_reference's predict jobs report them.
  {"kind": "time", "bundle": DIR, "words": [...], "upos": [...], "batched":
   bool, "repeat": R}
      -> {"seconds": best of R}
"""

from __future__ import annotations

import json
import math
import random
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bundle_reference  # noqa: E402
from seq2seq_reference import Model, greedy_gap  # noqa: E402

LETTERS = list("abcdefghijklmnop") + ["\u00e9", "\u00df", "A", "B", "\u00c9", "x", "\u0436", "\u0416"]
TAGS = ["NOUN", "VERB", "ADJ", None, "", "PROPN"]


def lower(text):
    # Code point by code point: full mappings without context rules.
    return "".join(ch.lower() for ch in text)


class Lemmatiser:
    def __init__(self, bundle_dir):
        root = Path(bundle_dir)
        manifest = json.loads((root / "manifest.json").read_text(encoding="utf-8"))
        assets = json.loads((root / manifest["assets"]["path"]).read_text(encoding="utf-8"))
        config = assets["config"] if isinstance(assets.get("config"), dict) else {}
        flag = lambda key: config.get(key) is True  # noqa: E731
        self.dict_only = flag("dict_only")
        self.ensemble = flag("ensemble_dict")
        top = assets.get("caseless")
        self.caseless = top if top is not None else flag("caseless")
        self.dictionary = {
            pos: {word: lemma for word, lemma in entries.items() if lemma is not None}
            for pos, entries in assets["pos_dict"].items()
        }
        self.model = None if self.dict_only else Model(bundle_dir)
        self.bundle_dir = bundle_dir

    def key(self, word):
        return lower(word) if self.caseless else word

    def settle(self, key, pos_key):
        """(True, lemma) without the model, or (False, None)."""
        if self.dict_only or self.ensemble:
            for level in (pos_key, "*"):
                if key in self.dictionary.get(level, {}):
                    return True, self.dictionary[level][key] or "_"
        if self.dict_only or self.model is None:
            return True, key or "_"
        return False, None

    def finish(self, prediction, key):
        text, edit = prediction
        if edit is not None:
            if edit not in (0, 1, 2):
                raise ValueError("seq2seq returned an unknown lemma edit class")
            text = [text, key, lower(key)][edit]
        if not text or "<UNK>" in text:
            text = key
        return text or "_"

    def model_inputs(self, words, upos):
        """(keys, POS keys, indices of the words the model must settle)."""
        keys = [self.key(w) for w in words]
        pos_keys = ["_" if p is None else p for p in upos]
        return keys, pos_keys, [i for i, (k, p) in enumerate(zip(keys, pos_keys)) if not self.settle(k, p)[0]]

    def lemmas(self, words, upos, batched, leads=None):
        """(lemmas, number of model calls' words); `leads` (one number per
        word) keeps the smallest lead of a model choice for each word."""
        keys, pos_keys, misses = self.model_inputs(words, upos)
        results = [self.settle(k, p)[1] for k, p in zip(keys, pos_keys)]
        beam = self.model.beam_size if self.model else 1
        if batched and beam == 1 and misses:
            miss_leads = [math.inf] * len(misses)
            predictions = self.model.predict_many([keys[i] for i in misses], [pos_keys[i] for i in misses], False,
                                                  miss_leads)
        else:
            predictions, miss_leads = [], []
            for i in misses:
                self.model.lead = math.inf
                predictions.append(self.model.predict(keys[i], pos_keys[i], beam, False))
                miss_leads.append(self.model.lead)
        for i, prediction, lead in zip(misses, predictions, miss_leads):
            results[i] = self.finish(prediction, keys[i])
            if leads is not None:
                leads[i] = min(leads[i], lead)
        return results, len(misses)

    def float64_gap(self, words, upos):
        """The model's float64 gap along the greedy paths of the words it settles."""
        if self.model is None:
            return 0.0
        keys, pos_keys, misses = self.model_inputs(words, upos)
        with bundle_reference.float64_twin():
            twin = Model(self.bundle_dir)
        return max((greedy_gap(self.model, twin, keys[i], pos_keys[i], False) for i in misses), default=0.0)


def random_words(lemmatiser, count, seed):
    """Words of which about half are dictionary keys (some capitalised)."""
    rng = random.Random(seed)
    keys = sorted({key for entries in lemmatiser.dictionary.values() for key in entries if key})
    words, upos = [], []
    for _ in range(count):
        if keys and rng.random() < 0.5:
            word = rng.choice(keys)
            if rng.random() < 0.3:
                word = word[0].upper() + word[1:]
        else:
            word = "".join(rng.choice(LETTERS) for _ in range(rng.randint(1, 7)))
        words.append(word)
        upos.append(rng.choice(TAGS))
    return words, upos


def run_job(job):
    lemmatiser = Lemmatiser(job["bundle"])
    words, upos = random_words(lemmatiser, job["random"], job["seed"])
    leads = [math.inf] * len(words)
    single, misses = lemmatiser.lemmas(words, upos, batched=False, leads=leads)
    batched, _ = lemmatiser.lemmas(words, upos, batched=True, leads=leads)
    return {"words": words, "upos": upos, "single": single, "batched": batched, "misses": misses,
            "margins": [bundle_reference.as_margin(lead) for lead in leads],
            "float64_gap": lemmatiser.float64_gap(words, upos)}


def time_job(job):
    lemmatiser = Lemmatiser(job["bundle"])
    best = float("inf")
    for _ in range(job.get("repeat", 3)):
        start = time.perf_counter()
        lemmatiser.lemmas(job["words"], job["upos"], batched=job["batched"])
        best = min(best, time.perf_counter() - start)
    return {"seconds": best}


def main(argv):
    request = json.loads(Path(argv[0]).read_text(encoding="utf-8"))
    torch.set_num_threads(1)
    with torch.inference_mode():
        results = [time_job(job) if job.get("kind") == "time" else run_job(job) for job in request["jobs"]]
    Path(argv[1]).write_text(json.dumps({"jobs": results}, ensure_ascii=False), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
