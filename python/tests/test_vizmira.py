"""vizmira for Python against the command: the same controls, the same pictures, bit for bit."""
import json
import os
import subprocess
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import OpenImageIO as oiio
import pytest

import vizmira

CLI = os.environ["VIZMIRA_CLI"]
LOOK = {"Type": "Triangle", "Feather": 40, "MODE": "Screen", "Lightness/Amount": "20",
        "Fast Blur/Visible": True}


def cli(*args, cwd=None):
    return subprocess.run([CLI, *map(str, args)], cwd=cwd, capture_output=True, text=True)


def sets(settings):
    out = []
    for key, value in settings.items():
        text = {True: "on", False: "off"}.get(value, value) if isinstance(value, bool) else value
        out += ["--set", f"{key}={text}"]
    return out


def read(path, dtype):
    # Colour as the file holds it, not multiplied by alpha: as the command reads it.
    config = oiio.ImageSpec()
    config.attribute("oiio:UnassociatedAlpha", 1)
    pixels = oiio.ImageInput.open(str(path), config).read_image(oiio.UINT16 if dtype == np.uint16 else oiio.UINT8)
    return np.asarray(pixels, dtype=dtype)


@pytest.fixture(scope="module")
def effect():
    return vizmira.Effect(threads=2)


@pytest.fixture(scope="module")
def cards(tmp_path_factory):
    d = tmp_path_factory.mktemp("cards")
    assert cli("testcard", d / "card8.png", "--size", "96x64").returncode == 0
    assert cli("testcard", d / "card16.png", "--size", "96x64", "--depth", "16").returncode == 0
    return d


@pytest.mark.parametrize("depth", [8, 16])
def test_a_render_is_the_commands_file(effect, cards, tmp_path, depth):
    dtype = np.uint8 if depth == 8 else np.uint16
    card = cards / f"card{depth}.png"
    image = read(card, dtype)
    assert image.shape == (64, 96, 4) and image.dtype == dtype
    for settings, extra in [(LOOK, []), ({"Red/Cyan": 30.5}, ["--work-depth", 24 - depth])]:
        out = tmp_path / "out.png"
        run = cli("render", card, out, *sets(settings), *extra)
        assert run.returncode == 0, run.stderr
        kwargs = {"depth": 24 - depth} if extra else {}
        result = effect.render(image, settings, **kwargs)
        assert result.dtype == dtype and result.shape == image.shape
        np.testing.assert_array_equal(result, read(out, dtype))
    # The array given is left as it was.
    np.testing.assert_array_equal(image, read(card, dtype))


def test_animated_values_and_custom_layers_as_the_command_takes_them(effect, cards, tmp_path):
    image = read(cards / "card8.png", np.uint8)
    animated = {"Scale": "50@1,150@9", "Position": "10,10@1,80,50@9"}
    run = cli("render", cards / "card8.png", tmp_path / "f.png", "--frame", 5, *sets(animated))
    assert run.returncode == 0, run.stderr
    np.testing.assert_array_equal(effect.render(image, animated, frame=5), read(tmp_path / "f.png", np.uint8))
    with pytest.raises(ValueError, match="animated values need frame=N"):
        effect.render(image, animated)

    mask = read(cards / "card16.png", np.uint16)[::-1].copy()  # any picture will do
    out = oiio.ImageOutput.create(str(tmp_path / "mask.png"))
    header = oiio.ImageSpec(96, 64, 4, oiio.UINT16)
    header.attribute("oiio:UnassociatedAlpha", 1)
    assert out.open(str(tmp_path / "mask.png"), header) and out.write_image(mask) and out.close()
    run = cli("render", cards / "card8.png", tmp_path / "c.png", "--set", "Type=Custom",
              "--custom-layer", tmp_path / "mask.png")
    assert run.returncode == 0, run.stderr
    expected = read(tmp_path / "c.png", np.uint8)
    np.testing.assert_array_equal(effect.render(image, {"Type": "Custom"}, custom_layer=mask), expected)
    np.testing.assert_array_equal(effect.render(image, {"Type": "Custom"}, custom_layer=tmp_path / "mask.png"),
                                  expected)
    np.testing.assert_array_equal(
        effect.render(image, {"Type": "Custom", "Custom Layer": str(tmp_path / "mask.png")}), expected)


