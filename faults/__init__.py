"""The fault experiments behind RELIABILITY.md (see faults/README.md)."""

import sys
from pathlib import Path

# The examples are the client set-ups that the experiments compare (bounded, Sentinel,
# Cluster): importable by name, as their files say to use them.
_EXAMPLES = str(Path(__file__).resolve().parent.parent / "examples")
if _EXAMPLES not in sys.path:
    sys.path.insert(0, _EXAMPLES)
