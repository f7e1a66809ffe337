"""Does lorvex number frames as a full decode shows them? For each file: the frame count against
the ffmpeg CLI's passthrough decode of the first video stream, and a sample of rows (first,
last and random pictures) loaded one-shot and interleaved, each against the CLI's picture.

    .venv/bin/python bench/exactness.py [FILE ...] [--cases] [--threads 3] [--sample 16]

Without files it checks every video in ../shared/videos; --cases adds the numbered videos the
tests make for each awkward kind of file. Rows are compared at 64x48 (bit for bit, or within
the colour-conversion tolerance and nearer to the wanted picture than to any other).
"""
import argparse
import random
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import case_videos  # noqa: E402
from cli_reference import cli_pictures, wrong_rows  # noqa: E402
from conftest import SHARED_VIDEOS  # noqa: E402

from lorvex import tandry  # noqa: E402

SIZE = (48, 64)


def sample(count, size, seed):
    if count == 0:
        return []
    chosen = {0, count - 1} | set(random.Random(seed).sample(range(count), min(size, count)))
    return random.Random(seed).sample(sorted(chosen), len(chosen))


def one_shot(path, indices, threads):
    return tandry.VideoReader(path, *SIZE, num_threads=threads).get_batch(indices)


def interleaved(path, indices, threads):
    reader = tandry.InterleavedVideoReader(path, *SIZE, num_threads=threads)
    try:
        reader.process(indices)
        return reader.get_frames(0, None)
    finally:
        reader.__del__()


def rows_verdict(load, path, indices, threads):
    """(all right, what happened)"""
    try:
        rows = load(path, indices, threads)
    except Exception as error:  # report and go on with the next file
        return False, f"error ({type(error).__name__})"
    wrong = wrong_rows(rows, path, indices, SIZE, exact=False)
    return not wrong, f"{len(indices) - len(wrong)}/{len(indices)} right"


def check(path, threads, sample_size):
    """(all right, one text per check) for one file."""
    shown = len(cli_pictures(path, SIZE))
    try:
        counted = tandry.get_stats(path)["num_frames"]
    except Exception as error:
        return False, [f"probe error ({type(error).__name__}: {error})"]
    right = counted == shown
    texts = ["count ok" if right else f"count {counted}, shown {shown}"]
    indices = sample(shown, sample_size, Path(path).name)
    for name, load in (("one-shot", one_shot), ("interleaved", interleaved)):
        rows_right, text = rows_verdict(load, path, indices, threads)
        right = right and rows_right
        texts.append(f"{name} {text}")
    return right, texts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--cases", action="store_true", help="add the tests' numbered videos")
    parser.add_argument("--threads", type=int, default=3)
    parser.add_argument("--sample", type=int, default=16, help="random rows besides first/last")
    args = parser.parse_args()
    files = args.files or sorted(p for p in SHARED_VIDEOS.glob("*") if p.suffix != ".tsv")
    with tempfile.TemporaryDirectory() as scratch:
        if args.cases:
            for name, recipe in sorted(case_videos.RECIPES.items()):
                directory = Path(scratch) / name
                directory.mkdir()
                files.append(recipe(directory))
            files.append(case_videos.truncated_faststart_mp4(Path(scratch)))
        all_right = 0
        for path in files:
            right, texts = check(str(path), args.threads, args.sample)
            all_right += right
            print(f"{'ok   ' if right else 'WRONG'} {Path(path).name:44s} " + "; ".join(texts),
                  flush=True)
        print(f"{all_right} of {len(files)} files all right")


if __name__ == "__main__":
    main()
