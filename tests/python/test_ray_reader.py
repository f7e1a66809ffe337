"""lorvex.ray.read_videos on a Ray cluster of two nodes on this machine: every row of a folder
of numbered videos read back from the number drawn in its frame, at the frame table's time,
read on both nodes; clips; selections; a long video split among read tasks at keyframes, each
frame read once."""
import numpy as np
import pytest

from conftest import frame_numbers, make_numbered_video

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

import lorvex.ray  # noqa: E402
from lorvex import container, ray_plan  # noqa: E402

FRAMES = {"a.mp4": 48, "b.mp4": 30, "deeper/c.mkv": 70}


@pytest.fixture(scope="module")
def cluster():
    """A head and a second node, one CPU each, in processes of their own as `ray start` makes
    them; the tests connect as a program on a node of a cluster does, ray.init(address="auto"),
    led to this cluster by RAY_ADDRESS (other clusters may be running on the machine)."""
    from ray.cluster_utils import Cluster

    nodes = Cluster(initialize_head=True,
                    head_node_args={"num_cpus": 1, "include_dashboard": False})
    try:
        nodes.add_node(num_cpus=1)
        nodes.wait_for_nodes()
        with pytest.MonkeyPatch.context() as environment:
            environment.setenv("RAY_ADDRESS", nodes.address)
            ray.init(address="auto", log_to_driver=False)
            try:
                yield nodes
            finally:
                ray.shutdown()
    finally:
        nodes.shutdown()


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("ray-videos")
    for name, count in FRAMES.items():
        (root / name).parent.mkdir(exist_ok=True)
        make_numbered_video(root / name, frames=count, extra_args=("-g", "10", "-bf", "2"))
    (root / ".notes").write_text("not a video, and hidden")
    return root


def seconds(path):
    stream = container.open(str(path)).streams.video[0]
    table = np.array(stream.frame_timestamps)
    return (table - table[0]) * float(stream.time_base)


def check_rows(rows, shape):
    """Each row's frames show its frame numbers, at their times; returns (path, first frame)."""
    for row in rows:
        numbers = np.atleast_1d(row["frame_index"])
        frames = row["frame"].reshape(-1, *shape)
        assert row["frame"].dtype == np.uint8 and frames.shape[1:] == shape
        assert frame_numbers(frames) == numbers.tolist()
        assert np.allclose(np.atleast_1d(row["timestamp"]), seconds(row["path"])[numbers])
    return sorted((row["path"], int(np.atleast_1d(row["frame_index"])[0])) for row in rows)


def test_every_frame_of_a_folder(cluster, folder):
    rows = lorvex.ray.read_videos(folder, size=(48, 80)).take_all()
    assert set(rows[0]) == {"path", "frame_index", "timestamp", "frame"}
    expected = sorted((str(folder / name), i) for name, n in FRAMES.items() for i in range(n))
    assert check_rows(rows, (3, 48, 80)) == expected


def test_read_tasks_run_on_both_nodes(cluster, folder):
    dataset = lorvex.ray.read_videos(folder, size=(48, 80),
                                     ray_remote_args={"scheduling_strategy": "SPREAD"})
    dataset = dataset.materialize()
    # Each block records the node whose read task made it.
    made_on = {entry.metadata.exec_stats.node_id
               for bundle in dataset.iter_internal_ref_bundles() for entry in bundle.blocks}
    nodes = {node["NodeID"] for node in ray.nodes() if node["Alive"]}
    assert len(nodes) == 2 and made_on == nodes
    expected = sorted((str(folder / name), i) for name, n in FRAMES.items() for i in range(n))
    assert check_rows(dataset.take_all(), (3, 48, 80)) == expected


def test_a_read_gives_blocks_of_many_frames(cluster, folder):
    # Ray sizes blocks by the datasource's estimate of the data: without one it asks for 200
    # blocks and cuts each task's output into slivers of a few frames, each a task of its own.
    dataset = lorvex.ray.read_videos(folder, size=(48, 80)).materialize()
    assert dataset.num_blocks() <= 2 * len(FRAMES)


def test_clips_every_stride_frames(cluster, folder):
    dataset = lorvex.ray.read_videos([folder / "a.mp4", folder / "b.mp4"], size=(48, 80),
                                     clip_length=4, stride=3)
    rows = dataset.take_all()
    assert all(row["frame"].shape == (4, 3, 48, 80) for row in rows)
    assert all(np.diff(row["frame_index"]).tolist() == [3, 3, 3] for row in rows)
    assert check_rows(rows, (3, 48, 80)) == sorted(
        [(str(folder / "a.mp4"), s) for s in range(0, 40, 10)]
        + [(str(folder / "b.mp4"), s) for s in range(0, 30, 10)])


