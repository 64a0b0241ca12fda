"""The module as the import system and a packager see it."""
import importlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import quelvant_rs


def test_reimport_after_removal_yields_same_module():
    first = quelvant_rs
    del sys.modules["quelvant_rs"]
    try:
        again = importlib.import_module("quelvant_rs")
    finally:
        sys.modules["quelvant_rs"] = first
    assert again is first


@pytest.mark.parametrize("dotted", ["quelvant_rs.client", "quelvant_rs.commands"])
def test_submodules_are_attributes_not_importable_modules(dotted):
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module(dotted)


def test_submodule_names_are_short():
    assert quelvant_rs.client.__name__ == "client"
    assert quelvant_rs.commands.__name__ == "commands"
    assert quelvant_rs.__doc__ == ""


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", quelvant_rs.__file__],
        check=True, capture_output=True, text=True,
    ).stdout
    exported = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert exported == ["PyInit_quelvant_rs"]


def run_in_subinterpreter(config: str) -> str:
    """Imports the module in a fresh sub-interpreter of a new process; returns what it raised."""
    if sys.version_info >= (3, 13):
        code = f"""
            import quelvant_rs, _interpreters
            interp = _interpreters.create({config!r})
            try:
                err = _interpreters.run_string(interp, "import quelvant_rs")
            finally:
                _interpreters.destroy(interp)
            print(err.type.__name__ if err else "no error")
            print(err.msg if err else "")
            """
    else:  # the older private module raises what the code raised, as "<class 'Name'>: message"
        code = f"""
            import quelvant_rs, _xxsubinterpreters as subinterpreters
            interp = subinterpreters.create(isolated={config == "isolated"})
            try:
                subinterpreters.run_string(interp, "import quelvant_rs")
                print("no error")
                print("")
            except subinterpreters.RunFailedError as e:
                kind, _, message = str(e).partition(": ")
                print(kind.split("'")[1])
                print(message)
            finally:
                subinterpreters.destroy(interp)
            """
    code = textwrap.dedent(code) + 'assert quelvant_rs.sum_as_string(1, 1) == "2"\n'
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return out.stdout


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_second_interpreter_cannot_import(config):
    out = run_in_subinterpreter(config)
    kind, message = out.splitlines()[:2]
    assert kind == "ImportError"
    # A legacy sub-interpreter reaches the module's own guard; an isolated one is refused by
    # the interpreter before that (from 3.12: 3.11 has no such check, so its guard answers).
    by_interpreter = config == "isolated" and sys.version_info >= (3, 12)
    expected = "subinterpreters" if by_interpreter else "does not support sub-interpreters"
    assert expected in message


def test_panic_exception_is_a_base_exception_with_its_reported_name():
    client = quelvant_rs.client.QuelvantClient("127.0.0.1", None, None, None, None)
    with pytest.raises(BaseException) as info:
        client.get_version()
    panic = type(info.value)
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    # Created once: a second failure raises the very same class.
    with pytest.raises(panic):
        client.logout()
