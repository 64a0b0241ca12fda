"""Checks the installed quelvant_rs stubs against the installed module.

1. The stubs came with the wheel (the distribution's RECORD lists every stub).
2. mypy's stubtest: names, parameter names and kinds, @final, properties.
3. What stubtest cannot see, since the extension module has no annotations: every factory,
   client method and value class accepts values of the annotated types and refuses others
   with TypeError, each factory returns the variant class it is annotated with, Command.<Name>
   is that class, and its `_0` is the annotated record class.
4. Every public class, function and method in every stub has a docstring: an editor's hover
   and the documentation site show them. Each factory's example calls give, run here, the
   lines its docstring shows.

quelvant_rs.client, .commands and .values are module objects held as attributes of the
extension module; nothing can import them by dotted name. They are registered in sys.modules
under those names so stubtest can import and check them like the stubs' submodules.

stubs/stubtest-allowlist.txt is always passed to stubtest; arguments are passed to it too.
"""

import ast
import inspect
import socket
import sys
import sysconfig
from collections.abc import Callable, Iterator
from importlib import metadata
from pathlib import Path
from types import ModuleType
from typing import Any

import quelvant_rs
from mypy import stubtest
from quelvant_rs import client, commands, session, values

STUB_DIR = Path(sysconfig.get_path("platlib")) / "quelvant_rs"
ALLOWLIST = Path(__file__).resolve().parent.parent / "stubs" / "stubtest-allowlist.txt"

# A value of each annotated type, and one of a type it must refuse. A type missing here fails
# the check, so a new kind of argument cannot slip through untested.
SAMPLES: dict[str, tuple[object, object]] = {
    "str": ("x", 1),
    "SupportsIndex": (1, "1"),
    "bool": (True, 1),
    "ECM": (values.ECM.ECM64, 64),
    "Channels": (values.Channels.Stereo, 2),
    "AudioFormatType": (values.AudioFormatType("PCM"), "PCM"),
    "PayloadType": (values.PayloadType("0"), "0"),
    "ToneType": (values.ToneType("Busy"), "Busy"),
    "ConstantWithDescription": (values.ConstantWithDescription("A4", "paper"), "A4"),
    "Command": (commands.Command.call_hold(1), "CallHold 1"),
    "Iterable[Command | str]": ([commands.Command.call_hold(1), "x"], 5),
}


class Failures:
    def __init__(self) -> None:
        self.messages: list[str] = []

    def __call__(self, message: str) -> None:
        self.messages.append(message)
        print(f"error: {message}")


fail = Failures()


def check_wheel_contents() -> None:
    recorded = {str(f) for f in metadata.files("quelvant_rs") or []}
    stubs = sorted(STUB_DIR.glob("*.pyi"))
    if not stubs:
        fail(f"no stubs in {STUB_DIR}")
    for stub in stubs:
        if f"quelvant_rs/{stub.name}" not in recorded:
            fail(f"{stub} was not installed from the wheel")


def register_submodules() -> None:
    for name, value in vars(quelvant_rs).items():
        if isinstance(value, ModuleType):
            sys.modules[f"quelvant_rs.{name}"] = value
            # stubtest only follows the stubs: a submodule without a stub would go
            # unchecked when it is not in __all__.
            if not (STUB_DIR / f"{name}.pyi").is_file():
                fail(f"quelvant_rs.{name} has no stub in {STUB_DIR}")


def run_stubtest(extra_args: list[str]) -> None:
    options = stubtest.parse_options(["quelvant_rs", "--allowlist", str(ALLOWLIST), *extra_args])
    if stubtest.test_stubs(options) != 0:
        fail("stubtest reported errors")


# ---- annotations against runtime behaviour ------------------------------------------------


def parse(name: str) -> ast.Module:
    return ast.parse((STUB_DIR / name).read_text(), filename=name)


def classes(tree: ast.Module) -> dict[str, ast.ClassDef]:
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def functions(cls: ast.ClassDef) -> Iterator[ast.FunctionDef]:
    return (node for node in cls.body if isinstance(node, ast.FunctionDef))


def params(func: ast.FunctionDef) -> list[tuple[str, str]]:
    """(name, annotation) of each parameter after self/cls; they are all positional-or-keyword."""
    args = func.args
    if args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg or args.defaults:
        fail(f"{func.name}: expected positional-or-keyword parameters without defaults only")
    found = []
    for arg in args.args:
        if arg.arg in ("self", "cls"):
            continue
        if arg.annotation is None:
            fail(f"{func.name}: parameter {arg.arg} has no annotation")
            continue
        found.append((arg.arg, ast.unparse(arg.annotation)))
    return found


def decorated(func: ast.FunctionDef, decorator: str) -> bool:
    return any(ast.unparse(d) == decorator for d in func.decorator_list)


