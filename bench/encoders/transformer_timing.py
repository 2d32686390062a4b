"""Baseline timings for transformer_bench: the compiled test package run from
Python (torch._inductor.aoti_load_package) and its eager PyTorch module, on
the same identifiers, with the encoder's window rule, on one intra-op thread.

    transformer_timing.py REQUEST.json

REQUEST: {"packages_dir", "package", "max_length", "repetitions",
"inputs": [[ids...], ...]}. Prints JSON {"load": seconds, "package": [seconds
per input], "eager": [...]}: best times of loading the package, and of
computing every row of each input (windows of max_length positions started
every step positions, each position from the earliest window holding it).
"""

import json
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "fixtures"))
import transformer_packages  # noqa: E402


def best(repetitions, fn):
    times = []
    for _ in range(max(repetitions, 1)):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def windowed_rows(run, ids, length):
    n = ids.shape[1]
    if n <= length:
        return run(ids)[0]
    step = max(max(length, 20) - 20, length // 2)
    overlap = length - step
    pieces, start = [], 0
    while True:
        end = min(start + length, n)
        rows = run(ids[:, start:end])[0]
        pieces.append(rows if start == 0 else rows[overlap:])
        if end == n:
            return torch.cat(pieces)
        start += step


def main():
    request = json.loads(Path(sys.argv[1]).read_text())
    torch.set_num_threads(1)
    packages_dir = Path(request["packages_dir"])
    name, length, repetitions = request["package"], request["max_length"], request["repetitions"]
    package_path = str(packages_dir / json.loads((packages_dir / "packages.json").read_text())[name]["package"])
    load = best(repetitions, lambda: torch._inductor.aoti_load_package(package_path))
    compiled = torch._inductor.aoti_load_package(package_path)
    eager = transformer_packages.load_module(packages_dir, name)
    result = {"load": load, "package": [], "eager": []}
    with torch.inference_mode():
        for ids in request["inputs"]:
            ids = torch.tensor([ids], dtype=torch.int64)
            for key, module in (("package", compiled), ("eager", eager)):
                run = lambda piece, module=module: module(piece, torch.ones_like(piece))  # noqa: E731
                result[key].append(best(repetitions, lambda: windowed_rows(run, ids, length)))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
