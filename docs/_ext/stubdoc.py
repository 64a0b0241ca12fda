"""``.. stub-module:: NAME``: the API reference of one generated type stub (NAME.pyi in the
``stub_dir`` setting), class by class and method by method with each signature and docstring,
so the site says what an editor's hover says. Docstrings are Google style (napoleon)."""

from __future__ import annotations

import ast
import re
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.ext.napoleon.docstring import GoogleDocstring
from sphinx.util.docutils import SphinxDirective


def _decorators(node: ast.ClassDef | ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def _params(func: ast.FunctionDef) -> str:
    args = func.args
    if args.posonlyargs and args.posonlyargs[0].arg in ("self", "cls"):
        args.posonlyargs = args.posonlyargs[1:]
    elif args.args and args.args[0].arg in ("self", "cls"):
        args.args = args.args[1:]
    return ast.unparse(args)


class StubModule(SphinxDirective):
    required_arguments = 1
    option_spec = {"module": directives.unchanged, "exclude": directives.unchanged}

    def run(self):
        stub_dir = Path(self.config.stub_dir)
        path = stub_dir / f"{self.arguments[0]}.pyi"
        if not self.config.stub_dir or not path.is_file():
            raise ExtensionError(f"stub-module: no stub {path} (set QUELVANT_STUB_DIR)")
        self.env.note_dependency(str(path))
        source = path.read_text()
        self.source_lines = source.splitlines()
        tree = ast.parse(source, filename=str(path))
        exclude = re.compile(self.options.get("exclude", r"(?!)"))
        module = self.options.get("module", "quelvant_rs." + self.arguments[0])
        self.module = module
        lines: list[str] = [f".. py:module:: {module}", ""]
        self._body(tree.body, lines, "", exclude, what="module")
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(path)), self.content_offset, container)
        return container.children

    def _doc(self, node, lines: list[str], indent: str, what: str, name: str) -> None:
        text = ast.get_docstring(node)
        if not text:
            return
        converted = GoogleDocstring(text, self.config, self.env.app, what, name)
        lines.append("")
        lines.extend(indent + line if line else "" for line in converted.lines())
        lines.append("")

    def _comment_above(self, node: ast.stmt) -> str:
        """The comment lines right above a statement: a stub's way to document a name."""
        found: list[str] = []
        index = node.lineno - 2
        while index >= 0 and self.source_lines[index].lstrip().startswith("#"):
            found.insert(0, self.source_lines[index].lstrip().removeprefix("#").strip())
            index -= 1
        return " ".join(found)

    def _body(self, body, lines, indent, exclude, what) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef):
                if node.name.startswith("_") or exclude.search(node.name):
                    continue
                bases = [ast.unparse(b) for b in node.bases]
                kind = "exception" if any(b.endswith(("Exception", "Error")) for b in bases) else "class"
                sig = f"({', '.join(bases)})" if bases else ""
                lines.append(f"{indent}.. py:{kind}:: {node.name}{sig}")
                if "final" in _decorators(node):
                    lines.append(f"{indent}   :final:")
                self._doc(node, lines, indent + "   ", "class", node.name)
                self._body(node.body, lines, indent + "   ", exclude, what="class")
            elif isinstance(node, ast.FunctionDef):
                if node.name.startswith("_") and not node.name.startswith("__"):
                    continue
                decorators = _decorators(node)
                returns = ast.unparse(node.returns) if node.returns else ""
                if "property" in decorators:
                    lines.append(f"{indent}.. py:property:: {node.name}")
                    if returns:
                        lines.append(f"{indent}   :type: {returns}")
                else:
                    directive = "function" if what == "module" else "method"
                    arrow = f" -> {returns}" if returns else ""
                    lines.append(f"{indent}.. py:{directive}:: {node.name}({_params(node)}){arrow}")
                    if "staticmethod" in decorators:
                        lines.append(f"{indent}   :staticmethod:")
                self._doc(node, lines, indent + "   ", "method", node.name)
            elif isinstance(node, ast.AnnAssign):
                target = ast.unparse(node.target)
                annotation = ast.unparse(node.annotation)
                if target.startswith("_"):
                    continue
                if annotation == "TypeAlias":
                    # Command.CallMake: the variant class, under its own name too.
                    canonical = ast.unparse(node.value)
                    lines.append(f"{indent}.. py:class:: {target}")
                    lines.append(f"{indent}   :canonical: {self.module}.{canonical}")
                    lines.append("")
                    lines.append(f"{indent}   The class of every ``{target}`` command; its name is "
                                 f"``{canonical}``. See :ref:`command-{target}`.")
                    lines.append("")
                    continue
                kind = "attribute" if what == "class" else "data"
                lines.append(f"{indent}.. py:{kind}:: {target}")
                lines.append(f"{indent}   :type: {annotation}")
                comment = self._comment_above(node)
                if comment:
                    lines.extend(["", f"{indent}   {comment}"])
                lines.append("")


def setup(app: Sphinx) -> dict[str, object]:
    app.add_config_value("stub_dir", "", "env")
    app.add_directive("stub-module", StubModule)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
