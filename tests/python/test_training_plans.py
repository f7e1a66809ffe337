"""Where the training adapters' clips and rows fall, checked without torch or ray: the clip
samplers' edge cases, the cuts of read_videos' rows at keyframes into tasks and blocks; and
that the package itself never imports torch or ray."""
import subprocess
import sys

import numpy as np
import pytest

from lorvex import clip_sampling, ray_plan


class TestClipSamplers:
    def test_uniform_spreads_the_count_over_the_possible_starts(self):
        # 48 frames, clips of 8: starts 0 … 40, 41 of them; clip i of K at i * 41 // K.
        assert clip_sampling.uniform_starts(48, 8, 4).tolist() == [0, 10, 20, 30]
        assert clip_sampling.uniform_starts(48, 8, 1).tolist() == [0]
        assert clip_sampling.uniform_starts(8, 8, 3).tolist() == [0, 0, 0]
        with pytest.raises(ValueError, match="the video has 7 frames, fewer than a clip spans"):
            clip_sampling.uniform_starts(7, 8, 2)

    def test_random_depends_on_seed_epoch_and_video_only(self):
        draw = clip_sampling.random_starts
        first = draw(100, 10, 5, seed=3, epoch=0, video=2)
        assert first.tolist() == draw(100, 10, 5, seed=3, epoch=0, video=2).tolist()
        assert ((first >= 0) & (first <= 90)).all()
        others = [draw(100, 10, 5, seed=3, epoch=1, video=2), draw(100, 10, 5, 4, 0, 2),
                  draw(100, 10, 5, seed=3, epoch=0, video=1)]
        assert all(other.tolist() != first.tolist() for other in others)
        assert draw(10, 10, 3, 0, 0, 0).tolist() == [0, 0, 0]


class TestCuts:
    def test_cuts_fall_where_a_new_group_of_pictures_starts(self):
        firsts = np.arange(0, 30, 4)  # 0 4 8 … 28, keyframes every 10 frames
        assert ray_plan.keyframe_cuts(firsts, [0, 10, 20]).tolist() == [3, 5]

    def test_pieces_are_cut_only_at_keyframes(self):
        cuts = np.array([10, 20, 30, 40, 50])
        assert ray_plan.split_rows(60, cuts, 3) == [(0, 20), (20, 40), (40, 60)]
        assert ray_plan.split_rows(60, cuts, 1) == [(0, 60)]
        assert ray_plan.split_rows(60, np.array([], dtype=np.int64), 4) == [(0, 60)]
        assert ray_plan.split_rows(60, np.array([59]), 9) == [(0, 59), (59, 60)]

    def test_blocks_hold_at_most_max_rows_and_prefer_keyframe_ends(self):
        cuts = np.array([7, 14, 21])
        ranges = ray_plan.block_ranges(0, 25, cuts, 10)
        assert ranges == [(0, 7), (7, 14), (14, 21), (21, 25)]
        # No cut in a range's last half: cut at max_rows.
        assert ray_plan.block_ranges(0, 25, np.array([2]), 10) == [(0, 10), (10, 20), (20, 25)]
        assert ray_plan.block_ranges(3, 3, cuts, 10) == []


def test_the_package_imports_neither_torch_nor_ray():
    code = ("import sys, lorvex, lorvex.video, lorvex.clip_sampling, lorvex.ray_plan, "
            "lorvex.cli.main; lorvex.Video(lorvex.SAMPLE_VIDEO)[0]; "
            "print(sorted({'torch', 'ray'} & set(sys.modules)))")
    shown = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                           text=True).stdout
    assert shown.strip() == "[]"
