"""Fault result files -> the generated blocks of RELIABILITY.md and README.md, and a chart of
each row that follows callers through a fault (charts/ROW.png, its numbers in ROW.csv).

    python faults/report.py                  # every result file of results/faults
    python faults/report.py --check          # compare instead of writing

The figures of RELIABILITY.md's tables are those of one server (--reference, by default
the first of the files by server name and version: Redis 7.0 here); its comparison of the
servers has a column per file. Rows and callers are found by their ids; labels are only
shown. With --check nothing is written: the blocks and the charts' numbers are made from
the files and compared with the committed ones, and any difference fails.
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from quarn_devkit.documents import pyplot, table, write_blocks, write_data

ROOT = Path(__file__).resolve().parent.parent

FORMAT = 2
Row = dict[str, Any]
BLOCKS = {"server-table", "sentinel", "timelines", "cluster-table", "cluster-losses",
          "servers", "runs"}
README_BLOCKS = {"production", "cluster", "attempts"}
# One colour per outcome of a call in a timeline, the same in every chart: what the call
# returned in greens and grey, the client's errors in reds, oranges and purple.
OUTCOME_COLOURS = {"True": "#2ca02c", "False": "#7f7f7f", "None": "#98df8a",
                   "ConnectionError": "#d62728", "MasterNotFoundError": "#fdae61",
                   "TimeoutError": "#8c2d04", "ClusterDownError": "#6a3d9a"}
OUTCOME_NAMES = {"True": "acquire returned True", "False": "acquire returned False",
                 "None": "release returned"}
OTHER_ERROR = "#e377c2"
# A timeline chart shows the first trials whose lanes (one per caller) fit in this many,
# and at least one trial: taller is no longer readable at the README's width.
MAX_LANES = 24


class File:
    """One result file: its head and its rows by id."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.data: dict[str, Any] = json.loads(path.read_text())
        if self.data.get("format") != FORMAT or self.data.get("kind") != "faults":
            raise SystemExit(f"{path}: not a faults result file of format {FORMAT}")
        self.rows: dict[str, Row] = {r["id"]: r for r in self.data["rows"]}

    @property
    def server(self) -> str:
        return str(self.data["clients"]["redis_server"]).replace(" server v=", " ")

    def order(self) -> tuple[str, tuple[int, ...]]:
        name, _, version = self.server.partition(" ")
        return name, tuple(int(n) for n in re.findall(r"\d+", version))

    def name(self) -> str:
        return str(self.path.relative_to(ROOT) if self.path.is_relative_to(ROOT) else self.path)


def load(paths: Sequence[Path]) -> list[File]:
    """The files, and of several files of one server the rows of the newest of each."""
    by_server: dict[str, list[File]] = {}
    for path in paths:
        if json.loads(path.read_text()).get("kind") != "faults":
            continue  # a benchmark's file, given to scripts/report with these
        found = File(path)
        by_server.setdefault(found.server, []).append(found)
    merged = []
    for files in by_server.values():
        files.sort(key=lambda f: f.data["date"])
        newest = files[-1]
        for older in files[:-1]:
            for ident, row in older.rows.items():
                newest.rows.setdefault(ident, row)
        merged.append(newest)
    return sorted(merged, key=File.order)


# --- figures as text -------------------------------------------------------------------------

def secs(figure: dict[str, float] | float | None, unit: str = " s") -> str:
    """"median / max s" of a figure over several trials, one value for one trial."""
    if figure is None:
        return "–"
    if isinstance(figure, (int, float)):
        return f"{figure:.2f}{unit}"
    if figure["median"] == figure["max"]:
        return f"{figure['median']:.2f}{unit}"
    return f"{figure['median']:.2f} / {figure['max']:.2f}{unit}"


def count(n: int) -> str:
    return f"{n:,}"


def keys(n: int) -> str:
    return f"{n} key{'' if n == 1 else 's'}"


def trials(row: Row) -> str:
    return f"{row['trials']} trial{'s' if row['trials'] != 1 else ''}"


def gave(call: dict[str, Any]) -> str:
    return " or ".join(f"`{g}`" for g in call["gave"])


def errors_text(errors: dict[str, int]) -> str:
    if not errors:
        return "no error"
    return ", ".join(f"`{name}` ×{n}" for name, n in sorted(errors.items()))


# --- the one-server table --------------------------------------------------------------------

Cells = list[str]


def made(make: Callable[[Row], list[Cells]], row: Row, incomplete: list[str]) -> list[Cells]:
    """The table rows of one result row, or none (and its id in `incomplete`) where the
    row lacks a figure that they need."""
    try:
        return make(row)
    except KeyError:
        incomplete.append(row["id"])
        return []


def made_all(makers: Sequence[tuple[str, Callable[[Row], list[Cells]]]], rows: dict[str, Row],
             incomplete: list[str]) -> list[Cells]:
    """The table rows of each result row that `makers` names and the file has, in order."""
    return [cells for ident, make in makers if ident in rows
            for cells in made(make, rows[ident], incomplete)]


def incomplete_note(incomplete: list[str]) -> list[str]:
    return ["", f"Left out, their figures incomplete in the file: {', '.join(incomplete)}."] \
        if incomplete else []


