"""Eager reference of the whole default pipeline "tokenize, mwt, pos, lemma,
depparse, ner, sentiment, constituency", composed of the per-model references
in this directory and run on the bundles of one model directory, one document
at a time. Nothing is shared with the C++ code.

    pipeline_reference.py compare MODEL_DIR ACTUAL.json
        ACTUAL is a list of documents as the library annotated them:
        {"text", "conllu", "ner": [[tag per token] per sentence],
         "spans": [[start, end, type, text], ...], "sentiment": [class per
         sentence], "trees": [tree text or null per sentence]}.
        Reads every CoNLL-U back with the `conllu` package and compares it
        field by field, and the other annotations as they are, with the
        reference's; prints {"documents", "sentences", "tokens", "words",
        "too_close", "mismatches": [the first 20 differences]} as JSON.
        "too_close" counts the documents left uncompared because one of
        their decisions is too close to call in float32 (NearTies).
    pipeline_reference.py time MODEL_DIR TEXTS.json THREADS
        prints {"seconds": s, "cpu_seconds": s, "stages": {stage: CPU s},
        "words": n}: the reference over every text of the list, one document
        at a time (wall and process CPU time)
"""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path

import conllu
import torch

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bundle_reference  # noqa: E402
import constituency_reference  # noqa: E402
import depparse_reference  # noqa: E402
import depparse_scoring_reference as scoring  # noqa: E402
import lemma_reference  # noqa: E402
import mwt_reference  # noqa: E402
import ner_reference  # noqa: E402
import pos_reference  # noqa: E402
import sentiment_reference  # noqa: E402
import tokenizer_reference  # noqa: E402

SENTIMENT_BUDGET = 5000  # tokens per batch of one document's sentences


def bundle_dir(model_dir, processor):
    base = Path(model_dir) / "1.10.0" / "en"
    index = json.loads((base / "index.json").read_text(encoding="utf-8"))
    (entry,) = [e for e in index["bundles"] if e["processor"] == processor]
    return base / entry["path"]


def spans_of(text, sentences):
    """Entity spans of well-formed BIOES tags: [start, end, type, text]."""
    spans = []
    for sentence in sentences:
        tokens = sentence["tokens"]
        t = 0
        while t < len(tokens):
            tag = tokens[t]["ner"]
            j = t + 1
            if tag[0] == "B":
                while j < len(tokens) and tokens[j]["ner"][2:] == tag[2:] and tokens[j]["ner"][0] in "IE":
                    j += 1
                    if tokens[j - 1]["ner"][0] == "E":
                        break
            if tag != "O":
                start, end = tokens[t]["start"], tokens[j - 1]["end"]
                spans.append([start, end, tag[2:], text[start:end]])
            t = j
    return spans


class Pipeline:
    def __init__(self, model_dir):
        self.tokenizer = tokenizer_reference.Tokenizer(bundle_dir(model_dir, "tokenize"))
        self.expander = mwt_reference.SplitClassifier(bundle_dir(model_dir, "mwt"))
        self.tagger = pos_reference.Tagger(bundle_dir(model_dir, "pos"))
        self.lemmatiser = lemma_reference.Lemmatiser(bundle_dir(model_dir, "lemma"))
        self.parser = depparse_reference.Parser(bundle_dir(model_dir, "depparse"))
        self.entities = ner_reference.Tagger(bundle_dir(model_dir, "ner"))
        self.sentiment = sentiment_reference.Classifier(bundle_dir(model_dir, "sentiment"))
        self.constituency = constituency_reference.Model(str(bundle_dir(model_dir, "constituency")))
        self.seconds = {}

    def timed(self, stage, fn, *args):
        start = time.process_time()
        result = fn(*args)
        self.seconds[stage] = self.seconds.get(stage, 0.0) + time.process_time() - start
        return result

    def tokenize(self, text):
        sentences = tokenizer_reference.tokenize(self.tokenizer, text, bulk=False)
        flagged = [[(t["text"], t["misc"] == "MWT=Yes") for t in s] for s in sentences]
        expanded = mwt_reference.process_document(self.expander, flagged)
        return [{"tokens": [dict(token, start=t["start"], end=t["end"], flagged=t["misc"] == "MWT=Yes")
                            for token, t in zip(e, s)]}
                for e, s in zip(expanded, sentences)]

    def tag(self, sentences):
        for sentence in sentences:
            words = [w for token in sentence["tokens"] for w in token["words"]]
            sentence["words"] = words
            for word, (upos, xpos, feats) in zip(words, self.tagger.tag(self.tagger.encode([w["text"] for w in words]))):
                word.update(upos=upos, xpos=xpos, feats=feats)

    def lemmatise(self, sentences):
        words = [w for s in sentences for w in s["words"]]
        lemmas, _ = self.lemmatiser.lemmas([w["text"] for w in words], [w["upos"] for w in words], batched=False)
        for word, lemma in zip(words, lemmas):
            word["lemma"] = lemma

    def parse(self, sentences):
        scoring.RELATIONS = self.parser.relations
        for sentence in sentences:
            inputs = self.parser.inputs(sentence["words"])
            arcs, relations = scoring.score_encoded(self.parser.encode(inputs), self.parser.t, self.parser.flags)
            parse = scoring.parse_scored(arcs, relations)
            for word, head, deprel in zip(sentence["words"], parse["heads"], parse["deprels"]):
                word.update(head=head, deprel=deprel)

    def recognise(self, sentences):
        for sentence in sentences:
            tags, _, _ = self.entities.tag([t["text"] for t in sentence["tokens"]])
            for token, tag in zip(sentence["tokens"], tags):
                token["ner"] = tag

    def classify(self, sentences):
        texts = [[t["text"] for t in s["tokens"]] for s in sentences]
        for batch in sentiment_reference.batches(texts, SENTIMENT_BUDGET):
            for i, row in zip(batch, self.sentiment.logits([texts[i] for i in batch])):
                sentences[i]["sentiment"] = int(torch.argmax(row))

    def parse_trees(self, sentences):
        for sentence in sentences:
            words = [w["text"] for w in sentence["words"]]
            tree = self.constituency.parse(words, [w["upos"] for w in sentence["words"]], [])
            sentence["tree"] = constituency_reference.tree_text(tree)

    @torch.inference_mode()
    def process(self, text):
        sentences = self.timed("tokenize+mwt", self.tokenize, text)
        self.timed("pos", self.tag, sentences)
        self.timed("lemma", self.lemmatise, sentences)
        self.timed("depparse", self.parse, sentences)
        self.timed("ner", self.recognise, sentences)
        self.timed("sentiment", self.classify, sentences)
        self.timed("constituency", self.parse_trees, sentences)
        return sentences