def returns(func: ast.FunctionDef) -> str:
    return ast.unparse(func.returns) if func.returns else ""


def arguments(
    where: str, signature: list[tuple[str, str]]
) -> tuple[list[object], list[object]] | None:
    """Sample arguments with every optional given, and with every optional None."""
    full: list[object] = []
    minimal: list[object] = []
    for name, annotation in signature:
        base = annotation.removesuffix(" | None")
        if base not in SAMPLES:
            fail(f"{where}: no sample value for {name}: {annotation}")
            return None
        full.append(SAMPLES[base][0])
        minimal.append(None if base != annotation else SAMPLES[base][0])
    return full, minimal


def check_arguments(
    where: str, call: Callable[..., Any], signature: list[tuple[str, str]]
) -> Any:
    """Calls with good arguments, positionally and by keyword, then with each one wrong.

    Returns the first result, or None when a good call was refused.
    """
    samples = arguments(where, signature)
    if samples is None:
        return None
    names = [name for name, _ in signature]
    results = []
    for args in samples:
        try:
            results.append(call(*args))
            call(**dict(zip(names, args)))
        except Exception as e:
            fail(f"{where}{tuple(args)!r} was refused: {type(e).__name__}: {e}")
            return None
    full = samples[0]
    for i, (name, annotation) in enumerate(signature):
        base = annotation.removesuffix(" | None")
        wrong = [SAMPLES[base][1]] + ([] if base != annotation else [None])
        for value in wrong:
            args = [*full[:i], value, *full[i + 1 :]]
            try:
                call(*args)
            except TypeError:
                continue
            except Exception as e:
                fail(f"{where}: {name}={value!r} raised {type(e).__name__}, not TypeError: {e}")
                continue
            fail(f"{where}: {name}: {annotation} accepted {value!r}")
    return results[0]


def check_commands(tree: ast.Module) -> None:
    stub_classes = classes(tree)
    command = stub_classes["Command"]
    aliases = {
        ast.unparse(node.target): ast.unparse(node.value)
        for node in command.body
        if isinstance(node, ast.AnnAssign) and node.value is not None
    }
    for alias, target in aliases.items():
        runtime = getattr(commands.Command, alias, None)
        if getattr(runtime, "__name__", None) != target:
            fail(f"Command.{alias} is {runtime!r} at runtime, the stub says {target}")
    # The allowlist lets stubtest pass over Command_* classes missing from the module; this
    # keeps it from hiding one that is no variant at all.
    for name in stub_classes:
        if name.startswith("Command_") and name not in aliases.values():
            fail(f"{name} is no alias target in Command")
    factories = [f for f in functions(command) if decorated(f, "staticmethod")]
    if len(factories) != len(aliases):
        fail(f"{len(factories)} factories but {len(aliases)} variant aliases")
    for factory in factories:
        where = f"Command.{factory.name}"
        if not isinstance(vars(commands.Command).get(factory.name), staticmethod):
            fail(f"{where} is no staticmethod in Command's dictionary at runtime")
        signature = params(factory)
        cmd = check_arguments(where, getattr(commands.Command, factory.name), signature)
        if cmd is None:
            continue
        variant = returns(factory)
        if type(cmd).__name__ != variant:
            fail(f"{where} returns {type(cmd).__name__} at runtime, the stub says {variant}")
            continue
        if aliases.get(variant.removeprefix("Command_")) != variant:
            fail(f"{where}: no alias Command.{variant.removeprefix('Command_')} = {variant}")
        variant_stub = stub_classes.get(variant)
        if variant_stub is None:
            fail(f"{where}: the stub has no class {variant}")
            continue
        record = next((returns(f) for f in functions(variant_stub) if f.name == "_0"), None)
        if type(cmd._0).__name__ != record or record not in stub_classes:
            fail(f"{variant}._0 is {type(cmd._0).__name__} at runtime, the stub says {record}")
        record_type, variant_type = type(cmd._0), type(cmd)
        if not (
            len(cmd) == 1
            and type(cmd[0]) is record_type
            and type(variant_type(cmd._0)) is variant_type
        ):
            fail(f"{variant}: len, [0] or the constructor disagree with the stub")


