"""The operator console: typed lines as method calls, one-shot runs, and the interactive
prompt in a real terminal (tmux)."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest
from pace import scaled

import quelvant_standin
from golden import GOLDEN
from quelvant_rs import commands
from quelvant_rs.console import typed_line

KIT = str(Path(quelvant_standin.__file__).resolve().parent.parent)


def console_env(tmp_path: Path, **extra: str) -> dict[str, str]:
    # The kit this process tests; history and state in the test's own folder.
    path = os.pathsep.join(filter(None, [KIT, os.environ.get("PYTHONPATH")]))
    return {**os.environ, "PYTHONPATH": path, "XDG_STATE_HOME": str(tmp_path), "QUELVANT_PASSWORD": "secret",
            **extra}


@pytest.mark.parametrize("g", GOLDEN, ids=lambda g: g.variant)
def test_a_protocol_line_is_the_call_that_renders_it(g):
    # Every value at the top of its kind; texts of one token (a line has no quoting), holding
    # a "=" all the same.
    kwargs = {name: f"{name}-a=é" if isinstance(v, str) else v for name, v in g.top.items()}
    line = str(getattr(commands.Command, g.factory)(**kwargs))
    call = typed_line.parse(line)
    again = str(getattr(commands.Command, g.factory)(*call.args, **call.kwargs))
    assert again == line


@pytest.mark.parametrize("text, shown", [
    ("Login ivr secret 2 3", "Login ivr ***"),
    ('login("ivr", "secret")', 'login("ivr", "***")'),
    ('login("ivr", password="secret")', 'login("ivr", password="***")'),
])
def test_a_login_is_shown_without_its_password(text, shown):
    assert typed_line.parse(text).shown == shown


def one_shot(srv, tmp_path, *lines: str, options=()) -> subprocess.CompletedProcess:
    argv = [sys.executable, "-m", "quelvant_rs.console", f"{srv.host}:{srv.port}", "-u", "ivr", *options]
    for line in lines:
        argv += ["-x", line]
    return subprocess.run(argv, env=console_env(tmp_path), capture_output=True, text=True, timeout=60)


@pytest.mark.standin_server(rules=[{"word": "CallMake", "args": {"2": "1002"}, "answer": "ERROR busy COMMANDTAG={tag}"}])
@pytest.mark.parametrize("lines, out, err, status", [
    (["GetVersion", 'call_make(7, "1001", caller_name="Bob")', "CallMake 7 1001 CallerName=Bob"],
     ["OK GetVersion Version=standin-1.0 COMMANDTAG=1", "OK CallMake COMMANDTAG=2", "OK CallMake COMMANDTAG=3"],
     [], 0),
    # refused arguments send nothing (the next line still has tag 1); a failed reply fails the run
    (["CallMake x 1001", "call_make(7)", "Bogus 1", "CallMake 7 1002"], ["ERROR busy COMMANDTAG=1"],
     ["error: TypeError: argument 'resource_id': 'str' object cannot be interpreted as an integer",
      "error: TypeError:", "error: unknown command word 'Bogus'"], 1),
    (["/raw Bogus 1"], ["ERROR unknown command Bogus COMMANDTAG=1"], [], 1),
])
def test_one_shot_lines_print_replies_and_fail_the_exit_status(standin_server, tmp_path, lines, out, err, status):
    done = one_shot(standin_server, tmp_path, *lines, options=["--record", str(tmp_path / "run.rec")])
    assert (done.stdout.splitlines(), done.returncode) == (out, status), done.stderr
    assert [e.split(" (", 1)[0][: len(want)] for e, want in zip(done.stderr.splitlines(), err)] == err
    sent = standin_server.received(0).decode().splitlines()
    assert sent[0].startswith("Login ivr secret ") and len(sent) == 1 + len(out)
    if status == 0:  # a Python call and a protocol line send the same line
        assert sent[2].rsplit(" ", 1)[0] == sent[3].rsplit(" ", 1)[0]
    record = (tmp_path / "run.rec").read_text()
    assert "> Login ivr *** COMMANDTAG=0" in record and "secret" not in record


# -- the interactive console, in a real terminal ---------------------------------------------

class Tmux:
    """A tmux server of this test's own, with one window running the console."""

    def __init__(self, exe: str, name: str) -> None:
        self.exe, self.name = exe, name

    def __call__(self, *args: str) -> str:
        return subprocess.run([self.exe, "-L", self.name, *args], check=True, capture_output=True,
                              text=True, timeout=30).stdout

    def screen(self) -> str:
        return self("capture-pane", "-p", "-t", "console")

    def wait_for(self, predicate, what: str, timeout: float | None = None) -> str:
        timeout = scaled(20.0) if timeout is None else timeout
        deadline = time.monotonic() + timeout
        while True:
            shown = self.screen()
            if predicate(shown):
                return shown
            if time.monotonic() > deadline:
                raise AssertionError(f"the console did not show {what} within {timeout}s:\n{shown}")
            time.sleep(0.02)

    @staticmethod
    def prompt_line(shown: str) -> str:
        """The screen's last prompt line; empty while the console redraws it."""
        return next((line.rstrip() for line in reversed(shown.splitlines()) if line.startswith("quelvant>")), "")