def float32_tolerance(gap):
    """How far another float32 computation may lie from the reference's, as the tests' float32_tolerance."""
    return max(8.0 * gap, 1e-7)


class NearTies:
    """Whether a document holds a decision that float32 rounding on another
    CPU could turn: one whose lead over the runner-up lies within what the
    errors of its scores can undo, each score erring by up to
    float32_tolerance of its stage's float64 gap on the document (the stage
    run again by its float64 twin). Covered: the tokenizer's labels (bounded
    as in its own tests), the MWT boundaries, POS classes, entity paths and
    sentiment classes, whose twins are cheap. Not covered: the lemmatiser's
    and the constituency parser's choices, whose twins would double the
    reference's time, and dependency trees, whose margin (the best tree
    against the second best) has no cheap form."""

    def __init__(self, model_dir, pipeline):
        self.pipeline = pipeline
        with bundle_reference.float64_twin():
            self.expander = mwt_reference.SplitClassifier(bundle_dir(model_dir, "mwt"))
            self.tagger = pos_reference.Tagger(bundle_dir(model_dir, "pos"))
            self.entities = ner_reference.Tagger(bundle_dir(model_dir, "ner"))
            self.sentiment = sentiment_reference.Classifier(bundle_dir(model_dir, "sentiment"))

    def labels(self, text):
        tokenizer = self.pipeline.tokenizer
        for units in tokenizer.paragraphs(text):
            _, logits = tokenizer.label_single(units)
            exact = tokenizer.exact_logits(units, tokenizer.last_windows)
            gap = bundle_reference.float64_gap(logits, exact)
            # A difference of two labels' scores moves by at most three times
            # the logits' error, which is at most four times the reference's.
            bound = 3.0 * (4.0 * gap + 1e-6)
            if any(m is not None and m < bound for m in tokenizer_reference.label_margins(exact, tokenizer.use_mwt)):
                return True
        return False

    def expansions(self, sentences):
        for token in (t for sentence in sentences for t in sentence["tokens"]):
            if not token["flagged"]:
                continue
            _, margin = self.pipeline.expander.classify(token["text"])
            with bundle_reference.float64_twin():
                exact = self.expander.differences(token["text"])
            gap = bundle_reference.float64_gap(self.pipeline.expander.differences(token["text"]), exact)
            if margin is not None and margin < float32_tolerance(gap):
                return True
        return False

    def tags(self, sentences):
        tagger = self.pipeline.tagger
        for words in ([w["text"] for w in s["words"]] for s in sentences):
            upos, *scores = tagger.head_scores(tagger.encode(words))
            with bundle_reference.float64_twin():
                _, *exact = self.tagger.head_scores(self.tagger.encode(words), upos)
            margin = pos_reference.smallest_margin([scores[0], *scores[1], *scores[2]])
            if margin < 2.0 * float32_tolerance(bundle_reference.float64_gap(scores, exact)):
                return True
        return False

    def entity_paths(self, sentences):
        entities = self.pipeline.entities
        for tokens in ([t["text"] for t in s["tokens"]] for s in sentences):
            _, scores = entities.forward(tokens)
            with bundle_reference.float64_twin():
                _, exact = self.entities.forward(tokens)
            margin = ner_reference.path_margin(scores.float().numpy(), entities.transitions())
            bound = 2.0 * len(tokens) * float32_tolerance(bundle_reference.float64_gap(scores, exact))
            if margin is not None and margin < bound:
                return True
        return False

    def sentiment_classes(self, sentences):
        texts = [[t["text"] for t in s["tokens"]] for s in sentences]
        for batch in sentiment_reference.batches(texts, SENTIMENT_BUDGET):
            logits = self.pipeline.sentiment.logits([texts[i] for i in batch])
            with bundle_reference.float64_twin():
                exact = self.sentiment.logits([texts[i] for i in batch])
            bound = 2.0 * float32_tolerance(bundle_reference.float64_gap(logits, exact))
            if any(bundle_reference.lead(row) < bound for row in logits):
                return True
        return False

    @torch.inference_mode()
    def __call__(self, text, sentences):
        return (self.labels(text) or self.expansions(sentences) or self.tags(sentences)
                or self.entity_paths(sentences) or self.sentiment_classes(sentences))


