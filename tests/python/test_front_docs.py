"""The README's examples run as written, and so does the main command."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import run_python

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()


@pytest.mark.parametrize("needle, printed", [("ToroidalNN", "3500 3000 500"), ("RustLshIndex(", "10000 9000 1000")])
def test_readme_examples_run(needle, printed):
    blocks = [b for b in re.findall(r"```python\n(.*?)```", README, re.S) if needle in b and "vibrel.dask" not in b]
    assert blocks, f"no {needle} example in README.md"
    for block in blocks:
        assert printed in run_python("import warnings; warnings.simplefilter('error')\n" + block)


def test_main_command_reports_an_exact_small_run_and_refuses_bad_options():
    out = run_python("import sys; from vibrel.__main__ import main; sys.exit(main("
                     "['-n', '2000', '-d', '5', '-k', '4', '--check', '50', '--seed', '3']))", threads=2)
    lines = dict(line.split(None, 1) for line in out.splitlines()[1:] if line.strip())
    assert lines["parameters"].startswith("b=1 k=1 l=1 probes=0")  # below 2,048 points: exhaustive
    assert float(re.search(r"recall@4\s+([0-9.]+)", out).group(1)) == 1.0 and "byte-identical" in lines["tables"]
    err = run_python("import contextlib, io\nfrom vibrel.__main__ import main\nbuf = io.StringIO()\n"
                     "with contextlib.redirect_stderr(buf):\n    try:\n        main(['-n', '5', '-k', '5'])\n"
                     "    except SystemExit as e:\n        print('exit', e.code, buf.getvalue())")
    assert "exit 2" in err and "-k must be below -n" in err


def test_readme_dask_example_runs_as_a_script(tmp_path):
    pytest.importorskip("distributed")
    block, = [b for b in re.findall(r"```python\n(.*?)```", README, re.S) if "vibrel.dask" in b]
    script = tmp_path / "sharded.py"
    script.write_text(block)
    # As a user runs it: a file whose worker processes import it again.
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                            timeout=600, env=dict(os.environ, PYTHONSAFEPATH="1"), check=False)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["(1000,", "10)", "(20000,", "10)"]


def test_public_methods_document_every_parameter_in_numpydoc_sections():
    import inspect

    from vibrel import ToroidalNN
    from vibrel.lsh import PythonLshIndex
    classes = [ToroidalNN, PythonLshIndex]
    if importlib.util.find_spec("distributed") is not None:
        from vibrel.dask import DaskToroidalNN
        classes.append(DaskToroidalNN)
    for cls in classes:
        for name, method in inspect.getmembers(cls, inspect.isfunction):
            if name.startswith("_") or not method.__module__.startswith("vibrel"):
                continue
            doc = inspect.getdoc(method) or ""
            names = [p for p in inspect.signature(method).parameters if p != "self"]
            assert not names or "Parameters\n----------" in doc, (cls.__name__, name)
            for param in names:
                assert re.search(rf"^\**{param} :", doc, re.M), (cls.__name__, name, param)
            assert "Returns\n-------" in doc, (cls.__name__, name)
