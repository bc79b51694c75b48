"""The one kind of failure the command reports as a line of its own: the input's or the
environment's fault, not the program's."""

from __future__ import annotations


class CommandError(Exception):
    """A problem with the user's input or environment, reported as one line on stderr."""


def first_line(err: BaseException) -> str:
    """The first line of an exception's message (libraries' messages run to pages)."""
    text = str(err).strip().splitlines()
    return text[0] if text else type(err).__name__
