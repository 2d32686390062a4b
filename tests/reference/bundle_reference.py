"""Reads a model bundle for the eager references: manifest, assets and every tensor, as the files store them.

The references read bundles with plain numpy/torch on purpose, so a fault in the C++ bundle layer cannot hide
behind a shared reader.
"""

from __future__ import annotations

import json
from pathlib import Path

import torch

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
        flat = torch.frombuffer(chunk, dtype=dtype) if chunk else torch.empty(0, dtype=dtype)
        tensors[entry["name"]] = flat.reshape(entry["shape"])
    return manifest, assets, tensors


def make_lstm(tensors: dict, prefix: str, layers: int, bidirectional: bool) -> torch.nn.LSTM:
    """A batch-first nn.LSTM in eval mode whose parameters are the bundle's tensors under prefix."""
    hidden = tensors[prefix + "weight_hh_l0"].shape[1]
    lstm = torch.nn.LSTM(tensors[prefix + "weight_ih_l0"].shape[1], hidden, num_layers=layers,
                         bidirectional=bidirectional, batch_first=True)
    lstm.load_state_dict({name: tensors[prefix + name] for name, _ in lstm.named_parameters()})
    return lstm.eval()