def pause_rows(row: Row) -> list[Cells]:
    c = row["calls"]
    fault = f"Server paused (SIGSTOP) {row['pause_s']:g} s"
    free = c["default free"]
    free_why = ("its SET timed out after the client's 5 s and was retried; on waking the "
                "server ran the first SET, and the retry found that key" if free["gave"] == [
                    "False"] else "its SET completed when the server woke")
    return [
        [fault, "Remote", "default",
         f"Blocks for the whole pause, then returns {gave(c['default waiting'])}: "
         f"{secs(c['default waiting'])}. An `acquire` of a free lock also blocks "
         f"({secs(free)}) and returns {gave(free)}: {free_why}. (With redis-py 5.0, whose "
         "default client has no reply timeout, that SET simply completes on waking and the "
         "`acquire` returns `True`; the experiment checks whichever client is installed.)",
         "Stays. The free lock's key is left with the caller's own metadata and **nobody "
         "holds it** (every trial); with `timeout_ms=-1` the caller would wait on it for "
         f"ever. A `release` blocks {secs(c['default release'])}, returns "
         f"{gave(c['default release'])}, the key is gone.",
         "No", "Delete a key that carries your own metadata once the server answers; bound "
         "the client (next row).", f"`pause`: {trials(row)}"],
        [fault, "Remote", "bounded",
         f"Raises `redis.exceptions.TimeoutError` after {secs(c['bounded waiting'])}. An "
         f"`acquire` of a free lock raises the same after {secs(c['bounded free'])}, **but "
         "its SET runs when the server wakes**.",
         "Stays. The free lock's key is created after the pause with nobody holding it "
         f"(every trial). A `release` raises `TimeoutError` after "
         f"{secs(c['bounded release'])}, and the DEL still runs: the lock is freed (every "
         "trial).", "No",
         "After a `TimeoutError` from `acquire`, read the key: your metadata means the lock is "
         "yours (release it). After one from `release`, read the key before sending DEL "
         "again: a blind retry can delete the lock of a holder who took it since.",
         f"`pause`: {trials(row)}"],
    ]


def pause_for_good_rows(row: Row) -> list[Cells]:
    return [["Server paused and not resumed", "Remote", "default / bounded",
             f"Default: raises `{row['error']}` after {row['seconds_to_error']:.1f} s (ten "
             "retries of the 5 s timeout). Bounded: after its 0.5 s, as above.", "Stays.", "No",
             "As above.", f"`pause-for-good`: {trials(row)}, by `faults/run.py` only (it "
             "takes over a minute; no test repeats it)"]]


def partition_rows(row: Row) -> list[Cells]:
    c = row["calls"]
    fault = (f"Partition that drops packets to the server's port, {row['partition_s']:g} s "
             "(nftables rule in a network namespace)")
    bounded = [c[f"bounded {case}"] for case in ("waiting", "free", "release")]
    longest = max(call["max"] for call in bounded)
    return [
        [fault, "Remote", "default",
         "Blocks until the path is back and TCP resends, then goes on normally: waiting "
         f"{secs(c['default waiting'])} → {gave(c['default waiting'])}; free lock "
         f"{secs(c['default free'])} → {gave(c['default free'])}; `release` "
         f"{secs(c['default release'])} → {gave(c['default release'])}. A partition longer "
         "than the client's 5 s timeout ends as the pause does: which SET arrives first "
         "decides.", "Stays.", "No",
         "Nothing to do for short partitions; bound the client for long ones.",
         f"`partition`: {trials(row)}"],
        [fault, "Remote", "bounded",
         f"Raises `TimeoutError` after {secs(bounded[0])} (all three operations; "
         f"{longest:.2f} s at most).",
         "Stays. **The kernel resends the closed socket's unacknowledged SET when the path is "
         "back**: the free lock's key appears with nobody holding it (every trial); the "
         "timed-out DEL also arrives and frees the lock (every trial).", "No",
         "As for the pause.", f"`partition`: {trials(row)}"],
    ]


def restart_rows(row: Row) -> list[Cells]:
    survived = {s["lock_survived"] for s in row["setups"].values()}
    assert len(survived) == 1, row
    if row["persistence"] == "none":
        return [["Server crash (SIGKILL) and restart, no persistence (`--save '' --appendonly "
                 "no`)", "Remote", "default / bounded",
                 "Raises the client's `ConnectionError` while the server is down; the same "
                 "client object works again after the restart (its pool replaces the closed "
                 "connection).",
                 "**Survives**." if survived == {True} else
                 "**Lost**: the key is gone and another client takes the lock at once.",
                 "No" if survived == {True} else
                 "**Yes**: the old holder still thinks it holds it.",
                 "Persist (next row), or treat a restart as the end of every lock.",
                 f"`restart-none`: {trials(row)} per client set-up"]]
    return [["Server crash (SIGKILL) and restart, `appendonly yes`, `appendfsync always`",
             "Remote", "default / bounded", "As above.",
             "**Survives**: another client gets `False`; the holder's `release` after the "
             "restart frees it. (`appendfsync everysec`, the default, can lose the last second "
             "of locks by Redis's own account; not measured here.)" if survived == {True} else
             "**Lost**.", "No" if survived == {True} else "**Yes**", "None needed.",
             f"`restart-appendonly-always`: {trials(row)} per client set-up"]]


def sentinel_rows(row: Row) -> list[Cells]:
    lost = row["locks_lost"]
    return [["Sentinel failover: master SIGKILLed; 1 master, 1 replica, 3 sentinels, quorum "
             "2, `down-after-milliseconds` 1000, `failover-timeout` 3000", "Remote", "Sentinel",
             "Raises `ConnectionError` (master refused) until a replica is promoted; **locks "
             f"can be taken again {secs(row['seconds_until_locks_again'])} after the kill**.",
             f"{count(lost)} of {count(row['locks_held_at_kill'])} locks held at the kill were "
             "missing on the promoted replica; holders freed theirs there. "
             f"**{keys(row['keys_nobody_holds'])} nobody held** in {trials(row)}: an `acquire` "
             "that raised at the kill, whose SET the master had carried out and replicated.",
             ("Possible, not seen here: replication is asynchronous, so a lock acknowledged "
              "but not yet sent to the replica is lost and can be taken again. On loopback "
              "the kernel delivered all that the master had written.") if lost == 0 else
             f"**Yes**: {count(lost)} locks were lost at the kill and could be taken again.",
             "Retry `acquire` after a `ConnectionError`; look for keys with your own metadata "
             "after a failover.", f"`sentinel-failover`: {trials(row)}"]]


