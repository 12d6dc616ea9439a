"""GeometricTransformation.crop_return over the global/local/merge folders.

Every test runs in its own temporary working directory. Where the recipe is
sound, the files written equal the reference model's byte for byte; where it
is not, pictor's mended behaviour is checked directly:
- only the part of a path below the working directory is renamed;
- missing merge folders are created, mirroring the global tree;
- an unreadable input or partner and a failed write raise OSError naming the
  path (FileNotFoundError when the file is missing).
"""
import os
import shutil
import types

import cv2
import numpy as np
import pytest

from reference import geometric_transformation as reference

SHAPE = (20, 30)


@pytest.fixture(scope="module")
def geometry(lumenops):
    return lumenops.GeometricTransformation()


def _image(shape, dtype, seed):
    top = np.iinfo(dtype).max
    return np.random.default_rng(seed).integers(0, top, shape, dtype=dtype, endpoint=True)


ONE_INPUT = {"global/a.tif": _image(SHAPE, np.uint8, 1), "local/a.tif": _image((1, 1), np.uint8, 2)}


def write_images(root, images):
    for relative, image in images.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        assert cv2.imwrite(path, image), path


def read_files(root, folder):
    """{path below root/folder: bytes} of every file there."""
    found = {}
    for walk_root, _, files in os.walk(os.path.join(root, folder)):
        for name in files:
            path = os.path.join(walk_root, name)
            with open(path, "rb") as handle:
                found[os.path.relpath(path, root)] = handle.read()
    return found


def inputs_and_partners(partner_shape):
    """A tree with 8/16-bit, grey/colour inputs in subfolders, an upper-case
    .TIF, skipped .tiff/.png files and a partner of another depth."""
    height, width = partner_shape
    images = {
        "global/grey8.tif": _image(SHAPE, np.uint8, 1),
        "global/sub/colour16.TIF": _image(SHAPE + (3,), np.uint16, 2),
        "global/sub/deeper/grey16.tif": _image(SHAPE, np.uint16, 3),
        "global/sub/colour8.tif": _image(SHAPE + (3,), np.uint8, 4),
        "global/skipped.tiff": _image(SHAPE, np.uint8, 5),
        "global/skipped.png": _image(SHAPE, np.uint8, 6),
        "local/grey8.tif": _image((height, width), np.uint8, 11),
        "local/sub/colour16.TIF": _image((height, width, 3), np.uint16, 12),
        "local/sub/deeper/grey16.tif": _image((height, width), np.uint16, 13),
        "local/sub/colour8.tif": _image((height, width, 3), np.uint16, 14),  # wraps into uint8
        "local/skipped.tiff": _image((height, width), np.uint8, 15),
        "local/skipped.png": _image((height, width), np.uint8, 16),
    }
    return images


def make_merge_folders(root):
    for folder in ("merge", "merge/sub", "merge/sub/deeper"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)


RECTANGLES = [
    pytest.param({}, (1, 1), id="defaults-one-pixel"),
    pytest.param({"start_x": 4, "start_y": 3, "width": 7, "height": 5}, (5, 7), id="full-rectangle"),
    pytest.param({"start_x": 4, "start_y": 3, "width": 7, "height": 5}, (1, 1), id="one-pixel-broadcast"),
    pytest.param({"start_x": 26, "start_y": 17, "width": 10, "height": 10}, (3, 4), id="cut-at-the-border"),
    pytest.param({"start_x": -5, "start_y": -4, "width": 3, "height": 2}, (2, 3), id="negative-starts"),
    pytest.param({"start_x": 0, "start_y": 0, "width": 30, "height": 20}, SHAPE, id="whole-image"),
]


