"""Times Ostrelle against a libpng lower bound and the usual converters on generated corpora.

Writes docs/bench.md (table) and docs/bench.png (plot). Run it through `make bench`, which
installs the tools it needs. Settings, all from the environment:
  BENCH_QUICK=1     small corpora and two runs, for trying changes out
  BENCH_RUNS=N      paired runs per class (default 5, quick 2)
  BENCH_CPU=N       the core every tool is pinned to (default the last one this process may use)
  BENCH_DIR=PATH    where corpora and outputs live (default /dev/shm/ostrelle-bench, a RAM disk;
                    the full run needs about 1 GiB there and keeps the corpora for the next run)
  BENCH_CLASSES=a,b only these classes; BENCH_TOOLS=a,b only these tools (the bound always runs)
  OSTRELLE_BIN=PATH time another build of the program
  OSTRELLE_TESTABLE_BIN=PATH  the test build that goes with it (default: ostrelle_testable beside
                    OSTRELLE_BIN). The shipped program reads no OSTRELLE_TEST_ONLY_* variable, so
                    the test build runs the tools that need one ("unconfined", "one2") and counts
                    the shipped program's worker starts in one extra, untimed run per class and
                    core count; without it those tools and that figure are left out.
  BENCH_VARIANTS=name=PATH,...  also time these builds of the program, paired with the rest
  BENCH_OUT=DIR     where the table and plot go (default docs)
  BENCH_PARALLEL=a,b classes also timed on two cores (default hd,huge,icons; "" for none)
"""
import datetime
import hashlib
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
QUICK = os.environ.get("BENCH_QUICK") == "1"
RUNS = int(os.environ.get("BENCH_RUNS", "2" if QUICK else "5"))
CPU = os.environ.get("BENCH_CPU", str(max(os.sched_getaffinity(0))))
WORK = Path(os.environ.get("BENCH_DIR", "/dev/shm/ostrelle-bench")) / ("quick" if QUICK else "full")
OUT = Path(os.environ.get("BENCH_OUT", ROOT / "docs"))
OSTRELLE = Path(os.environ.get("OSTRELLE_BIN", BUILD / "ostrelle")).resolve()
TESTABLE = Path(os.environ.get("OSTRELLE_TESTABLE_BIN",
                               OSTRELLE.parent / "ostrelle_testable")).resolve()

# name, title, [(file prefix, count, width, height, kind)]; quick mode shrinks the counts.
CLASSES = [
    ("hd", "full-HD pictures",
     [("rgb", 12, 1920, 1080, "rgb"), ("rgba", 12, 1920, 1080, "rgba")]),
    ("huge", "very large pictures",
     [("rgb", 2, 8000, 6000, "rgb"), ("rgba", 2, 8000, 6000, "rgba")]),
    ("icons", "a folder of icons",
     [("s", 500, 32, 32, "rgb"), ("sa", 500, 32, 32, "rgba"),
      ("m", 500, 64, 64, "rgb"), ("ma", 500, 64, 64, "rgba")]),
    ("deep", "16 bits per sample",
     [("rgb", 4, 1920, 1080, "rgb16"), ("rgba", 4, 1920, 1080, "rgba16")]),
    ("gray", "gray, with and without alpha",
     [("g", 4, 1920, 1080, "gray"), ("ga", 4, 1920, 1080, "graya")]),
    ("palette", "256-colour palette",
     [("p", 8, 1920, 1080, "palette")]),
]
QUICK_SHAPES = {"huge": [("rgba", 1, 4000, 3000, "rgba")]}

TOOLS = ["bound", "ostrelle", "unconfined", "gm", "magick", "pillow"]
LABELS = {"bound": "libpng bound", "ostrelle": "Ostrelle", "gm": "GraphicsMagick",
          "magick": "ImageMagick", "pillow": "Pillow",
          "unconfined": "Ostrelle, workers unconfined (test build)",
          "ostrelle2": "Ostrelle, 2 cores", "one2": "Ostrelle, 2 cores, 1 worker (test build)",
          "gm2": "GraphicsMagick, 2 cores", "bound2": "libpng bound, 2 cores"}
# The tools of the two-core runs, and what they run as.
PARALLEL_TOOLS = ["bound2", "ostrelle2", "one2", "gm2"]
ALIASES = {"unconfined": "testable", "ostrelle2": "ostrelle", "one2": "testable", "gm2": "gm",
           "bound2": "bound"}
