"""Result files: JSON that a person can read and a diff can follow.

Objects are indented one key per line; a list of plain values (the rounds of a row, the
calls of a timeline) stays on one line.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any


def dumps(value: Any, indent: int = 0) -> str:
    pad = " " * (indent + 1)
    if isinstance(value, dict) and value:
        items = [f"{pad}{json.dumps(str(k))}: {dumps(v, indent + 1)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + " " * indent + "}"
    if isinstance(value, list) and any(isinstance(v, (dict, list)) and v for v in value):
        if all(isinstance(v, list) and not any(isinstance(w, (dict, list)) for w in v)
               for v in value):
            return "[\n" + ",\n".join(pad + json.dumps(v) for v in value) + "\n" + " " * indent + "]"
        return ("[\n" + ",\n".join(pad + dumps(v, indent + 1) for v in value) + "\n"
                + " " * indent + "]")
    return json.dumps(value)


def write(path: Path, data: dict[str, Any]) -> None:
    """Writes `data` to `path` (its folder made if missing)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(dumps(data) + "\n")
