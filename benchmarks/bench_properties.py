"""Property reads: ``is_connected`` / ``is_alive`` of both backends against a Python
property whose getter gives the same result, and a property over a bare C builtin (the
least that any getter which is not a Python function costs on the running interpreter).

    python benchmarks/bench_properties.py [--quick]
"""

from __future__ import annotations

import operator
import sys
from typing import Any

import harness
from bench_local import PyLocalLatch
from harness import Case, Context, Ratio
from quarn_data.lock.implementations.local_latch import LocalLatch

NAME = "properties"


class PyRemoteProbe:
    """RemoteLatch's is_connected written in plain Python."""

    @property
    def is_connected(self) -> bool:
        return getattr(self, "client", None) is not None


class CGetter:
    """A property whose getter is a C builtin (METH_O) that answers True for any object."""

    is_connected = property(operator.truth)


def run(context: Context) -> list[str]:
    """Reading a property of ours against a Python property with the same result."""
    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    args = context.args
    local, py_local = LocalLatch(), PyLocalLatch()
    connected, py_connected = RemoteLatch(), PyRemoteProbe()
    # is_connected reads only the attribute
    connected.client = py_connected.client = object()  # type: ignore[attr-defined,assignment]
    absent, py_absent = RemoteLatch(), PyRemoteProbe()  # before connect: no attribute at all
    # (row id, label, the Python property's row id, its label, ours, theirs, attribute)
    pairs: list[tuple[str, str, str, str, Any, Any, str]] = [
        ("local-connected", "LocalLatch.is_connected", "py-true",
         "Python property: return True", local, py_local, "is_connected"),
        ("local-alive", "LocalLatch.is_alive", "py-true-alive",
         "Python property: return True (is_alive)", local, py_local, "is_alive"),
        ("remote-connected", "RemoteLatch.is_connected (client set)", "py-connected",
         "Python property: the same steps", connected, py_connected, "is_connected"),
        ("remote-unset", "RemoteLatch.is_connected (no client yet)", "py-unset",
         "Python property: the same steps (unset)", absent, py_absent, "is_connected"),
    ]
    reps = args.local_reps
    cases, ratios = [], []
    for mine, mine_label, theirs, theirs_label, obj, py_obj, attr in pairs:
        assert getattr(obj, attr) is getattr(py_obj, attr)
        body = f"o.{attr}; o.{attr}; o.{attr}; o.{attr}"
        cases += [Case(mine, mine_label, body, {"o": obj}, reps),
                  Case(theirs, theirs_label, body, {"o": py_obj}, reps)]
        ratios.append(Ratio(f"{mine}/python", f"{mine_label} / Python property", mine, theirs,
                            "<= 1.20"))
    # The least that a getter which is not a Python function costs: the interpreter inlines
    # a Python getter's frame, and reads any other through its generic attribute lookup.
    truth = CGetter()
    assert truth.is_connected is True
    cases.append(Case("c-getter", "property(operator.truth): a C builtin getter",
                      "o.is_connected; o.is_connected; o.is_connected; o.is_connected",
                      {"o": truth}, reps))
    ratios.append(Ratio("c-getter/python", "C builtin getter / Python property", "c-getter",
                        "py-true",
                        note=("The floor of any native getter on this interpreter: a property "
                              "over a C builtin that does nothing but answer.")))
    rounds = harness.run_rounds(cases, args.local_rounds, 2, reps, args.local_blocks)
    title = (f"Properties: four reads per row ({args.local_blocks} x {reps} per round; bare "
             "loop subtracted)")
    return context.section(NAME, title, rounds, ratios, "local-connected", reads_per_row=4,
                           rounds=args.local_rounds, warmup_rounds=2, blocks=args.local_blocks,
                           reps=reps)


if __name__ == "__main__":
    sys.exit(harness.main([sys.modules[__name__]], description=__doc__.split("\n\n")[0]))
