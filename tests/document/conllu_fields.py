"""Reads a CoNLL-U file with the `conllu` package and prints its fields as
canonical JSON, so that a C++ test can compare them with a document.

Output: a list of sentences, each {"metadata": [[key, value], ...],
"lines": [line, ...]}; a line holds "id" (as written: 1, 1-2, 2.1), "form",
"lemma", "upos", "xpos", "feats" ([[name, value], ...]), "head", "deprel",
"deps" ([[head, relation], ...]) and "misc" ([[name, value], ...]).
Absent values and "_" are null; a head is a decimal string.
"""

import json
import sys

import conllu


def text_field(value):
    return None if value is None or value == "_" else value


def pairs(mapping):
    return None if not mapping else [[key, value] for key, value in mapping.items()]


def line_id(value):
    if isinstance(value, tuple):
        return "".join(str(part) for part in value)
    return str(value)


def deps_field(value):
    if not value:
        return None
    return [[line_id(head), relation] for relation, head in value]


def line_fields(token):
    return {
        "id": line_id(token["id"]),
        "form": text_field(token["form"]),
        "lemma": text_field(token["lemma"]),
        "upos": text_field(token["upos"]),
        "xpos": text_field(token["xpos"]),
        "feats": pairs(token["feats"]),
        "head": None if token["head"] is None else str(token["head"]),
        "deprel": text_field(token["deprel"]),
        "deps": deps_field(token["deps"]),
        "misc": pairs(token["misc"]),
    }


def main(path):
    with open(path, encoding="utf-8") as handle:
        sentences = conllu.parse(handle.read())
    result = [
        {
            "metadata": [[key, value] for key, value in sentence.metadata.items()],
            "lines": [line_fields(token) for token in sentence],
        }
        for sentence in sentences
    ]
    sys.stdout.write(json.dumps(result, ensure_ascii=False, separators=(",", ":")))


if __name__ == "__main__":
    main(sys.argv[1])
