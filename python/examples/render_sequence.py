#!/usr/bin/env python3
"""Renders a numbered sequence with the lens sliding across and growing, frame by frame.

    python3 render_sequence.py in.####.png out.####.png 1 48

Reads and writes pictures with OpenImageIO's Python bindings where they are installed;
without them it makes its own frames (a gradient) and writes numpy's .npy files.
"""
import sys

import numpy as np

import vizmira

try:
    import OpenImageIO as oiio
except ImportError:
    oiio = None


def name(pattern, frame):
    return pattern.replace("####", f"{frame:04d}")


def read(path):
    if oiio is None:  # a picture of our own: a gradient with full alpha
        y, x = np.mgrid[0:540, 0:960]
        return np.dstack([x * 255 // 959, y * 255 // 539, 255 - x * 255 // 959, np.full_like(x, 255)]).astype(np.uint8)
    config = oiio.ImageSpec()
    config.attribute("oiio:UnassociatedAlpha", 1)  # colour as the file holds it, as vizmira reads it
    source = oiio.ImageInput.open(path, config)
    if source is None:
        sys.exit(f"cannot read {path}: {oiio.geterror()}")
    pixels = source.read_image()  # as the file holds them; anything but 8 or 16 bits as 16
    if pixels.dtype not in (np.uint8, np.uint16):
        pixels = source.read_image(oiio.UINT16)
    source.close()
    return pixels


def write(path, pixels):
    if oiio is None:
        np.save(path + ".npy", pixels)
        return
    out = oiio.ImageOutput.create(path)
    header = oiio.ImageSpec(pixels.shape[1], pixels.shape[0], pixels.shape[2],
                            oiio.UINT16 if pixels.dtype == np.uint16 else oiio.UINT8)
    header.attribute("oiio:UnassociatedAlpha", 1)
    if not (out and out.open(path, header) and out.write_image(pixels) and out.close()):
        sys.exit(f"cannot write {path}: {oiio.geterror()}")


def main():
    source, target, first, last = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    effect = vizmira.Effect()
    # Keys and values as `vizmira render --set` takes them; VALUE@FRAME keys animate.
    settings = {"Type": "Circle", "Feather": 30, "Position": f"20%,50%@{first},80%,50%@{last}",
                "Scale": f"60@{first},120@{last}", "Realistic Blur  [very slow]/Amount": 15}
    for frame in range(first, last + 1):
        write(name(target, frame), effect.render(read(name(source, frame)), settings, frame=frame))
        print(f"frame {frame} done", flush=True)


if __name__ == "__main__":
    main()
