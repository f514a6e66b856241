"""veloxel's benchmark: load times against the floor, the ceilings and the peers, in one run.

    .venv/bin/python -m pip install --no-build-isolation ".[bench]"   # peers, into .venv only
    .venv/bin/python bench/run.py            # 1e5, 1e6 and 1e7 points; about 15 minutes here
    .venv/bin/python bench/run.py --quick    # 1e5 points, 2 repetitions: a smoke test for CI

Writes the benchmark clouds (bench/clouds.py) under bench/data/ once, then loads each file with
every reader that applies, each reader in a fresh process of its own, so that the C heap is in the
state that reader's own loads leave it in, as in a program that loads file after file. The first
load in that process, after imports, is the warm-up: its time and the rise of the peak resident
size are the "first load" and "peak" columns. A second untimed load and the timed loads follow,
and the table shows their median. Readers take turns in a shuffled order, in four passes of
processes (one in --quick), so that a noisy shared machine slows all of them alike; a peer whose
first load took long gets fewer timed loads (the table says how many) and one pass.

Readers that cannot be imported are left out with a note; the run fails only when it cannot run
veloxel itself. Results go to bench/results/ (benchmark.md, benchmark.json, benchmark.png;
benchmark-quick.* for --quick).
Timing never belongs in the tests.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import gc
import json
import os
import pathlib
import platform
import random
import resource
import shlex
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import clouds  # noqa: E402
import readers  # noqa: E402

RESULTS = HERE / "results"
MIB = 1 << 20
# A reader whose first load takes longer (seconds) is measured in one process, not in every pass.
SLOW = 2.0


# --- workers (run in fresh subprocesses) ----------------------------------------------------------

def _status(key: str) -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


def reader_worker(cloud: clouds.Cloud, name: str, repeat: int, budget: float) -> dict:
    """Runs in a fresh process that loads the cloud with one reader only, so that the C heap is in
    the state this reader's own loads leave it in. The first load (after imports, not timed) gives
    the first-load time and the rise of the peak resident size; one more untimed load unless the
    first was slow; then up to `repeat` timed loads with their page faults and CPU time. A peer
    whose first load took long gets fewer, at least one."""
    run = readers.BY_NAME[name].make(cloud)
    gc.collect()
    try:
        # Linux resets the peak resident size to the current one on "5" (since 4.0).
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        base = _status("VmRSS")
    except OSError:
        base = _status("VmHWM")
    first = run()
    result = {"first": first, "peak_rise": _status("VmHWM") - base, "times": [], "faults": [],
              "cpu": []}
    if readers.BY_NAME[name].role == "peer":
        repeat = max(1, min(repeat, int(budget / max(first, 1e-9))))
    if first < SLOW:
        # The C heap settles on its thresholds only after a large block has come back to it once.
        run()
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_SELF)
        result["times"].append(run())
        after = resource.getrusage(resource.RUSAGE_SELF)
        result["faults"].append(after.ru_minflt - before.ru_minflt)
        result["cpu"].append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return result


def spawn(*args: str) -> tuple[dict | None, str]:
    """Runs reader_worker(*args) in a fresh interpreter: (its result, '') or (None, why not)."""
    proc = subprocess.run([sys.executable, __file__, "--worker", *args], capture_output=True,
                          text=True)
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
        return None, lines[-1][:200]
    return json.loads(proc.stdout.strip().splitlines()[-1]), ""


# --- the run --------------------------------------------------------------------------------------

def importable(module: str) -> str:
    """'' when module imports in a fresh interpreter, else the reason it does not."""
    proc = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True,
                          text=True)
    if proc.returncode == 0:
        return ""
    return (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1][:160]


def available_readers(wanted: list[str], notes: list[str]) -> list[str]:
    names, checked = [], {}
    for name in wanted:
        module = readers.REQUIRES.get(name)
        if module is not None:
            if module not in checked:
                checked[module] = importable(module)
            if checked[module]:
                notes.append(f"{name} left out: {checked[module]}")
                continue
        elif readers.BY_NAME[name].role == "ceiling":
            try:
                readers.build_ceilings()
            except RuntimeError as e:
                notes.append(f"{name} left out: {e}")
                continue
        names.append(name)
    return names


def measure(cloud: clouds.Cloud, names: list[str], args) -> list[dict]:
    """Each reader in processes of its own: `args.passes` of them for a reader whose first load
    is short, taking turns with the other readers in a shuffled order, one for a slow reader."""
    names = [n for n in names if cloud.kind in readers.BY_NAME[n].kinds]
    payload = json.dumps(dataclasses.asdict(cloud))
    rows = {n: {"kind": cloud.kind, "shape": cloud.shape, "points": cloud.points, "reader": n,
                "role": readers.BY_NAME[n].role, "body": cloud.body,
                "times": [], "faults": [], "cpu": []}
            for n in names}
    shuffle = random.Random(cloud.points).shuffle
    per_pass = max(1, -(-args.repeat // args.passes))
    for p in range(args.passes):
        order = [n for n in names if "error" not in rows[n]
                 and (p == 0 or rows[n]["first"] < SLOW)]
        shuffle(order)
        for name in order:
            got, error = spawn(payload, name, str(per_pass), str(args.budget))
            if got is None:
                rows[name]["error"] = error
                continue
            rows[name]["times"] += got["times"]
            rows[name]["faults"] += got["faults"]
            rows[name]["cpu"] += got["cpu"]
            if p == 0:
                rows[name].update(first=got["first"], peak_rise=got["peak_rise"])
    for row in rows.values():
        if row["times"]:
            row["median"] = statistics.median(row["times"])
            row["cpu_median"] = statistics.median(row["cpu"])
    return list(rows.values())


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f
                         if line.startswith("model name"))
        memory = _status_meminfo()
    except (OSError, StopIteration):
        memory = ""
    return f"{model}, {os.cpu_count()} cpus{memory}, {platform.system()} {platform.release()}"


def _status_meminfo() -> str:
    with open("/proc/meminfo") as f:
        kib = next(int(line.split()[1]) for line in f if line.startswith("MemTotal:"))
    return f", {kib / 2**20:.0f} GiB"


def versions(names: list[str]) -> str:
    from importlib import metadata

    parts = [f"Python {platform.python_version()}"]
    for package in ("veloxel", "numpy", "pandas", "open3d", "pypcd4"):
        if package == "veloxel" or any(readers.REQUIRES.get(n) == package for n in names) or \
                package == "numpy":
            try:
                parts.append(f"{package} {metadata.version(package)}")
            except metadata.PackageNotFoundError:
                pass
    return ", ".join(parts)


# --- report ---------------------------------------------------------------------------------------

def _ratio(rows: list[dict], key: tuple, a: str, b: str, what: str = "median") -> float | None:
    """time(a) / time(b) on the file `key` (wall, or CPU with what="cpu_median"), or None."""
    got = {r["reader"]: r.get(what) for r in rows if (r["kind"], r["shape"], r["points"]) == key}
    if got.get(a) and got.get(b):
        return got[a] / got[b]
    return None


# (kind, description, numerator, denominator, bound, "<=" or ">=")
TARGETS = [
    ("binary", "veloxel time / numpy.fromfile", "veloxel", "numpy.fromfile", 1.1, "<="),
    ("binary_compressed", "veloxel time / bare lzf_decompress", "veloxel",
     "bare lzf_decompress", 1.25, "<="),
    ("ascii", "veloxel speed / bare fast_float loop", "bare fast_float loop", "veloxel", 0.8,
     ">="),
    ("ascii", "veloxel speed / numpy.loadtxt", "numpy.loadtxt", "veloxel", 3, ">="),
    ("ascii", "veloxel speed / pandas.read_csv", "pandas.read_csv", "veloxel", 3, ">="),
    ("ascii", "veloxel speed / open3d.io", "open3d.io", "veloxel", 10, ">="),
    ("ascii", "veloxel speed / open3d.t.io", "open3d.t.io", "veloxel", 10, ">="),
]


def target_rows(rows: list[dict]) -> list[list[str]]:
    keys = sorted({(r["kind"], r["shape"], r["points"]) for r in rows},
                  key=lambda k: (clouds.KINDS.index(k[0]), k[1], k[2]))
    table = []
    for key in keys:
        for kind, what, a, b, bound, sense in TARGETS:
            if kind != key[0]:
                continue
            value = _ratio(rows, key, a, b)
            if value is None:
                table.append([*_key(key), f"{what} {sense} {bound:g}", "n/a", "n/a",
                              "not measured"])
                continue
            met = value <= bound if sense == "<=" else value >= bound
            cpu = _ratio(rows, key, a, b, "cpu_median")
            table.append([*_key(key), f"{what} {sense} {bound:g}", f"{value:.2f}",
                          f"{cpu:.2f}" if cpu else "n/a", "met" if met else "**missed**"])
        peers = [(r["median"] / _vx(rows, key), r["reader"]) for r in rows
                 if (r["kind"], r["shape"], r["points"]) == key and r["role"] == "peer"
                 and r.get("median") and _vx(rows, key)]
        if peers:
            value, name = min(peers)
            cpu = _ratio(rows, key, name, "veloxel", "cpu_median")
            table.append([*_key(key), "fastest peer's time / veloxel > 1", f"{value:.2f} ({name})",
                          f"{cpu:.2f}" if cpu else "n/a", "met" if value > 1 else "**missed**"])
    return table


def _vx(rows, key):
    return next((r.get("median") for r in rows if r["reader"] == "veloxel"
                 and (r["kind"], r["shape"], r["points"]) == key), None)


def _key(key: tuple) -> list[str]:
    return [key[0], key[1], f"{key[2]:.0e}"]


def markdown(rows: list[dict], notes: list[str], header: list[str]) -> str:
    def table(head: list[str], body: list[list[str]]) -> list[str]:
        return (["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
                + ["| " + " | ".join(row) + " |" for row in body])

    main = []
    for r in rows:
        key = (r["kind"], r["shape"], r["points"])
        if "median" not in r:
            main.append([*_key(key), r["reader"], "failed: " + r.get("error", "").replace("|", "/"),
                         "", "", "", "", "", "", "", ""])
            continue
        t = r["median"]
        vx = _vx(rows, key)
        main.append([*_key(key), r["reader"], f"{t * 1e3:.2f}", f"{r['cpu_median'] * 1e3:.2f}",
                     f"{r['body'] / t / 1e6:.0f}",
                     f"{r['points'] / t / 1e6:.1f}", f"{t / vx:.2f}" if vx else "n/a",
                     str(len(r["times"])), f"{statistics.median(r['faults']):.0f}",
                     f"{r['first'] * 1e3:.2f}" if "first" in r else "n/a",
                     f"{r['peak_rise'] / MIB:.1f}" if "peak_rise" in r else "n/a"])
    lines = header + [""]
    lines += table(["kind", "cloud", "points", "reader", "median ms", "CPU ms", "MB/s", "Mpoints/s",
                    "time / veloxel", "runs", "faults", "first load ms", "peak MiB"], main)
    lines += ["", "### Targets", ""]
    lines += table(["kind", "cloud", "points", "target", "value", "same in CPU time", ""],
                   target_rows(rows))
    lines += ["", "### Notes", ""] + [f"- {n}" for n in notes]
    return "\n".join(lines) + "\n"


def chart(rows: list[dict], path: pathlib.Path) -> str:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as e:
        return f"no chart: matplotlib cannot be imported ({e})"
    kinds = [k for k in clouds.KINDS if any(r["kind"] == k for r in rows)]
    fig, axes = plt.subplots(1, len(kinds), figsize=(6 * len(kinds), 5), squeeze=False)
    names = [r.name for r in readers.READERS]
    colours = dict(zip(names, plt.get_cmap("tab10").colors))
    for ax, kind in zip(axes[0], kinds):
        mine = [r for r in rows if r["kind"] == kind and r.get("median")]
        groups = sorted({(r["shape"], r["points"]) for r in mine}, key=lambda g: (g[0], g[1]))
        present = [n for n in names if any(r["reader"] == n for r in mine)]
        width = 0.8 / max(len(present), 1)
        for i, name in enumerate(present):
            xs, ys = [], []
            for g, group in enumerate(groups):
                r = next((r for r in mine if (r["shape"], r["points"]) == group
                          and r["reader"] == name), None)
                if r:
                    xs.append(g + (i - (len(present) - 1) / 2) * width)
                    ys.append(r["points"] / r["median"] / 1e6)
            ax.bar(xs, ys, width, label=name, color=colours[name],
                   edgecolor="black" if name == "veloxel" else "none")
        ax.set_xticks(range(len(groups)), [f"{s}\n{n:.0e}" for s, n in groups])
        ax.set_yscale("log")
        ax.set_ylabel("million points per second (higher is better)")
        ax.set_title(f"DATA {kind}")
        ax.legend(fontsize=7)
        ax.grid(axis="y", alpha=0.3)
    fig.suptitle("veloxel.load_pcd against floor, ceilings and peers (median of in-process loads)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return f"chart: {path}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="1e5 points, 2 repetitions: under a minute")
    parser.add_argument("--sizes", nargs="+", type=float, help="points per cloud (1e5 1e6 1e7)")
    parser.add_argument("--repeat", type=int,
                        help="timed loads per reader and file, after the first (8; quick 2)")
    parser.add_argument("--budget", type=float, default=None,
                        help="seconds of timed loads per peer and file (8; quick 1)")
    parser.add_argument("--kinds", nargs="+", choices=clouds.KINDS, default=clouds.KINDS)
    parser.add_argument("--shapes", nargs="+", choices=list(clouds.SHAPES),
                        default=list(clouds.SHAPES))
    parser.add_argument("--readers", nargs="+", choices=list(readers.BY_NAME),
                        default=list(readers.BY_NAME))
    parser.add_argument("--passes", type=int,
                        help="processes per reader and file, taking turns (4; quick 1)")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        payload, name, repeat, budget = args.worker
        result = reader_worker(clouds.Cloud(**json.loads(payload)), name, int(repeat),
                               float(budget))
        print(json.dumps(result))
        return 0
    sizes = [int(s) for s in (args.sizes or ([1e5] if args.quick else [1e5, 1e6, 1e7]))]
    args.repeat = args.repeat or (2 if args.quick else 8)
    args.passes = args.passes or (1 if args.quick else 4)
    args.budget = args.budget if args.budget is not None else (1.0 if args.quick else 8.0)

    start = time.perf_counter()
    notes: list[str] = []
    names = available_readers(args.readers, notes)
    if "veloxel" not in names:
        print("cannot run: veloxel is not importable (build it: ./setup.sh)", file=sys.stderr)
        return 1
    RESULTS.mkdir(parents=True, exist_ok=True)
    rows: list[dict] = []
    for n in sizes:
        for kind in args.kinds:
            for shape in args.shapes:
                t = time.perf_counter()
                cloud = clouds.cloud(kind, shape, n)
                made = time.perf_counter() - t
                got = measure(cloud, names, args)
                rows += got
                summary = ", ".join(f"{r['reader']} {r['median'] * 1e3:.1f} ms" if "median" in r
                                    else f"{r['reader']} failed" for r in got)
                print(f"{kind} {shape} {n:.0e} ({made:.0f} s to write, "
                      f"{time.perf_counter() - t - made:.0f} s to measure): {summary}", flush=True)
    wall = time.perf_counter() - start

    command = shlex.join(["bench/run.py", *sys.argv[1:]])
    notes += [
        "median ms: median of the timed loads; each reader loads the file in a process of its own "
        "(so the C heap is as its own loads leave it, as in a program loading file after file), "
        f"twice untimed (once if that took over {SLOW:g} s), then in {args.passes} such "
        "processes taking turns with the other readers in a shuffled order (one process for a "
        f"reader whose first load took over {SLOW:g} s); runs: how many timed loads",
        "MB/s: bytes of body on disk (records, compressed block or text) per second; "
        "Mpoints/s: points per second; time / veloxel: above 1 means slower than veloxel; "
        "faults: median page faults per timed load (memory the load had to map in afresh); CPU ms: "
        "median user + system time of the process per timed load, which other programs on the "
        "machine disturb less than wall time (the targets are judged on wall time)",
        "first load ms and peak MiB: the first load in a fresh process, after imports; peak is the "
        "rise of the peak resident size over the resident size before the load",
        "ceilings (bench/ceilings.cpp) read the body with read() into a fresh buffer (C heap below "
        "32 MiB, huge-page-aligned fresh pages above, as veloxel's) and decode it into another; "
        "freeing is not timed, nor is it for the loaders",
    ]
    notes += [f"{r.name}: {r.note}" for r in readers.READERS if r.note and r.name in names]
    header = [f"## veloxel benchmark, {datetime.date.today().isoformat()}", "",
              f"`{command.strip()}` on {machine()}; {versions(names)}; "
              f"whole run {wall / 60:.1f} min (including writing missing clouds)"]
    text = markdown(rows, notes, header)
    # A smoke run never overwrites the results of a full one.
    stem = RESULTS / ("benchmark-quick" if args.quick else "benchmark")
    stem.with_suffix(".md").write_text(text)
    stem.with_suffix(".json").write_text(json.dumps(rows, indent=1))
    print("\n" + text)
    print(chart(rows, stem.with_suffix(".png")))
    print(f"tables: {stem.with_suffix('.md')}; wall time {wall:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
