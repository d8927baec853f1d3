# vendrix.RealtimeStabilizer: every frame comes out once, in order, a fixed delay after it went in,
# and steadied.
import numpy as np
import pytest

import vendrix
from conftest import jitter


def test_frames_come_out_after_the_delay_and_all_after_flush(shaky):
    frames, _ = shaky
    out = []
    with vendrix.RealtimeStabilizer(240, 180, look_ahead=5) as rt:
        assert rt.delay == 5 + 49
        for k, f in enumerate(frames, 1):
            out += rt.push(f)
            assert len(out) == max(0, k - rt.delay)
        out += rt.flush()
        with pytest.raises(vendrix.Error, match="after flush"):
            rt.push(frames[0])
    assert len(out) == len(frames)
    assert all(o.shape == frames[0].shape and o.dtype == np.uint8 for o in out)
    assert jitter(out) < jitter(frames) / 2


def test_a_stream_keeps_its_first_frames_kind():
    with vendrix.RealtimeStabilizer(96, 64) as rt:
        rt.push(np.zeros((64, 96), np.uint16))
        with pytest.raises(ValueError, match="first frame"):
            rt.push(np.zeros((64, 96, 3), np.uint16))
    with pytest.raises(ValueError, match="look_ahead"):
        vendrix.RealtimeStabilizer(96, 64, look_ahead=1)
