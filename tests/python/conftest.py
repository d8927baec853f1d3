# Shared pieces of the Python module's tests: synthetic shaky sequences made with numpy, and an
# independent measure of frame motion (phase correlation in numpy, nothing from the library).
import numpy as np
import pytest

import vendrix


def texture(height, width, seed=1):
    """A smooth random picture (blurred noise) with detail at several scales, as uint8."""
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal((height, width))
    ky, kx = np.fft.fftfreq(height)[:, None], np.fft.fftfreq(width)[None, :]
    smooth = np.real(np.fft.ifft2(np.fft.fft2(noise) * np.exp(-(kx**2 + ky**2) * 300)))
    return np.ascontiguousarray((smooth - smooth.min()) / np.ptp(smooth) * 255).astype(np.uint8)


def shaky_sequence(frames, height, width, amplitude=4.0, seed=2):
    """BGR frames cut from a larger picture along a slow pan plus random whole-pixel shake; returns the
    frames and the true offset of each cut (x, y)."""
    margin = int(4 * amplitude) + frames // 2 + 4
    scene = texture(height + 2 * margin, width + 2 * margin, seed)
    rng = np.random.default_rng(seed)
    pan = np.stack([np.arange(frames) * 0.5, np.zeros(frames)], axis=1)
    offsets = np.round(pan + rng.normal(0, amplitude, (frames, 2))).astype(int)
    offsets = np.clip(offsets, -margin, margin)
    cuts = [scene[margin + dy:margin + dy + height, margin + dx:margin + dx + width] for dx, dy in offsets]
    return [np.ascontiguousarray(np.repeat(c[:, :, None], 3, axis=2)) for c in cuts], offsets


def shift(a, b):
    """How far the picture moved from grey frame a to grey frame b (x, y), by phase correlation over the
    middle 60 % with a sub-pixel peak."""
    h, w = a.shape
    y0, x0 = h // 5, w // 5
    win = np.outer(np.hanning(h - 2 * y0), np.hanning(w - 2 * x0))
    fa = np.fft.fft2(a[y0:h - y0, x0:w - x0] * win)
    fb = np.fft.fft2(b[y0:h - y0, x0:w - x0] * win)
    r = fb * np.conj(fa)
    surface = np.real(np.fft.ifft2(r / (np.abs(r) + 1e-9)))
    py, px = np.unravel_index(np.argmax(surface), surface.shape)

    def refine(lo, hi, p, n):  # parabola through the peak and its neighbours, wrapped to -n/2..n/2
        d = lo - 2 * surface[py, px] + hi
        s = p + (0.5 * (lo - hi) / d if d != 0 else 0)
        return s - n if s > n / 2 else s

    sh, sw = surface.shape
    return (refine(surface[py, (px - 1) % sw], surface[py, (px + 1) % sw], px, sw),
            refine(surface[(py - 1) % sh, px], surface[(py + 1) % sh, px], py, sh))


def jitter(frames):
    """RMS change of the frame-to-frame motion (the second difference of the camera path), pixels."""
    grey = [f.astype(np.float64).mean(axis=2) if f.ndim == 3 else f.astype(np.float64) for f in frames]
    motion = np.array([shift(a, b) for a, b in zip(grey, grey[1:])])
    return float(np.sqrt(np.mean(np.sum(np.diff(motion, axis=0) ** 2, axis=1))))


def finished(width, height, frames, **options):
    """A Stabilizer given every frame and finished; use it in a with block."""
    s = vendrix.Stabilizer(width, height, **options)
    for f in frames:
        s.add(f)
    s.finish()
    return s


@pytest.fixture(scope="session")
def shaky():
    return shaky_sequence(60, 180, 240)
