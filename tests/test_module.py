"""The Python face of the module: import, docstrings, argument conversion, errors, the stub."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import veloxel
from pcd_writer import XYZ, random_records

DOC = ("\n        Load a PCD file into NumPy arrays.\n\n        Returns:\n"
       "            points: np.ndarray of shape (N,3) with x,y,z\n"
       "            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes\n    ")
SIGNATURE = "load_pcd(filename: str) -> tuple[numpy.ndarray, dict]"


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_docstrings():
    assert veloxel.__doc__ == "Fast PCD loading (ASCII, binary, binary_compressed)"
    assert veloxel.load_pcd.__name__ == "load_pcd"
    assert veloxel.load_pcd.__doc__ == SIGNATURE + "\n\n" + DOC + "\n"


@pytest.fixture
def cloud_path(write):
    return write(XYZ, random_records(XYZ, 5))


@pytest.mark.parametrize("convert", [str, os.fsencode, lambda p: bytearray(os.fsencode(p))],
                         ids=["str", "bytes", "bytearray"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_accepted_filename_types(cloud_path, convert, by_keyword):
    expected, _ = veloxel.load_pcd(cloud_path)
    arg = convert(cloud_path)
    points, fields = veloxel.load_pcd(filename=arg) if by_keyword else veloxel.load_pcd(arg)
    np.testing.assert_array_equal(points, expected)
    assert fields == {}


@pytest.mark.parametrize("call", [
    lambda f: f(pathlib.Path("nonexistent.pcd")),
    lambda f: f(None),
    lambda f: f(42),
    lambda f: f(),
    lambda f: f("a.pcd", "b.pcd"),
    lambda f: f(path="a.pcd"),
    lambda f: f("\udc80.pcd"),
], ids=["path", "none", "int", "no-arg", "two-args", "other-keyword", "lone-surrogate"])
def test_refused_arguments_raise_type_error(call):
    with pytest.raises(TypeError) as info:
        call(veloxel.load_pcd)
    message = str(info.value)
    assert "load_pcd" in message and "(filename: str) -> tuple[numpy.ndarray, dict]" in message


def test_result_is_a_plain_pair(cloud_path):
    result = veloxel.load_pcd(cloud_path)
    assert type(result) is tuple and len(result) == 2
    assert isinstance(result[0], np.ndarray) and type(result[1]) is dict


def test_import_does_not_import_numpy():
    out = run_python("""
        import sys, veloxel
        print('numpy' in sys.modules)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"


def test_reimport_gives_the_same_module():
    out = run_python("""
        import sys, importlib, veloxel
        first, f = veloxel, veloxel.load_pcd
        del sys.modules['veloxel']
        import veloxel as again
        print(again is first, again.load_pcd is f, importlib.reload(again) is first)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "True", "True"]


def test_load_without_numpy_fails_then_recovers(tmp_path):
    """NumPy is needed only once an array is made; a failed import of it is not remembered."""
    path = tmp_path / "c.pcd"
    import pcd_writer
    pcd_writer.write_pcd(path, XYZ, random_records(XYZ, 3))
    out = run_python(f"""
        import sys, veloxel
        sys.modules['numpy'] = None   # makes 'import numpy' fail
        try:
            veloxel.load_pcd({str(tmp_path / 'missing.pcd')!r})
        except RuntimeError as e:
            print('runtime', e)
        try:
            veloxel.load_pcd({str(path)!r})
        except ImportError:
            print('import-error')
        del sys.modules['numpy']
        points, _ = veloxel.load_pcd({str(path)!r})
        print(points.shape)
    """)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("runtime Cannot open PCD file: ")
    assert lines[1:] == ["import-error", "(3, 3)"]


def test_stub_is_used_by_type_checkers(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""
        import pathlib
        import veloxel
        points, fields = veloxel.load_pcd(b"a.pcd")
        reveal_type(points)
        reveal_type(fields)
        veloxel.load_pcd(pathlib.Path("a.pcd"))
    """))
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", str(script)],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert 'Revealed type is "numpy.ndarray' in out.stdout, out.stdout
    assert re.search(r'Revealed type is "(builtins\.)?dict\[(builtins\.)?str, numpy\.ndarray',
                     out.stdout), out.stdout
    assert '"load_pcd" has incompatible type "Path"' in out.stdout, out.stdout
