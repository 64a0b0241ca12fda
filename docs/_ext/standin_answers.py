"""``.. standin-answer:: LINE``: what the stand-in server answers to a request line (with its
tag) and which lines follow it, asked of the stand-in kit itself (``quelvant_standin.explain``),
so the command reference says what the offline tests will meet."""

from __future__ import annotations

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective


def _following(then: list[tuple[float, bytes]]) -> str:
    return "; ".join(f"``{line.decode()}`` {ms:g} ms after it" for ms, line in then)


class StandinAnswer(SphinxDirective):
    required_arguments = 1
    final_argument_whitespace = True

    def run(self) -> list[nodes.Node]:
        from quelvant_standin.explain import answer_to

        line = self.arguments[0]
        plain, with_events = answer_to(line), answer_to(line, call_events=True)
        text = f"The stand-in server answers ``{line}`` with ``{plain.answer.decode()}``"
        if plain.quit:
            text += " and then closes the connection"
        if with_events.then != plain.then:
            text += f"; with call events on (``call_events=True``), {_following(with_events.then)}"
        elif plain.then:
            text += f", then {_following(plain.then)}"
        text += ". Rules and recordings change it (:doc:`/testing`)."
        paragraph = nodes.paragraph()
        self.state.nested_parse(StringList([text]), self.content_offset, paragraph)
        return paragraph.children


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("standin-answer", StandinAnswer)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