def eviction_rows(rows: dict[str, Row]) -> list[Cells]:
    out = []
    fault = ("Memory pressure: `maxmemory` 2 MB above use, filled with 1 kB cache keys with a "
             "1 h TTL")
    allkeys = [r for ident, r in rows.items() if ident.startswith("eviction-allkeys-")]
    if allkeys:
        names = ", ".join(f"`{r['policy']}`" for r in allkeys)
        out.append([fault, "Remote", "default", "New locks work (cache keys are evicted).",
                    f"**{names}: the held lock is evicted silently**, gone within the first "
                    + " / ".join(count(r["cache_keys_written"]) for r in allkeys)
                    + " cache keys written (counted in batches of 200; "
                    + " / ".join(count(r["evicted_keys"]) for r in allkeys)
                    + " keys evicted); another client then takes it.", "**Yes**",
                    "Never run a lock server with an `allkeys-*` policy.",
                    f"`eviction-allkeys-*`: {trials(allkeys[0])} each"])
    volatile = [r for ident, r in rows.items() if ident.startswith("eviction-volatile-")]
    if volatile:
        written = [r["cache_keys_written"] for r in volatile]
        evicted = [r["evicted_keys"] for r in volatile]
        names = ", ".join(f"`{r['policy']}`" for r in volatile)
        out.append(["Memory pressure, as above", "Remote", "default", "New locks work.",
                    f"{names}: **survives** {count(min(written))}–{count(max(written))} cache "
                    f"keys written and {count(min(evicted))}–{count(max(evicted))} evicted; "
                    "only keys with a TTL are evicted, and a lock key has none.", "No",
                    "None needed while keys with a TTL are left to evict; after that, as "
                    "`noeviction`.", f"`eviction-volatile-*`: {trials(volatile[0])} each"])
    refusing = rows.get("eviction-noeviction")
    if refusing:
        out.append(["Memory pressure, as above", "Remote", "default",
                    f"**Refused**: a new `acquire` raises `redis.exceptions."
                    f"{refusing['new_lock']}` once the server is full (after "
                    f"{count(refusing['cache_keys_written'])} cache keys).",
                    "`noeviction`: survives; `release` (DEL) still works.", "No",
                    "Free memory; locks then work again.",
                    f"`eviction-noeviction`: {trials(refusing)}"])
    return out


def holder_rows(row: Row) -> list[Cells]:
    return [["Holder killed (SIGKILL)", "Remote", "default",
             f"Gets `{row['waiting_gave']}` for as long as the key stays "
             f"(`timeout_ms={row['waiting_timeout_ms']}` → `{row['waiting_gave']}`).",
             f"**Stays for ever** (no expiry: TTL {row['ttl']}).", "No",
             "Any instance's `release` deletes it; then the lock is free.",
             f"`holder-killed`: {trials(row)}"]]


def fork_rows(row: Row) -> list[Cells]:
    return [["`fork()` of a process whose `LocalLatch` holds a lock", "Local", "n/a",
             "In the child the lock is held by nobody: `acquire(timeout_ms="
             f"{row['child_acquire_timeout_ms']})` → `{row['child_acquire_gave']}` (without a "
             "limit it would wait for ever).",
             "The child has its own copy, still locked; the parent's is unchanged. The child "
             "may `release` it (locks have no owner) and take it again.",
             "**Yes**, between the two processes: `LocalLatch` never excludes across "
             "processes.", "Do not fork while holding a `LocalLatch` lock; a child that must "
             "use the target releases its copy first.", f"`fork`: {trials(row)}"]]


def acl_rows(row: Row) -> list[Cells]:
    refused = row["refusals"]
    return [["ACL user allowed only GET (`+get`)", "Remote", "default",
             f"The first `acquire` raises `redis.exceptions.{refused['set']['error']}` "
             f"\"{refused['set']['text']}\"; no key is written. `release` raises the same for "
             "'del'; `is_alive` raises it for 'ping' (only a connection error makes it "
             "`False`).", "n/a", "No", "Give the lock user `+set +del +ping` on the lock keys.",
             f"`acl-get-only`: {trials(row)}"]]


def server_table(f: File) -> list[str]:
    r = f.rows
    makers: list[tuple[str, Callable[[Row], list[Cells]]]] = [
        ("pause", pause_rows), ("pause-for-good", pause_for_good_rows),
        ("partition", partition_rows), ("restart-none", restart_rows),
        ("restart-appendonly-always", restart_rows), ("sentinel-failover", sentinel_rows)]
    incomplete: list[str] = []
    rows = made_all(makers, r, incomplete)
    evictions = {i: row for i, row in r.items() if i.startswith("eviction-")}
    if evictions:
        rows += made(lambda _: eviction_rows(evictions), {"id": "eviction-*"}, incomplete)
    rows += made_all([("holder-killed", holder_rows), ("fork", fork_rows),
                      ("acl-get-only", acl_rows)], r, incomplete)
    if not rows:
        return []
    lines = [f"From `{f.name()}` ({f.server}, redis-py {f.data['clients']['redis_py']}, CPython "
             f"{f.data['interpreter']['version']}, {f.data['date']}); the last column names "
             "the row's id in that file and its trials.", "",
             *table(["Fault", "Backend", "Client set-up", "A waiting `acquire`", "A held lock",
                     "Two holders?", "Recovery", "Row: trials"], rows)]
    left = sorted(set(f.data.get("left_out", {})))
    if left:
        lines += ["", f"Left out of that run: {', '.join(left)}."]
    return lines + incomplete_note(incomplete)


