#!/usr/bin/env python3
"""Turns the JSON output of nemra-bench (and of hyperfine and /usr/bin/time) into the table of
target ratios printed by scripts/bench.

Every time is the median over the repetitions of one run (the "median" aggregate), taken as CPU
time and divided by the benchmark's "batch" counter, the number of operations one timed iteration
performs. A ratio is nemra's median over the baseline's median; a target holds when the ratio is
at most the bound. The coefficient of variation (the "cv" aggregate) of both sides is shown so a
noisy result can be told from a real one.

Standard library only.
"""

import argparse
import json
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_benchmarks(paths):
    """run_name -> {"median": ns per operation, "cv": coefficient of variation}."""
    results = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        # A program none of whose benchmarks the filter matched writes nothing.
        if not text.strip():
            continue
        data = json.loads(text)
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                sys.exit(f"bench_report: {b['run_name']} failed: {b.get('error_message')}")
            name = b.get("run_name", b["name"])
            entry = results.setdefault(name, {})
            kind = b.get("aggregate_name")
            batch = float(b.get("batch", 1.0)) or 1.0
            if kind == "median":
                entry["median"] = b["cpu_time"] * UNIT_NS[b["time_unit"]] / batch
                for counter in ("bytes_per_entity", "peak_bytes_per_entity", "found",
                                "bytes_per_second", "bytes_per_row_over_components",
                                "fitted_bytes_per_row_over_components", "median_call_ns",
                                "max_call_ns", "exact_path_share", "inputs", "move_ms",
                                "index_ms", "query_ms", "digest_ms", "max_tick_ms",
                                "max_index_ms", "bytes_per_frame", "late_join_ms"):
                    if counter in b:
                        entry[counter] = b[counter]
            elif kind == "cv":
                entry["cv"] = b["cpu_time"]  # a fraction; time units cancel
            elif kind is None and "median" not in entry:
                # A single run without repetitions: use it as the median.
                entry["median"] = b["cpu_time"] * UNIT_NS[b["time_unit"]] / batch
    return results


def fmt_time(ns):
    if ns is None:
        return "n/a"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def fmt_ratio(x):
    """A ratio as 0.35, or as 1/1234 when it is below 0.01."""
    return f"{x:.2f}" if x >= 0.01 else f"1/{1 / x:.0f}"


def fmt_cv(entry):
    cv = entry.get("cv") if entry else None
    return "" if cv is None else f"{100 * cv:.0f}%"


class Report:
    def __init__(self, results, budgets):
        self.results = results
        self.budgets = budgets
        self.misses = 0
        self.missing = 0

    def time(self, name):
        entry = self.results.get(name)
        return None if entry is None else entry.get("median")

    def row(self, label, ours, base, bound=None, ours_ns=None, base_ns=None):
        """One ratio line. ours/base are benchmark names, or None with *_ns given directly."""
        t_ours = ours_ns if ours is None else self.time(ours)
        t_base = base_ns if base is None else self.time(base)
        cv = f"{fmt_cv(self.results.get(ours)) or '-':>4} {fmt_cv(self.results.get(base)) or '-':>4}"
        if t_ours is None or t_base is None or t_base <= 0:
            verdict = "not measured" if bound is not None else ""
            if bound is not None:
                self.missing += 1
            print(f"  {label:<52} {fmt_time(t_ours):>10} {fmt_time(t_base):>10} {'':>7}"
                  f" {'':>7}  {cv}  {verdict}")
            return
        ratio = t_ours / t_base
        if bound is None:
            print(f"  {label:<52} {fmt_time(t_ours):>10} {fmt_time(t_base):>10} {fmt_ratio(ratio):>7}"
                  f" {'':>7}  {cv}")
            return
        ok = ratio <= bound
        if not ok:
            self.misses += 1
        verdict = "target held" if ok else f"target missed by {100 * (ratio / bound - 1):.1f}%"
        print(f"  {label:<52} {fmt_time(t_ours):>10} {fmt_time(t_base):>10} {fmt_ratio(ratio):>7}"
              f" {'<= ' + fmt_ratio(bound):>7}  {cv}  {verdict}")

    def ns_iteration(self, lib):
        """One Newton–Schulz iteration: the difference of two budgets, per iteration."""
        short, long_ = self.time(f"nsBudgetShort/{lib}"), self.time(f"nsBudgetLong/{lib}")
        if short is None or long_ is None:
            return None
        return (long_ - short) / (self.budgets[1] - self.budgets[0])