@pytest.mark.parametrize("kwargs,partner_shape", RECTANGLES)
def test_same_files_as_the_reference(geometry, tmp_path, monkeypatch, kwargs, partner_shape):
    images = inputs_and_partners(partner_shape)
    for side in ("ours", "reference"):
        write_images(str(tmp_path / side), images)
        make_merge_folders(str(tmp_path / side))
    monkeypatch.chdir(tmp_path / "reference")
    reference.crop_return(**kwargs)
    monkeypatch.chdir(tmp_path / "ours")
    geometry.crop_return(**kwargs)
    ours = read_files(str(tmp_path / "ours"), "merge")
    expected = read_files(str(tmp_path / "reference"), "merge")
    assert sorted(ours) == sorted(expected) == sorted(
        os.path.join("merge", name) for name in ("grey8.tif", "sub/colour16.TIF", "sub/deeper/grey16.tif",
                                                 "sub/colour8.tif"))
    assert ours == expected


def test_pasted_rectangle(geometry, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    base, patch = _image(SHAPE, np.uint16, 1), _image((5, 7), np.uint16, 2)
    write_images(str(tmp_path), {"global/a.tif": base, "local/a.tif": patch})
    geometry.crop_return(start_x=4, start_y=3, width=7, height=5)
    expected = base.copy()
    expected[3:8, 4:11] = patch
    np.testing.assert_array_equal(cv2.imread(str(tmp_path / "merge/a.tif"), cv2.IMREAD_UNCHANGED), expected)


@pytest.mark.parametrize("src", [None, np.zeros((2, 2)), "anything"], ids=["missing", "array", "string"])
@pytest.mark.parametrize("global_folder", ["absent", "empty"])
def test_returns_src_and_writes_nothing_without_inputs(geometry, tmp_path, monkeypatch, src, global_folder):
    monkeypatch.chdir(tmp_path)
    if global_folder == "empty":
        (tmp_path / "global").mkdir()
    kwargs = {} if src is None else {"src": src}
    assert geometry.crop_return(**kwargs) is src
    assert sorted(os.listdir(tmp_path)) == (["global"] if global_folder == "empty" else [])


def test_returns_src_after_work(geometry, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_images(str(tmp_path), ONE_INPUT)
    src = object()
    assert geometry.crop_return(src=src) is src


# --- mended faults ----------------------------------------------------------------------------

def test_missing_merge_folders_are_created(geometry, tmp_path, monkeypatch):
    images = inputs_and_partners((1, 1))
    write_images(str(tmp_path / "ours"), images)
    write_images(str(tmp_path / "reference"), images)
    make_merge_folders(str(tmp_path / "reference"))
    monkeypatch.chdir(tmp_path / "reference")
    reference.crop_return()
    monkeypatch.chdir(tmp_path / "ours")  # no merge folder at all
    geometry.crop_return()
    assert read_files(str(tmp_path / "ours"), "merge") == read_files(str(tmp_path / "reference"), "merge")


def test_missing_merge_subfolder_fails_silently_in_the_recipe(tmp_path, monkeypatch):
    write_images(str(tmp_path), {"global/sub/a.tif": _image(SHAPE, np.uint8, 1),
                                 "local/sub/a.tif": _image((1, 1), np.uint8, 2)})
    os.makedirs(str(tmp_path / "merge"))
    monkeypatch.chdir(tmp_path)
    reference.crop_return()
    assert read_files(str(tmp_path), "merge") == {}


@pytest.mark.parametrize("broken", ["partner", "input"])
def test_unreadable_file_raises_oserror_naming_it(geometry, tmp_path, monkeypatch, broken):
    monkeypatch.chdir(tmp_path)
    write_images(str(tmp_path), {"global/a.tif": _image(SHAPE, np.uint8, 1), "local/a.tif": _image((1, 1), np.uint8, 2),
                                 "global/sub/b.tif": _image(SHAPE, np.uint8, 3),
                                 "local/sub/b.tif": _image((1, 1), np.uint8, 4)})
    bad = tmp_path / ("local" if broken == "partner" else "global") / "sub" / "b.tif"
    bad.write_bytes(b"not an image")
    with pytest.raises(OSError) as caught:
        geometry.crop_return()
    assert type(caught.value) is OSError
    assert str(bad) in str(caught.value)
    # The walk is top-down: the file beside global/ itself was handled first and stays written.
    assert sorted(read_files(str(tmp_path), "merge")) == [os.path.join("merge", "a.tif")]


def test_missing_partner_raises_file_not_found(geometry, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_images(str(tmp_path), {"global/a.tif": _image(SHAPE, np.uint8, 1), "local/a.tif": _image((1, 1), np.uint8, 2),
                                 "global/sub/b.TIF": _image(SHAPE, np.uint16, 3)})
    with pytest.raises(FileNotFoundError) as caught:
        geometry.crop_return()
    assert caught.value.filename == str(tmp_path / "local" / "sub" / "b.TIF")
    assert sorted(read_files(str(tmp_path), "merge")) == [os.path.join("merge", "a.tif")]
    assert "pictor.lumenops.GeometricTransformation.crop_return" in [entry.name for entry in caught.traceback]


def test_missing_partner_is_a_type_error_in_the_recipe(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_images(str(tmp_path), {"global/a.tif": _image(SHAPE, np.uint8, 1)})
    with pytest.raises(TypeError):
        reference.crop_return()


def test_failed_write_raises_oserror_naming_the_output(geometry, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_images(str(tmp_path), ONE_INPUT)
    output = tmp_path / "merge" / "a.tif"
    output.mkdir(parents=True)  # a folder where the image should go
    with pytest.raises(OSError) as caught:
        geometry.crop_return()
    assert str(output) in str(caught.value)


def test_working_directory_named_global_keeps_files_inside(geometry, tmp_path, monkeypatch):
    images = inputs_and_partners((5, 7))
    kwargs = {"start_x": 4, "start_y": 3, "width": 7, "height": 5}
    plain, named = tmp_path / "plain", tmp_path / "my_global_work"
    for root in (plain, named):
        write_images(str(root), images)
        make_merge_folders(str(root))
    monkeypatch.chdir(plain)
    reference.crop_return(**kwargs)
    monkeypatch.chdir(named)
    shutil.rmtree(str(named / "merge"))
    geometry.crop_return(**kwargs)
    assert sorted(os.listdir(tmp_path)) == ["my_global_work", "plain"]
    assert read_files(str(named), "merge") == read_files(str(plain), "merge")


@pytest.mark.parametrize("partner_shape", [(2, 2), (3, 2)])
def test_partner_of_the_wrong_shape(geometry, tmp_path, monkeypatch, partner_shape):
    write_images(str(tmp_path), {"global/a.tif": _image(SHAPE, np.uint8, 1),
                                 "local/a.tif": _image(partner_shape, np.uint8, 2)})
    make_merge_folders(str(tmp_path))
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as expected:
        reference.crop_return(width=3, height=3)
    with pytest.raises(ValueError) as caught:
        geometry.crop_return(width=3, height=3)
    assert str(caught.value) == str(expected.value)


@pytest.mark.parametrize("kwargs", [{"width": "a"}, {"start_y": None}], ids=["width-string", "start-y-none"])
def test_bad_rectangle_values(geometry, tmp_path, monkeypatch, kwargs):
    monkeypatch.chdir(tmp_path)
    # Used only when pasting: harmless without inputs.
    assert geometry.crop_return(**kwargs) is None and reference.crop_return(**kwargs) is None
    write_images(str(tmp_path), {"global/a.tif": _image(SHAPE, np.uint8, 1),
                                 "local/a.tif": _image((1, 1), np.uint8, 2)})
    with pytest.raises(TypeError) as expected:
        reference.crop_return(**kwargs)
    with pytest.raises(TypeError) as caught:
        geometry.crop_return(**kwargs)
    assert str(caught.value) == str(expected.value)


def test_os_is_looked_up_in_the_module_namespace(geometry, lumenops, tmp_path, monkeypatch):
    elsewhere = tmp_path / "elsewhere"
    write_images(str(elsewhere), {"global/a.tif": _image(SHAPE, np.uint8, 1),
                                  "local/a.tif": _image((1, 1), np.uint8, 2)})
    monkeypatch.chdir(tmp_path)
    fake_os = types.SimpleNamespace(getcwd=lambda: str(elsewhere), walk=os.walk, path=os.path, makedirs=os.makedirs)
    monkeypatch.setattr(lumenops, "os", fake_os)
    geometry.crop_return()
    assert sorted(read_files(str(elsewhere), "merge")) == [os.path.join("merge", "a.tif")]