def sentinel_block(f: File) -> list[str]:
    row = f.rows.get("sentinel-failover")
    if row is None:
        return []
    again = row["seconds_until_locks_again"]
    load = f.data["load_average"]
    return [f"In the run shown ({f.server}, {trials(row)}, load average "
            f"{load['start'][0]:.2f} at the start and {load['end'][0]:.2f} at the end), locks "
            f"could be taken again {again['median']:.2f} s after the kill at the median and "
            f"{again['max']:.2f} s at the longest."]


def timeline_summary(files: Sequence[File]) -> list[str]:
    """Per row with timelines, per caller: the calls and the seconds from the fault until
    the caller's first successful acquire, median / max over the trials."""
    rows = []
    for f in files:
        for row in f.rows.values():
            by_caller: dict[str, tuple[str, list[tuple[int, float]]]] = {}
            for timeline in row.get("timelines", []):
                after = [call for call in timeline["calls"] if call[0] >= 0]
                done = [i for i, call in enumerate(after) if call[2] == "True"]
                if done:
                    by_caller.setdefault(timeline["caller"], (timeline["label"], []))[1].append(
                        (done[0] + 1, after[done[0]][1]))
            for label, seen in by_caller.values():
                calls, seconds = [c for c, _ in seen], [s for _, s in seen]
                rows.append([row["label"], label, f.server,
                             f"{statistics.median(calls):.0f} / {max(calls)}",
                             f"{statistics.median(seconds):.2f} / {max(seconds):.2f} s",
                             str(len(seen))])
    if not rows:
        return []
    return table(["Row", "Caller", "Server", "Calls made after the fault until the first "
                  "successful acquire (median / max)",
                  "Its return after the fault (median / max)", "Trials"], rows)


# --- the cluster table ---------------------------------------------------------------------------

def longest(row: Row, key: str) -> str:
    return secs(row.get(f"{key} longest call_s"))


def kill_rows(row: Row) -> list[Cells]:
    yes = row["coverage"] == "yes"
    e = row["errors"]
    fault = (f"Master SIGKILLed, its replica promoted (after {secs(row['promoted_s'])}); "
             f"`cluster-require-full-coverage {row['coverage']}`"
             + (" (the default)" if yes else ""))
    held = (f"{count(row['locks_lost'])} of {count(row['locks_held_at_fault'])} locks held at "
            f"the kill missing on the promoted replica, in {row['trials_with_locks_lost']} of "
            f"{trials(row)}; {keys(row['keys_nobody_holds'])} nobody holds.")
    down = (f", while the cluster is down ({secs(row.get('cluster down from_s'))} to "
            f"{secs(row.get('cluster down until_s'))} after the kill)"
            if "cluster down from_s" in row else "")
    return [
        [fault, "default",
         f"**Blocks, then `True` or `False` as usual** ({errors_text(e['default faulty'])}): "
         f"longest call {longest(row, 'default faulty')}, whatever its `timeout_ms`; locks "
         f"taken again {secs(row['default locks again after_s'])} after the kill. If the "
         "promotion takes longer than the client's retries, `ConnectionError`.",
         (f"**Stalls although its master never failed**: longest call "
          f"{longest(row, 'default healthy')} (a waiting call takes 0.2 s without the "
          f"fault), {errors_text(e['default healthy'])}." if yes else
          f"**Unaffected**: longest call {longest(row, 'default healthy')}, "
          f"{errors_text(e['default healthy'])}."),
         held, "**Yes** where a lock was lost; and possible any time: replication is "
         "asynchronous (see the cut-off row).", "Nothing to do; the caller just waits.",
         f"`{row['id']}`: {trials(row)}"],
        [fault, "bounded",
         f"{errors_text(e['bounded faulty'])} (each within {longest(row, 'bounded faulty')}) "
         "until the client's next topology refresh after the promotion: locks again "
         f"{secs(row['bounded locks again after_s'])} after the kill.",
         f"{errors_text(e['bounded healthy'])}{down}; longest call "
         f"{longest(row, 'bounded healthy')}." if yes else
         f"**Unaffected**: longest call {longest(row, 'bounded healthy')}, "
         f"{errors_text(e['bounded healthy'])}.",
         "as above", "as above", "Retry `acquire` after a `ConnectionError`.",
         f"`{row['id']}`: {trials(row)}"],
    ]


def failover_rows(row: Row) -> list[Cells]:
    e = row["errors"]
    fault = (f"Manual failover: `CLUSTER FAILOVER` on a replica (promoted after "
             f"{secs(row['promoted_s'])})")
    held = (f"**{count(row['locks_lost'])} of {count(row['locks_held_at_fault'])} lost**: the "
            "replica takes over only once it has all its master wrote; "
            f"{keys(row['keys_nobody_holds'])} nobody holds.")
    return [
        [fault, "default",
         "Held while the old master pauses its writers for the replica to catch up, then "
         f"redirected: longest call {longest(row, 'default faulty')}, "
         f"{errors_text(e['default faulty'])}.",
         f"Unaffected ({longest(row, 'default healthy')}).", held, "No", "None needed.",
         f"`{row['id']}`: {trials(row)}"],
        [fault, "bounded",
         f"`TimeoutError` when the pause outlasts 0.5 s ({errors_text(e['bounded faulty'])} "
         "in all; the SET was not run), else as the default.",
         f"Unaffected ({longest(row, 'bounded healthy')}).", "as above", "No",
         "Retry after a `TimeoutError`.", f"`{row['id']}`: {trials(row)}"],
    ]


def moved_rows(row: Row) -> list[Cells]:
    return [["A slot moved to another master the way `redis-cli --cluster reshard` does it "
             "(IMPORTING / MIGRATING, `MIGRATE` of its 200 keys 10 at a time, `SETSLOT NODE`), "
             f"while {row['workers']} processes (half of each set-up) take turns on a target in "
             "it and bump a counter inside the lock", "default / bounded",
             "Normal: the client follows the ASK and MOVED redirections itself; "
             f"**{row['errors_reaching_callers']} errors reached a caller**.", "Unaffected.",
             "**Survives**: a lock held throughout moved with its slot; others still get "
             "`False`, the holder's `release` frees it on the new master.",
             f"**No**: {row['overlaps']} overlapping holds and {row['lost_increments']} lost of "
             f"{count(row['increments'])} increments.", "None needed.",
             f"`{row['id']}`: {trials(row)}"]]


