"""The folders of src/ are layers: a file includes only from its own layer and
the layers before it, so that a reader can take the tree as the architecture.

    include_layers_test.py SOURCE_DIR

Prints every include that points up a layer, or into a folder of src/ that is
not a layer, and exits 1 when there is one.
"""

import re
import sys
from pathlib import Path

LAYERS = ["document", "bundle", "nn", "encoders", "models", "pipeline"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/', re.MULTILINE)


def violations(src: Path):
    rank = {name: i for i, name in enumerate(LAYERS)}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".cpp", ".hpp"):
            continue
        layer = path.relative_to(src).parts[0]
        if layer not in rank:
            yield f"{path.relative_to(src)}: in a folder that is not a layer"
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target == "lorvane":  # the public headers
                continue
            if target not in rank:
                yield f"{path.relative_to(src)}: includes from '{target}', not a layer"
            elif rank[target] > rank[layer]:
                yield f"{path.relative_to(src)}: {layer} includes from {target}, a later layer"


def main(source_dir: str) -> int:
    found = list(violations(Path(source_dir) / "src"))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
