"""The interactive console (prompt_toolkit): a prompt for commands, events above it."""

from __future__ import annotations

import asyncio
import re
from pathlib import Path

from prompt_toolkit import PromptSession, print_formatted_text
from prompt_toolkit.formatted_text import FormattedText, StyleAndTextTuples
from prompt_toolkit.history import FileHistory
from prompt_toolkit.layout.processors import Processor, Transformation, TransformationInput
from prompt_toolkit.patch_stdout import patch_stdout

from quelvant_rs import session
from quelvant_standin import catalogue
from quelvant_standin.recording import Recorder, mask_login

from . import actions, typed_line
from .completion import ConsoleCompleter, hint, signature
from .event_filter import EventFilter, EventMatcher

# Where a Login's password stands in the line being typed: a protocol line's third token, or
# a login call's second argument (or its password=).
_LOGIN_LINE = re.compile(r"^Login\s+\S+\s+(\S+)")
_LOGIN_CALL = re.compile(r"""^login\(\s*(?:"[^"]*"|'[^']*')\s*,\s*("[^"]*"?|'[^']*'?)|password\s*=\s*("[^"]*"?|'[^']*'?)""")

HELP = """\
Type a protocol line (CallMake 7 1001 CallerName=Bob) or a call (call_make(7, "1001")); Tab
completes words, methods and keys, and the bottom line shows the command's parameters.
  /filter [MATCH|off]  show only events MATCH takes: a word, Key=Value or a Python expression
  /mute [MATCH|off]    hide events MATCH takes
  /events on|off       show events or not
  /record [FILE|off]   record every line sent and received into FILE
  /raw LINE            send LINE as it is
  /help [WORD]         this, or one command's parameters
  /quit                leave (so does Ctrl-D)"""


def password_span(text: str) -> tuple[int, int] | None:
    for pattern in (_LOGIN_LINE, _LOGIN_CALL):
        match = pattern.search(text) if pattern is _LOGIN_CALL else pattern.match(text)
        if match:
            group = next(g for g in range(1, (match.lastindex or 0) + 1) if match.group(g) is not None)
            return match.span(group)
    return None


class MaskPassword(Processor):
    """Shows a Login's password as * while it is typed."""

    def apply_transformation(self, ti: TransformationInput) -> Transformation:
        span = password_span(ti.document.lines[ti.lineno]) if ti.lineno == 0 else None
        if span is None:
            return Transformation(ti.fragments)
        chars = [(style, ch) for style, text, *_ in ti.fragments for ch in text]
        start, end = span
        masked: StyleAndTextTuples = [(style, "*" if start <= i < end else ch) for i, (style, ch) in enumerate(chars)]
        return Transformation(masked)


class MaskedHistory(FileHistory):
    """History across runs, without passwords."""

    def append_string(self, string: str) -> None:
        span = password_span(string)
        if span is not None:
            quote = string[span[0]] if string[span[0]] in "\"'" else ""
            string = string[: span[0]] + quote + "***" + quote + string[span[1]:]
        super().append_string(string)


def say(style: str, text: str) -> None:
    print_formatted_text(FormattedText([(style, text)]))


class Console:
    def __init__(self, s: session.AsyncSession, shown: EventFilter) -> None:
        self.s = s
        self.shown = shown
        self.events_on: bool = True
        self.recorder: Recorder | None = None

    async def show_events(self) -> None:
        try:
            async for event in self.s.events():
                if self.events_on and self.shown.shows(event):
                    if event.kind == "line":
                        say("ansicyan", f"* {event.line}")
                    else:
                        say("ansiyellow", f"* ({event.kind}: lines may have been missed)")
        except ConnectionError as exc:
            say("ansired", f"* session lost: {exc}")

    async def handle(self, text: str) -> bool:
        """Runs one typed line; False once the console should end."""
        try:
            parsed = typed_line.parse(text)
        except Exception as exc:
            say("ansired", f"  {exc}")
            return True
        if parsed is None:
            return True
        if isinstance(parsed, typed_line.ConsoleCommand):
            return await self.console_command(parsed)
        say("", f"> {parsed.shown}")
        self.report(await actions.run(self.s, parsed))
        return True

    def report(self, outcome: actions.Outcome) -> None:
        if outcome.line is not None:
            say("ansigreen" if outcome.ok else "ansired", f"  {outcome.line}")
        if outcome.error is not None:
            say("ansired", f"  {outcome.error}")

    async def console_command(self, c: typed_line.ConsoleCommand) -> bool:
        if c.name == "quit":
            return False
        if c.name == "help":
            entry = catalogue.by_word().get(c.rest) or catalogue.by_method().get(c.rest)
            say("", HELP if entry is None else f"{entry.shape()}\n{signature(entry.method)}")
        elif c.name in ("filter", "mute"):
            matchers = self.shown.filters if c.name == "filter" else self.shown.mutes
            if c.rest == "off":
                matchers.clear()
            elif c.rest:
                try:
                    matchers.append(EventMatcher(c.rest))
                except ValueError as exc:
                    say("ansired", f"  {exc}")
            say("", f"  {c.name}: {', '.join(map(str, matchers)) or 'none'}")
        elif c.name == "events" and c.rest in ("on", "off"):
            self.events_on = c.rest == "on"
        elif c.name == "record":
            self.record(c.rest)
        elif c.name == "raw" and c.rest:
            say("", f"> {mask_login(c.rest)}")
            self.report(await actions.raw(self.s, c.rest))
        else:
            say("ansired", f"  no such command /{c.name} {c.rest}".rstrip() + " (/help)")
        return True

    def record(self, what: str) -> None:
        if what and what != "off":
            if self.recorder is not None:
                self.recorder.stop()
            self.recorder = Recorder(what).start()
        elif what == "off" and self.recorder is not None:
            self.recorder.stop()
            self.recorder = None
        say("", f"  recording into {self.recorder.path}" if self.recorder else "  not recording")


async def interactive(s: session.AsyncSession, shown: EventFilter, history: Path) -> int:
    history.parent.mkdir(parents=True, exist_ok=True)
    console = Console(s, shown)
    prompt: PromptSession[str] = PromptSession(
        history=MaskedHistory(str(history)), completer=ConsoleCompleter(), complete_while_typing=False,
        bottom_toolbar=lambda: hint(prompt.default_buffer.text), input_processors=[MaskPassword()],
        erase_when_done=True)
    with patch_stdout(raw=True):
        say("", f"connected to {s!r}; /help for help")
        events = asyncio.ensure_future(console.show_events())
        try:
            while True:
                try:
                    text = await prompt.prompt_async("quelvant> ")
                except KeyboardInterrupt:
                    continue  # Ctrl-C drops the line being typed
                except EOFError:
                    break
                if not await console.handle(text):
                    break
        finally:
            events.cancel()
            if console.recorder is not None:
                console.recorder.stop()
    return 0