TOOL_ENV = {"unconfined": {"OSTRELLE_TEST_ONLY_NO_SANDBOX": "1"},
            "one2": {"OSTRELLE_TEST_ONLY_WORKERS": "1"}}
# The tools that need the test build, and those that run the shipped program, whose worker starts
# the test build counts for them.
TESTABLE_TOOLS = ["unconfined", "one2"]
COUNTED_TOOLS = ["ostrelle", "ostrelle2"]
PARALLEL_CPUS = ",".join(str(c) for c in sorted(os.sched_getaffinity(0))[-2:])
VARIANTS = dict(v.split("=", 1) for v in os.environ.get("BENCH_VARIANTS", "").split(",") if v)
for variant in VARIANTS:
    LABELS[variant] = f"Ostrelle {variant}"


def shapes_of(name, shapes):
    if not QUICK:
        return shapes
    if name in QUICK_SHAPES:
        return QUICK_SHAPES[name]
    return [(p, max(1, c // 10 if c >= 100 else c // 4), w, h, k) for p, c, w, h, k in shapes]


def build():
    # The tests are configured for their test build of the program; only the programs are built.
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DOSTRELLE_BENCH=ON", "-DOSTRELLE_TESTS=ON"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--parallel", "2", "--target", "ostrelle",
                    "ostrelle_testable", "ostrelle_make_corpus", "ostrelle_bound"], check=True,
                   stdout=subprocess.DEVNULL)


def corpus(name, shapes):
    """Makes the class's files unless the same generator already made them; returns their names."""
    folder = WORK / name
    source = (ROOT / "bench" / "make_corpus.cpp").read_bytes()
    stamp = hashlib.sha256(source + repr(shapes).encode()).hexdigest()
    stamp_file = folder / ".stamp"
    if not (stamp_file.exists() and stamp_file.read_text() == stamp):
        subprocess.run(["rm", "-rf", folder], check=True)
        folder.mkdir(parents=True)
        print(f"making corpus {name} ...", flush=True)
        for prefix, count, width, height, kind in shapes:
            subprocess.run([BUILD / "bench" / "ostrelle_make_corpus", folder, f"{prefix}-",
                            str(count), str(width), str(height), kind], check=True)
        stamp_file.write_text(stamp)
    return sorted(p.name for p in folder.glob("*.png"))


def command(tool, files):
    tool = ALIASES.get(tool, tool)
    if tool == "bound":
        return [BUILD / "bench" / "ostrelle_bound", *files]
    if tool == "ostrelle":
        return [OSTRELLE, *files]
    if tool == "testable":
        return [TESTABLE, *files]
    if tool in VARIANTS:
        return [Path(VARIANTS[tool]).resolve(), *files]
    if tool == "gm":
        return ["gm", "mogrify", "-format", "tga", *files]
    if tool == "magick":
        return ["mogrify", "-format", "tga", *files]
    return ["/usr/bin/python3", ROOT / "bench" / "pil_convert.py", *files]


def clear_outputs(folder):
    for tga in folder.glob("*.tga"):
        tga.unlink()


def tree_rss_kib(root):
    """Resident KiB of root and all its descendants, read from /proc."""
    parents, rss = {}, {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = dict(line.split(":", 1) for line in (entry / "status").read_text().splitlines()
                          if ":" in line)
        except OSError:
            continue
        parents[int(entry.name)] = int(fields.get("PPid", "0"))
        rss[int(entry.name)] = int(fields.get("VmRSS", "0 kB").split()[0])
    total = 0
    for pid in rss:
        p = pid
        while p and p != root:
            p = parents.get(p, 0)
        if p == root:
            total += rss[pid]
    return total


def cpus_of(tool):
    return PARALLEL_CPUS if tool in PARALLEL_TOOLS else CPU


def run_env(tool, folder):
    """The environment of a run in folder. Builds that honour OSTRELLE_TEST_ONLY_STATS (the test
    build, and older builds that had no shipped one) count their worker starts into .workers."""
    (folder / ".workers").unlink(missing_ok=True)
    # ImageMagick spills large images to its temporary path; keep that on the RAM disk too.
    return dict(os.environ, MAGICK_TEMPORARY_PATH=str(folder),
                OSTRELLE_TEST_ONLY_STATS=str(folder / ".workers"), **TOOL_ENV.get(tool, {}))


def worker_starts(folder):
    stats = folder / ".workers"
    return int(stats.read_text().split()[-1]) if stats.exists() else None


def count_starts(tool, folder, files):
    """Worker starts per file of the shipped program's run, counted by the test build on the same
    files and cores in a run of its own, untimed."""
    clear_outputs(folder)
    subprocess.run(["taskset", "-c", cpus_of(tool), TESTABLE, *files], cwd=folder,
                   env=run_env(tool, folder), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True)
    starts = worker_starts(folder)
    if starts is None:
        sys.exit(f"{TESTABLE} counted no worker starts: is it a test build?")
    return starts / len(files)


def measure(tool, folder, files):
    """One timed run: wall and CPU seconds, peak resident MiB (of the largest process, and of the
    whole process tree together), page faults and worker starts, outputs missing."""
    clear_outputs(folder)
    env = run_env(tool, folder)
    peak_file = folder / ".peak"
    cpus = cpus_of(tool)
    start = time.perf_counter()
    # GNU time measures the peak: a child forked from this Python process would start with
    # Python's own resident set. stdin is closed since Ostrelle waits for a key at the end.
    child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file, "taskset", "-c", cpus,
                              *command(tool, files)], cwd=folder, env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
    # Workers run side by side on two cores: their sum is what the machine must hold. Sampled
    # only for large files, where a sample every 20 ms sees the peak and costs nothing.
    # The sampler only reads /proc: were it to wait for the child (Popen.poll), it could reap it
    # before wait4 below, which would then find no child.
    tree_peak = [0]
    sampling = tool in PARALLEL_TOOLS and (folder / files[0]).stat().st_size > 10 * 2**20
    reaped = threading.Event()
    def sample():
        while not reaped.wait(0.02):
            tree_peak[0] = max(tree_peak[0], tree_rss_kib(child.pid))
    sampler = threading.Thread(target=sample) if sampling else None
    if sampler:
        sampler.start()
    stderr = child.stderr.read()
    # Times of the waited-for child include its own children's, whatever the tool forks.
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    reaped.set()
    child.returncode = os.waitstatus_to_exitcode(status)
    if sampler:
        sampler.join()
    peak_kib = int(peak_file.read_text().split()[-1])
    missing = sum(1 for f in files if not (folder / (f[:-3] + "tga")).exists())
    if missing or child.returncode != 0:
        print(f"  {tool}: exit {child.returncode}, {missing} outputs missing; "
              f"{stderr.decode(errors='replace')[:300]}", flush=True)
    starts = worker_starts(folder) or 0
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
            "rss": peak_kib / 1024, "tree": tree_peak[0] / 1024, "missing": missing,
            "faults": (usage.ru_minflt + usage.ru_majflt) / len(files),
            "starts": starts / len(files)}