def lost_rows(row: Row) -> list[Cells]:
    yes = row["coverage"] == "yes"
    fault = ("Master lost without a replica (its replica died first), "
             f"`cluster-require-full-coverage {row['coverage']}`")
    cells = []
    for setup in ("default", "bounded"):
        faulty, healthy = row[f"{setup} faulty"], row[f"{setup} healthy"]
        other = (f"**Refused while the cluster is down** (from {secs(row['cluster_down_from_s'])} "
                 f"after the kill): {errors_text(healthy['errors'])}, each call within "
                 f"{secs(healthy['longest_call_s'])}." if yes else
                 f"**Unaffected**: longest call {secs(healthy['longest_call_s'])}, "
                 f"{errors_text(healthy['errors'])}.")
        cells.append([fault, setup,
                      f"{errors_text(faulty['errors'])}, each call within "
                      f"{secs(faulty['longest_call_s'])}.", other,
                      "**Lost** with the master (nothing persisted)." if setup == "default" else
                      "as above", "Yes, after its restart, as for one server" if setup ==
                      "default" else "as above", "Restart it (its slots come back empty), or "
                      "persist." if setup == "default" else "as above",
                      f"`{row['id']}`: {trials(row)}"])
    return cells


def cut_rows(row: Row) -> list[Cells]:
    yes = row["coverage"] == "yes"
    fault = ("One master cut off from the other nodes and from the cluster clients (every "
             "packet from or to its address dropped, nftables in a network namespace), while "
             f"one client on its side still reaches it; `cluster-require-full-coverage "
             f"{row['coverage']}`")
    held = (f"**Every lock it granted after the cut was missing on its promoted replica** "
            f"({count(row['lost_on_promotion'])} in {trials(row)}), **and "
            f"{count(row['of_those_lost'])} of {count(row['granted_before_the_cut'])} granted "
            "in the last moments before it** (their replication was in flight).")
    return [
        [fault, "its own side's client",
         f"**Granted locks for {secs(row['granted after the cut for_s'])} after the cut**, "
         "until it missed the majority for `cluster-node-timeout` and began to answer "
         f"CLUSTERDOWN (from {secs(row['refused from_s'])}).", "n/a", held,
         "**Yes**: a second client took each of them again on the promoted replica.",
         "Keep `cluster-node-timeout` short: it bounds the window. Locks that must never have "
         "two holders need a lock service with a quorum.", f"`{row['id']}`: {trials(row)}"],
        [fault, "default",
         f"Blocks on its socket timeout, then retries on the promoted replica (promoted "
         f"{secs(row['promoted_s'])} after the cut): longest call "
         f"{longest(row, 'default faulty')}, locks again "
         f"{secs(row.get('default locks again after_s'))} after the cut.",
         f"Longest call {longest(row, 'default healthy')}"
         + (" (a refresh that asks the silent node waits its connect timeout)." if yes else
            "."), "as above", "as above", "as above", f"`{row['id']}`: {trials(row)}"],
        [fault, "bounded",
         f"`TimeoutError` after 0.5 s (each call within {longest(row, 'bounded faulty')}), "
         f"locks again {secs(row['bounded locks again after_s'])} after the cut.",
         f"Longest call {longest(row, 'bounded healthy')}"
         + ("; `ClusterDownError` while the cluster is down." if yes else
            ": unaffected."), "as above", "as above", "as above", f"`{row['id']}`: {trials(row)}"],
    ]


def cluster_table(f: File) -> list[str]:
    makers: list[tuple[str, Callable[[Row], list[Cells]]]] = [
        ("cluster-kill-yes", kill_rows), ("cluster-kill-no", kill_rows),
        ("cluster-failover-yes", failover_rows), ("cluster-slot-moved", moved_rows),
        ("cluster-lost-yes", lost_rows), ("cluster-lost-no", lost_rows),
        ("cluster-cut-yes", cut_rows), ("cluster-cut-no", cut_rows)]
    incomplete: list[str] = []
    rows = made_all(makers, f.rows, incomplete)
    if not rows:
        return []
    return [f"From `{f.name()}` ({f.server}, CPython {f.data['interpreter']['version']}, "
            f"{f.data['date']}).", "",
            *table(["Fault", "Client set-up", "A call on its slots", "A call on other slots",
                    "A held lock", "Two holders?", "Recovery", "Row: trials"], rows),
            *incomplete_note(incomplete)]


def cluster_losses(f: File) -> list[str]:
    kills = [r for i, r in f.rows.items() if i.startswith("cluster-kill-")
             and "trials_with_locks_lost" in r]
    if not kills:
        return []
    lost = sum(r["trials_with_locks_lost"] for r in kills)
    all_trials = sum(r["trials"] for r in kills)
    locks = sum(r["locks_lost"] for r in kills)
    return [f"In this run, {lost} of {all_trials} kill trials lost locks on the promotion "
            f"({count(locks)} in all)."]


# --- the servers side by side -------------------------------------------------------------------

