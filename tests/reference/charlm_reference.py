"""Eager PyTorch computation of the character language model, for comparison
with the library. Reads a bundle's files itself (manifest, assets, tensor
file) and runs torch.nn.LSTM with the model's learned initial states.

A sentence becomes one stream of character ids: the line feed, then every
word's characters (code points) followed by a space; a backward model takes
the words from last to first, each spelled backwards. A word's row is the
top layer's output at its space; rows come back in input word order.

    charlm_reference.py rows REQUEST.json RESULT.json
        REQUEST: {"models": [{"bundle": dir, "prefix": "", "key": null | "name",
                              "sentences": [[word, ...], ...]}, ...]}
        RESULT:  {"models": [{"ids": [[...]], "positions": [[...]],
                              "rows": [[[float, ...], ...], ...], "float64_gap": float}, ...]}
        (one sentence at a time, as a batch of one; float64_gap: the largest
        difference of any row from the float64 twin's, see bundle_reference)
    charlm_reference.py time BUNDLE SENTENCES.json [--threads N] [--repeat R]
        prints the best time in seconds of encoding every sentence in packed
        batches of 64 consecutive sentences, each sorted longest first: the
        thread's CPU time with one thread (the wall time of an idle machine),
        wall time otherwise.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import torch
import bundle_reference  # noqa: E402

BATCH = 64


def load_tensors(bundle: Path) -> tuple[dict, dict]:
    _, assets, tensors = bundle_reference.read_bundle(bundle)
    return assets, tensors


class CharLM:
    def __init__(self, assets: dict, tensors: dict, prefix: str):
        config = assets["config"]
        self.hidden = config["char_hidden_dim"]
        self.layers = config["char_num_layers"]
        self.forward = assets["is_forward_lm"]
        self.vocab = assets["vocab"]["_unit2id"]
        self.unknown = self.vocab.get("<UNK>", 1)
        self.embedding = tensors[prefix + "char_emb.weight"]
        self.h0 = tensors[prefix + "charlstm_h_init"]
        self.c0 = tensors[prefix + "charlstm_c_init"]
        self.lstm = torch.nn.LSTM(self.embedding.shape[1], self.hidden, self.layers, batch_first=True)
        self.lstm = self.lstm.to(self.embedding.dtype).eval()
        with torch.no_grad():
            for name, parameter in self.lstm.named_parameters():
                parameter.copy_(tensors[prefix + "charlstm.lstm." + name])

    def ids(self, words: list[str]) -> tuple[list[int], list[int]]:
        if not self.forward:
            words = [word[::-1] for word in reversed(words)]  # Python strings index code points
        ids = [self.vocab["\n"]]
        positions = []
        for word in words:
            ids.extend(self.vocab.get(ch, self.unknown) for ch in word)
            positions.append(len(ids))
            ids.append(self.vocab[" "])
        if not self.forward:
            positions.reverse()
        return ids, positions

    def encode(self, words: list[str]) -> torch.Tensor:
        ids, positions = self.ids(words)
        if not words:
            return torch.empty(0, self.hidden, dtype=self.embedding.dtype)
        embedded = torch.nn.functional.embedding(torch.tensor([ids]), self.embedding)
        output, _ = self.lstm(embedded, (self.h0.contiguous(), self.c0.contiguous()))
        return output[0, positions]

    def encode_packed(self, sentences: list[list[str]]) -> list[torch.Tensor]:
        results: list = [None] * len(sentences)
        encoded = [self.ids(words) for words in sentences]
        for start in range(0, len(sentences), BATCH):
            members = sorted(range(start, min(start + BATCH, len(sentences))),
                             key=lambda i: -len(encoded[i][0]))
            longest = len(encoded[members[0]][0])
            matrix = torch.full((len(members), longest), self.vocab["\n"], dtype=torch.long)
            lengths = []
            for row, i in enumerate(members):
                matrix[row, : len(encoded[i][0])] = torch.tensor(encoded[i][0])
                lengths.append(len(encoded[i][0]))
            packed = torch.nn.utils.rnn.pack_padded_sequence(
                torch.nn.functional.embedding(matrix, self.embedding), torch.tensor(lengths), batch_first=True)
            state = (self.h0.expand(-1, len(members), -1).contiguous(),
                     self.c0.expand(-1, len(members), -1).contiguous())
            output, _ = self.lstm(packed, state)
            padded, _ = torch.nn.utils.rnn.pad_packed_sequence(output, batch_first=True, total_length=longest)
            for row, i in enumerate(members):
                results[i] = padded[row, encoded[i][1]]
        return results


def load_model(bundle: str, prefix: str = "", key: str | None = None) -> CharLM:
    assets, tensors = load_tensors(Path(bundle))
    return CharLM(assets if key is None else assets[key], tensors, prefix)


def rows(request_file: str, result_file: str) -> None:
    request = json.loads(Path(request_file).read_text())
    torch.set_num_threads(1)  # tiny tensors: more threads only contend with other test programs
    results = []
    with torch.inference_mode():
        for job in request["models"]:
            model = load_model(job["bundle"], job.get("prefix", ""), job.get("key"))
            encoded = [model.ids(words) for words in job["sentences"]]
            rows = [model.encode(words) for words in job["sentences"]]
            with bundle_reference.float64_twin():
                twin = load_model(job["bundle"], job.get("prefix", ""), job.get("key"))
                exact = [twin.encode(words) for words in job["sentences"]]
            results.append({
                "ids": [ids for ids, _ in encoded],
                "positions": [positions for _, positions in encoded],
                "rows": [r.double().tolist() for r in rows],
                "float64_gap": bundle_reference.float64_gap(rows, exact),
            })
    Path(result_file).write_text(json.dumps({"models": results}))


def timing(bundle: str, sentences_file: str, threads: int, repeat: int) -> None:
    torch.set_num_threads(threads)
    model = load_model(bundle)
    sentences = json.loads(Path(sentences_file).read_text())
    clock = time.thread_time if threads == 1 else time.perf_counter
    best = float("inf")
    with torch.inference_mode():
        for _ in range(repeat):
            start = clock()
            model.encode_packed(sentences)
            best = min(best, clock() - start)
    print(f"{best:.9f}")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="mode", required=True)
    rows_parser = sub.add_parser("rows")
    rows_parser.add_argument("request")
    rows_parser.add_argument("result")
    time_parser = sub.add_parser("time")
    time_parser.add_argument("bundle")
    time_parser.add_argument("sentences")
    time_parser.add_argument("--threads", type=int, default=1)
    time_parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    if args.mode == "rows":
        rows(args.request, args.result)
    else:
        timing(args.bundle, args.sentences, args.threads, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
