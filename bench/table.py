"""The benchmark's table (markdown) and chart (PNG) from run.py's report."""
MIB = 1 << 20
# Columns: (environment, contender).
# "lorvex" is lorvex.Video (the engine); "lorvex tandry" lorvex.tandry's VideoReader,
# which lorvex.Video loaded through before the engine: the before and after of one run.
COLUMNS = [("3.11", "lorvex"), ("3.11", "lorvex tandry"), ("3.11", "PyAV"), ("3.11", "OpenCV"),
           ("3.11", "torchcodec"), ("3.11", "ffmpeg CLI pipe"), ("3.10", "lorvex"),
           ("3.10", "decord")]
# Speed over the best peer (best peer's time / lorvex's) each row aims at, by (workload, size);
# some rows aim at a part of the limit (two single-threaded CLI processes) too.
TARGETS = {("all", "224x224"): 1.8, ("first300", "224x224"): 1.3, ("first300", "own"): 1.3,
           ("all", "own"): 1.3, ("uniform16", "224x224"): 1 / 0.6,
           ("random16", "224x224"): 1 / 0.6, ("clip16", "224x224"): 1.5,
           ("open", "224x224"): 10, ("one", "224x224"): 1}
LIMIT_TARGETS = {("all", "224x224"): 0.85, ("first300", "224x224"): 0.9,
                 ("first300", "own"): 0.9, ("all", "own"): 0.9}
# Where pictures can be skipped (B-frames), one frame of an open reader aims higher.
VIDEO_TARGETS = {("h264-720p-g60", "one"): 1.3, ("h264-720p-g250", "one"): 1.3}
# A load of one keyframe: lorvex's time less the best peer's, per frame, at most this.
FIXED_COST_MS = 3.0
# Peak memory of a one-shot load: at most this many times the array, plus 150 MiB.
MEMORY_FACTOR = 1.1


def _rows(report):
    """{(video, workload, size): {(env, contender): row}} in the order measured."""
    table = {}
    for env, measured in report["envs"].items():
        for row in measured["rows"]:
            key = (row["video"], row["workload"], row.get("size", "224x224"))
            table.setdefault(key, {})[(env, row["contender"])] = row
    return table


def _best_peer(cells):
    """The fastest peer and lorvex's time in the same environment as that peer."""
    peers = [(row["best"], env, name) for (env, name), row in cells.items()
             if not name.startswith("lorvex") and not row["problem"]]
    if not peers:
        return None
    seconds, env, name = min(peers)
    lorvex = cells.get((env, "lorvex"))
    if lorvex is None:
        return seconds, f"{name} ({env})", None, None
    cpu = (lorvex.get("cpu_best"), cells[(env, name)].get("cpu_best"))
    return seconds, f"{name} ({env})", lorvex["best"], cpu


def _target(video, workload, size):
    parts = []
    if (video, workload) in VIDEO_TARGETS:
        parts.append(f"peer/lorvex >= {VIDEO_TARGETS[video, workload]:.2f}")
    elif (workload, size) in TARGETS:
        parts.append(f"peer/lorvex >= {TARGETS[workload, size]:.2f}")
    if workload == "keyframe":
        parts.append(f"lorvex - peer <= {FIXED_COST_MS:.0f} ms a frame")
    if (workload, size) in LIMIT_TARGETS:
        parts.append(f"limit/lorvex >= {LIMIT_TARGETS[workload, size]:.2f}")
    return ", ".join(parts)


