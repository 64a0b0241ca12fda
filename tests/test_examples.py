"""Every python example in the README and in the documentation pages runs, as the complete
program it is, against a stand-in server with call events whose port is in QUELVANT_PORT; an
example holding pytest tests runs under pytest. Every `$ command` of a page's console block
runs in bash and prints exactly the lines the page shows after it. Run from a copy of tests/ (as the wheel's
test run does) there are no pages beside it, and the test says so."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from pace import scaled

ROOT = Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def examples() -> list[object]:
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    found = []
    for page in pages:
        if not page.is_file():
            continue
        text = page.read_text()
        for block in FENCE.finditer(text):
            line = text.count("\n", 0, block.start()) + 1
            found.append(pytest.param(block.group(1), id=f"{page.relative_to(ROOT)}:{line}"))
    return found or [pytest.param(None, marks=pytest.mark.skip(reason="no pages beside tests/"))]


@pytest.mark.standin_server(call_events=True, event_delay_ms=0, finish_delay_ms=0)
@pytest.mark.parametrize("source", examples())
def test_example_runs(source: str, standin_server, tmp_path: Path) -> None:
    tests = re.search(r"^def test_", source, re.MULTILINE) is not None
    script = tmp_path / ("test_example.py" if tests else "example.py")
    script.write_text(source)
    command = [sys.executable, str(script)]
    if tests:
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(script)]
    env = {**os.environ, "QUELVANT_PORT": str(standin_server.port)}
    done = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=scaled(120))
    assert done.returncode == 0, f"{done.stdout}\n{done.stderr}"


def example_suites() -> list[object]:
    found = [pytest.param(p, id=p.name) for p in sorted((ROOT / "examples").glob("test_*.py"))]
    return found or [pytest.param(None, marks=pytest.mark.skip(reason="no examples beside tests/"))]


@pytest.mark.parametrize("suite", example_suites())
def test_example_suite_passes_with_the_installed_fixture(suite: Path, tmp_path: Path) -> None:
    # From a directory of its own, as an application's suite: the fixture comes from the
    # installed package's pytest11 entry point, not from this suite's conftest.
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(suite)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=scaled(120))
    assert done.returncode == 0 and " passed" in done.stdout, f"{done.stdout}\n{done.stderr}"


CONSOLE_FENCE = re.compile(r"^```console\n(.*?)^```", re.MULTILINE | re.DOTALL)


def console_examples() -> list[object]:
    """Each `$ command` of a console block, with the lines after it: what it prints."""
    found = []
    for page in sorted((ROOT / "docs").glob("*.md")):
        text = page.read_text()
        for block in CONSOLE_FENCE.finditer(text):
            line = text.count("\n", 0, block.start()) + 1
            for k, run in enumerate(block.group(1).split("$ ")[1:]):
                command, _, output = run.partition("\n")
                found.append(pytest.param(command, output, id=f"{page.relative_to(ROOT)}:{line}:{k}"))
    return found or [pytest.param(None, None, marks=pytest.mark.skip(reason="no pages beside tests/"))]


@pytest.mark.standin_server(call_events=True, event_delay_ms=0, finish_delay_ms=0)
@pytest.mark.parametrize("command, output", console_examples())
def test_console_example_prints_what_the_page_says(command: str, output: str, standin_server,
                                                   tmp_path: Path) -> None:
    # The console installed beside this interpreter; its port from QUELVANT_PORT.
    bin_dir = str(Path(sys.executable).parent)
    env = {**os.environ, "QUELVANT_PORT": str(standin_server.port), "XDG_STATE_HOME": str(tmp_path),
           "PATH": os.pathsep.join([bin_dir, os.environ.get("PATH", "")])}
    done = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=scaled(120))
    assert done.stdout == output, done.stderr
