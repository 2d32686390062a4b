"""Writes every bundle and model directory the pipeline tests use, in one run.

    ROOT/bundles/<kind>          a bundle of each processor kind but tokenize
                                 and pos, with no tensors (enough for the kind
                                 checks); mwt is a dictionary-only bundle
    ROOT/bundles/tokenize        a tokenize bundle with seeded random weights
    ROOT/bundles/pos             a pos bundle with seeded random weights
    ROOT/bundles/pos-bad-digest  that pos bundle with its assets digest upper-cased
    ROOT/models/1.10.0/en        the demo tokenize bundle (package "demo"), ner,
                                 pos, constituency, lemma (a model without POS)
                                 and depparse bundles with seeded random weights
                                 and one bundle per other kind (package "default")
    ROOT/models/1.10.0/la        the demo tokenize bundle, a pos bundle and a
                                 lemma model that reads POS
    ROOT/models/1.10.0/xx        a "pos" entry whose bundle says it is "ner"
    ROOT/models/1.10.0/fr        the demo tokenize bundle with its multi-word-
                                 token heads on, a dictionary-only mwt bundle,
                                 a lemma model without POS, and pos and
                                 depparse bundles with seeded random weights
                                 (the default pipeline tokenize,mwt,pos,lemma,depparse)
    ROOT/packages/1.10.0/en      an index only: every kind under package "std",
                                 pos also under "fast" (no bundles written)
"""

from __future__ import annotations

import sys
from pathlib import Path

FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"
sys.path.insert(0, str(FIXTURES))

import bundle_writer  # noqa: E402
import constituency_bundle  # noqa: E402
import demo_model  # noqa: E402
import depparse_bundle  # noqa: E402
import lemma_bundle  # noqa: E402
import ner_bundle  # noqa: E402
import pos_bundle  # noqa: E402
import tokenizer_bundle  # noqa: E402

KINDS = ["langid", "mwt", "pos", "lemma", "depparse", "ner", "sentiment", "constituency", "coref", "morphseg"]
ALL = ["langid", "tokenize"] + KINDS[1:]


MWT_DICTIONARY = {"du": "de le", "au": "\u00e0 le", "des": "de les"}
FRENCH_LEMMAS = {"*": {"de": "de", "le": "le", "les": "le", "\u00e0": "\u00e0"}, "_": {"amis": "ami"}}


def empty_bundle(processor: str, **extra) -> dict:
    if processor == "mwt":
        return mwt_bundle_options()
    options = {"processor": processor, "config": {}, "tensors": []}
    options.update(extra)
    return options


def mwt_bundle_options() -> dict:
    """write_bundle arguments of a dictionary-only mwt bundle."""
    assets = {
        "config": {"dict_only": True, "ensemble_dict": False, "vocab_size": 4, "hidden_dim": 0, "num_layers": 0},
        "expansion_dict": MWT_DICTIONARY,
        "vocab": {"_unit2id": {"<PAD>": 0, "<UNK>": 1, "<SOS>": 2, "<EOS>": 3}},
    }
    return {"processor": "mwt", "assets_text": bundle_writer.dump_json(assets), "tensors": []}


def main(root: str) -> int:
    root_path = Path(root)
    bundles = root_path / "bundles"
    for kind in KINDS:
        if kind != "pos":
            bundle_writer.write_bundle(bundles / kind, **empty_bundle(kind))
    bundle_writer.write_bundle(bundles / "pos", **pos_bundle.bundle_options(seed=5))
    bundle_writer.write_bundle(
        bundles / "pos-bad-digest",
        **pos_bundle.bundle_options(seed=5, bundle={"manifest_ops": [{"upper": "assets.sha256"}]}),
    )
    tokenizer_bundle.write_tokenizer_bundle(bundles / "tokenize", seed=7)

    models = root_path / "models"
    entries = [demo_model.index_entry()]
    models_of_kind = {
        "ner": ner_bundle.bundle_options(seed=5),
        "pos": pos_bundle.bundle_options(seed=5),
        "constituency": constituency_bundle.bundle_options(seed=5),
        "depparse": depparse_bundle.bundle_options(seed=5),
    }
    entries += [
        {
            "processor": kind,
            "package": "default",
            "path": f"{kind}/default",
            "bundle": models_of_kind.get(kind) or empty_bundle(kind),
        }
        for kind in KINDS
        if kind != "lemma"
    ]
    # Lemma bundles come from their own writer; the index only lists them.
    entries.append({"processor": "lemma", "package": "default", "path": "lemma/default", "write": False})
    bundle_writer.write_model_dir(models, language="en", bundles=entries)
    lemma_bundle.write_lemma_bundle(models / "1.10.0" / "en" / "lemma" / "default", model={"seed": 3})
    bundle_writer.write_model_dir(
        models,
        language="la",
        bundles=[
            demo_model.index_entry(),
            {"processor": "pos", "package": "default", "path": "pos", "bundle": pos_bundle.bundle_options(seed=6)},
            {"processor": "lemma", "package": "default", "path": "lemma", "write": False},
        ],
    )
    lemma_bundle.write_lemma_bundle(
        models / "1.10.0" / "la" / "lemma", edit_classes=3, model={"config": {"pos": True}, "seed": 4}
    )
    bundle_writer.write_model_dir(
        models,
        language="fr",
        bundles=[
            {"processor": "tokenize", "package": "demo", "path": "tokenize/demo",
             "bundle": demo_model.bundle_options(mwt=True)},
            {"processor": "mwt", "package": "default", "path": "mwt/default", "bundle": mwt_bundle_options()},
            {"processor": "pos", "package": "default", "path": "pos", "bundle": pos_bundle.bundle_options(seed=8)},
            {"processor": "lemma", "package": "default", "path": "lemma", "write": False},
            {"processor": "depparse", "package": "default", "path": "depparse",
             "bundle": depparse_bundle.bundle_options(seed=8)},
        ],
    )
    lemma_bundle.write_lemma_bundle(models / "1.10.0" / "fr" / "lemma", pos_dict=FRENCH_LEMMAS, model={"seed": 5})
    bundle_writer.write_model_dir(
        models,
        language="xx",
        bundles=[{"processor": "pos", "package": "default", "path": "pos", "bundle": empty_bundle("ner")}],
    )

    index_only = [{"processor": kind, "package": "std", "path": f"{kind}/std", "write": False} for kind in ALL]
    index_only.append({"processor": "pos", "package": "fast", "path": "pos/fast", "write": False})
    bundle_writer.write_model_dir(root_path / "packages", language="en", bundles=index_only)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
