"""lorvex.torch.ClipDataset: every clip read back from the numbers drawn in its frames, in the
process and through DataLoader workers (fork and spawn, two epochs), the random sampler drawing
the same clips for the same epoch everywhere, workers that never probe the whole list, and
nothing left behind when the loader is gone."""
import functools
import gc
import multiprocessing
import os
import pickle

import numpy as np
import pytest

from conftest import child_processes, frame_numbers

torch = pytest.importorskip("torch")
from torch.utils.data import DataLoader  # noqa: E402

import lorvex.torch  # noqa: E402
import lorvex.video  # noqa: E402
from lorvex import container  # noqa: E402
from lorvex.torch import ClipDataset  # noqa: E402

FRAMES = (48, 30, 70, 9)  # the last is shorter than the clips below


@pytest.fixture(scope="module")
def videos(numbered_video):
    return [numbered_video(f"clips{i}.mp4", frames=n, extra_args=("-g", "10", "-bf", "2"))
            for i, n in enumerate(FRAMES)]


def unbatch(batch):
    """The clips of a collated batch."""
    for row in range(len(batch.video)):
        yield lorvex.torch.Clip(batch.frames[row], int(batch.video[row]),
                                batch.frame_indices[row], batch.timestamps[row])


def check_clip(clip, dataset):
    """The clip's frames show the numbers it says it has, at the frame table's times."""
    numbers = clip.frame_indices.tolist()
    assert frame_numbers(clip.frames.numpy()) == numbers
    assert numbers == list(range(numbers[0], numbers[0] + dataset.clip_length * dataset.stride,
                                 dataset.stride))
    stream = container.open(dataset.videos[clip.video]).streams.video[0]
    table = np.array(stream.frame_timestamps)
    expected = (table[numbers] - table[0]) * float(stream.time_base)
    assert np.allclose(clip.timestamps.numpy(), expected)


class TestItems:
    def test_uniform_gives_every_clip_that_fits(self, videos):
        dataset = ClipDataset(videos, 4, stride=3, size=(48, 80))  # clips span 10 frames
        assert len(dataset) == 4 + 3 + 7 + 0
        clips = [dataset[i] for i in range(len(dataset))]
        assert [(c.video, c.frame_indices[0].item()) for c in clips] == (
            [(0, s) for s in range(0, 40, 10)] + [(1, s) for s in range(0, 30, 10)]
            + [(2, s) for s in range(0, 70, 10)])
        for clip in clips:
            assert clip.frames.shape == (4, 3, 48, 80) and clip.frames.dtype == torch.uint8
            check_clip(clip, dataset)
        assert dataset[-1].frame_indices.tolist() == clips[-1].frame_indices.tolist()

    def test_clips_per_video_and_the_short_video(self, videos):
        dataset = ClipDataset(videos[:3], 8, clips_per_video=3, size=(48, 80))
        assert len(dataset) == 9
        assert [dataset[i].frame_indices[0].item() for i in range(3)] == [0, 13, 27]
        short = ClipDataset(videos, 4, stride=3, clips_per_video=2)
        with pytest.raises(ValueError, match=r"videos\[3\] .*: the video has 9 frames, fewer "
                                             r"than a clip spans \(10\)"):
            short[6]

    def test_random_positions_follow_seed_and_epoch(self, videos):
        def starts(dataset):
            return [dataset[i].frame_indices[0].item() for i in range(len(dataset))]

        dataset = ClipDataset(videos[:3], 5, sampler="random", clips_per_video=4, seed=7)
        epoch0 = starts(dataset)
        dataset.set_epoch(1)
        epoch1 = starts(dataset)
        assert epoch0 != epoch1
        dataset.set_epoch(0)
        assert starts(dataset) == epoch0
        assert starts(ClipDataset(videos[:3], 5, sampler="random", clips_per_video=4,
                                  seed=8)) != epoch0
        assert len(ClipDataset(videos, 5, sampler="random")) == 9 + 6 + 14 + 1

    def test_transform_sees_the_uint8_clip(self, videos):
        dataset = ClipDataset(videos[:1], 2, size=(48, 80), transform=lambda t: t.float() / 255)
        assert dataset[0].frames.dtype == torch.float32 and dataset[0].frames.max() <= 1

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"videos": "a.mp4"}, TypeError, r"videos: expected a list of videos \(paths, bytes or "
                                         r"binary file objects\), got str; put one video in a "
                                         r"list"),
        ({"videos": []}, ValueError, "videos: the list is empty"),
        ({"videos": ["missing.mp4"]}, FileNotFoundError, r"videos\[0\]: missing.mp4: no such"),
        ({"clip_length": 0}, ValueError, "clip_length: expected a positive integer, got 0"),
        ({"stride": 1.5}, TypeError, "stride: expected a positive integer, got float 1.5"),
        ({"sampler": "dense"}, ValueError, "sampler: unknown sampler 'dense' "
                                           r"\(allowed: 'uniform' or 'random'\)"),
        ({"size": 224}, TypeError, r"size: expected \(height, width\)"),
        ({"seed": -1}, ValueError, "seed: expected an integer of 0 or more, got -1"),
        ({"transform": "resize"}, TypeError, "transform: expected a callable or None"),
    ])
    def test_bad_arguments(self, videos, kwargs, error, message):
        arguments = {"videos": videos, "clip_length": 4, **kwargs}
        with pytest.raises(error, match=message):
            ClipDataset(arguments.pop("videos"), arguments.pop("clip_length"), **arguments)

    def test_bad_indices(self, videos):
        dataset = ClipDataset(videos, 4, clips_per_video=1)
        with pytest.raises(IndexError, match=r"index: clip 4 is out of range for a dataset of "
                                             r"4 clips \(allowed -4 to 3\)"):
            dataset[4]
        with pytest.raises(TypeError, match="index: expected an integer clip number, got "
                                            "float 1.0"):
            dataset[1.0]