def test_controls_are_what_params_lists(effect, tmp_path):
    assert effect.controls() == json.loads(cli("params", "--json").stdout)
    settings = {"Type": "None", "Scale": "50@1,150@9"}
    assert effect.controls(settings, frame=3) == json.loads(
        cli("params", "--json", "--frame", 3, *sets(settings)).stdout)
    preset = tmp_path / "look.json"
    preset.write_text(json.dumps({"Feather": 12, "MODE": "Add"}))
    assert effect.controls(preset) == json.loads(cli("params", "--json", "--settings", preset).stdout)
    assert effect.controls(str(preset)) == effect.controls({"Feather": 12, "MODE": "Add"})


def test_bad_input_raises_with_the_commands_message(effect):
    image = np.zeros((8, 8, 4), np.uint8)
    for key, value in [("Nonsense", "1"), ("Amount", "3"), ("Feather", "4000"), ("MODE", "Dissolve"),
                       ("Fast Blur/Visible", "maybe")]:
        printed = cli("params", "--set", f"{key}={value}").stderr.strip()
        assert printed.startswith("vizmira: ")
        with pytest.raises(ValueError) as raised:
            effect.render(image, {key: value})
        assert str(raised.value) == printed[len("vizmira: "):]
        with pytest.raises(ValueError):
            effect.controls({key: value})
    for bad, words in [(np.zeros((8, 8), np.uint8), "shape"), (np.zeros((8, 8, 2), np.uint8), "shape"),
                       (np.zeros((0, 8, 4), np.uint8), "pixels wide"), (np.zeros((8, 8, 4), np.int32), "int32"),
                       (np.zeros((8, 8, 4), np.float32), "float32")]:
        with pytest.raises(ValueError, match=words):
            effect.render(bad)
    with pytest.raises(ValueError, match="depth is 8 or 16"):
        effect.render(image, depth=12)
    with pytest.raises(ValueError, match="a string, a number or True/False"):
        effect.render(image, {"Feather": [1, 2]})
    with pytest.raises(OSError, match="cannot read"):
        effect.render(image, {"Type": "Custom"}, custom_layer="/nonexistent/mask.png")
    with pytest.raises(OSError):
        vizmira.Effect(module="/nonexistent/Vizmira.so")
    # Nothing of a refused call stays behind: the next render is the plain one.
    np.testing.assert_array_equal(effect.render(image, {"Feather": 10}), vizmira.Effect().render(image, {"Feather": 10}))


def test_arrays_that_are_not_rows_after_rows_or_have_no_alpha(effect, cards):
    image = read(cards / "card8.png", np.uint8)
    flipped = image[:, ::-1]  # a view, not contiguous
    assert not flipped.flags["C_CONTIGUOUS"]
    np.testing.assert_array_equal(effect.render(flipped, LOOK), effect.render(np.ascontiguousarray(flipped), LOOK))
    rgb = image[..., :3]
    result = effect.render(rgb, LOOK)
    assert result.shape == rgb.shape
    full = np.dstack([rgb, np.full(rgb.shape[:2], 255, np.uint8)])
    np.testing.assert_array_equal(result, effect.render(full, LOOK)[..., :3])


def test_renders_from_four_threads_at_once_equal_renders_one_after_another(effect, cards):
    image = read(cards / "card16.png", np.uint16)
    looks = [LOOK, {"Type": "Circle", "Trail/Amount": 40}, {"Type": "Rectangle  l", "Rotation": 30},
             {"Realistic Blur  [very slow]/Amount": 20, "Chromatic Aberration/Red/Cyan": 50}]
    alone = [effect.render(image, look) for look in looks]
    for _ in range(3):
        with ThreadPoolExecutor(4) as pool:
            together = list(pool.map(lambda look: effect.render(image, look), looks))
        for a, b in zip(alone, together):
            np.testing.assert_array_equal(a, b)


def test_a_render_lets_other_python_threads_run(cards):
    effect = vizmira.Effect(threads=1)
    image = np.tile(read(cards / "card8.png", np.uint8), (4, 4, 1))
    slow = {"Realistic Blur  [very slow]/Amount": 250, "Type": "None"}  # about a second
    started, finished = threading.Event(), threading.Event()

    def render():
        started.set()
        effect.render(image, slow)
        finished.set()

    worker = threading.Thread(target=render)
    worker.start()
    started.wait()
    # Were the render holding the interpreter, this thread would wake only after it ended.
    threading.Event().wait(0.05)
    still_rendering = not finished.is_set()
    worker.join()
    assert still_rendering
