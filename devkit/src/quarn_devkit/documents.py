"""The generated parts of the documents: blocks between markers, and the data of charts.

A document's block ``NAME`` is what lies between ``<!-- report:NAME -->`` and
``<!-- /report:NAME -->``; everything around the blocks is written by hand and is never
touched. A chart's data is a CSV file beside its PNG (``charts/NAME.csv``): the numbers
that the chart draws, which can be compared where the picture cannot.

Each writer either writes (`check=False`) or compares (`check=True`), and returns what
differs: a list of texts, empty when the files already say what the results give.
"""

from __future__ import annotations

import difflib
import re
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

MARKER = re.compile(r"<!-- report:([a-z0-9-]+) -->\n(.*?)<!-- /report:\1 -->", re.S)


def blocks_in(text: str) -> dict[str, str]:
    """Every block of a document: its name and what lies between its markers."""
    return {m.group(1): m.group(2) for m in MARKER.finditer(text)}


def _diff(name: str, old: str, new: str) -> str:
    lines = difflib.unified_diff(old.splitlines(), new.splitlines(), f"{name} (committed)",
                                 f"{name} (from the results)", lineterm="", n=1)
    return "\n".join(list(lines)[:40])


def write_blocks(path: Path, blocks: dict[str, list[str]], owned: set[str],
                 check: bool) -> list[str]:
    """Puts each of `blocks` between its markers in `path` (or, with `check`, compares).
    `owned` are the names of every block this report writes: one of them that the document
    has but the results gave nothing for is a difference too, as is a block of `blocks`
    that the document has no markers for."""
    text = path.read_text()
    found = blocks_in(text)
    drift = [f"{path.name}: block {name}: no result file gives it any more"
             for name in sorted(owned & set(found) - set(blocks))]
    for name, lines in blocks.items():
        body = "\n".join(lines) + "\n"
        if name not in found:
            drift.append(f"{path.name}: no <!-- report:{name} --> block for what the results give")
            continue
        if found[name] == body:
            continue
        if check:
            drift.append(f"{path.name}: block {name} differs from the results:\n"
                         + _diff(f"{path.name}:{name}", found[name], body))
        else:
            pattern = re.compile(rf"(<!-- report:{re.escape(name)} -->\n).*?(<!-- /report:"
                                 rf"{re.escape(name)} -->)", re.S)
            text = pattern.sub(lambda m: m.group(1) + body + m.group(2), text, count=1)
    if not check:
        path.write_text(text)
        drift = [d for d in drift if "no <!-- report" in d or "no result file" in d]
    return drift


def table(header: Sequence[str], rows: Iterable[Sequence[str]]) -> list[str]:
    """A Markdown table: the header, its rule, a line per row."""
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


def write_data(path: Path, rows: list[list[object]], check: bool) -> list[str]:
    """A chart's numbers as CSV beside it (or, with `check`, compared with the file)."""
    body = "".join(",".join(_cell(value) for value in row) + "\n" for row in rows)
    old = path.read_text() if path.exists() else ""
    if old == body:
        return []
    if check:
        return [f"{path.name} differs from the results:\n" + _diff(path.name, old, body)]
    path.write_text(body)
    return []


def _cell(value: object) -> str:
    text = f"{value:.4g}" if isinstance(value, float) else str(value)
    if any(c in text for c in ',"\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def pyplot() -> Any:
    """matplotlib's pyplot, set up alike for every chart (the `bench` extra brings it)."""
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("the charts need matplotlib: pip install \"quarn-latches[bench]\" "
                         "(scripts/report installs it), or pass --no-charts") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"font.size": 10, "axes.titlesize": 11, "figure.dpi": 100,
                         "savefig.dpi": 150, "axes.spines.top": False,
                         "axes.spines.right": False})
    return plt
