"""The table of rules that decides how the server treats a request line.

A rule matches a command word (or several, or every line when it names none), and
optionally arguments; it can set

- ``answer``: the answer, a template (see ``templates.py``), instead of the usual one;
- ``then``: lines that follow the answer, each ``[after_ms, template]``, counted from the
  moment the answer goes out (``[]``: none, not even the usual ones);
- ``delay_ms``: how long after the request its answer goes out;
- ``fault``: instead of any answer, ``"close"`` (FIN), ``"reset"`` (RST), ``"stall"`` (stop
  reading this connection until ``resume``) or ``"withhold"`` (nothing at all);
- ``times``: how many lines it decides something for before it removes itself.

For each request, every matching rule is ranked: a rule naming a word before one that does
not, one that also names arguments before one that does not, and among equals the newest
first. The outcome (an answer or a fault), the follow-up lines and the delay are each taken
from the first ranked rule that sets it; what no rule sets is the server's usual (its
answer table, or the recording it replays). ``args`` maps a position (1 for the first token
after the word) or a key to a pattern (``fnmatch``: ``*``, ``?``, ``[...]``); an argument
the request lacks does not match.
"""

from __future__ import annotations

import dataclasses
import fnmatch
import itertools
import json
import threading
import tomllib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path

from .requests import Request
from .templates import Template

FAULTS = ("close", "reset", "stall", "withhold")
_FIELDS = ("name", "word", "args", "answer", "then", "delay_ms", "fault", "times")


# A rule's values come from a file or a test as they were written: each is checked for what it
# must be before it is used.


def _words(value: object) -> frozenset[str] | None:
    if value is None:
        return None
    if isinstance(value, str):
        given: list[object] = [value]
    elif isinstance(value, Iterable):
        given = list(value)
    else:
        raise TypeError(f"word: give a word, a list of words, or none for every line; got {value!r}")
    words: list[str] = []
    for w in given:
        if not isinstance(w, str) or not w or any(ch.isspace() for ch in w):
            raise ValueError(f"a command word is one non-blank token, got {w!r}")
        words.append(w)
    if not words:
        raise ValueError("word: give a word, a list of words, or none for every line")
    return frozenset(words)


def _args(value: object) -> tuple[tuple[int | str, str], ...]:
    if value is None:
        return ()
    if not isinstance(value, Mapping):
        raise TypeError(f"args maps positions or keys to patterns, got {value!r}")
    out: list[tuple[int | str, str]] = []
    for key, pattern in value.items():
        where: int | str
        if isinstance(key, int) or (isinstance(key, str) and key.isdigit()):
            where = position = int(key)
            if position < 1:
                raise ValueError(f"argument positions count from 1, got {key!r}")
        elif isinstance(key, str) and key and not any(ch.isspace() or ch == "=" for ch in key):
            where = key
        else:
            raise ValueError(f"an args key is a position or a Key, got {key!r}")
        if not isinstance(pattern, str):
            raise TypeError(f"args[{key!r}] is a pattern (str), got {pattern!r}")
        out.append((where, pattern))
    return tuple(out)


def _then(value: object) -> tuple[tuple[float, Template], ...] | None:
    if value is None:
        return None
    # A text or a mapping is iterable too, but as lines it would be its characters or its keys.
    if isinstance(value, (str, Mapping)) or not isinstance(value, Iterable):
        raise TypeError(f"then is a list of lines, got {value!r}")
    out: list[tuple[float, Template]] = []
    for item in value:
        ms: object
        line: object
        if isinstance(item, str):
            ms, line = 0.0, item
        elif isinstance(item, Mapping):
            ms, line = item.get("after_ms", 0), item.get("line")
        elif isinstance(item, Iterable):
            ms, line = item
        else:
            raise TypeError(f"then: a line is [after_ms, template] or a template, got {item!r}")
        out.append((_ms(ms, "then"), Template.of(line)))
    return tuple(out)


