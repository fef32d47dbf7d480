"""Every benchmark of this folder in one run, one JSON result file.

    python benchmarks/all.py            # full run, about 2 minutes
    python benchmarks/all.py --quick    # smoke run, well under a minute

The order is that of the sections printed: the LocalLatch pair with its floors, the
property reads, the RemoteLatch pair, the handover latency, the memory per target. One
private redis-server serves the remote sections.
"""

from __future__ import annotations

import sys

import bench_handover
import bench_local
import bench_memory
import bench_properties
import bench_remote
import harness

BENCHMARKS = [bench_local, bench_properties, bench_remote, bench_handover, bench_memory]

if __name__ == "__main__":
    sys.exit(harness.main(BENCHMARKS, description=__doc__.split("\n\n")[0], everything=True))
