"""Answer and event lines written from a request: ``"OK {word} ResourceId={rid} COMMANDTAG={tag}"``.

Fields, in braces (``{{`` and ``}}`` for braces themselves):

- ``{tag}``: the request's tag; ``{word}`` (or ``{0}``): its command word;
- ``{1}``, ``{2}``, ...: its arguments by position, every token after the word counted;
- ``{Key}``: the value of its ``Key=Value`` argument;
- ``{rid}``: a new resource id from the server's count (one per request, however often used).

A field the request lacks is a ``MissingField``: the answer says so, an event line is left out.
"""

from __future__ import annotations

import string
from collections.abc import Callable, Mapping, Sequence

from .requests import Request


class MissingField(KeyError):
    """The request has nothing for a field of the template."""

    def __str__(self) -> str:
        return f"no {{{self.args[0]}}} in the request"


class Context:
    """What a template's fields stand for, for one request."""

    def __init__(self, request: Request, next_rid: Callable[[], int]) -> None:
        self.request = request
        self._next_rid = next_rid
        self._rid: int | None = None

    def rid(self) -> int:
        if self._rid is None:
            self._rid = self._next_rid()
        return self._rid

    def value(self, field: int | str) -> object:
        r = self.request
        if field == 0 or field == "word":
            found = r.word
        elif isinstance(field, int):
            found = r.args[field - 1] if field <= len(r.args) else None
        elif field == "tag":
            found = r.tag
        elif field == "rid":
            return self.rid()
        else:
            found = r.keys.get(field)
        if found is None:
            raise MissingField(field)
        return found


class _Formatter(string.Formatter):
    def __init__(self, context: Context) -> None:
        self._context = context

    def get_value(self, key: int | str, args: Sequence[object], kwargs: Mapping[str, object]) -> object:
        return self._context.value(key)


def _not_text(value: object) -> TypeError:
    return TypeError(f"a template is a str, got {value!r}")


class Template:
    """A checked template: its fields are known kinds, and it is one line."""

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise _not_text(text)
        if "\n" in text or "\r" in text:
            raise ValueError(f"a template is one line: {text!r}")
        try:
            parsed = list(string.Formatter().parse(text))
        except ValueError as exc:
            raise ValueError(f"template {text!r}: {exc}") from None
        for _, field, _, _ in parsed:
            if field is None:
                continue
            if not (field.isdigit() or field.isidentifier()):
                raise ValueError(
                    f"template {text!r}: {{{field}}} is none of {{tag}}, {{word}}, {{rid}}, "
                    "{<n>} or {<Key>}")
        self.text = text

    @classmethod
    def of(cls, value: object) -> Template:
        """A template from a value as a rule gives it: TypeError unless it is a str."""
        if not isinstance(value, str):
            raise _not_text(value)
        return cls(value)

    def expand(self, context: Context) -> bytes:
        line = _Formatter(context).vformat(self.text, (), {})
        return line.encode("utf-8", "surrogateescape")

    def __repr__(self) -> str:
        return f"Template({self.text!r})"