def find_tmux() -> str:
    """tmux, installed with apt-get where it is missing and this may; else the test is skipped."""
    exe = shutil.which("tmux")
    if exe is None and os.geteuid() == 0 and shutil.which("apt-get"):
        for step in (["apt-get", "update", "-qq"], ["apt-get", "install", "-y", "-qq", "tmux"]):
            subprocess.run(step, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"},
                           capture_output=True, timeout=600)
        exe = shutil.which("tmux")
    if exe is None:
        pytest.skip("tmux is not installed, and installing it (apt-get install tmux) needs root and apt-get")
    return exe


@pytest.fixture
def tmux(tmp_path):
    if importlib.util.find_spec("prompt_toolkit") is None:
        pytest.skip("the interactive console needs prompt_toolkit (pip install 'quelvant_rs[console]')")
    t = Tmux(find_tmux(), f"quelvant-console-test-{os.getpid()}")
    yield t
    subprocess.run([t.exe, "-L", t.name, "kill-server"], capture_output=True, timeout=30)


def test_the_interactive_console_in_a_terminal(standin_server, tmux, tmp_path):
    env = console_env(tmp_path)
    command = " ".join([f"env PYTHONPATH={env['PYTHONPATH']} XDG_STATE_HOME={tmp_path} QUELVANT_PASSWORD=secret",
                        sys.executable, "-m", "quelvant_rs.console", f"{standin_server.host}:{standin_server.port}",
                        "-u", "ivr"])
    tmux("new-session", "-d", "-s", "console", "-x", "120", "-y", "30", command)
    tmux.wait_for(lambda s: "\nquelvant>" in s, "its prompt")  # (the screen drops trailing blanks)
    # Completion of a command word, then of one of its keys; the hint shows its parameters.
    tmux("send-keys", "-t", "console", "CallMa", "Tab")
    shown = tmux.wait_for(lambda s: "quelvant> CallMake" in s, "the completed word")
    assert "CallMake <resource_id> <address> [TimeOut=<timeout>]" in shown
    tmux("send-keys", "-t", "console", " 7 1001 CallerNa", "Tab")
    tmux.wait_for(lambda s: "quelvant> CallMake 7 1001 CallerName=" in s, "the completed key")
    # A reply under its command.
    tmux("send-keys", "-t", "console", "Bob", "Enter")
    shown = tmux.wait_for(lambda s: "  OK CallMake COMMANDTAG=1" in s, "the reply")
    assert "> CallMake 7 1001 CallerName=Bob\n  OK CallMake COMMANDTAG=1" in shown
    # An event while a line is half typed: above the prompt, the line left as it was.
    tmux("send-keys", "-t", "console", "GetVer")
    tmux.wait_for(lambda s: tmux.prompt_line(s) == "quelvant> GetVer", "the half-typed line")
    standin_server.event("CallIncoming ResourceId=3 CallerNumber=2002")
    # The event above, and the prompt redrawn with the half-typed line as it was.
    tmux.wait_for(lambda s: "* CallIncoming ResourceId=3 CallerNumber=2002" in s
                  and tmux.prompt_line(s) == "quelvant> GetVer", "the event above the line as it was")
    tmux("send-keys", "-t", "console", "sion", "Enter")
    tmux.wait_for(lambda s: "  OK GetVersion Version=standin-1.0 COMMANDTAG=2" in s, "the second reply")
    # A login's password is masked as it is typed, in the echo and in the history.
    tmux("send-keys", "-t", "console", "Login ivr hunter2")
    tmux.wait_for(lambda s: "quelvant> Login ivr *******" in s, "the masked password")
    tmux("send-keys", "-t", "console", "Enter")
    shown = tmux.wait_for(lambda s: "  OK Login COMMANDTAG=3" in s, "the login's reply")
    assert "> Login ivr ***\n" in shown and "hunter2" not in shown
    assert b"Login ivr hunter2 2 3 COMMANDTAG=3\n" in standin_server.wait_received(b"hunter2")
    tmux("send-keys", "-t", "console", "/quit", "Enter")
    history = tmp_path / "quelvant" / "console-history"
    deadline = time.monotonic() + 20
    while "/quit" not in (history.read_text() if history.exists() else ""):
        assert time.monotonic() < deadline, "the console kept no history"
        time.sleep(0.02)
    assert "hunter2" not in history.read_text() and "Login ivr ***" in history.read_text()