# Decodes sources and outputs with Pillow and prints how many outputs hold other pixels. One step
# of difference is allowed: 16-bit samples may be rounded or truncated to 8 bits.
CHECK = r"""
import sys
from PIL import Image, ImageChops
differ = 0
for png in sys.argv[1:]:
    with Image.open(png) as source, Image.open(png[:-3] + "tga") as output:
        mode = "RGBA" if "A" in source.getbands() or "transparency" in source.info else "RGB"
        a, b = source.convert(mode), output.convert(mode)
        if a.size != b.size or max(hi for _, hi in ImageChops.difference(a, b).getextrema()) > 1:
            differ += 1
print(differ)
"""


def check_outputs(folder, files):
    """Outputs of a few files that differ from their source; a fast wrong tool must show up."""
    sample = [f for f in {files[0], files[len(files) // 2], files[-1]}
              if (folder / (f[:-3] + "tga")).exists()]
    if not sample:
        return 0
    done = subprocess.run(["/usr/bin/python3", "-c", CHECK, *sample], cwd=folder,
                          capture_output=True, text=True)
    return int(done.stdout) if done.returncode == 0 else len(sample)


def run_class(name, files, tools, folder):
    results = {tool: [] for tool in tools}
    for run in range(RUNS):
        # Rotating the order spreads drift in machine load evenly over the tools.
        order = tools[run % len(tools):] + tools[:run % len(tools)]
        for tool in order:
            results[tool].append(measure(tool, folder, files))
            if run == 0:
                results[tool][-1]["differ"] = check_outputs(folder, files)
        print(f"  {name} run {run + 1}/{RUNS}: " +
              ", ".join(f"{t} {results[t][-1]['wall']:.2f}s" for t in tools), flush=True)
    if TESTABLE.exists():
        for tool in tools:
            if tool in COUNTED_TOOLS:
                starts = count_starts(tool, folder, files)
                for row in results[tool]:
                    row["starts"] = starts
    clear_outputs(folder)
    return results


def paired_ratio(results, a, b, key="wall"):
    """Median over runs of a/b within each run, so that slow moments of the machine cancel."""
    return statistics.median(x[key] / y[key] for x, y in zip(results[a], results[b]))


def describe(shapes):
    return ", ".join(f"{c} {k} {w}x{h}" for _, c, w, h, k in shapes)


def largest_decoded(shapes):
    size = max(w * h * 4 for _, _, w, h, _ in shapes)
    return f"{size / 2**20:.0f} MiB" if size >= 2**20 else f"{size / 2**10:.0f} KiB"


def first_words(text, count):
    return " ".join(text.replace("Version: ", "").split()[:count])


def tool_version(args):
    try:
        text = subprocess.run(args, capture_output=True, text=True).stdout.strip()
        return text.splitlines()[0] if text else "?"
    except OSError:
        return "missing"


def package_version(package):
    return tool_version(["dpkg-query", "-W", "-f=${Version}", package])


def machine():
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def revision():
    rev = tool_version(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"])
    dirty = tool_version(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no",
                          "--", "src", "CMakeLists.txt"])
    return rev + (" with local changes" if dirty not in ("?", "missing") else "")


def table(name, title, shapes, files, tools, results):
    lines = [f"### {name}: {title}", "",
             f"{len(files)} files ({describe(shapes)}); largest decoded image "
             f"{largest_decoded(shapes)} at 4 bytes per pixel.", "",
             "| tool | wall s | CPU s | peak MiB | faults/file | wall × bound | CPU × bound "
             "| Ostrelle ÷ tool |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for tool in tools:
        rows = results[tool]
        missing = max(r["missing"] for r in rows)
        differ = rows[0].get("differ", 0)
        label = LABELS[tool] + (f" ({missing} outputs missing)" if missing else "") + \
            (f" ({differ} of 3 checked outputs read back unlike the source)" if differ else "")
        vs = "" if tool == "ostrelle" or "ostrelle" not in tools else \
            f"{paired_ratio(results, 'ostrelle', tool):.2f}"
        starts = statistics.median(r["starts"] for r in rows)
        if starts:
            label += f" ({starts:.4f} worker starts per file)"
        lines.append(
            f"| {label} | {statistics.median(r['wall'] for r in rows):.3f} "
            f"| {statistics.median(r['cpu'] for r in rows):.3f} "
            f"| {max(r['rss'] for r in rows):.0f} "
            f"| {statistics.median(r['faults'] for r in rows):.0f} "
            f"| {paired_ratio(results, tool, 'bound'):.2f} "
            f"| {paired_ratio(results, tool, 'bound', 'cpu'):.2f} | {vs} |")
    return lines + [""]


def parallel_table(name, files, tools, results):
    """Two cores: speed-up over one worker and over GraphicsMagick, and the memory held."""
    bound = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 4 * 3 / 2**20
    lines = [f"### {name} on two cores (cores {PARALLEL_CPUS})", "",
             f"{len(files)} files. Ostrelle holds back a file while the memory of the files in "
             f"flight would pass a worker's bound, here {bound:.0f} MiB; the last column but one "
             "is what all processes of a run held together at once, sampled every 20 ms "
             "(large files only).", "",
             "| tool | wall s | peak MiB, largest process | peak MiB, all processes "
             "| Ostrelle ÷ tool, wall |", "|---|---:|---:|---:|---:|"]
    for tool in tools:
        rows = results[tool]
        tree = max(r["tree"] for r in rows)
        vs = "" if tool == "ostrelle2" else f"{paired_ratio(results, tool, 'ostrelle2'):.2f}"
        starts = statistics.median(r["starts"] for r in rows)
        label = LABELS[tool] + (f" ({starts:.4f} worker starts per file)" if starts else "")
        lines.append(f"| {label} | {statistics.median(r['wall'] for r in rows):.3f} "
                     f"| {max(r['rss'] for r in rows):.0f} | {f'{tree:.0f}' if tree else ''} "
                     f"| {vs} |")
    return lines + [""]


def plot(done, tools):
    data = BUILD / "bench.dat"
    with data.open("w") as out:
        out.write("class " + " ".join(f'"{LABELS[t]}"' for t in tools) + "\n")
        for name, results in done:
            out.write(name + " " + " ".join(f"{paired_ratio(results, t, 'bound'):.3f}"
                                            for t in tools) + "\n")
    script = f"""
set terminal pngcairo size 1000,560 font ",11"
set output "{OUT / 'bench.png'}"
set title "Wall time relative to the libpng lower bound (one core, median of {RUNS} paired runs)"
set ylabel "× lower bound (log scale)"
set logscale y
set yrange [0.5:*]
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set key top left
set grid ytics
plot for [i=2:{len(tools) + 1}] "{data}" using i:xtic(1) title columnheader(i)
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    build()
    if not OSTRELLE.exists():
        sys.exit(f"no program at {OSTRELLE}")
    wanted = os.environ.get("BENCH_CLASSES")
    classes = [c for c in CLASSES if not wanted or c[0] in wanted.split(",")]
    tools_wanted = os.environ.get("BENCH_TOOLS")
    tools = [t for t in TOOLS if t == "bound" or not tools_wanted or t in tools_wanted.split(",")]
    tools += list(VARIANTS)
    parallel_tools = PARALLEL_TOOLS
    if TESTABLE.exists():
        print(f"test build: {TESTABLE}", flush=True)
    else:
        print(f"no test build at {TESTABLE}: leaving out {', '.join(TESTABLE_TOOLS)} and the "
              "worker starts of the shipped program", flush=True)
        tools = [t for t in tools if t not in TESTABLE_TOOLS]
        parallel_tools = [t for t in PARALLEL_TOOLS if t not in TESTABLE_TOOLS]
    OUT.mkdir(parents=True, exist_ok=True)

    started = datetime.datetime.now(datetime.timezone.utc)
    sections, done = [], []
    for name, title, shapes in classes:
        shapes = shapes_of(name, shapes)
        files = corpus(name, shapes)
        print(f"timing {name} ({len(files)} files)", flush=True)
        results = run_class(name, files, tools, WORK / name)
        sections += table(name, title, shapes, files, tools, results)
        done.append((name, results))
    parallel = os.environ.get("BENCH_PARALLEL", "hd,huge,icons")
    if len(os.sched_getaffinity(0)) >= 2:
        for name, title, shapes in classes:
            if name not in parallel.split(","):
                continue
            files = corpus(name, shapes_of(name, shapes))
            print(f"timing {name} on two cores", flush=True)
            results = run_class(name, files, parallel_tools, WORK / name)
            sections += parallel_table(name, files, parallel_tools, results)

    header = [
        "# Benchmark", "",
        f"Measured {started:%Y-%m-%d %H:%M} UTC on {machine()}, Ostrelle {revision()}"
        f"{' (quick mode: small corpora)' if QUICK else ''}.",
        f"Every tool converts the same generated PNGs to TGA files beside them, pinned to core {CPU}"
        f" with taskset, inputs and outputs on a RAM disk, outputs deleted before each run. "
        f"Figures are medians of {RUNS} paired runs (tool order rotated each run); ratios are "
        "taken within each run and then the median. Peak memory is the largest resident set "
        "over the runs. The lower bound decodes with libpng's simplified API straight to "
        "BGR/BGRA (opaque gray stays gray, as the program writes it) and writes a raw TGA in one write. "
        "CPU seconds (user and system) are less disturbed by other work on the machine than wall "
        "seconds. Outputs of three files per class and tool are decoded after the first run and "
        "compared with their sources. Faults per file are the page faults of the whole run "
        "(all its processes) divided by its files. The shipped program keeps no statistics: "
        "its worker starts per file are counted by the test build (`ostrelle_testable`) in one "
        "more run of the same files on the same cores, untimed; the tools marked \"test build\" "
        "run that build, for the switches only it reads. Faults and worker starts hold on any "
        "machine, where times depend on what a process start and a fault cost there.", "",
        f"Versions: DevIL {package_version('libdevil1c2')}, libpng {package_version('libpng16-16')}, "
        f"{first_words(tool_version(['gm', 'version']), 2)}, "
        f"{first_words(tool_version(['mogrify', '-version']), 2)}, "
        f"Pillow {package_version('python3-pil')}.", "",
        "![Wall time relative to the lower bound](bench.png)", "",
    ]
    (OUT / "bench.md").write_text("\n".join(header + sections))
    plot(done, tools)
    print(f"wrote {OUT / 'bench.md'} and {OUT / 'bench.png'}")


if __name__ == "__main__":
    main()
