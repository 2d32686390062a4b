"""Reference rows of the transformer encoder, computed with PyTorch from the
encoder's rules, for the same compiled packages the library runs:

  * a word that yields no subword is given the unknown id in its place;
  * a sequence longer than the maximum length L runs in windows of L
    positions starting every `step` positions, step = max(max(L, 20) - 20,
    L // 2), the last one cut at the end; every position takes its state from
    the earliest window that holds it;
  * each word is represented by its last subword, the endpoints (with
    keep_endpoints) by the first and last position.

The references of models with a transformer take their rows from WordRows,
which runs the compiled package itself.

    transformer_reference.py REQUEST.json OUT_PREFIX

REQUEST: {"packages_dir": dir, "cases": [case...]}, a case being
  {"package", "ids", "word_ids", "words", "unknown_id", "max_length", "keep_endpoints"}
    (the tokenizer's encoding with special tokens, before any filling), or
  {"package", "ids", "mask"} (one run over the identifiers; empty mask = ones).
Writes OUT_PREFIX.bin (float32 little-endian) and OUT_PREFIX.json: per case
{"windowed_eager", "windowed_package", "full_eager"}, each [offset in floats,
rows, columns]: the eager module and the package run from Python with the
window rule, and the eager module over the whole sequence in one run; and
"float64_gap", the largest difference between the eager module's rows and
those of its float64 twin (weights widened) on the same inputs, which bounds
how far any float32 computation of these rows may stray.
"""

import json
import logging
import sys
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fixtures"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import bundle_reference  # noqa: E402
import transformer_packages  # noqa: E402


def every_word_filled(ids, word_ids, words, unknown_id):
    """[CLS] subwords of word 0, 1, ... [SEP], a word without any given the unknown id."""
    pairs = list(zip(ids, word_ids))
    per_word = [[p for p in pairs[1:-1] if p[1] == word] or [(unknown_id, word)] for word in range(words)]
    rows = pairs[:1] + [p for group in per_word for p in group] + pairs[-1:]
    return [i for i, _ in rows], [w for _, w in rows]


