"""Times the eager PyTorch reference tokenizer on a text, for tokenizer_bench.

    tokenizer_timing.py BUNDLE TEXT_FILE [--threads N] [--repeat R]

Prints JSON {"chars", "single_seconds", "bulk_seconds"}: the best of R runs of
tokenizing the whole text into sentences, every paragraph alone (windowed
path), then in bulk batches. With one thread the times are the thread's CPU
time (the wall time of an idle machine), wall time otherwise.
"""

import argparse
import json
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "reference"))
import tokenizer_reference  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bundle")
    parser.add_argument("text")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    tok = tokenizer_reference.Tokenizer(args.bundle)
    text = Path(args.text).read_text(encoding="utf-8")
    clock = time.thread_time if args.threads == 1 else time.perf_counter
    best = {}
    for bulk in (False, True):
        times = []
        for _ in range(args.repeat):
            started = clock()
            tokenizer_reference.tokenize(tok, text, bulk)
            times.append(clock() - started)
        best["bulk_seconds" if bulk else "single_seconds"] = min(times)
    print(json.dumps({"chars": len(text), **best}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