def field(value):
    """A CoNLL-U cell as conllu returns it, written back as text."""
    if value is None:
        return "_"
    if isinstance(value, dict):
        return "|".join(f"{k}={v}" for k, v in value.items()) or "_"
    return str(value)


def compare_document(index, reference, actual, mismatches):
    def differ(what, expected, got):
        mismatches.append({"document": index, "what": what, "expected": expected, "actual": got})

    parsed = conllu.parse(actual["conllu"]) if actual["conllu"] else []
    if len(parsed) != len(reference):
        differ("sentence count", len(reference), len(parsed))
        return
    for s, (sentence, lines) in enumerate(zip(reference, parsed)):
        expected_lines = []
        for token in sentence["tokens"]:
            words = token["words"]
            if len(words) > 1:
                expected_lines.append([f"{words[0]['id']}-{words[-1]['id']}", token["text"]] + ["_"] * 6)
            for w in words:
                expected_lines.append([str(w["id"]), w["text"], w["lemma"], w["upos"], w["xpos"], w["feats"],
                                       str(w["head"]), w["deprel"]])
        got_lines = []
        for line in lines:
            ident = line["id"]
            ident = f"{ident[0]}-{ident[2]}" if isinstance(ident, tuple) else str(ident)
            got_lines.append([ident, line["form"]] + [field(line[k]) for k in
                                                       ("lemma", "upos", "xpos", "feats", "head", "deprel")])
        if got_lines != expected_lines:
            for e, g in zip(expected_lines + [None] * len(got_lines), got_lines + [None] * len(expected_lines)):
                if e != g:
                    differ(f"sentence {s} CoNLL-U line", e, g)
                    break
        tags = [t["ner"] for t in sentence["tokens"]]
        if actual["ner"][s] != tags:
            differ(f"sentence {s} entity tags", tags, actual["ner"][s])
        if actual["sentiment"][s] != sentence["sentiment"]:
            differ(f"sentence {s} sentiment", sentence["sentiment"], actual["sentiment"][s])
        if actual["trees"][s] != sentence["tree"]:
            differ(f"sentence {s} tree", sentence["tree"], actual["trees"][s])


def compare(model_dir, actual_path):
    torch.set_num_threads(1)
    pipeline = Pipeline(model_dir)
    near_ties = NearTies(model_dir, pipeline)
    documents = json.loads(Path(actual_path).read_text(encoding="utf-8"))
    mismatches = []
    counts = {"documents": len(documents), "sentences": 0, "tokens": 0, "words": 0, "too_close": 0}
    for index, actual in enumerate(documents):
        reference = pipeline.process(actual["text"])
        counts["sentences"] += len(reference)
        counts["tokens"] += sum(len(s["tokens"]) for s in reference)
        counts["words"] += sum(len(s["words"]) for s in reference)
        if near_ties(actual["text"], reference):
            counts["too_close"] += 1
            continue
        compare_document(index, reference, actual, mismatches)
        spans = spans_of(actual["text"], reference)
        if actual["spans"] != spans:
            mismatches.append({"document": index, "what": "entity spans", "expected": spans, "actual": actual["spans"]})
    print(json.dumps(dict(counts, mismatches=mismatches[:20]), ensure_ascii=False))


def timing(model_dir, texts_path, threads):
    torch.set_num_threads(threads)
    pipeline = Pipeline(model_dir)
    texts = json.loads(Path(texts_path).read_text(encoding="utf-8"))
    start, cpu_start = time.perf_counter(), time.process_time()
    words = 0
    for text in texts:
        words += sum(len(s["words"]) for s in pipeline.process(text))
    print(json.dumps({"seconds": time.perf_counter() - start, "cpu_seconds": time.process_time() - cpu_start,
                      "stages": pipeline.seconds, "words": words}))


def main(argv):
    sys.setrecursionlimit(100000)
    if len(argv) == 3 and argv[0] == "compare":
        compare(argv[1], argv[2])
    elif len(argv) == 4 and argv[0] == "time":
        timing(argv[1], argv[2], int(argv[3]))
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
