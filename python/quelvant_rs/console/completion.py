"""Completion and argument hints for the prompt, from the command catalogue and the session
methods' signatures."""

from __future__ import annotations

import inspect
import re
from collections.abc import Iterable, Iterator

from prompt_toolkit.completion import CompleteEvent, Completer, Completion
from prompt_toolkit.document import Document

from quelvant_rs import session
from quelvant_standin import catalogue

CONSOLE_COMMANDS = ("filter", "mute", "events", "record", "raw", "help", "quit")
_CALL = re.compile(r"^\s*([a-z_0-9]+)\s*\(")


def signature(method: str) -> str:
    """``call_make(resource_id, address, timeout=None, ..., *, reply_timeout=...)``"""
    text = str(inspect.signature(getattr(session.AsyncSession, method)))
    return method + text.replace("(self, /, ", "(").replace("(self, /", "(").replace("(self, ", "(")


def entry_for(text: str) -> catalogue.CommandEntry | None:
    """The command the line being typed is about, by its word or its method name."""
    call = _CALL.match(text)
    if call:
        return catalogue.by_method().get(call.group(1))
    first = text.split(None, 1)[0] if text.strip() else ""
    return catalogue.by_word().get(first) or catalogue.by_method().get(first)


def hint(text: str) -> str:
    entry = entry_for(text)
    if entry is None:
        return "a protocol line (CallMake 7 1001), a call (call_make(7, \"1001\")), or /help"
    return f"{entry.shape()}    {signature(entry.method)}"


class ConsoleCompleter(Completer):
    """Command words and method names first; then a command's keys (``CallerName=``) or a
    method's keyword arguments (``caller_name=``); console commands after ``/``."""

    def get_completions(self, document: Document, complete_event: CompleteEvent) -> Iterator[Completion]:
        text = document.text_before_cursor
        word = document.get_word_before_cursor(pattern=re.compile(r"[^\s(,]*"))
        if text.startswith("/") and " " not in text:
            yield from _complete(word[1:], CONSOLE_COMMANDS, prefix="/")
            return
        if text.strip() == word.strip():  # the first token
            yield from _complete(word, [*catalogue.by_word(), *catalogue.by_method()])
            return
        entry = entry_for(text)
        if entry is None:
            return
        if _CALL.match(text):
            used = set(re.findall(r"(\w+)\s*=", text))
            yield from _complete(word, [f"{f.name}=" for f in entry.fields if f.name not in used])
        else:
            used = {t.split("=", 1)[0] for t in text.split() if "=" in t}
            yield from _complete(word, [f"{f.key}=" for f in entry.fields if f.key and f.key not in used])


def _complete(typed: str, choices: Iterable[str], prefix: str = "") -> Iterator[Completion]:
    for choice in sorted(set(choices)):
        if choice.startswith(typed):
            yield Completion(prefix + choice, start_position=-len(typed) - len(prefix))