def _ms(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
        raise ValueError(f"{what}: a time in milliseconds, 0 or more, got {value!r}")
    return float(value)


@dataclass(frozen=True)
class Rule:
    """One row of the table; ``Rule.of(mapping)`` checks and builds one."""

    name: str
    word: frozenset[str] | None = None
    args: tuple[tuple[int | str, str], ...] = ()
    answer: Template | None = None
    then: tuple[tuple[float, Template], ...] | None = None
    delay_ms: float | None = None
    fault: str | None = None
    times: int | None = None

    @classmethod
    def of(cls, fields: Mapping[str, object], name: str) -> "Rule":
        if not isinstance(fields, Mapping):
            raise TypeError(f"a rule is a mapping of {', '.join(_FIELDS)}; got {fields!r}")
        unknown = set(fields) - set(_FIELDS)
        if unknown:
            raise ValueError(
                f"a rule has no {', '.join(sorted(map(str, unknown)))}; it takes {', '.join(_FIELDS)}")
        fault = fields.get("fault")
        if fault is not None and (not isinstance(fault, str) or fault not in FAULTS):
            raise ValueError(f"fault is one of {', '.join(FAULTS)}; got {fault!r}")
        answer = fields.get("answer")
        rule_name = fields.get("name") or name
        word = _words(fields.get("word"))
        args = _args(fields.get("args"))
        template = None if answer is None else Template.of(answer)
        then = _then(fields.get("then"))
        delay_ms = None if fields.get("delay_ms") is None else _ms(fields["delay_ms"], "delay_ms")
        if not isinstance(rule_name, str):
            raise TypeError(f"a rule's name is a str, got {rule_name!r}")
        times = fields.get("times")
        if times is not None and (isinstance(times, bool) or not isinstance(times, int) or times < 1):
            raise ValueError(f"times is a count of 1 or more, got {times!r}")
        if fault is not None and (template or then is not None or delay_ms is not None):
            raise ValueError(
                "a fault takes the place of the answer: give answer, then and delay_ms without it")
        if fault is None and template is None and then is None and delay_ms is None:
            raise ValueError(f"rule {rule_name!r} sets nothing: give answer, then, delay_ms or fault")
        return cls(name=rule_name, word=word, args=args, answer=template, then=then, delay_ms=delay_ms,
                   fault=fault, times=times)

    @property
    def specificity(self) -> int:
        return (self.word is not None) + bool(self.args)

    def matches(self, request: Request) -> bool:
        if self.word is not None and request.word not in self.word:
            return False
        for where, pattern in self.args:
            if isinstance(where, int):
                value = request.args[where - 1] if where <= len(request.args) else None
            else:
                value = request.keys.get(where)
            if value is None or not fnmatch.fnmatchcase(value, pattern):
                return False
        return True

    def describe(self) -> dict[str, object]:
        """The rule as a mapping Rule.of takes again."""
        out: dict[str, object] = {"name": self.name}
        if self.word is not None:
            out["word"] = next(iter(self.word)) if len(self.word) == 1 else sorted(self.word)
        if self.args:
            out["args"] = {str(k): v for k, v in self.args}
        if self.answer is not None:
            out["answer"] = self.answer.text
        if self.then is not None:
            out["then"] = [[ms, t.text] for ms, t in self.then]
        for key in ("delay_ms", "fault", "times"):
            if getattr(self, key) is not None:
                out[key] = getattr(self, key)
        return out


@dataclass(frozen=True)
class Winners:
    """For one request: the rule that decides each aspect, or None where none does."""

    outcome: Rule | None = None  # its answer, or its fault
    then: Rule | None = None
    delay: Rule | None = None


class RuleTable:
    """Rules by name; adding one under a name already there replaces it (as the newest)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._rules: dict[str, tuple[int, Rule]] = {}
        self._seq = itertools.count()
        self._left: dict[str, int] = {}  # times left, for rules that have a count
        self._names = itertools.count(1)

    def add(self, fields: Mapping[str, object] | Rule) -> str:
        rule = fields if isinstance(fields, Rule) else Rule.of(fields, "")
        with self._lock:
            if not rule.name:
                while (name := f"rule-{next(self._names)}") in self._rules:
                    pass
                rule = dataclasses.replace(rule, name=name)
            self._rules[rule.name] = (next(self._seq), rule)
            if rule.times is not None:
                self._left[rule.name] = rule.times
            else:
                self._left.pop(rule.name, None)
        return rule.name

    def remove(self, name: str) -> bool:
        with self._lock:
            self._left.pop(name, None)
            return self._rules.pop(name, None) is not None

    def describe(self) -> list[dict[str, object]]:
        """Every rule, in the order they rank among equally specific ones (newest first)."""
        with self._lock:
            ranked = sorted(self._rules.values(), key=lambda pair: pair[0], reverse=True)
            out: list[dict[str, object]] = []
            for _, rule in ranked:
                d = rule.describe()
                if rule.name in self._left:
                    d["times"] = self._left[rule.name]
                out.append(d)
            return out

    def resolve(self, request: Request) -> Winners:
        if not self._rules:
            return Winners()
        with self._lock:
            ranked = sorted(
                ((rule.specificity, seq, rule)
                 for seq, rule in self._rules.values() if rule.matches(request)),
                key=lambda t: (t[0], t[1]), reverse=True)
            rules = [rule for _, _, rule in ranked]
            outcome = next((r for r in rules if r.fault or r.answer is not None), None)
            if outcome is not None and outcome.fault:
                winners = Winners(outcome=outcome)
            else:
                winners = Winners(
                    outcome=outcome,
                    then=next((r for r in rules if r.then is not None), None),
                    delay=next((r for r in rules if r.delay_ms is not None), None))
            for used in {r.name: r for r in (winners.outcome, winners.then, winners.delay) if r}.values():
                if used.name in self._left:
                    self._left[used.name] -= 1
                    if self._left[used.name] <= 0:
                        del self._left[used.name]
                        del self._rules[used.name]
            return winners


def load_rules(path: str | Path) -> list[dict[str, object]]:
    """The rules of a file: TOML (``[[rule]]`` tables) when it ends in .toml, else JSON (a list
    of rules, or an object whose "rule" is one)."""
    path = Path(path)
    raw = path.read_bytes()
    try:
        data = tomllib.loads(raw.decode("utf-8")) if path.suffix == ".toml" else json.loads(raw)
    except (ValueError, UnicodeDecodeError) as exc:
        raise ValueError(f"{path}: {exc}") from None
    rules = data.get("rule", []) if isinstance(data, dict) else data
    if not isinstance(rules, list):
        raise ValueError(f"{path}: expected a list of rules")
    try:
        return check_all(rules)  # a bad rule fails with the file's name, before any is added
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{path}: {exc}") from None


def check_all(rules: Iterable[Mapping[str, object]]) -> list[dict[str, object]]:
    """The rules as plain dicts, each checked."""
    out = []
    for fields in rules:
        Rule.of(fields, "check")
        out.append(dict(fields))
    return out
