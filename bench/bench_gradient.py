"""gradient: grid points per second with 1 and 2 threads on a batch of
fields, against numpy.gradient over the two horizontal axes and against
copying the same bytes (read f once, write a fresh (2, B, NY, NX) array)."""

import sys

import numpy as np

import _tarnwell as tw
from common import interleaved, report


def sample(shape, seed=0):
    """Smooth fields on a 3 km grid with a few missing points."""
    b, ny, nx = shape
    rng = np.random.default_rng(seed)
    x = 3000.0 * np.arange(nx)
    y = 3000.0 * np.arange(ny)
    f = (280.0 + 5.0 * np.sin(x / 2.0e5)[None, None, :] * np.cos(y / 3.0e5)[None, :, None]
         + rng.normal(0.0, 0.1, (b, ny, nx)))
    f.reshape(-1)[rng.choice(f.size, f.size // 1000, replace=False)] = np.nan
    return f, x, y


def main(shape=(16, 512, 512)):
    f, x, y = sample(shape)
    n = f.size
    times = interleaved({
        "tw 1 thread": lambda: tw.gradient(f, x, y, n_threads=1),
        "tw 2 threads": lambda: tw.gradient(f, x, y, n_threads=2),
        "tw default threads": lambda: tw.gradient(f, x, y),
        "numpy.gradient(f, y, x, axis=(1, 2))": lambda: np.gradient(f, y, x, axis=(1, 2)),
        "copy: np.stack((f, f))": lambda: np.stack((f, f)),
    })
    report(f"gradient, (B, NY, NX) = {shape}, {n:,} points", [(k, v, n) for k, v in times.items()])
    one, two = times["tw 1 thread"], times["tw 2 threads"]
    print(f"  2-thread speedup               {one / two:.2f}x")
    print(f"  vs numpy.gradient (1 thread)   {times['numpy.gradient(f, y, x, axis=(1, 2))'] / one:.2f}x  (goal >= 2)")
    print(f"  vs numpy.gradient (2 threads)  {times['numpy.gradient(f, y, x, axis=(1, 2))'] / two:.2f}x")
    print(f"  / copy time (1 thread)         {one / times['copy: np.stack((f, f))']:.2f}x  (goal <= 2)")
    print(f"  / copy time (2 threads)        {two / times['copy: np.stack((f, f))']:.2f}x")
    return times


if __name__ == "__main__":
    main(tuple(int(a) for a in sys.argv[1:4]) if len(sys.argv) > 3 else (16, 512, 512))
