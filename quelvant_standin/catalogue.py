"""The command catalogue of the built module, as the build wrote it: ``commands.json`` in the
module's package directory (the folder of the module's ``__init__`` file).

The file is found without importing the module: the stand-in server runs where the module
could not be loaded (a sanitizer build without its preloaded runtime), and needs only the
command words. The console reads the fields too, to turn protocol lines into method calls.
"""

from __future__ import annotations

import functools
import importlib.util
import json
from dataclasses import dataclass
from pathlib import Path

FILE_NAME = "commands.json"


class CatalogueNotFound(FileNotFoundError):
    """The built module, or the catalogue file installed with it, is not there."""


@dataclass(frozen=True)
class Field:
    """One argument of a command: key None means it is written by position."""

    name: str
    kind: str
    optional: bool
    key: str | None
    default: int | None


@dataclass(frozen=True)
class CommandEntry:
    """A command: its protocol word, its factory on Command and its session method."""

    word: str
    factory: str
    method: str
    fields: tuple[Field, ...]

    @property
    def positional(self) -> tuple[Field, ...]:
        return tuple(f for f in self.fields if f.key is None)

    def field_for_key(self, key: str) -> Field | None:
        return next((f for f in self.fields if f.key == key), None)

    def shape(self) -> str:
        """``CallMake <resource_id> <address> [TimeOut=<timeout>] ...``"""
        parts = [self.word]
        for f in self.fields:
            piece = f"{f.key}=<{f.name}>" if f.key else f"<{f.name}>"
            parts.append(f"[{piece}]" if f.optional else piece)
        return " ".join(parts)


def catalogue_path() -> Path:
    """Where the installed module's catalogue file is (whether or not it exists)."""
    found = importlib.util.find_spec("quelvant_rs")
    if found is None or not found.origin or found.origin in ("built-in", "frozen"):
        raise CatalogueNotFound(
            "the quelvant_rs module is not installed: the stand-in kit takes its command words "
            "from the catalogue built with it (build and install the module first)"
        )
    return Path(found.origin).resolve().parent / FILE_NAME


@functools.cache
def commands() -> tuple[CommandEntry, ...]:
    """Every command, in the catalogue's order."""
    path = catalogue_path()
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise CatalogueNotFound(
            f"no command catalogue at {path}: the installed quelvant_rs was built without it "
            "(rebuild and install the module)"
        ) from None
    return tuple(
        CommandEntry(c["word"], c["factory"], c["method"], tuple(Field(**f) for f in c["fields"]))
        for c in data["commands"]
    )


@functools.cache
def command_words() -> frozenset[str]:
    return frozenset(c.word for c in commands())


@functools.cache
def by_word() -> dict[str, CommandEntry]:
    return {c.word: c for c in commands()}


@functools.cache
def by_method() -> dict[str, CommandEntry]:
    return {c.method: c for c in commands()}
