"""Reads a model bundle for the eager references: manifest, assets and every tensor, as the files store them.

The references read bundles with plain numpy/torch on purpose, so a fault in the C++ bundle layer cannot hide
behind a shared reader.

The float64 twin: a reference runs its float32 computation a second time inside `float64_twin()`, where every
floating-point tensor read_bundle returns is widened to float64 and tensors made without a dtype are float64,
and reports `float64_gap(ours, twin)`: how far float32 rounding took it from the same function in float64 on the
same inputs. Any other float32 computation of that function (the library's, whatever order its kernels sum in)
strays by about as much, which is what the tests derive their tolerances from. With LORVANE_CHECK_TWIN=1 in
the environment, an operation on a float32 tensor inside the twin raises, which shows that a reference left
nothing in float32 (slow: for checking a reference after a change, not for every run).
"""

from __future__ import annotations

import contextlib
import json
import os
from pathlib import Path

import torch
from torch.utils._python_dispatch import TorchDispatchMode, _disable_current_modes
from torch.utils._pytree import tree_flatten

TORCH_DTYPES = {
    "float32": torch.float32, "float64": torch.float64, "float16": torch.float16, "bfloat16": torch.bfloat16,
    "int64": torch.int64, "int32": torch.int32, "int16": torch.int16, "int8": torch.int8,
    "uint8": torch.uint8, "bool": torch.bool,
}


def read_bundle(path) -> tuple[dict, dict, dict]:
    """(manifest, assets, {name: tensor}); the first entry of a repeated name wins, other dtypes are skipped."""
    root = Path(path)
    manifest = json.loads((root / "manifest.json").read_text(encoding="utf-8"))
    assets = json.loads((root / manifest["assets"]["path"]).read_text(encoding="utf-8"))
    raw = (root / manifest["tensor_file"]["path"]).read_bytes()
    tensors = {}
    for entry in manifest["tensors"]:
        dtype = TORCH_DTYPES.get(entry["dtype"])
        if dtype is None or entry["name"] in tensors:
            continue
        chunk = bytearray(raw[entry["offset"] : entry["offset"] + entry["nbytes"]])
        with _disable_current_modes():
            flat = torch.frombuffer(chunk, dtype=dtype) if chunk else torch.empty(0, dtype=dtype)
            tensors[entry["name"]] = widened(flat.reshape(entry["shape"]))
    return manifest, assets, tensors


_twin_depth = 0


def in_twin() -> bool:
    return _twin_depth > 0


def widened(tensor: torch.Tensor) -> torch.Tensor:
    """The tensor, in float64 inside the twin when it holds floating-point numbers: for the float32 inputs
    that both runs share."""
    if not in_twin() or not tensor.is_floating_point():
        return tensor
    with _disable_current_modes():
        return tensor.double()


class _Float32Alarm(TorchDispatchMode):
    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        out = func(*args, **(kwargs or {}))
        if any(isinstance(t, torch.Tensor) and t.dtype == torch.float32 for t in tree_flatten((args, kwargs, out))[0]):
            raise AssertionError(f"float32 tensor in the float64 twin: {func}")
        return out


@contextlib.contextmanager
def float64_twin():
    """The block runs as the float64 twin of the reference's float32 computation (see the module's text)."""
    global _twin_depth
    previous = torch.get_default_dtype()
    _twin_depth += 1
    torch.set_default_dtype(torch.float64)
    try:
        with _Float32Alarm() if os.environ.get("LORVANE_CHECK_TWIN") == "1" else contextlib.nullcontext():
            yield
    finally:
        torch.set_default_dtype(previous)
        _twin_depth -= 1


def float32_rows(run, *args):
    """run(*args) for a computation that stays float32 in both runs (a compiled package, which takes no
    float64 weights); the twin gets its rows widened, so that its gap covers the model math after them."""
    if not in_twin():
        return run(*args)
    with _disable_current_modes():
        return run(*args).double()


def lead(scores) -> float:
    """How far the best of the scores (a 1-D tensor or list) lies above the next lower finite one (infinite when
    there is none). Scores equal to the best are a tie by construction (the same value computed the same way),
    which the lowest index settles alike on every side, so the lead counts from the next lower score."""
    values = torch.as_tensor(scores, dtype=torch.float64).reshape(-1)
    values = values[torch.isfinite(values)]
    if values.numel() == 0:
        return float("inf")
    lower = values[values < values.max()]
    return (values.max() - lower.max()).item() if lower.numel() else float("inf")


def as_margin(value: float):
    """A lead or margin as the results write it: null when infinite (no close choice)."""
    return value if value != float("inf") else None


def float64_gap(ours, twin) -> float:
    """The largest |ours - twin| over matching tensors or numbers (nested lists, tuples and dicts of them),
    leaving out entries that either side holds at a value that is not finite or is a mask (magnitude 1e11 or
    more)."""
    gap = 0.0
    for a, b in zip(tree_flatten(ours)[0], tree_flatten(twin)[0], strict=True):
        a, b = torch.as_tensor(a, dtype=torch.float64), torch.as_tensor(b, dtype=torch.float64)
        if a.shape != b.shape:
            raise ValueError(f"the twin's shape {tuple(b.shape)} differs from {tuple(a.shape)}")
        kept = (a.abs() < 1e11) & (b.abs() < 1e11)
        if kept.any():
            gap = max(gap, (a[kept] - b[kept]).abs().max().item())
    return gap


def make_lstm(tensors: dict, prefix: str, layers: int, bidirectional: bool) -> torch.nn.LSTM:
    """A batch-first nn.LSTM in eval mode whose parameters are the bundle's tensors under prefix."""
    hidden = tensors[prefix + "weight_hh_l0"].shape[1]
    lstm = torch.nn.LSTM(tensors[prefix + "weight_ih_l0"].shape[1], hidden, num_layers=layers,
                         bidirectional=bidirectional, batch_first=True)
    lstm.load_state_dict({name: tensors[prefix + name] for name, _ in lstm.named_parameters()})
    return lstm.eval()
