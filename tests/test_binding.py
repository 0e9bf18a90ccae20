"""The Python surface: texts, defaults, argument conversion and the import guard."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import vantrel
from conftest import run_job

MODULE_DOC = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"


# What other code builds on: the names of the package's surface.
PUBLIC_NAMES = {
    "hls_encoder", "encode", "EncodeResult", "RenditionResult", "RenditionError", "Progress",
    "EncodeTimeout", "generate_key", "KeyInfo", "__version__",
}


def test_package_surface():
    assert vantrel.__doc__ == MODULE_DOC
    # The native function itself, so its texts are the binding's own.
    assert vantrel.hls_encoder is vantrel._engine.hls_encoder
    assert type(vantrel.hls_encoder).__name__ == "builtin_function_or_method"
    assert PUBLIC_NAMES <= set(dir(vantrel))
    assert issubclass(vantrel.EncodeTimeout, TimeoutError)
    # The distribution's version, as the project file states it.
    pyproject = (pathlib.Path(__file__).parent.parent / "pyproject.toml").read_text()
    assert f'\nversion = "{vantrel.__version__}"\n' in pyproject


def test_function_doc_has_signature_then_doc_string():
    signature, blank, doc = vantrel.hls_encoder.__doc__.split("\n", 2)
    assert signature.startswith("hls_encoder(input: str, output: str, resolution: ")
    assert "= ['1080p', '720p', '480p', '360p']" in signature
    assert "= [5000000, 2500000, 1000000, 400000]" in signature
    assert signature.endswith(", key: str = 'enc.keyinfo') -> None")
    assert blank == ""
    assert doc.strip() == "Transcode video to HLS with dynamic ABR"


def test_missing_input_returns_none_and_logs(workdir):
    job = run_job(workdir, "does-not-exist.mp4", "master.m3u8")
    assert job.returncode == 0 and job.result == "None"
    assert job.messages("ERROR") == ["Could not open does-not-exist.mp4. Make sure the file exists."]


def test_bytes_reach_the_driver_byte_for_byte(workdir):
    job = run_job(workdir, b"missing-\xff\xfe.mp4", bytearray(b"master.m3u8"))
    assert b"[INFO] Analyzing video file: missing-\xff\xfe.mp4...\n" in job.stdout
    assert b"[ERROR] Could not open missing-\xff\xfe.mp4. Make sure the file exists.\n" in job.stderr


def test_all_parameters_by_keyword_in_any_order(media, workdir, keyinfo):
    job = run_job(
        workdir,
        key=keyinfo.path,
        bitrate=(300000,),
        output="master.m3u8",
        resolution=("360p",),
        input=media["tiny"],
    )
    assert job.result == "None", job.stderr
    assert "BANDWIDTH=300000,RESOLUTION=640x360" in (workdir / "master.m3u8").read_text()


ACCEPTED_BITRATES = [
    pytest.param("[2147483647]", "2147483647", id="int32-max"),
    pytest.param("[True]", "1", id="bool"),
    pytest.param("(b for b in [250000])", "250000", id="generator"),
    pytest.param("[type('Index', (), {'__index__': lambda self: 350000})()]", "350000", id="index"),
]


@pytest.mark.parametrize("bitrate, bandwidth", ACCEPTED_BITRATES)
def test_accepted_bitrates_reach_the_playlist(media, workdir, keyinfo, bitrate, bandwidth):
    script = (
        "import vantrel; "
        f"vantrel.hls_encoder({str(media['tiny'])!r}, 'master.m3u8', ['360p'], {bitrate}, "
        f"{str(keyinfo.path)!r})"
    )
    subprocess.run([sys.executable, "-c", script], cwd=workdir, capture_output=True, check=True)
    master = workdir / "master.m3u8"
    # A bitrate the encoder refuses fails the variant, so nothing is listed;
    # what matters here is that the value reached the driver unchanged.
    if master.exists():
        assert f"BANDWIDTH={bandwidth}," in master.read_text()
    else:
        assert bandwidth == "1"


REFUSED = [
    pytest.param("None, 'm.m3u8'", id="input-none"),
    pytest.param("pathlib.Path('in.mp4'), 'm.m3u8'", id="input-path"),
    pytest.param("'in.mp4', 'm.m3u8', '720p'", id="resolution-bare-str"),
    pytest.param("'in.mp4', 'm.m3u8', {'720p': 1}", id="resolution-dict"),
    pytest.param("'in.mp4', 'm.m3u8', iter(['720p'])", id="resolution-iterator"),
    pytest.param("'in.mp4', 'm.m3u8', ['720p'], [1.0]", id="bitrate-float"),
    pytest.param("'in.mp4', 'm.m3u8', ['720p'], [2147483648]", id="bitrate-too-big"),
    pytest.param("'in.mp4', 'm.m3u8', ['720p'], [-2147483649]", id="bitrate-too-small"),
    pytest.param("'in.mp4', 'm.m3u8', ['720p'], b'ab'", id="bitrate-bytes"),
    pytest.param("'in\\udc80.mp4', 'm.m3u8'", id="lone-surrogate"),
    pytest.param("'in.mp4'", id="output-missing"),
    pytest.param("'in.mp4', 'm.m3u8', ['720p'], [1], 'k', 'extra'", id="too-many"),
    pytest.param("'in.mp4', 'm.m3u8', speed=2", id="unknown-keyword"),
    pytest.param("'in.mp4', 'm.m3u8', input='x.mp4'", id="given-twice"),
]


@pytest.mark.parametrize("call_args", REFUSED)
def test_refused_arguments_raise_type_error_before_any_work(workdir, call_args):
    script = (
        "import pathlib, vantrel\n"
        "try:\n"
        f"    vantrel.hls_encoder({call_args})\n"
        "except TypeError as error:\n"
        "    assert 'incompatible function arguments' in str(error), error\n"
        "    print('TYPEERROR')\n"
    )
    proc = subprocess.run([sys.executable, "-c", script], cwd=workdir, capture_output=True)
    assert proc.returncode == 0, proc.stderr
    # The driver's first act is its "Analyzing" line; it must not appear.
    assert proc.stdout == b"TYPEERROR\n", proc.stdout
    assert not list(workdir.iterdir())


def test_argument_raising_during_conversion_propagates(workdir):
    script = (
        "import vantrel\n"
        "class Broken:\n"
        "    def __len__(self): raise ZeroDivisionError('from len')\n"
        "    def __getitem__(self, i): return 'x'\n"
        "try:\n"
        "    vantrel.hls_encoder('in.mp4', 'm.m3u8', Broken())\n"
        "except ZeroDivisionError as error:\n"
        "    print('PROPAGATED', error)\n"
        "except TypeError as error:\n"
        "    print('TYPEERROR', error)\n"
    )
    proc = subprocess.run([sys.executable, "-c", script], cwd=workdir, capture_output=True)
    assert proc.stdout.startswith((b"PROPAGATED from len", b"TYPEERROR")), proc.stdout


def test_empty_sequences_reach_the_driver(media, workdir):
    job = run_job(workdir, media["tiny"], "master.m3u8", [], [])
    assert (workdir / "master.m3u8").read_bytes() == b"#EXTM3U\n#EXT-X-VERSION:3\n"


def test_defaults_are_not_shared_between_calls(media, workdir):
    # A default list that a call could change would show up in the second call.
    script = (
        "import vantrel\n"
        f"vantrel.hls_encoder({str(media['tiny'])!r}, 'a.m3u8', bitrate=[])\n"
        "print(vantrel.hls_encoder.__doc__.splitlines()[0])\n"
    )
    proc = subprocess.run([sys.executable, "-c", script], cwd=workdir, capture_output=True)
    assert b"= ['1080p', '720p', '480p', '360p']" in proc.stdout
    assert b"= [5000000, 2500000, 1000000, 400000]" in proc.stdout


def _other_interpreters() -> list[str]:
    listed = os.environ.get("VANTREL_TEST_PYTHONS", "").split()
    mine = f"{sys.version_info[0]}.{sys.version_info[1]}"
    others = []
    for python in listed:
        version = subprocess.run(
            [python, "-c", "import sys; print(f'{sys.version_info[0]}.{sys.version_info[1]}')"],
            capture_output=True,
            text=True,
        ).stdout.strip()
        if version and version != mine:
            others.append(python)
    return others


def test_module_built_for_another_python_refuses_to_import(tmp_path):
    others = _other_interpreters()
    if not others:
        pytest.skip("set VANTREL_TEST_PYTHONS to interpreters with vantrel installed")
    for other in others:
        built_for, package_dir = subprocess.run(
            [other, "-c", "import os, sys, vantrel; print(f'{sys.version_info[0]}.{sys.version_info[1]}'); "
             "print(os.path.dirname(vantrel.__file__))"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.split()
        folder = tmp_path / built_for
        copy = folder / "vantrel"
        shutil.copytree(package_dir, copy, ignore=shutil.ignore_patterns("__pycache__"))
        # Under a name that any interpreter's import system tries.
        (module,) = copy.glob("_engine.*.so")
        module.rename(copy / "_engine.so")
        proc = subprocess.run(
            [sys.executable, "-c", "import vantrel"],
            cwd=folder,
            env={**os.environ, "PYTHONPATH": str(folder)},
            capture_output=True,
            text=True,
        )
        expected = (
            f"ImportError: Python version mismatch: module was compiled for Python {built_for}, "
            f"but the interpreter version is incompatible: {sys.version}."
        )
        assert expected in proc.stderr, proc.stderr