class TestProbing:
    def test_counts_travel_with_the_pickled_dataset(self, videos, monkeypatch):
        dataset = ClipDataset(videos, 4, stride=3)
        copy = pickle.loads(pickle.dumps(dataset))  # what a spawn worker receives
        monkeypatch.setattr(lorvex.torch, "_count_frames", probe_refused)
        assert len(copy) == 14 and copy[13].frame_indices[0].item() == 60

    def test_counts_are_taken_before_a_fork(self, videos):
        dataset = ClipDataset(videos, 4, stride=3)
        child = multiprocessing.get_context("fork").Process(target=exit_with_counted,
                                                            args=(dataset,))
        child.start()
        child.join()
        assert child.exitcode == 0, "the forked copy had no frame counts"

    def test_fixed_clip_counts_need_no_probe_for_len(self, videos, monkeypatch):
        monkeypatch.setattr(lorvex.torch, "_count_frames", probe_refused)
        assert len(ClipDataset(videos, 4, clips_per_video=5)) == 20


def probe_refused(path, video_index):
    raise AssertionError(f"probed {path} in a process that should have had its count")


def exit_with_counted(dataset):
    os._exit(0 if dataset._clip_ends is not None else 1)


def refuse_probes_and_record(record, worker_id):
    """A DataLoader worker's start: notes its pid and, at each load, the processes below it
    (its decoders), and fails any probe of the whole list."""
    worker = os.getpid()
    with open(record, "a") as notes:
        notes.write(f"pid {worker}\n")
    load = lorvex.video.Video._load

    def recording_load(video, numbers):
        frames = load(video, numbers)
        with open(record, "a") as notes:
            notes.writelines(f"decoder {pid}\n" for pid in descendants(worker))
        return frames

    lorvex.video.Video._load = recording_load
    lorvex.torch._count_frames = probe_refused


def descendants(pid):
    below = []
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as children:
            for child in map(int, children.read().split()):
                below += [child, *descendants(child)]
    except OSError:
        pass
    return below


def running(pid):
    """Whether `pid` runs: a decoder whose worker ended is the init process's to reap."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def clips_of_an_epoch(loader, dataset, epoch):
    """(video, first frame) of every clip the loader gives in `epoch`, each checked."""
    dataset.set_epoch(epoch)
    clips = []
    for batch in loader:
        assert batch.frames.shape[1:] == (4, 3, 48, 80)
        for clip in unbatch(batch):
            check_clip(clip, dataset)
            clips.append((clip.video, clip.frame_indices[0].item()))
    # Every clip once, where the same dataset in this process puts it for this epoch.
    expected = [(video, int(numbers[0])) for video, numbers in
                map(dataset.clip_frames, range(len(dataset)))]
    assert sorted(clips) == sorted(expected)
    return sorted(clips)


@pytest.mark.parametrize("start_method", ["fork", "spawn"])
@pytest.mark.parametrize("sampler", ["uniform", "random"])
def test_dataloader_workers_over_two_epochs(videos, tmp_path, start_method, sampler):
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()  # the tracker of shared memory lives as long as we do
    children, descriptors = set(child_processes()), len(os.listdir("/proc/self/fd"))
    record = tmp_path / "workers.txt"
    dataset = ClipDataset(videos, 4, stride=3, sampler=sampler, size=(48, 80), seed=11)
    # Unshuffled, nothing asks for len() before the workers start: they must inherit counts.
    loader = DataLoader(dataset, batch_size=3, shuffle=sampler == "random", num_workers=2,
                        multiprocessing_context=start_method,
                        worker_init_fn=functools.partial(refuse_probes_and_record, str(record)))
    seen = [clips_of_an_epoch(loader, dataset, epoch) for epoch in range(2)]
    if sampler == "random":
        assert seen[0] != seen[1]
    del loader
    gc.collect()
    notes = record.read_text().split("\n")
    workers = [int(line.split()[1]) for line in notes if line.startswith("pid ")]
    decoders = {int(line.split()[1]) for line in notes if line.startswith("decoder ")}
    assert len(workers) == 4 and decoders  # two workers each epoch, which did load
    left = [pid for pid in [*workers, *decoders] if running(pid)]
    assert not left, "workers or their decoders left"
    assert set(child_processes()) <= children, "child processes left behind"
    assert len(os.listdir("/proc/self/fd")) == descriptors, "file descriptors leaked"


def test_dataloader_in_the_process_itself(videos, leak_check):
    dataset = ClipDataset(videos[:2], 6, clips_per_video=2, size=(48, 80))
    batches = list(DataLoader(dataset, batch_size=4, num_workers=0))
    assert [b.video.tolist() for b in batches] == [[0, 0, 1, 1]]
    for clip in unbatch(batches[0]):
        check_clip(clip, dataset)