def servers_table(files: Sequence[File]) -> list[str]:
    def cell(f: File, make: Callable[[dict[str, Row]], str | None]) -> str:
        try:
            text = make(f.rows)
        except KeyError:
            text = None
        return text if text is not None else "–"

    def calls(ident: str, names: Sequence[str]) -> Callable[[dict[str, Row]], str]:
        return lambda r: " / ".join(secs(r[ident]["calls"][n]["median"]) for n in names)

    def evicted(policy: str) -> Callable[[dict[str, Row]], str]:
        return lambda r: (f"{count(r[f'eviction-{policy}']['cache_keys_written'])} keys "
                          f"({count(r[f'eviction-{policy}']['evicted_keys'])})")

    def volatile(r: dict[str, Row]) -> str | None:
        found = [row["evicted_keys"] for i, row in r.items() if i.startswith("eviction-volatile-")]
        return f"{count(min(found))}–{count(max(found))} evicted" if found else None

    def kill(field: str, coverage: str = "yes") -> Callable[[dict[str, Row]], str]:
        return lambda r: secs(r[f"cluster-kill-{coverage}"][field])

    wanted: list[tuple[str, Callable[[dict[str, Row]], str | None]]] = [
        ("Paused, default: waiting / free / `release` (medians)",
         calls("pause", ["default waiting", "default free", "default release"])),
        ("Paused, bounded: waiting / free / `release` (medians)",
         calls("pause", ["bounded waiting", "bounded free", "bounded release"])),
        ("Paused, never resumed, default client", lambda r: secs(
            r["pause-for-good"]["seconds_to_error"])),
        ("Partition, default: waiting / free / `release` (medians)",
         calls("partition", ["default waiting", "default free", "default release"])),
        ("Sentinel failover: locks again after", lambda r: secs(
            r["sentinel-failover"]["seconds_until_locks_again"])),
        ("Sentinel: held locks lost / keys nobody holds", lambda r: (
            f"{r['sentinel-failover']['locks_lost']} of "
            f"{count(r['sentinel-failover']['locks_held_at_kill'])} / "
            f"{r['sentinel-failover']['keys_nobody_holds']} in "
            f"{trials(r['sentinel-failover'])}")),
        *((f"`{p}`: held lock gone within (evicted)", evicted(p))
          for p in ("allkeys-lru", "allkeys-lfu", "allkeys-random")),
        ("`volatile-*`: held lock survives", volatile),
        ("`noeviction`: new locks refused after", lambda r: (
            f"{count(r['eviction-noeviction']['cache_keys_written'])} keys")),
        ("ACL refusal text", lambda r: f"\"{r['acl-get-only']['refusals']['set']['text']}\""),
        ("Cluster, master killed: replica promoted after", kill("promoted_s")),
        ("Cluster, master killed, `yes`: cluster down on the other masters, from / until",
         lambda r: (f"{secs(r['cluster-kill-yes']['cluster down from_s']['median'])} / "
                    f"{secs(r['cluster-kill-yes']['cluster down until_s']['median'])}")),
        ("Cluster, master killed, `yes`, default client: longest call on its slots / on "
         "other slots", lambda r: (
             f"{secs(r['cluster-kill-yes']['default faulty longest call_s']['median'])} / "
             f"{secs(r['cluster-kill-yes']['default healthy longest call_s']['median'])}")),
        ("Cluster, master killed, `no`: longest call on other slots, default / bounded",
         lambda r: (
             f"{secs(r['cluster-kill-no']['default healthy longest call_s']['median'])} / "
             f"{secs(r['cluster-kill-no']['bounded healthy longest call_s']['median'])}")),
        ("Cluster, master killed, bounded client: locks on its slots again after",
         kill("bounded locks again after_s")),
        ("Cluster, master killed: locks lost / keys nobody holds (both coverages)", lambda r: (
            " + ".join(f"{r[i]['locks_lost']} of {count(r[i]['locks_held_at_fault'])}"
                       for i in ("cluster-kill-yes", "cluster-kill-no"))
            + " / " + str(sum(r[i]["keys_nobody_holds"]
                              for i in ("cluster-kill-yes", "cluster-kill-no"))))),
        ("Cluster, manual failover: promoted after / locks lost", lambda r: (
            f"{secs(r['cluster-failover-yes']['promoted_s'])} / "
            f"{r['cluster-failover-yes']['locks_lost']}")),
        ("Cluster, slot moved under load: overlaps / lost increments", lambda r: (
            f"{r['cluster-slot-moved']['overlaps']} / "
            f"{r['cluster-slot-moved']['lost_increments']}")),
        ("Cluster, master lost without a replica, `yes`: cluster down from", lambda r: secs(
            r["cluster-lost-yes"]["cluster_down_from_s"])),
        ("Cluster, master cut off (`yes`): locks granted after the cut for / replica "
         "promoted after", lambda r: (
             f"{secs(r['cluster-cut-yes']['granted after the cut for_s'])} / "
             f"{secs(r['cluster-cut-yes']['promoted_s'])}")),
    ]
    header = ["Row", *(f.server for f in files)]
    rows = [[name, *(cell(f, make) for f in files)] for name, make in wanted]
    runs = "; ".join(f"{f.server}: `{f.name()}`, {f.data['trials']} trials, CPython "
                     f"{f.data['interpreter']['version']}, {f.data['date']}" for f in files)
    return [f"Medians over the trials unless the row says otherwise ({runs}).", "",
            *table(header, rows)]


def runs_block(files: Sequence[File]) -> list[str]:
    lines = []
    for f in files:
        m, py, load = f.data["machine"], f.data["interpreter"], f.data["load_average"]
        lines.append(f"- `{f.name()}`: `{' '.join(f.data['command'])}` on {f.data['date']}, "
                     f"{f.data['trials']} trials of each timed row; {m['cpu']}, {m['cores']} "
                     f"cores, {m['os']}; {f.server}, redis-py {f.data['clients']['redis_py']}, "
                     f"CPython {py['version']} ({py['origin']}, {py['where']}); load average "
                     f"{load['start'][0]:.2f} at the start and {load['end'][0]:.2f} at the end.")
    return lines


# --- README's summaries ---------------------------------------------------------------------------

