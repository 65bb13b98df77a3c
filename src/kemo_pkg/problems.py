"""How the package reports a problem.

Input that cannot be used (a file, a record, a setting) raises `InputError`,
whose message is the one line the command line prints.  A finding that could
not be made is None where it would stand, and a `Note` beside the findings
says why; so does a note of what the analysis set aside to go on.  What a
user wrote (a name, a cell, a header) enters a message through `printable`,
cut to an excerpt.
"""

from dataclasses import dataclass

__all__ = ["EXCERPT", "InputError", "Note", "printable"]

EXCERPT = 60  # characters of a user's text that a message repeats


class InputError(ValueError):
    """Input that cannot be used; the message names the problem in one line."""


@dataclass(frozen=True)
class Note:
    """One line beside the findings: the part of the analysis it concerns
    (`topic`, e.g. "tachometer", "bearing") and what was not found or set
    aside, and why."""

    topic: str
    text: str

    def __str__(self) -> str:
        return f"{self.topic}: {self.text}"


def printable(text: str, limit: int | None = None) -> str:
    """`text` as visible characters on one line.

    A character a terminal would act on or that breaks the line (a control
    character such as a line break or an escape, a line separator, a format
    character) is written as Python writes it in a string literal: ``\\n``,
    ``\\x1b``, ``\\u202e``.  Given `limit`, a longer text is cut to its first
    `limit` characters and "...".
    """
    if limit is not None and len(text) > limit:
        text = text[:limit] + "..."
    return text if text.isprintable() else "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