def header(title):
    print()
    print(title)
    print(f"  {'':<52} {'nemra':>10} {'baseline':>10} {'ratio':>7} {'target':>7}  {'cv':>4} {'':>4}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bench", nargs="+", required=True, help="nemra-bench JSON outputs")
    parser.add_argument("--budgets", nargs=2, type=int, default=[5, 25],
                        help="the two Newton-Schulz budgets of nsBudgetShort/nsBudgetLong")
    parser.add_argument("--hyperfine", help="hyperfine JSON export: self-check and empty program")
    parser.add_argument("--rss", nargs="*", default=[],
                        help="NAME=KIB peak resident set sizes (median of several runs)")
    parser.add_argument("--machine", default="", help="machine description line")
    args = parser.parse_args()

    r = Report(load_benchmarks(args.bench), args.budgets)

    print("nemra benchmark report")
    if args.machine:
        print(f"  {args.machine}")
    print("  times: median CPU time per operation over the repetitions of one run; ratio = nemra / baseline")

    header("Targets")
    for op in ("mul", "apply", "det"):
        for lib, title in (("eigen", "Eigen"), ("glm", "glm")):
            r.row(f"PGL4 {op} vs {title}", f"{op}/nemra", f"{op}/{lib}", 1.0)
    r.row(f"Newton-Schulz iteration vs PGL4 mul (budgets {args.budgets[0]}..{args.budgets[1]})",
          None, "mul/nemra", 3.5, ours_ns=r.ns_iteration("nemra"))
    for lib, title in (("eigen", "Eigen"), ("glm", "glm")):
        r.row(f"fsDistance vs the formula with {title}", "fsDistance/nemra", f"fsDistance/{lib}", 1.0)
    # The correctly rounded functions against glibc's on the same inputs (bench/cr_math_bench.cpp).
    for op, base in (("sin", "sin"), ("cos", "cos"), ("tan", "tan"), ("acos", "acos"),
                     ("invFourthRoot", "pow(x, -0.25)")):
        r.row(f"cr::{op} vs glibc {base}", f"{op}/cr", f"{op}/glibc", 1.25)
    r.row("findNearest vs literal scan, 1e6 all active",
          "findNearest/nemra/all_active/1000000", "findNearest/literal/all_active/1000000", 0.35)
    for n, label in ((1000, "1e3"), (1000000, "1e6")):
        r.row(f"applyMany vs a loop of apply, {label} points",
              f"applyMany/nemra/{n}", f"applyMany/loop/{n}", 0.5)
        r.row(f"applyMany vs Eigen Matrix4d * Matrix4Xd, {label} points",
              f"applyMany/nemra/{n}", f"applyMany/eigen/{n}", 1.0)
    r.row("getEntity of the last entity, 1e6 vs 1e3 entities",
          "getEntityLast/nemra/1000000", "getEntityLast/nemra/1000", 2.0)

    for mode, what in (("pairs", "allocate/free pairs"), ("live", "live blocks")):
        per_op = {n: r.time(f"leakResource/{mode}/{n}") for n in (1000, 100000)}
        r.row(f"leak-checking allocator, {what}, per op 1e5 vs 1e3",
              None, None, 2.0, ours_ns=per_op[100000] and per_op[100000] / 100000,
              base_ns=per_op[1000] and per_op[1000] / 1000)
        r.row(f"leak-checking allocator, 1e5 {what}, vs 0.5 s", f"leakResource/{mode}/100000",
              None, 1.0, base_ns=0.5e9)

    # Each call on the published hardest-to-round inputs timed alone (bench/cr_math_bench.cpp);
    # the target is the slowest call, as a real-time program meets it.
    print()
    print("Correctly rounded functions on the hardest-to-round inputs, per call")
    print(f"  {'':<30} {'inputs':>8} {'median':>8} {'max':>8} {'exact path':>10} {'target':>8}")
    for op in ("sin", "cos", "tan", "acos"):
        entry = r.results.get(f"hard/{op}/cr/iterations:1", {})
        if "max_call_ns" not in entry:
            r.missing += 1
            print(f"  cr::{op:<25} not measured")
            continue
        ok = entry["max_call_ns"] <= 2000
        r.misses += 0 if ok else 1
        print(f"  cr::{op:<25} {entry['inputs']:>8.0f} {fmt_time(entry['median_call_ns']):>8}"
              f" {fmt_time(entry['max_call_ns']):>8} {100 * entry['exact_path_share']:>9.1f}%"
              f" {'<= 2 us':>8}  {'target held' if ok else 'target missed'}")

    header("Kernel, for information")
    for op in ("transpose", "normalizeDet", "simdDot4", "simdNormalize3"):
        for lib, title in (("eigen", "Eigen"), ("glm", "glm")):
            r.row(f"{op} vs {title}", f"{op}/nemra", f"{op}/{lib}")
    r.row("cordicInvSqrt vs 1/std::sqrt", "cordicInvSqrt/nemra", "cordicInvSqrt/std")
    for n, label in ((1000, "1e3"), (1000000, "1e6")):
        r.row(f"fsDistanceMany vs a loop of fsDistance, {label} points",
              f"fsDistanceMany/nemra/{n}", f"fsDistanceMany/loop/{n}")
    for lib, title in (("eigen", "Eigen"), ("glm", "glm")):
        r.row(f"Newton-Schulz iteration vs the same with {title}", None, None,
              ours_ns=r.ns_iteration("nemra"), base_ns=r.ns_iteration(lib))
    r.row("inverse pglScale(2,3,4), delta 1e-10, budget 15 (call)",
          "inverse/nemra/scale234_budget15", "mul/nemra")
    r.row("inverse pglTranslate(10,20,30), budget 15 (call)",
          "inverse/nemra/translate_budget15", "mul/nemra")
    print("  (the two inverse rows are in units of one PGL4 mul)")

    header("World: findNearest vs the literal scan")
    for mode in ("all_active", "half_active"):
        for n in (1000, 10000, 100000, 1000000):
            r.row(f"{mode} {n:>7} entities", f"findNearest/nemra/{mode}/{n}",
                  f"findNearest/literal/{mode}/{n}")

    header("NearestIndex vs World::findNearest on the same world (random unit vectors)")
    sizes = (1000, 10000, 100000, 1000000)
    for op, title, bound in (("nearest", "nearest", 1 / 1000), ("kNearest16", "kNearest, k = 16", 1 / 300),
                             ("withinDistance100", "withinDistance, ~100 found", 1 / 100),
                             ("build", "build (in findNearest calls)", 100)):
        for n in sizes:
            r.row(f"{title:<28} {n:>7} entities", f"nearestIndex/{op}/{n}",
                  f"nearestIndex/findNearest/{n}", bound if n == 1000000 else None)
    r.row("nearest, clustered world (1e-3 rad) 1000000 entities",
          "nearestIndex/nearest/clustered/1000000", "nearestIndex/findNearest/clustered/1000000", 2.0)
    for n in sizes:
        entry = r.results.get(f"nearestIndex/build/{n}", {})
        if "bytes_per_entity" in entry:
            if n == 1000000 and entry["bytes_per_entity"] > 64:
                r.misses += 1
            print(f"  index memory {n:>7} entities: {entry['bytes_per_entity']:.1f} bytes per entity"
                  f" (target <= 64), {entry.get('peak_bytes_per_entity', 0):.1f} at the peak of build")
        else:
            print(f"  index memory {n:>7} entities: not measured")

    header("A world in motion: the tick of bench/tick_bench.cpp")
    for n, target_ms in ((10000, 1.5), (100000, 8.0)):
        entry = r.results.get(f"tick/whole/{n}", {})
        phases = ", ".join(f"{k[:-3]} {entry[k]:.2f}" for k in
                           ("move_ms", "index_ms", "query_ms", "digest_ms") if k in entry)
        r.row(f"whole tick {n:>7} entities (ms: {phases})", f"tick/whole/{n}", None,
              target_ms / 1000 if entry else None, base_ns=1e9)
        if "max_tick_ms" in entry:
            print(f"  slowest tick of the run {n:>7} entities: {entry['max_tick_ms']:.2f} ms"
                  f" (its upkeep {entry.get('max_index_ms', 0):.2f} ms)")
    r.row("setPositions vs getEntity + setPosition, 1e5", "tick/moveBulk/100000",
          "tick/moveLoop/100000", 1 / 3)
    r.row("floor: store unit points, bump versions vs the loop, 1e5",
          "tick/moveStoreOnly/100000", "tick/moveLoop/100000")
    for n in (10000, 100000):
        r.row(f"1,000 kNearest(8 enemies) vs kNearest(8), {n:>7}", f"tick/queries8Enemies/{n}",
              f"tick/queries8/{n}", 1.5)
        for kind, what in ((1, "R3 points"), (2, "R4 units")):
            r.row(f"afresh vs a k-d tree of {what}, {n:>7}",
                  f"tick/queries8EnemiesAfresh/{n}/0", f"tick/queries8EnemiesAfresh/{n}/{kind}")
    r.row("stateDigest vs memcpy of its bytes, 1e5", "tick/digest/100000",
          "tick/digestMemcpy/100000", 2.0)

    header("Rollback: bench/rollback_bench.cpp, two 32-byte components per entity")
    r.row("saveSnapshot into a reused slot, 1e4 (s)", "rollback/save/10000", None, 0.5e-3,
          base_ns=1e9)
    r.row("restoreSnapshot in place, 1e4 (s)", "rollback/restore/10000", None, 1e-3, base_ns=1e9)
    r.row("restoreSnapshot vs loadSnapshot into fresh objects, 1e5", "rollback/restore/100000",
          "rollback/loadFresh/100000", 1.2)
    for n in (100000, 1000000):
        # 48 ticks a run (whole cycles of arrangements): the runs' names carry the count.
        r.row(f"batch update after every entity stepped vs build, {n:>7}",
              f"update/updateAfterStep/{n}/iterations:48", f"update/build/{n}", 0.1)
        r.row(f"refit after every entity stepped vs build, {n:>7}",
              f"update/refitAfterStep/{n}/iterations:48", f"update/build/{n}")

    header("Lockstep: rollback and the network (bench/lockstep_bench.cpp)")
    r.row("rollback of 8 frames vs one frame, 1e4 entities", "lockstep/rollback8/10000",
          "lockstep/frame/10000")
    r.row("rollback of 8 frames vs a 16.7 ms frame, 1e4", "lockstep/rollback8/10000", None,
          1.0, base_ns=16.667e6)
    r.row("the same with the world-in-motion tick, 1e4", "lockstep/motionRollback8/10000", None,
          1.0, base_ns=16.667e6)
    net = r.results.get("lockstep/network/iterations:1", {})
    join = r.results.get("lockstep/lateJoin/10000/iterations:1", {})
    print(f"  bytes each peer sends a frame, 3 players, 10 % loss: "
          f"{net.get('bytes_per_frame', float('nan')):.0f}")
    print(f"  late join at 1e4 entities, request to first agreed frame (network time): "
          f"{join.get('late_join_ms', float('nan')):.0f} ms, processor {fmt_time(join.get('median'))}")

    header("ComponentStore: each<A, B> vs two std::vectors, get<T> of the last entity")
    r.row("each<Pos, Vel> 1000000 entities, one table (per entity)", "store/each/nemra/1000000",
          "store/each/vectors/1000000", 1.5)
    r.row("get<Vel> of the last entity, 1e6 vs 1e3 entities", "store/getLast/nemra/1000000",
          "store/getLast/nemra/1000", 2.0)
    r.row("set (adding a component), 1e6 vs 1e3 entities, per call", "store/setAdd/nemra/1000000",
          "store/setAdd/nemra/1000")
    for n in (1000, 10000, 100000, 1000000):
        entry = r.results.get(f"store/memory/nemra/{n}", {})
        if "bytes_per_row_over_components" in entry:
            fitted = entry.get("fitted_bytes_per_row_over_components", float("nan"))
            verdict = "target held" if fitted <= 16 else "target missed"
            if fitted > 16:
                r.misses += 1
            print(f"  memory {n:>7} rows: {entry['bytes_per_row_over_components']:.1f} bytes per row"
                  f" beyond the components as grown by set, {fitted:.1f} after shrinkToFit"
                  f" (id 8 + index 8; target <= 16) {verdict}")
    header("ComponentStore and World beside EnTT v3.16.0 (same operations, same run; per entity)")
    if not any(name.startswith("peer/") for name in r.results):
        print("  not measured (EnTT not found: NEMRA_BENCH_ENTT_DIR)")
    else:
        for n in (10000, 1000000):
            for label, ours, base, bound in (
                    ("get<Position> through a held handle", "get/nemraHandle", "get/entt", 1.0),
                    ("get<Position> through get<T>", "get/nemra", "get/entt", 1.2),
                    ("add then remove a tag, random 10 %", "toggleTag/nemra",
                     "toggleTag/entt", 2.5),
                    ("create with two components, after reserve", "create/nemra", "create/entt", 1.0),
                    ("iterate Position + Velocity", "iterate/nemra", "iterate/entt", None),
                    ("iterate, a tag on a random half", "iterateHalfTagged/nemra",
                     "iterateHalfTagged/entt", None),
                    ("iterate the tagged half (with the tag)", "iterateTagged/nemra",
                     "iterateTagged/entt", None),
                    ("save a snapshot into fresh memory", "save/nemra", "save/entt", None),
                    ("load a snapshot into fresh objects", "load/nemra", "load/entt", None),
                    ("load a snapshot into memory used again", "loadReused/nemra",
                     "loadReused/entt", None),
                    ("erase all, random order", "eraseAll/nemra", "eraseAll/entt", None),
                    ("World::createEntity vs create, reserved", "worldCreate/nemra",
                     "worldCreate/entt", None)):
                r.row(f"{label} {n}", f"peer/{ours}/{n}", f"peer/{base}/{n}", bound)
    print()
    print("Snapshots at 1e6 entities with two 16-byte components (median, CPU time). The targets"
          " apply to the library's work, into memory used again (Reused); save and load into"
          " fresh memory also pay the operating system for every page, whose floor is freshPages"
          " (filling a fresh buffer of the snapshot's size)")
    for op, bound in (("saveReused", 1.0), ("loadReused", 1.0), ("save", None), ("load", None),
                      ("freshPages", None), ("digest", 2.0)):
        name = "snapshot/freshPages/memset/1000000" if op == "freshPages" else \
            f"snapshot/{op}/nemra/1000000"
        entry = r.results.get(name, {})
        if "bytes_per_second" not in entry:
            print(f"  {op:<12} not measured")
            if bound is not None:
                r.missing += 1
            continue
        gbs = entry["bytes_per_second"] / 1e9
        verdict = "" if bound is None else (
            "  target held" if gbs >= bound else f"  target missed by {100 * (1 - gbs / bound):.1f}%")
        if bound is not None and gbs < bound:
            r.misses += 1
        target = "" if bound is None else f" (target >= {bound:.0f} GB/s)"
        print(f"  {op:<12} {gbs:6.2f} GB/s{target}{verdict}")

    print()
    print("World and registry, time per call")
    for mode in ("all_active", "half_active"):
        for op in ("getEntity", "activeCount"):
            times = [fmt_time(r.time(f"{op}/nemra/{mode}/{n}")) for n in (1000, 10000, 100000, 1000000)]
            print(f"  {op + ' ' + mode:<32} 1e3..1e6: " + "  ".join(f"{t:>9}" for t in times))
    times = [fmt_time(r.time(f"createEntity/nemra/{n}")) for n in (1000, 10000, 100000, 1000000)]
    print(f"  {'createEntity (per entity)':<32} 1e3..1e6: " + "  ".join(f"{t:>9}" for t in times))
    for op, what in (("createArchetype", "per archetype"), ("query", "per query")):
        times = [fmt_time(r.time(f"{op}/nemra/{n}")) for n in (100, 1000, 10000, 100000)]
        print(f"  {op + ' (' + what + ')':<32} 1e2..1e5: " + "  ".join(f"{t:>9}" for t in times))

    if args.hyperfine:
        with open(args.hyperfine, encoding="utf-8") as f:
            runs = json.load(f)["results"]
        print()
        print("Whole self-check run (hyperfine, wall time)")
        for run in runs:
            print(f"  {run['command']:<52} median {1e3 * run['median']:8.2f} ms"
                  f"  mean {1e3 * run['mean']:8.2f} ms  ± {1e3 * run['stddev']:.2f} ms")
        if len(runs) == 2 and runs[1]["median"] > 0:
            print(f"  ratio self-check / empty program (medians): {runs[0]['median'] / runs[1]['median']:.1f}")
    if args.rss:
        print("Peak resident set size (/usr/bin/time -v, median of runs)")
        for item in args.rss:
            name, _, kib = item.partition("=")
            print(f"  {name:<52} {int(kib) / 1024:8.1f} MiB")

    print()
    if r.misses or r.missing:
        print(f"{r.misses} target(s) missed, {r.missing} not measured.")
    else:
        print("Every target holds.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
