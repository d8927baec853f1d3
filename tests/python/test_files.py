# vendrix.stabilize_file and analyze_file: the command's passes in process, on a clip made by
# `vendrix shake` with a sine track added by ffmpeg; the Stabilizer fed the same clip smooths as they do.
import json
import os
import subprocess

import numpy as np
import pytest

import vendrix
from conftest import finished


def streams(path):
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-show_entries",
                            "stream=codec_type,nb_read_packets", "-of", "json", path],
                           check=True, capture_output=True, text=True)
    return {s["codec_type"]: int(s["nb_read_packets"]) for s in json.loads(probe.stdout)["streams"]}


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    d = tmp_path_factory.mktemp("clip")
    silent, sound = str(d / "silent.mp4"), str(d / "sound.mp4")
    subprocess.run([os.environ["VENDRIX_CLI"], "shake", "-q", os.environ["VENDRIX_SAMPLE_IMAGE"], silent,
                    "--frames", "40", "--size", "320x180"], check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-i", silent, "-f", "lavfi", "-i", "sine=frequency=440:duration=1.33",
                    "-c:v", "copy", "-c:a", "aac", "-shortest", "-y", sound], check=True)
    return sound


@pytest.mark.parametrize("realtime", [False, True])
def test_stabilize_file_keeps_audio_and_reports_progress(clip, tmp_path, realtime):
    steps = []
    out = str(tmp_path / "steady.mp4")
    result = vendrix.stabilize_file(clip, out, realtime=realtime, look_ahead=5,
                                    progress=lambda stage, done, total: steps.append((stage, done, total)))
    assert result["frames"] == 40
    found = streams(out)
    assert found["video"] == 40 and found["audio"] == streams(clip)["audio"]
    stages = ["stabilize"] if realtime else ["analyse", "render"]
    assert [s for s in dict.fromkeys(stage for stage, _, _ in steps)] == stages
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
