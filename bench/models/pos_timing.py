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
import torch.nn.functional as F
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence, pad_sequence

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "reference"))
import pos_reference  # noqa: E402


def encode_many(tagger, sentences, batch_size, max_tokens):
    """The reference's encode() of every sentence, run as the batched path
    specifies: length-sorted padded batches of at most batch_size sentences
    and max_tokens padded word slots, packed through the LSTM layers."""
    order = sorted((i for i, words in enumerate(sentences) if words), key=lambda i: -len(sentences[i]))
    inputs = {i: tagger.inputs(sentences[i]).squeeze(0) for i in order}
    results = [None] * len(sentences)
    start = 0
    while start < len(order):
        longest, end = len(sentences[order[start]]), start + 1
        while end < len(order) and end - start + 1 <= batch_size and longest * (end - start + 1) <= max_tokens:
            end += 1
        batch = order[start:end]
        x = pad_sequence([inputs[i] for i in batch], batch_first=True)
        lengths = torch.tensor([len(sentences[i]) for i in batch])
        for k, lstm in enumerate(tagger.tagger):
            state = tuple(tagger.t[f"taggerlstm_{s}_init"][2 * k : 2 * k + 2].expand(-1, len(batch), -1).contiguous()
                          for s in ("h", "c"))
            out, _ = lstm(pack_padded_sequence(x, lengths, batch_first=True), state)
            out, _ = pad_packed_sequence(out, batch_first=True, total_length=longest)
            gate = torch.sigmoid(F.linear(x, tagger.t[f"taggerlstm.gate.{k}.weight"], tagger.t[f"taggerlstm.gate.{k}.bias"]))
            highway = torch.tanh(F.linear(x, tagger.t[f"taggerlstm.highway.{k}.weight"], tagger.t[f"taggerlstm.highway.{k}.bias"]))
            x = out + gate * highway
        for j, i in enumerate(batch):
            results[i] = x[j, : len(sentences[i])]
        start = end
    return results


def tag_single(tagger, documents):
    for document in documents:
        for words in document:
            if words:
                tagger.tag(tagger.encode(words))


def tag_bulk(tagger, documents, batch_size, max_tokens):
    sentences = [words for document in documents for words in document]
    encoded = encode_many(tagger, sentences, batch_size, max_tokens)
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