def production_block(f: File) -> list[str]:
    r = f.rows
    items = []
    if "pause-for-good" in r and "pause" in r:
        items.append(
            "- **Bound every command.** `timeout_ms` counts only the waits between attempts; "
            "the default client waits 5 s for each reply and retries ten times, so a server "
            f"that stalls for good holds a caller for {r['pause-for-good']['seconds_to_error']:.0f}"
            " s before the client's `TimeoutError`. "
            "[`examples/bounded.py`](examples/bounded.py) builds a client with 0.5 s socket and "
            "connect timeouts, no retry after a timeout and health checks; a stalled server "
            f"then costs a caller {secs(r['pause']['calls']['bounded waiting']['median'])} and "
            "the client's `TimeoutError`.")
    items.append(
        "- **A command that timed out may still run.** The server (or the network) can deliver "
        "it later: an `acquire` that raised can leave a key that nobody holds, and a `release` "
        "that raised has usually freed the lock. Look before you delete such a key by hand.")
    if "sentinel-failover" in r:
        items.append(
            "- **Follow failovers with Sentinel.** [`examples/sentinel.py`](examples/sentinel.py)"
            " takes its locks on the current master of a Sentinel group; after the master dies, "
            "locks can be taken again once a replica is promoted "
            f"({secs(r['sentinel-failover']['seconds_until_locks_again'])}, median / max, with "
            "`down-after-milliseconds` 1000).")
    items += [
        "- **Never let the server evict lock keys.** Lock keys have no expiry: use "
        "`noeviction` or a `volatile-*` policy; any `allkeys-*` policy silently frees held locks "
        "under memory pressure.",
        "- **Persist, or accept that a restart frees every lock.** With `appendonly yes` and "
        "`appendfsync always` held locks survive a crash."]
    return [f"In short ({f.server}):", "", *items]


def cluster_block(f: File) -> list[str]:
    r = f.rows
    if not all(i in r for i in ("cluster-kill-yes", "cluster-kill-no", "cluster-cut-yes")):
        return []
    kill, kill_no, cut = r["cluster-kill-yes"], r["cluster-kill-no"], r["cluster-cut-yes"]
    lost_trials = kill["trials_with_locks_lost"] + kill_no["trials_with_locks_lost"]
    all_trials = kill["trials"] + kill_no["trials"]
    items = [
        f"- **A master killed:** its replica takes over after {secs(kill['promoted_s'])} "
        "(median / max). With redis-py's defaults a caller on its slots is held up to "
        f"{secs(kill['default faulty longest call_s']['max'])}, whatever its `timeout_ms`, and "
        f"then gets its answer ({errors_text(kill['errors']['default faulty'])}); the bounded "
        "client above raises `ConnectionError` at once instead, and takes locks again "
        f"{secs(kill['bounded locks again after_s'])} after the kill. Replication is "
        f"asynchronous: in {lost_trials} of {all_trials} kill trials the promoted replica "
        "lacked locks its master had granted.",
        "- **The other masters stall** by default: from the moment the dead master is flagged "
        f"failing (after {secs(kill['cluster down from_s'])}) until its replica is promoted, "
        "every node answers CLUSTERDOWN to every command, and the default client waits it out "
        f"(calls of up to {secs(kill['default healthy longest call_s']['max'])}). "
        "`cluster-require-full-coverage no` on the servers removes this: the other masters then "
        f"serve on (longest call {secs(kill_no['default healthy longest call_s']['max'])}).",
        "- **A master cut off by the network keeps granting locks** to the clients that still "
        f"reach it for {secs(cut['granted after the cut for_s'])} after the cut, and its "
        f"replica, promoted {secs(cut['promoted_s'])} after it, has none of them: **two "
        "holders** of each such lock. A shorter node timeout narrows that window; only a lock "
        "service with a quorum closes it."]
    if "cluster-failover-yes" in r and "cluster-slot-moved" in r:
        items.append(
            "- **A manual failover** (`CLUSTER FAILOVER` on a replica) lost "
            f"{r['cluster-failover-yes']['locks_lost']} locks and **a slot moved** (the way "
            f"`redis-cli --cluster reshard` moves it) {r['cluster-slot-moved']['lost_increments']}"
            " increments: redirections are followed by the client, and no caller sees an "
            "error, except the bounded client's `TimeoutError` when the old master holds its "
            "writers longer than 0.5 s.")
    return [f"In short ({f.server}, `cluster-node-timeout` 1000):", "", *items]


def attempts_block(f: File) -> list[str]:
    row = f.rows.get("attempts")
    if row is None:
        return []
    limits = row["limits"]
    return table(["`timeout_ms`", *limits],
                 [["attempts (SET NX)", *(str(v["attempts"]) for v in limits.values())],
                  ["waits of 0.1 s", *(str(v["waits"]) for v in limits.values())]])


# --- timeline charts -------------------------------------------------------------------------------

def shown_lanes(row: Row) -> tuple[list[dict[str, Any]], list[int], list[int]]:
    timelines = row.get("timelines") or []
    trials_all = sorted({t["trial"] for t in timelines})
    shown: list[dict[str, Any]] = []
    for trial in trials_all:
        lanes_of = [t for t in timelines if t["trial"] == trial]
        if shown and len(shown) + len(lanes_of) > MAX_LANES:
            break
        shown += lanes_of
    lanes = sorted(shown, key=lambda t: (t["trial"], t["caller"]))
    return lanes, trials_all, sorted({t["trial"] for t in lanes})


def timeline_data(row: Row) -> list[list[object]]:
    lanes, _, _ = shown_lanes(row)
    out: list[list[object]] = [["trial", "caller", "start_s", "end_s", "outcome"]]
    for lane in lanes:
        out += [[lane["trial"], lane["caller"], start, end, outcome]
                for start, end, outcome in lane["calls"]]
    return out


