#!/usr/bin/python3
"""The overscan readout of one binning-1 full frame, written with numpy's vectorised
operations, as the yardstick for Readout/overscan of vantor_bench: two fields of
big-endian samples (795 x 298 each) in, the bias-corrected 752 x 582 float image out.

Same work as the C++ pass: interleave the fields, take each row's bias as element 21 of
its 40 sorted overscan-strip samples, average each field's row biases (rows 12..595 of
its parity) in single precision, crop the active area and subtract each row's deviation
from its field's mean in double precision.
"""
import timeit

import numpy as np

RAW_W, RAW_H = 795, 596
IMG_W, IMG_H = 752, 582
STRIP, TOP, LEFT, BIAS_INDEX = 40, 12, 3, 21


def make_fields(seed=1):
    rng = np.random.default_rng(seed)
    fields = []
    for _ in range(2):
        samples = rng.normal(1000.0, 5.0, size=(RAW_H // 2, RAW_W)).astype(">u2")
        fields.append(samples.tobytes())
    return fields


def overscan_readout(first, second):
    raw = np.empty((RAW_H, RAW_W), dtype=np.float32)
    raw[0::2] = np.frombuffer(first, dtype=">u2").reshape(RAW_H // 2, RAW_W)
    raw[1::2] = np.frombuffer(second, dtype=">u2").reshape(RAW_H // 2, RAW_W)
    strip = raw[:, RAW_W - STRIP:]
    bias = np.partition(strip, BIAS_INDEX, axis=1)[:, BIAS_INDEX]
    correction = np.empty(RAW_H, dtype=np.float64)
    for parity in (0, 1):
        rows = bias[TOP + parity::2]  # field rows 6 .. 297
        mean = np.float32(rows.sum(dtype=np.float32) / np.float32(len(rows)))
        correction[parity::2] = bias[parity::2].astype(np.float64) - np.float64(mean)
    active = raw[TOP:TOP + IMG_H, LEFT:LEFT + IMG_W]
    return (active - correction[TOP:TOP + IMG_H, None]).astype(np.float32)


def main():
    first, second = make_fields()
    image = overscan_readout(first, second)
    assert image.shape == (IMG_H, IMG_W)
    runs = 200
    best = min(timeit.repeat(lambda: overscan_readout(first, second), number=runs, repeat=5)) / runs
    print(f"numpy overscan readout (numpy {np.__version__}): {best * 1e6:.0f} us per frame "
          f"(best of 5 x {runs})")


if __name__ == "__main__":
    main()
