"""Inputs and eager baselines for the dependency scoring and decoding bench.

    depparse_scoring_timing.py data DIR
        writes DIR/bundle: scorer weights of realistic size (encoder width 800,
        deep biaffine 400, 40 relation classes), the encoded sentences "x<i>"
        (400 of 5-60 words, then one of 300 and one of 1,000) and the arc score
        matrices "m<n>_<k>" for the decoder.
    depparse_scoring_timing.py time THREADS
        prints JSON: seconds of the eager batched scoring of all sentences and
        of the longest alone, and of the reference decoder per matrix size.
    depparse_scoring_timing.py peak bulk|long
        prints the growth of peak resident memory, in bytes, while the eager
        reference scores all sentences or the longest one.
"""

from __future__ import annotations

import json
import resource
import sys
import time
from pathlib import Path

import torch
import torch.nn.functional as F

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "reference"))
sys.path.insert(0, str(HERE.parents[1] / "tests" / "fixtures"))
import bundle_writer  # noqa: E402
import depparse_scoring_reference as ref  # noqa: E402

HIDDEN, DEEP, CLASSES, BATCH = 800, 400, 40, 5000
SENTENCES, LONG = 400, [300, 1000]
DECODE_SIZES = {10: 200, 30: 60, 100: 12, 300: 3, 1000: 1}  # matrix size n: count
FLAGS = {"linearization": True, "distance": True}
ref.HIDDEN = HIDDEN


def weights():
    gen = torch.Generator().manual_seed(5)
    result = {}
    for scorer, outputs in (("unlabeled", 1), ("deprel", CLASSES), ("linearization", 1), ("distance", 1)):
        for key, value in ref.scorer_weights(scorer, DEEP, DEEP, outputs, torch.float32, gen).items():
            result[key] = value * 0.2
    return result


def sentences():
    gen = torch.Generator().manual_seed(6)
    lengths = torch.randint(5, 61, (SENTENCES,), generator=gen).tolist() + LONG
    return [torch.randn(1, n + 1, HIDDEN, generator=gen) for n in lengths]


def matrices():
    gen = torch.Generator().manual_seed(7)
    out = {}
    for n, count in DECODE_SIZES.items():
        for k in range(count):
            logits = torch.randn(n + 1, n + 1, generator=gen, dtype=torch.float64) * 3
            out[f"m{n}_{k}"] = F.log_softmax(logits.fill_diagonal_(-ref.INF), 1)
    return out


def write_data(directory):
    tensors = weights()
    tensors.update({f"x{i}": x for i, x in enumerate(sentences())})
    tensors.update(matrices())
    bundle_writer.write_bundle(Path(directory) / "bundle", processor="depparse",
                               config={"sentences": SENTENCES + len(LONG), "decode_sizes": DECODE_SIZES},
                               tensors=tensors)


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def timings(threads):
    torch.set_num_threads(threads)
    w, xs, ms = weights(), sentences(), matrices()
    with torch.inference_mode():
        many = best_of(2, lambda: ref.score_encoded_many(xs, w, FLAGS, BATCH))
        long = best_of(2, lambda: ref.score_encoded(xs[-1], w, FLAGS))
    decode = {}
    for n, count in DECODE_SIZES.items():
        if n <= 300:
            lists = [ms[f"m{n}_{k}"].tolist() for k in range(count)]
            decode[str(n)] = best_of(1, lambda: [ref.decode_single_root(m) for m in lists]) / count
    return {"many": many, "long": long, "decode": decode}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def peak(which):
    torch.set_num_threads(1)
    w, xs = weights(), sentences()
    if which == "long":
        xs = xs[-1:]
    with torch.inference_mode():
        before = resident_bytes()
        ref.score_encoded_many(xs, w, FLAGS, BATCH)
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before


if __name__ == "__main__":
    if sys.argv[1] == "data":
        write_data(sys.argv[2])
    elif sys.argv[1] == "time":
        print(json.dumps(timings(int(sys.argv[2]))))
    else:
        print(peak(sys.argv[2]))
