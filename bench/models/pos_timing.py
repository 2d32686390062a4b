"""Times the eager PyTorch reference tagger on documents, for pos_bench.

    pos_timing.py BUNDLE DOCUMENTS.json [--threads N] [--repeat R]

DOCUMENTS is a list of documents, each a list of sentences (lists of words).
Prints JSON {"words", "single_seconds", "bulk_seconds"}: the best of R runs of
tagging every sentence alone, document by document, and of tagging all
sentences at once in the configured batches.
"""

import argparse
import json
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "reference"))
import pos_reference  # noqa: E402


def tag_single(tagger, documents):
    for document in documents:
        for words in document:
            if words:
                tagger.tag(tagger.encode(words))


def tag_bulk(tagger, documents, batch_size, max_tokens):
    sentences = [words for document in documents for words in document]
    encoded = tagger.encode_many(sentences, batch_size, max_tokens)
    rows = [e for e in encoded if e is not None]
    for start in range(0, len(rows), batch_size):
        tagger.tag(torch.cat(rows[start : start + batch_size]))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bundle")
    parser.add_argument("documents")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    tagger = pos_reference.Tagger(args.bundle)
    config = json.loads((Path(args.bundle) / "assets.json").read_text(encoding="utf-8"))["config"]
    documents = json.loads(Path(args.documents).read_text(encoding="utf-8"))
    runs = {
        "single_seconds": lambda: tag_single(tagger, documents),
        "bulk_seconds": lambda: tag_bulk(tagger, documents, config["batch_size"], config["batch_maximum_tokens"]),
    }
    best = {}
    with torch.no_grad():
        for key, run in runs.items():
            times = []
            for _ in range(args.repeat):
                started = time.perf_counter()
                run()
                times.append(time.perf_counter() - started)
            best[key] = min(times)
    words = sum(len(words) for document in documents for words in document)
    print(json.dumps({"words": words, **best}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