def test_selected_frames_and_clip_starts(cluster, folder):
    video = str(folder / "a.mp4")
    rows = lorvex.ray.read_videos(video, size=None, frames=slice(-3, None)).take_all()
    assert check_rows(rows, (3, 96, 160)) == [(video, 45), (video, 46), (video, 47)]
    clips = lorvex.ray.read_videos(video, size=(48, 80), clip_length=2, stride=5,
                                   frames=[7, 0]).take_all()
    assert check_rows(clips, (3, 48, 80)) == [(video, 0), (video, 7)]
    with pytest.raises(IndexError, match="starting at frame 45 runs past the end"):
        lorvex.ray.read_videos(video, size=(48, 80), clip_length=2, stride=5,
                               frames=[45]).take_all()


def test_a_long_video_is_split_among_tasks_at_keyframes(cluster, tmp_path):
    video = make_numbered_video(tmp_path / "long.mp4", frames=600, width=96, height=64,
                                extra_args=("-g", "50", "-bf", "2"))
    plan = ray_plan.RowPlan(None, 1, None)
    source = lorvex.ray.VideoDatasource([str(video)], plan, (32, 48), threads=1)
    tasks = source.get_read_tasks(parallelism=8)
    assert [task.metadata.num_rows for task in tasks] == [300, 300]  # 256 frames at least
    rows = ray.data.read_datasource(source, override_num_blocks=8).take_all()
    assert check_rows(rows, (3, 32, 48)) == [(str(video), i) for i in range(600)]


@pytest.fixture(scope="module")
def store(folder):
    """The folder's videos (and a note that is no video) in an S3-compatible store."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    from remote_servers import ObjectStore

    served = ObjectStore({name: folder / name for name in [*FRAMES, ".notes"]})
    served.filesystem().pipe_file(f"{served.bucket}/readme.txt", b"not a video")
    yield served
    served.stop()


def test_a_prefix_of_an_object_store(cluster, folder, store):
    """Every video under the prefix, read on both nodes from the store, row for row the local
    files' rows: by URL with storage_options, and through a filesystem with file_extensions."""
    local = lorvex.ray.read_videos(folder, size=(48, 80)).take_all()
    by_url = lorvex.ray.read_videos(f"s3://{store.bucket}/", size=(48, 80),
                                    storage_options=store.storage_options,
                                    file_extensions=["mp4", "mkv"],
                                    ray_remote_args={"scheduling_strategy": "SPREAD"}).take_all()
    through = lorvex.ray.read_videos(f"{store.bucket}/deeper", size=(48, 80),
                                     filesystem=store.filesystem()).take_all()

    def by_row(rows, root):
        return {(row["path"].replace(root, "", 1).lstrip("/"), int(row["frame_index"])):
                row["frame"] for row in rows}

    expected = by_row(local, str(folder))
    got = by_row(by_url, f"s3://{store.bucket}")
    assert got.keys() == expected.keys()
    assert all(np.array_equal(got[key], expected[key]) for key in expected)
    deeper = by_row(through, store.bucket)
    assert deeper.keys() == {key for key in expected if key[0].startswith("deeper/")}
    assert all(np.array_equal(deeper[key], expected[key]) for key in deeper)


@pytest.mark.parametrize("call, error, message", [
    (lambda d: lorvex.ray.read_videos(d / "missing.mp4", size=None), FileNotFoundError,
     "paths: .*missing.mp4: no such file or folder"),
    (lambda d: lorvex.ray.read_videos(d / "a.mp4", size=None, frames=[1], stride=2),
     ValueError, "stride: without clip_length"),
    (lambda d: lorvex.ray.read_videos(d / "a.mp4", size=(0, 10)), ValueError,
     r"size: expected \(height, width\)"),
    (lambda d: lorvex.ray.read_videos(d / "a.mp4", size=None, frames=[0.5]), TypeError,
     "frames: expected integer frame numbers, got float 0.5"),
    (lambda d: lorvex.ray.read_videos(d / "a.mp4", size=None, clip_length=0), ValueError,
     "clip_length: expected a positive integer, got 0"),
    (lambda d: lorvex.ray.read_videos(42, size=None), TypeError,
     "paths: expected a path or a list of paths, got int"),
])
def test_bad_arguments_are_refused_before_any_task(folder, call, error, message):
    with pytest.raises(error, match=message):
        call(folder)


def test_a_folder_without_videos(tmp_path):
    (tmp_path / ".hidden.mp4").write_bytes(b"")
    with pytest.raises(ValueError, match="paths: no video files in"):
        lorvex.ray.read_videos(tmp_path, size=None)
