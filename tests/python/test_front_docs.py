"""The documented example runs as written, and so does the main command."""

import pathlib
import re

import pytest

from conftest import run_python
from test_front import NATIVE_READY

ROOT = pathlib.Path(__file__).resolve().parents[2]


def front_examples():
    """The python blocks of the README that use ToroidalNN."""
    blocks = []
    for path in (ROOT / "README.md",):
        if path.is_file():
            blocks += [b for b in re.findall(r"```python\n(.*?)```", path.read_text(), re.S)
                       if "ToroidalNN" in b and "vibrel.dask" not in b]
    return blocks


@pytest.mark.parametrize("index", range(len(front_examples()) or 1))
def test_documented_example_runs(index):
    blocks = front_examples()
    assert blocks, "no ToroidalNN example found in README.md"
    out = run_python("import warnings; warnings.simplefilter('error')\n" + blocks[index] if NATIVE_READY
                     else blocks[index])
    assert "recall@5 of the hashed search" in out and "3500 3000 500" in out


def test_engine_example_in_readme_runs():
    blocks = [b for b in re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
              if "RustLshIndex(" in b]
    assert blocks, "no engine example found in README.md"
    for block in blocks:
        assert "10000 9000 1000" in run_python(block)


def test_main_command_reports_recall_and_times():
    out = run_python("import sys; from vibrel.__main__ import main; sys.exit(main("
                     "['-n', '2000', '-d', '5', '-k', '4', '--check', '50', '--seed', '3']))", threads=2)
    lines = dict(line.split(None, 1) for line in out.splitlines()[1:] if line.strip())
    assert out.startswith("vibrel ") and "2,000 uniform points in [0, 1)^5" in out
    assert "2 worker threads" in lines["engine"]
    assert lines["parameters"].startswith("b=1 k=1 l=1 probes=0")  # below 2,048 points: exhaustive
    recall = float(re.search(r"recall@4\s+([0-9.]+)", out).group(1))
    assert recall == 1.0
    assert "queries/s" in lines["self-join"] and "points/s" in lines["fit"]
    assert "target 0.99" in lines[f"recall@4"] and re.search(r"\d\.\dx (faster|\(slower\))$", lines["exhaustive"])
    if NATIVE_READY:
        assert "byte-identical" in lines["tables"]


def test_main_command_help_and_errors():
    out = run_python("from vibrel.__main__ import main\n"
                     "try:\n    main(['--help'])\nexcept SystemExit as e:\n    print('exit', e.code)")
    assert "usage: python -m vibrel" in out and "--digits K" in out and "exit 0" in out
    err = run_python("import contextlib, io\nfrom vibrel.__main__ import main\nbuf = io.StringIO()\n"
                     "with contextlib.redirect_stderr(buf):\n    try:\n        main(['-n', '5', '-k', '5'])\n"
                     "    except SystemExit as e:\n        print('exit', e.code, buf.getvalue())")
    assert "exit 2" in err and "-k must be below -n" in err
    err = run_python("import contextlib, io\nfrom vibrel.__main__ import main\nbuf = io.StringIO()\n"
                     "with contextlib.redirect_stderr(buf):\n    print('exit', main(['-n', '50', '--digits', '3', "
                     "'--probes', '9']), buf.getvalue())")
    assert "exit 2" in err and "probes = 9 is more than the k = 3 digits" in err
