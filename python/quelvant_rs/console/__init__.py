"""quelvant-console: an operator's console for the server, on the module's AsyncSession.

    quelvant-console HOST[:PORT] [-u USER] [-x LINE]... [--tail] [--record FILE] ...

Interactive (with the optional prompt_toolkit, ``pip install 'quelvant_rs[console]'``): a
prompt that takes protocol lines and Python-style calls, with completion and argument hints
from the command catalogue; replies under their commands, events above the prompt. ``-x``
runs one-shot lines, ``--tail`` prints events. Everything is described in docs/console.md.
"""

from .cli import main

__all__ = ["main"]