def check_client(tree: ast.Module) -> None:
    stub = classes(tree)["QuelvantClient"]
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        port = listener.getsockname()[1]
        # Sends only need a connected socket; nothing reads or answers the lines.
        c = client.QuelvantClient("127.0.0.1", port, None, "user", "secret")
        c.connect()
        peer, _ = listener.accept()
        try:
            for method in functions(stub):
                # Connecting and printing take no arguments: stubtest covers them.
                if method.name in ("__new__", "connect", "disconnect", "print_details"):
                    continue
                where = f"QuelvantClient.{method.name}"
                if decorated(method, "property"):
                    if not isinstance(getattr(c, method.name), int) or returns(method) != "int":
                        fail(f"{where} is not an int property")
                    continue
                result = check_arguments(where, getattr(c, method.name), params(method))
                expected = {"None": type(None), "int": int, "list[int]": list}.get(returns(method))
                if expected is None or not isinstance(result, expected):
                    fail(f"{where} returned {result!r}, the stub says {returns(method)}")
        finally:
            c.disconnect()
            peer.close()

    # The server must be an IP address, which no type says; everything else is as annotated.
    def construct(*args: Any, **kwargs: Any) -> client.QuelvantClient:
        if args[:1] == ("x",):
            args = ("127.0.0.1", *args[1:])
        if kwargs.get("server") == "x":
            kwargs["server"] = "127.0.0.1"
        return client.QuelvantClient(*args, **kwargs)

    new = next(f for f in functions(stub) if f.name == "__new__")
    made = check_arguments("QuelvantClient", construct, params(new))
    if not isinstance(made, client.QuelvantClient):
        fail("QuelvantClient(...) did not make a QuelvantClient")


def check_values(tree: ast.Module) -> None:
    for name, cls in classes(tree).items():
        runtime = getattr(values, name)
        for node in cls.body:
            if isinstance(node, ast.AnnAssign):
                member = ast.unparse(node.target)
                if not isinstance(getattr(runtime, member, None), runtime):
                    fail(f"values.{name}.{member} is not a {name} at runtime")
        for func in functions(cls):
            if func.name == "__new__":
                check_arguments(f"values.{name}", runtime, params(func))


def check_docstrings(name: str, tree: ast.Module) -> None:
    def walk(body: list[ast.stmt], where: str) -> None:
        for node in body:
            if not isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                continue
            public = not node.name.startswith("_") or node.name.startswith("__")
            if public and ast.get_docstring(node) is None:
                fail(f"{name}: {where}{node.name} has no docstring")
            if isinstance(node, ast.ClassDef) and public:
                walk(node.body, f"{where}{node.name}.")

    walk(tree.body, "")


# Called by their slots, whose runtime docstrings are the interpreter's own.
SLOT_METHODS = {"__iter__", "__next__", "__aiter__", "__anext__", "__new__", "__await__"}


def check_session_docs_agree(tree: ast.Module) -> None:
    """The session layer's help() says what its stubs (hover text) say: both come from one
    table (and the per-command texts from the generator), so any difference is drift."""
    checked = 0
    for name, cls in classes(tree).items():
        runtime = getattr(session, name, None)
        if runtime is None or any(ast.unparse(d) == "type_check_only" for d in cls.decorator_list):
            continue
        pairs = [(name, ast.get_docstring(cls), runtime.__doc__)]
        for node in cls.body:
            if isinstance(node, ast.FunctionDef) and node.name not in SLOT_METHODS:
                pairs.append((f"{name}.{node.name}", ast.get_docstring(node),
                              getattr(runtime, node.name, None).__doc__))
        for where, stub_doc, runtime_doc in pairs:
            checked += 1
            if inspect.cleandoc(stub_doc or "") != inspect.cleandoc(runtime_doc or ""):
                fail(f"session.{where}: help() and the stub say different things:\n"
                     f"  runtime: {runtime_doc!r}\n  stub:    {stub_doc!r}")
    if checked < 250:  # the classes and their members, the per-command methods among them
        fail(f"session: only {checked} docstrings compared")


def check_factory_examples(tree: ast.Module) -> None:
    """The generator renders its example lines itself; the module must render the same."""
    command = classes(tree)["Command"]
    for factory in (f for f in functions(command) if decorated(f, "staticmethod")):
        _, found, example = (ast.get_docstring(factory) or "").partition("Example::")
        lines = [line.strip() for line in example.strip().splitlines()]
        if not found or not lines:
            fail(f"Command.{factory.name}: no example in its docstring")
        for call, shown in zip(lines[::2], lines[1::2]):
            got = eval(call, {"Command": commands.Command, "values": values})
            if "# " + got != shown:
                fail(f"Command.{factory.name}: {call} gives {got!r}, the docstring shows {shown!r}")


def main() -> int:
    check_wheel_contents()
    register_submodules()
    run_stubtest(sys.argv[1:])
    check_commands(parse("commands.pyi"))
    check_factory_examples(parse("commands.pyi"))
    check_client(parse("client.pyi"))
    check_values(parse("values.pyi"))
    check_session_docs_agree(parse("session.pyi"))
    for stub in sorted(STUB_DIR.glob("*.pyi")):
        check_docstrings(stub.name, parse(stub.name))
    if fail.messages:
        print(f"check_stubs: {len(fail.messages)} failure(s)")
        return 1
    print("check_stubs: stubs agree with the module")
    return 0


if __name__ == "__main__":
    sys.exit(main())
