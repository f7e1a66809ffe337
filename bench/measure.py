"""Times every contender that imports in this environment; writes the figures as JSON.

    python bench/measure.py --out FILE.json [--repeat 3] [--full] [--only TEXT ...]
    python bench/measure.py --memory CONTENDER VIDEO WORKLOAD SIZE   (one load, for the RSS figure)

Run by bench/run.py in each benchmark environment; see there. `--only` keeps the rows whose
"video workload size" text holds one of the TEXTs (e.g. `--only own` for the own-size rows,
`--only "g60 first300"`): a focused run for iterating on one case.
"""
import argparse
import json
import os
import platform
import random
import resource
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import contenders  # noqa: E402
from videos import VIDEOS, read_numbers  # noqa: E402

CLIP = 16
FIRST = 300  # frames of the first300 rows
OWN = None  # the size of the own-size rows: the video's own


def size_label(size):
    return "own" if size is OWN else f"{size}x{size}"


def frame_count(path):
    from lorvex import container
    return container.open(str(path)).streams.video[0].frames


def keyframes_of(path):
    import lorvex
    with lorvex.Video(str(path)) as video:
        return list(video.metadata.keyframes)


def workload_indices(workload, count, repeat_index=0, path=None):
    if workload == "all":
        return list(range(count))
    if workload == "first300":
        return list(range(min(FIRST, count)))
    if workload == "uniform16":
        return [i * count // 16 for i in range(16)]
    if workload == "random16":
        return sorted(random.Random(0).sample(range(count), 16))
    if workload == "open":
        return []
    if workload == "one":
        return random.Random(2000 + repeat_index).sample(range(count), 9)
    if workload == "keyframe":
        return random.Random(3000 + repeat_index).sample(keyframes_of(path), 9)
    if workload == "clip16":
        start = random.Random(1000 + repeat_index).randrange(count - CLIP)
        return list(range(start, start + CLIP))
    raise ValueError(workload)


def plan(full):
    """(video key, workload, size) triples, in the order they run."""
    size = contenders.SIZE
    rows = [("h264-720p-g60", w, size) for w in ("all", "first300", "uniform16", "random16")]
    rows += [("h264-720p-g250", w, size)
             for w in (("all",) if full else ()) + ("uniform16", "random16")]
    rows += [("h264-720p-10min", "clip16", size), ("h264-720p-g60", "clip16", size),
             ("h264-720p-g250", "clip16", size)]
    # The video's own size, as lorvex.Video(path) and most analysis code ask for it.
    rows += [("h264-360p", "first300", OWN), ("h264-360p", "all", OWN),
             ("h264-720p-g60", "first300", OWN), ("h264-720p-20s", "all", OWN)]
    # The fixed costs of the data loader's pattern: a new reader, and one frame of an open one.
    rows += [("h264-720p-g60", "open", size), ("h264-240p-30min", "open", size)]
    rows += [(key, "one", size) for key in ("h264-720p-g60", "h264-720p-g250", "h264-240p-30min")]
    # The fixed cost of a load: keyframes of a small video at its own size, one at a time.
    rows += [("h264-240p-30min", "keyframe", OWN)]
    if full:
        rows += [(key, w, size) for key in ("h264-1080p", "vp9-360p")
                 for w in ("all", "uniform16", "random16")]
    return rows


def selected(rows, only):
    if not only:
        return rows
    return [row for row in rows
            if any(text in f"{row[0]} {row[1]} {size_label(row[2])}" for text in only)]


def _decoder_service():
    """The pid of this process's decoder service (lorvex's decoders are its children, not this
    process's), or None. The decoders it forks keep its command line: only a child of this
    process counts."""
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
            with open(f"/proc/{entry}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        if arguments[:3] == [b"lorvex_decoder", b"serve", str(me).encode()] and parent == me:
            return int(entry)
    return None


def _service_seconds():
    """{pid: user and system time} of the decoder service, counting its decoders: those it has
    reaped and those still running (warm decoders stay while their video is open); empty
    without a service."""
    service = _decoder_service()
    if service is None:
        return {}
    try:
        # A decoder reaped between the reading of the service's figures and the listing of its
        # children would be in neither: read again while decoders were reaped meanwhile.
        for _ in range(100):
            own, reaped = _cpu_of(service)
            running = 0.0
            with open(f"/proc/{service}/task/{service}/children") as children:
                for child in children.read().split():
                    try:
                        running += sum(_cpu_of(int(child)))
                    except OSError:
                        pass  # reaped since the listing: the service's figures have changed
            if _cpu_of(service)[1] == reaped:
                break
        return {service: own + reaped + running}
    except OSError:
        return {}


def _cpu_of(pid):
    """User and system seconds of `pid`, and those of the children it has reaped."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = [int(field) for field in stat.read().rsplit(")", 1)[1].split()[11:15]]
    tick = os.sysconf("SC_CLK_TCK")
    return (fields[0] + fields[1]) / tick, (fields[2] + fields[3]) / tick


def cpu_seconds():
    """User and system time of this process and of its children that were waited for, and
    that of its decoder service by the service's pid (see _service_seconds)."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime,
            _service_seconds())


def cpu_since(started):
    """The CPU seconds spent since cpu_seconds() gave `started`. A service started meanwhile
    counts from zero; one that ended meanwhile is left out (its last figures cannot be read)."""
    here, services = cpu_seconds()
    return (here - started[0]
            + sum(seconds - started[1].get(pid, 0.0) for pid, seconds in services.items()))


def run_once(contender, workload, path, indices, size, cpu=None):
    cpu_started = cpu_seconds() if cpu is not None else None
    started = time.perf_counter()
    if workload == "open":
        frames = None
        contender.open(path, size)
    elif workload == "clip16":
        frames = contender.clip(path, indices, size)
    elif workload in ("one", "keyframe"):
        # One frame of an open reader, nine times over: a random frame's cost varies with its
        # place in its group of pictures.
        frames = [contender.batch(path, [index], size)[0] for index in indices]
    else:
        frames = contender.batch(path, indices, size)
    seconds = time.perf_counter() - started
    if cpu is not None:
        cpu.append(cpu_since(cpu_started))
    return seconds, frames


def check_shape(frames, indices, shape):
    frames = np.asarray(frames)
    expected = (len(indices), 3, *shape)
    if frames.shape != expected or frames.dtype != np.uint8:
        return f"returned {frames.dtype} {frames.shape}, expected uint8 {expected}"
    return None


def frame_shape(path, size):
    """(height, width) of the frames asked for."""
    if size is OWN:
        from lorvex import container
        stream = container.open(str(path)).streams.video[0]
        return stream.height, stream.width
    return size, size


def identity_check(contender, full):
    """Loads each workload's frames from the numbered video; None when every number matches."""
    path = VIDEOS["numbered"].ensure()
    count = frame_count(path)
    checks = [(w, contenders.SIZE) for w in ("all", "uniform16", "random16", "clip16")]
    checks.append(("first300", OWN))
    for workload, size in checks:
        if getattr(contender, "from_start_only", False) and workload not in ("all", "first300"):
            continue
        indices = workload_indices(workload, count, 7)
        _, frames = run_once(contender, workload, path, indices, size)
        problem = check_shape(frames, indices, frame_shape(path, size))
        workload = f"{workload} at {size_label(size)}"
        if problem:
            return f"{workload}: {problem}"
        shown = read_numbers(np.asarray(frames))
        wrong = [(i, s) for i, s in zip(indices, shown) if i != s]
        if wrong:
            return f"{workload}: {len(wrong)} wrong frames, e.g. asked {wrong[0][0]} got {wrong[0][1]}"
    return None


def measure(contender, key, workload, size, repeat):
    path = VIDEOS[key].ensure()
    count = frame_count(path)
    shape = frame_shape(path, size)
    times, cpu = [], []
    problem = None
    for attempt in range(repeat + 1):  # the first is the warm-up
        indices = workload_indices(workload, count, attempt, path)
        seconds, frames = run_once(contender, workload, path, indices, size,
                                   cpu if attempt else None)
        if workload != "open":
            problem = problem or check_shape(frames, indices, shape)
        del frames  # each result is freed before the next load
        if attempt:
            times.append(seconds)
    # CPU seconds say how much work a contender does whatever else the machine runs; the
    # threads of a library that keeps a pool between calls are counted too.
    return {"video": key, "workload": workload, "size": size_label(size), "frames": len(indices),
            "times": times,
            "best": min(times), "median": statistics.median(times), "cpu_best": min(cpu),
            "cpu_median": statistics.median(cpu), "problem": problem}


def first32(key, repeat):
    path = VIDEOS[key].ensure()
    count = frame_count(path)
    reader = contenders.LorvexStream()
    firsts, totals = [], []
    for attempt in range(repeat + 1):
        first, total, frames = reader.first_and_all(path, count)
        if attempt:
            firsts.append(first)
            totals.append(total)
        del frames
    return {"video": key, "workload": "first32", "size": size_label(contenders.SIZE),
            "frames": 32, "times": firsts,
            "best": min(firsts), "median": statistics.median(firsts),
            "all_best": min(totals), "all_median": statistics.median(totals), "problem": None}


def main_timing(args):
    peers, missing = contenders.available()
    if args.peers is not None:
        peers = [p for p in peers if p.name in args.peers]
    lorvex = [contenders.Lorvex(), contenders.LorvexTandry()]
    if args.full:
        lorvex += [contenders.Lorvex(threads) for threads in (1, 2, 4, 8)]
    everyone = lorvex + peers
    results = {"python": platform.python_version(), "missing": missing, "rows": []}
    print(f"bench: CPython {results['python']}: {', '.join(c.name for c in everyone)}"
          + (f" (not here: {', '.join(missing)})" if missing else ""), flush=True)

    identity = {}
    for contender in everyone:
        identity[contender.name] = identity_check(contender, args.full)
        if identity[contender.name]:
            print(f"bench: {contender.name} returned wrong frames: {identity[contender.name]}")
    results["identity"] = identity

    for key, workload, size in selected(plan(args.full), args.only):
        for contender in everyone:
            if (getattr(contender, "from_start_only", False)
                    and workload not in ("all", "first300")):
                continue
            if contender.name.startswith("lorvex, ") and workload != "all":
                continue
            if workload == "open" and not hasattr(contender, "open"):
                continue
            row = measure(contender, key, workload, size, args.repeat)
            row["contender"] = contender.name
            results["rows"].append(row)
            print(f"bench:   {key:16} {workload:10} {size_label(size):7} {contender.name:20} "
                  f"best {row['best']:7.3f} s  median {row['median']:7.3f} s  "
                  f"cpu {row['cpu_best']:7.3f} s", flush=True)
    for key in ("h264-720p-g60", "h264-720p-g250") if not args.only else ():
        row = first32(key, args.repeat)
        row["contender"] = "lorvex stream"
        results["rows"].append(row)
        print(f"bench:   {key:16} first32    rows 0-31 after {row['best']:.3f} s, all after "
              f"{row['all_best']:.3f} s", flush=True)
    Path(args.out).write_text(json.dumps(results, indent=1))


def main_memory(args):
    """One load in this fresh process; prints the array's bytes and this process's peak RSS."""
    # Only the one measured is imported: torch alone would add hundreds of MiB to any figure.
    kinds = [contenders.Lorvex] + list(contenders.PEERS)
    kind = next(k for k in kinds if getattr(k, "name", "lorvex") == args.memory[0])
    contender = kind()
    key, workload = args.memory[1], args.memory[2]
    size = OWN if args.memory[3] == "own" else int(args.memory[3])
    path = VIDEOS[key].ensure()
    indices = workload_indices(workload, frame_count(path), path=path)
    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    _, frames = run_once(contender, workload, path, indices, size)
    # Every page of the result read once, as its user would: memory that a contender's array
    # maps from elsewhere counts as this process's once it is read.
    np.asarray(frames).reshape(-1)[::4096].sum()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"array_bytes": np.asarray(frames).nbytes, "self_peak": peak,
                      "self_baseline": baseline}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--peers", nargs="*", help="only these peers (default: all that import)")
    parser.add_argument("--only", nargs="*", help="only the rows whose text holds one of these")
    parser.add_argument("--memory", nargs=4, metavar=("CONTENDER", "VIDEO", "WORKLOAD", "SIZE"))
    args = parser.parse_args()
    if args.memory:
        main_memory(args)
    else:
        main_timing(args)


if __name__ == "__main__":
    main()
