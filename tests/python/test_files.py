# vendrix.stabilize_file and analyze_file: the command's passes in process (whose handling of audio and
# timestamps the command's tests check), on a clip made by `vendrix shake`; the Stabilizer fed the same
# clip smooths as they do.
import os
import subprocess

import numpy as np
import pytest

import vendrix
from conftest import finished


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("clip") / "shaky.mp4")
    subprocess.run([os.environ["VENDRIX_CLI"], "shake", "-q", os.environ["VENDRIX_SAMPLE_IMAGE"], path,
                    "--frames", "40", "--size", "320x180"], check=True)
    return path


@pytest.mark.parametrize("realtime", [False, True])
def test_stabilize_file_writes_every_frame_and_reports_progress(clip, tmp_path, realtime):
    steps = []
    out = str(tmp_path / "steady.mp4")
    result = vendrix.stabilize_file(clip, out, realtime=realtime, look_ahead=5,
                                    progress=lambda stage, done, total: steps.append((stage, done, total)))
    assert result["frames"] == 40
    assert vendrix.analyze_file(out)["frames"] == 40
    assert list(dict.fromkeys(stage for stage, _, _ in steps)) == (["stabilize"] if realtime else ["analyse", "render"])
    assert steps[-1][1:] == (40, 40)


def test_a_failing_callback_stops_the_pass_and_leaves_no_output(clip, tmp_path):
    def stop(stage, done, total):
        if done == 10:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vendrix.stabilize_file(clip, str(tmp_path / "out.mp4"), progress=stop)
    assert os.listdir(tmp_path) == []


def decoded_luma(clip):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", clip, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(40, -1)[:, :320 * 180].reshape(40, 180, 320)


def test_analyze_file_writes_a_motion_file_and_smooths_as_the_stabilizer_does(clip, tmp_path):
    luma = decoded_luma(clip)
    smoothed = {}
    for follow in (True, False):
        with finished(320, 180, luma, follow_pans=follow) as s:
            smoothed[follow] = s.camera_path(smoothed=True)
        motion = tmp_path / f"follow_{follow}.vxm"
        a = vendrix.analyze_file(clip, str(motion), follow_pans=follow)
        assert (a["width"], a["height"], a["frames"]) == (320, 180, 40)
        assert a["camera"].shape == a["smoothed"].shape == (40, 4)
        assert a["camera"][:, :2].std() > a["smoothed"][:, :2].std()
        assert motion.stat().st_size > 0
        np.testing.assert_array_equal(smoothed[follow], a["smoothed"])
    assert not np.array_equal(smoothed[True], smoothed[False])
    with pytest.raises(vendrix.Error, match="missing.mp4"):
        vendrix.analyze_file(str(tmp_path / "missing.mp4"))


def test_the_stabilizer_frames_the_frames_added_not_its_capacity(tmp_path):
    # The cover framing's zoom is chosen from the frames added: on shake beyond the zoom limit, entries
    # never added would otherwise dilute the budget of stretched edges. max_uncovered=0 covers every
    # frame (and shifts the frames the limit cannot cover).
    strong = str(tmp_path / "strong.mp4")
    subprocess.run([os.environ["VENDRIX_CLI"], "shake", "-q", os.environ["VENDRIX_SAMPLE_IMAGE"], strong,
                    "--preset", "strong", "--frames", "40", "--size", "320x180"], check=True)
    luma = decoded_luma(strong)

    def rendered(**options):
        with finished(320, 180, luma, **options) as s:
            return np.stack([s.render(frame, i) for i, frame in enumerate(luma)])

    budgeted = rendered(max_frames=40)
    np.testing.assert_array_equal(budgeted, rendered(max_frames=4000))
    assert not np.array_equal(budgeted, rendered(max_frames=40, max_uncovered=0))