def windows(n, length):
    if n <= length:
        return [(0, n)]
    step = max(max(length, 20) - 20, length // 2)
    if step <= 4:
        raise ValueError("too small for overlapping slices")
    out, start = [], 0
    while True:
        out.append((start, min(start + length, n)))
        if start + length >= n:
            return out
        start += step


def windowed(run, ids, length):
    n = len(ids)
    states, owner = None, [None] * n
    for start, end in windows(n, length):
        rows = run(ids[start:end])
        if states is None:
            states = torch.empty(n, rows.shape[1], dtype=rows.dtype)
        for p in range(start, end):
            if owner[p] is None:
                owner[p] = (start, end)
                states[p] = rows[p - start]
    return states


def selected(states, word_ids, words, keep_endpoints):
    last = {w: p for p, w in enumerate(word_ids) if 0 <= w < words}
    index = ([0] if keep_endpoints else []) + [last[w] for w in range(words)]
    index += [len(word_ids) - 1] if keep_endpoints else []
    return states[index] if index else states[:0]


def unknown_id(tokenizer):
    """The identifier a "tokenizer" assets object gives a word without subwords."""
    if "unknown_id" in tokenizer:
        return tokenizer["unknown_id"]
    return tokenizer["vocabulary"].index(tokenizer["unknown_token"])


def load_package(packages_dir, package):
    """The compiled package itself, loaded with PyTorch's own package loader.

    The loader warns when the kernel set chosen for this process
    (ATEN_CPU_CAPABILITY) is not the one the package was compiled on; the
    package runs all the same, and the warning would mix into the output
    that the tests read."""
    logging.getLogger("torch.export.pt2_archive._package").setLevel(logging.ERROR)
    index = json.loads((Path(packages_dir) / "packages.json").read_text())
    return torch._inductor.aoti_load_package(str(Path(packages_dir) / index[package]["package"]))


class WordRows:
    """A model's transformer rows for one sentence: the compiled package run
    from Python by the fill, window and row rules above over the tokenizer's
    encoding with special tokens (ids, word_ids). `assets` is the bundle's
    "transformer" object.

    The rows come from the package, not from its eager module, so that the
    model reference downstream sees the rows the library sees: the package's
    kernels sum in another order than the eager module's, by an amount that
    depends on the CPU, and the encoder's own tests bound that difference.
    The model math after the rows is then compared as tightly as in the
    models without a transformer."""

    def __init__(self, assets, packages_dir, package):
        self.package = load_package(packages_dir, package)
        self.max_length = assets["model_max_length"]
        self.unknown = unknown_id(assets["tokenizer"])

    def run(self, ids):
        ids = torch.tensor([ids], dtype=torch.int64)
        return bundle_reference.float32_rows(self.package, ids, torch.ones_like(ids))[0]

    def __call__(self, ids, word_ids, words, keep_endpoints):
        ids, word_ids = every_word_filled(ids, word_ids, words, self.unknown)
        return selected(windowed(self.run, ids, self.max_length), word_ids, words, keep_endpoints)


def main(request_path, out_prefix):
    request = json.loads(Path(request_path).read_text())
    packages_dir = Path(request["packages_dir"])
    eager, eager64, compiled = {}, {}, {}
    torch.set_num_threads(1)
    blob, results = [], []
    offset = 0

    def store(tensor):
        nonlocal offset
        tensor = tensor.detach().to(torch.float32).contiguous()
        rows, cols = (tensor.shape[0], tensor.shape[1]) if tensor.dim() == 2 else (0, 0)
        blob.append(tensor.numpy().astype("<f4").tobytes())
        entry = [offset, rows, cols]
        offset += rows * cols
        return entry

    def runner(module):
        def run(ids, mask=None):
            ids = torch.tensor([ids], dtype=torch.int64)
            mask = torch.ones_like(ids) if not mask else torch.tensor([mask], dtype=torch.int64)
            return module(ids, mask)[0]
        return run

    with torch.no_grad():
        for case in request["cases"]:
            name = case["package"]
            if name not in eager:
                eager[name] = transformer_packages.load_module(packages_dir, name)
                eager64[name] = transformer_packages.load_module(packages_dir, name).double()
                compiled[name] = load_package(packages_dir, name)
            run_eager, run_eager64, run_package = runner(eager[name]), runner(eager64[name]), runner(compiled[name])

            if "word_ids" not in case:
                # One run over the identifiers, whatever their number.
                outputs = {key: run(case["ids"], case["mask"]) for key, run in
                           (("windowed_eager", run_eager), ("windowed_package", run_package),
                            ("full_eager", run_eager), ("windowed_eager64", run_eager64),
                            ("full_eager64", run_eager64))}
            else:
                ids, word_ids = every_word_filled(case["ids"], case["word_ids"], case["words"], case["unknown_id"])
                pick = lambda states: selected(states, word_ids, case["words"], case["keep_endpoints"])  # noqa: E731
                outputs = {
                    "windowed_eager": pick(windowed(run_eager, ids, case["max_length"])),
                    "windowed_package": pick(windowed(run_package, ids, case["max_length"])),
                    "full_eager": pick(run_eager(ids)),
                    "windowed_eager64": pick(windowed(run_eager64, ids, case["max_length"])),
                    "full_eager64": pick(run_eager64(ids)),
                }
            result = {key: store(outputs[key]) for key in ("windowed_eager", "windowed_package", "full_eager")}
            # How far float32 rounding takes the eager module from its float64 twin on these inputs.
            result["float64_gap"] = max(
                ((outputs[key].double() - outputs[key + "64"]).abs().max().item() if outputs[key].numel() else 0.0)
                for key in ("windowed_eager", "full_eager"))
            results.append(result)
    Path(out_prefix + ".bin").write_bytes(b"".join(blob))
    Path(out_prefix + ".json").write_text(json.dumps(results))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
