"""What the operator typed, as a call of a session method (or a console command).

A protocol line, ``CallMake 7 1001 CallerName=Bob``, is taken apart by the command
catalogue: positional values fill the command's positional parameters in order, ``Key=Value``
tokens the parameter of that key; each text is made the value its kind takes (an int, a bool
from 1 or 0, a value class), or left as text where it is not one, so that the method refuses
it exactly as it refuses such a value from a program. A Python-style call,
``call_make(7, "1001", caller_name="Bob")``, has its arguments evaluated as Python (with
``values`` and its classes at hand). Either way nothing is sent for arguments the method
refuses: it raises before it sends.
"""

from __future__ import annotations

import ast
import builtins
import re
from dataclasses import dataclass, field
from typing import SupportsInt, TypeVar

from quelvant_rs import commands, values
from quelvant_standin import catalogue
from quelvant_standin.recording import mask_login

_INT_KINDS = {"u8", "u16", "u32", "i16", "i64"}
_NUMBER = re.compile(r"[+-]?[0-9]+")
# Names a Python-style call's arguments may use.
NAMESPACE: dict[str, object] = {
    "__builtins__": builtins, "values": values, "Command": commands.Command,
    **{name: getattr(values, name) for name in
       ("ECM", "Channels", "AudioFormatType", "PayloadType", "ToneType", "ConstantWithDescription")},
}


class NotUnderstood(ValueError):
    """A line that is neither a known command nor a call of a command method."""


@dataclass(frozen=True)
class Call:
    """A session method to call, and the line as the console shows it (passwords masked)."""

    method: str
    args: tuple[object, ...] = ()
    kwargs: dict[str, object] = field(default_factory=dict)
    shown: str = ""


@dataclass(frozen=True)
class ConsoleCommand:
    """``/name rest``."""

    name: str
    rest: str


_Member = TypeVar("_Member", bound=SupportsInt)


def _member(cls: type[_Member], number: int) -> _Member | None:
    for name in dir(cls):
        member = getattr(cls, name)
        if isinstance(member, cls) and int(member) == number:
            return member
    return None


def value_of(text: str, kind: str) -> object:
    """The value a protocol token stands for, or the text itself where it stands for none."""
    if kind in _INT_KINDS:
        return int(text) if _NUMBER.fullmatch(text) else text
    if kind == "bool":
        return {"1": True, "0": False}.get(text, text)
    if kind in ("AudioFormatType", "PayloadType", "ToneType"):
        return getattr(values, kind)(text)
    if kind == "ConstantWithDescription":
        return values.ConstantWithDescription(text, text)
    if kind in ("ECM", "Channels"):
        member = _member(getattr(values, kind), int(text)) if _NUMBER.fullmatch(text) else None
        return text if member is None else member
    return text


def protocol_call(text: str) -> Call:
    word, *tokens = text.split()
    entry = catalogue.by_word().get(word)
    if entry is None:
        raise NotUnderstood(f"unknown command word {word!r} (/help lists them; /raw sends any line)")
    positional = entry.positional
    args: list[object] = []
    kwargs: dict[str, object] = {}
    for token in tokens:
        key, eq, value = token.partition("=")
        keyed = entry.field_for_key(key) if eq else None
        if keyed is not None:
            kwargs[keyed.name] = value_of(value, keyed.kind)
        elif len(args) < len(positional):
            args.append(value_of(token, positional[len(args)].kind))
        else:
            args.append(token)  # one too many: the method says so
    return Call(entry.method, tuple(args), kwargs, mask_login(text))


def _masked_call(text: str, tree: ast.Call) -> str:
    """A login call's password argument shown as "***"."""
    target = tree.args[1] if len(tree.args) > 1 else next(
        (k.value for k in tree.keywords if k.arg == "password"), None)
    if target is None:
        return text
    raw = text.encode("utf-8")  # the parser's offsets count UTF-8 bytes
    start, end = target.col_offset, target.end_col_offset
    return (raw[:start] + b'"***"' + raw[end:]).decode("utf-8")


def python_call(text: str) -> Call:
    try:
        tree = ast.parse(text, mode="eval").body
    except SyntaxError as exc:
        raise NotUnderstood(f"not a call: {exc.msg}") from None
    if not isinstance(tree, ast.Call) or not isinstance(tree.func, ast.Name):
        raise NotUnderstood("not a call of a command method, such as call_make(7, \"1001\")")
    name = tree.func.id
    if name not in catalogue.by_method():
        raise NotUnderstood(f"no command method {name!r} (/help lists them)")
    if any(isinstance(a, ast.Starred) for a in tree.args) or any(k.arg is None for k in tree.keywords):
        raise NotUnderstood("give each argument by itself: * and ** are not taken")

    def evaluate(node: ast.expr) -> object:
        return eval(compile(ast.Expression(node), "<console>", "eval"), dict(NAMESPACE))

    args = tuple(evaluate(a) for a in tree.args)
    kwargs = {k.arg: evaluate(k.value) for k in tree.keywords if k.arg is not None}  # ** is refused above
    shown = _masked_call(text, tree) if name == "login" else text
    return Call(name, args, kwargs, shown)


def parse(text: str) -> Call | ConsoleCommand | None:
    """None for a blank line. Raises NotUnderstood, or what evaluating an argument raised."""
    text = text.strip()
    if not text:
        return None
    if text.startswith("/"):
        name, _, rest = text[1:].partition(" ")
        return ConsoleCommand(name, rest.strip())
    first = text.split(None, 1)[0]
    if "(" in first or first in catalogue.by_method():
        return python_call(text if "(" in text else text + "()")
    return protocol_call(text)
