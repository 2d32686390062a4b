"""Runs the eager PyTorch reference classifier for sentiment_bench.

    sentiment_timing.py BUNDLE SENTENCES.json BUDGET [--threads N] [--repeat R]

Prints JSON {"seconds": best of R runs classifying every sentence (batches
as the engine cuts them), "peak_extra_kb": peak resident memory of the runs
above what the process held after loading the bundle}.
"""

import argparse
import json
import resource
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "reference"))
import sentiment_reference  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bundle")
    parser.add_argument("sentences")
    parser.add_argument("budget", type=int)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    sentences = json.loads(Path(args.sentences).read_text(encoding="utf-8"))
    model = sentiment_reference.Classifier(args.bundle)
    loaded_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    with torch.no_grad():
        for _ in range(args.repeat):
            started = time.perf_counter()
            for batch in sentiment_reference.batches(sentences, args.budget):
                model.logits([sentences[i] for i in batch]).argmax(1)
            times.append(time.perf_counter() - started)
    peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": min(times), "peak_extra_kb": peak_kb - loaded_kb}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