def timeline_chart(plt: Any, path: Path, row: Row, f: File) -> None:
    """Each caller's calls after the fault, one lane per trial and caller: a bar from each
    call to its return, coloured by the outcome, a dot on its first True after the fault.
    Every call stays visible as itself: a bar ends at least a pixel before the next call
    starts (back-to-back calls show the gap between them), and one too short to see is
    drawn two pixels wide. A lane ends where the row's timelines do (`until`; by default at
    that first True)."""
    lanes, trials_all, shown_trials = shown_lanes(row)
    fig, ax = plt.subplots(figsize=(8, 1.1 + 0.24 * len(lanes)), layout="constrained")
    start_x = min(0.0, min((c[0] for t in lanes for c in t["calls"]), default=0.0)) - 0.05
    end_x = max((c[1] for t in lanes for c in t["calls"]), default=1.0) + 0.1
    ax.set_xlim(start_x, end_x)
    # One pixel in seconds, for the axes' share of the figure's width at the saved dpi.
    pixel = (end_x - start_x) / (0.72 * 8 * plt.rcParams["savefig.dpi"])
    seen: dict[str, str] = {}
    for y, lane in enumerate(lanes):
        calls = sorted(lane["calls"])
        for i, (start, end, outcome) in enumerate(calls):
            colour = OUTCOME_COLOURS.get(outcome, OTHER_ERROR)
            seen.setdefault(outcome, colour)
            following = calls[i + 1][0] if i + 1 < len(calls) else float("inf")
            width = max(min(end, following - pixel) - start, 2 * pixel)
            ax.broken_barh([(start, width)], (y - 0.36, 0.72), facecolors=colour, linewidth=0)
        taken = [end for start, end, outcome in calls if outcome == "True" and start >= 0]
        if taken:
            ax.plot(taken[0], y, marker="o", color="black", markersize=3.5, zorder=3)
    ax.axvline(0, color="black", linewidth=1)
    ax.set_yticks(range(len(lanes)), [f"trial {t['trial']}, {t['label']}" for t in lanes],
                  fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel(f"time since the fault, seconds (0: {row.get('fault', 'the fault')})")
    ax.set_ylabel("trial and caller (one lane each)")
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in seen.values()]
    names = [OUTCOME_NAMES.get(o, f"raised {o}") for o in seen]
    handles.append(plt.Line2D([], [], marker="o", color="black", linestyle="", markersize=3.5))
    names.append("first lock after the fault")
    columns = 3
    ax.legend(handles, names, fontsize=8, ncols=columns, loc="lower center",
              bbox_to_anchor=(0.5, 1.0), frameon=False)
    which = (f"{len(trials_all)} trials" if len(shown_trials) == len(trials_all) else
             f"trial{'s' if len(shown_trials) > 1 else ''} "
             f"{', '.join(map(str, shown_trials))} of {len(trials_all)}")
    until = f"until {row['until']}" if row.get("until") else "to its first successful acquire"
    ax.set_title(f"{row['label'][0].upper()}{row['label'][1:]}: each caller's calls from the "
                 f"fault {until}\n{f.server}, {which}",
                 pad=22 + 12 * ((len(seen)) // columns), wrap=True)
    ax.grid(axis="x", linewidth=0.4, alpha=0.5)
    fig.savefig(path)
    plt.close(fig)


# --- main ----------------------------------------------------------------------------------------

def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path,
                        help="result files (default: those of results/faults)")
    parser.add_argument("--check", action="store_true",
                        help="compare the documents and the charts' numbers with what the "
                        "results give, write nothing, fail on a difference")
    parser.add_argument("--reference", default="",
                        help="the server whose figures the tables give, as the files name it "
                        "(e.g. 'Redis 7.0.15'; default: the first by name and version)")
    parser.add_argument("--reliability", type=Path, default=ROOT / "RELIABILITY.md")
    parser.add_argument("--readme", type=Path, default=ROOT / "README.md")
    parser.add_argument("--charts", type=Path, default=ROOT / "charts")
    parser.add_argument("--no-charts", dest="draw", action="store_false",
                        help="write the blocks and the charts' numbers, draw no chart")
    args = parser.parse_args(argv)
    paths = args.files or sorted((ROOT / "results" / "faults").glob("*.json"))
    if not paths:
        print("faults: no result files given, and none in results/faults")
        return 0
    files = load(paths)
    if not files:
        print("faults: no result file of the faults among those given")
        return 0
    chosen = [f for f in files if not args.reference or f.server == args.reference]
    if not chosen:
        parser.error(f"no file of {args.reference!r}: {', '.join(f.server for f in files)}")
    reference = chosen[0]
    blocks = {"server-table": server_table(reference), "sentinel": sentinel_block(reference),
              "timelines": timeline_summary([reference]),
              "cluster-table": cluster_table(reference),
              "cluster-losses": cluster_losses(reference), "servers": servers_table(files),
              "runs": runs_block(files)}
    drift = write_blocks(args.reliability, {k: v for k, v in blocks.items() if v}, BLOCKS,
                         args.check)
    summaries = {"production": production_block(reference), "cluster": cluster_block(reference),
                 "attempts": attempts_block(reference)}
    drift += write_blocks(args.readme, {k: v for k, v in summaries.items() if v},
                          README_BLOCKS, args.check)
    charted = [row for row in reference.rows.values() if row.get("timelines")]
    plt = pyplot() if args.draw and not args.check and charted else None
    args.charts.mkdir(parents=True, exist_ok=True)
    for row in charted:
        drift += write_data(args.charts / f"{row['id']}.csv", timeline_data(row), args.check)
        if plt is not None:
            timeline_chart(plt, args.charts / f"{row['id']}.png", row, reference)
    for text in drift:
        print(text)
    if args.check:
        print(f"faults: {'no difference' if not drift else f'{len(drift)} differences'} from "
              f"{len(paths)} result files")
        return 1 if drift else 0
    print(f"{args.reliability.name}, {args.readme.name} and charts "
          f"({', '.join(r['id'] for r in charted) or 'none'}) written from {len(paths)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