def render(report):
    lines = [f"Measured {report['date']} on {report['cores']} cores "
             f"({'full' if report['full'] else 'quick'} run: best of {report['repeat']} after a "
             f"warm-up, each result freed before the next; median in the JSON). Seconds to "
             "uint8 (N, 3, H, W) frames; size 224x224 or the video's own.", ""]
    header = ["video", "workload", "size", "frames"] + [f"{n} ({e})" for e, n in COLUMNS]
    header += ["limit 2x1 / all threads", "lorvex fps", "best peer", "best peer / lorvex",
               "lorvex - best peer, ms a frame", "limit / lorvex", "tandry / lorvex", "target",
               "CPU s lorvex / best peer"]
    lines += ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for (video, workload, size), cells in _rows(report).items():
        if workload == "first32":
            continue
        frames = next(iter(cells.values()))["frames"]
        row = [video, workload, size, str(frames)]
        for column in COLUMNS:
            cell = cells.get(column)
            row.append("" if cell is None else
                       f"{cell['best']:.3f}" + (" WRONG" if cell["problem"] else ""))
        limit = report["limits"].get(f"{video} {workload} {size}")
        row.append(f"{limit['two_halves']:.3f} / {limit['all_threads']:.3f}" if limit else "")
        lorvex = cells.get(("3.11", "lorvex")) or cells.get(("3.10", "lorvex"))
        row.append(f"{frames / lorvex['best']:.0f}" if lorvex else "")
        best = _best_peer(cells)
        if best and best[2]:
            row += [f"{best[1]} {best[0]:.3f}", f"{best[0] / best[2]:.2f}",
                    f"{(best[2] - best[0]) / max(frames, 1) * 1000:.1f}"]
        else:
            row += ["", "", ""]
        row.append(f"{limit['two_halves'] / lorvex['best']:.2f}" if limit and lorvex else "")
        tandry = cells.get(("3.11", "lorvex tandry"))
        row.append(f"{tandry['best'] / lorvex['best']:.2f}" if tandry and lorvex else "")
        row.append(_target(video, workload, size))
        cpu = best[3] if best else None
        row.append(f"{cpu[0]:.2f} / {cpu[1]:.2f}" if cpu and None not in cpu else "")
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    for env, measured in report["envs"].items():
        for row in measured["rows"]:
            if row["workload"] == "first32":
                lines.append(f"- first32, {row['video']} (CPython {env}): frames 0-31 of a "
                             f"stream in hand after {row['best']:.3f} s, all frames after "
                             f"{row['all_best']:.3f} s: {row['best'] / row['all_best']:.3f} of "
                             f"the whole stream's time (target <= 0.1)")
        for name, problem in measured["identity"].items():
            lines.append(f"- frame identity on the numbered video, {name} (CPython {env}): "
                         + ("right frames" if not problem else f"WRONG: {problem}"))
        if measured["missing"]:
            lines.append(f"- not in the CPython {env} environment: {', '.join(measured['missing'])}")
    lines += ["", "| contender | python | video | workload | size | array MiB | peak MiB | "
              f"peak / ({MEMORY_FACTOR} x array + 150 MiB) |", "|---|---|---|---|---|---:|---:|---:|"]
    for m in report["memory"]:
        bound = MEMORY_FACTOR * m["array_bytes"] + 150 * MIB
        lines.append(f"| {m['contender']} | {m['python']} | {m['video']} | {m['workload']} | "
                     f"{m.get('size', '224x224')} | {m['array_bytes'] / MIB:.0f} | "
                     f"{m['peak'] / MIB:.0f} | {m['peak'] / bound:.2f} |")
    return "\n".join(lines) + "\n"


def chart(report, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = [(k, c) for k, c in _rows(report).items() if k[1] != "first32"]
    fig, axes = plt.subplots(1, len(groups), figsize=(3.2 * len(groups), 4.5), squeeze=False)
    for axis, ((video, workload, size), cells) in zip(axes[0], groups):
        names = [f"{n}\n({e})" for e, n in COLUMNS if (e, n) in cells]
        seconds = [cells[c]["best"] for c in COLUMNS if c in cells]
        colours = ["tab:red" if n.startswith("lorvex") else "tab:gray" for n in names]
        axis.bar(range(len(names)), seconds, color=colours)
        axis.set_xticks(range(len(names)), names, rotation=70, fontsize=7)
        limit = report["limits"].get(f"{video} {workload} {size}")
        if limit:
            axis.axhline(limit["two_halves"], color="tab:blue", linestyle="--", linewidth=1,
                         label="2 x 1-thread ffmpeg")
            axis.legend(fontsize=6)
        axis.set_title(f"{video}\n{workload} {size}", fontsize=8)
        axis.set_ylabel("seconds (best)", fontsize=7)
    fig.suptitle(f"lorvex against peers, {report['date']}, {report['cores']} cores "
                 "(lower is better)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
