# vendrix.Stabilizer over numpy frames: a shaky sequence comes out steady, every dtype and layout
# renders an unmoved frame unchanged (also into a given array and in place), and misuse raises instead
# of crashing. vendrix.RealtimeStabilizer: every frame comes out once, in order, a fixed delay after it
# went in, and steadied.
import numpy as np
import pytest

import vendrix
from conftest import finished, jitter, texture


def test_shaky_sequence_is_steadied_and_the_path_follows_the_shake(shaky):
    frames, offsets = shaky
    with finished(240, 180, frames, max_frames=len(frames)) as s:
        out = [s.render(f, i) for i, f in enumerate(frames)]
        camera = s.camera_path()
        assert s.corrections().shape == (len(frames), 4, 2)
    before, after = jitter(frames), jitter(out)
    assert before > 4 and after < before / 4, f"jitter before {before:.2f} px, after {after:.2f} px"
    # The measured camera follows the cut's offsets (the camera moves with the cut).
    assert np.abs((camera[:, :2] - camera[0, :2]) - (offsets - offsets[0])).max() < 1.0


def unmoved(array):
    """`array` rendered by a stabilizer that saw it three times (no motion), without edge extension; the
    same render into a given array and into a copy of the frame itself."""
    with finished(array.shape[1], array.shape[0], [array] * 3, framing="fill") as s:
        out, into, same = s.render(array, 1), np.empty_like(array), array.copy()
        assert s.render(array, 1, out=into) is into
        s.render(same, 1, out=same)
        np.testing.assert_array_equal(into, out)
        np.testing.assert_array_equal(same, out)
        return out


def layouts():
    grey8 = texture(64, 96)
    grey16 = grey8.astype(np.uint16) * 257 + np.arange(96, dtype=np.uint16)  # low bytes differ from high
    for grey in (grey8, grey16):
        bgr = np.stack([grey, grey // 2 + 7, 255 - grey // 3], axis=2).astype(grey.dtype)
        bgra = np.concatenate([bgr, grey[:, :, None] // 5], axis=2)
        padded = np.zeros((64, 128, 4), grey.dtype)
        padded[:, :96] = bgra
        # Padded rows are passed in place, reversed channels and column-major frames copied; last, bottom-up rows.
        yield from (grey, bgr, bgra, padded[:, :96], bgr[:, :, ::-1], np.asfortranarray(bgr), np.asfortranarray(grey),
                    bgra[::-1])


@pytest.mark.parametrize("frame", list(layouts()), ids=lambda f: f"{f.dtype}-{f.shape}-{f.strides}")
def test_every_layout_renders_an_unmoved_frame_unchanged(frame):
    out = unmoved(frame)
    assert out.shape == frame.shape and out.dtype == frame.dtype
    # The renderer's identity warp takes each output pixel from the source pixel one to the right and
    # one below, so the picture comes out one pixel up and left, every value exact; the last row and
    # column, which that leaves without a source, are margin (black in "fill" framing). 8-bit grey is
    # drawn in pixel pairs (as 4:2:2), so there the last two columns are margin.
    edge = 2 if frame.ndim == 2 and frame.dtype == np.uint8 else 1
    w = frame.shape[1]
    np.testing.assert_array_equal(out[:-1, :-edge], frame[1:, 1:w - edge + 1])
    colour = out if frame.ndim == 2 else out[:, :, :3]
    assert not colour[-1].any() and not colour[:, -edge:].any()


def test_bad_frames_and_misuse_raise():
    frame = texture(64, 96)
    s = vendrix.Stabilizer(96, 64, max_frames=2)
    ro = frame.copy()
    ro.flags.writeable = False
    # In order: each call finds the stabilizer as the calls before left it.
    for call, error, message in [
            (lambda: s.render(frame, 0), vendrix.Error, "finish"),
            (lambda: s.add(frame.astype(np.float32)), TypeError, "uint8 or uint16"),
            (lambda: s.add(np.zeros((64, 96, 2), np.uint8)), ValueError, "shape"),
            (lambda: s.add(np.zeros((1, 64, 96, 3), np.uint8)), ValueError, "shape"),
            (lambda: s.add(frame[:32]), ValueError, "96x64"),
            (s.finish, vendrix.Error, "at least one"),
            (lambda: [s.add(frame) for _ in range(3)], vendrix.Error, "at most 2"),
            (lambda: (s.finish(), s.add(frame)), vendrix.Error, "after finish"),
            (lambda: s.render(frame, 2), IndexError, None),
            (lambda: s.render(frame, 0, out=ro), ValueError, "read-only"),
            (lambda: (s.close(), s.camera_path()), vendrix.Error, "closed"),
            (lambda: vendrix.Stabilizer(96, 64, smoothing=2.0), ValueError, "smoothing"),
            (lambda: vendrix.Stabilizer(96, 64, framing="zoom"), ValueError, "framing"),
            (lambda: vendrix.Stabilizer(96, 64, max_uncovered=5), ValueError, "max_uncovered")]:
        with pytest.raises(error, match=message):
            call()


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
