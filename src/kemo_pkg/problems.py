"""How the package reports a problem.

Input that cannot be used (a file, a record, a setting) raises `InputError`,
whose message is the one line the command line prints.  A finding that could
not be made is None where it would stand, and a `Note` beside the findings
says why; so does a note of what the analysis set aside to go on.
"""

from dataclasses import dataclass

__all__ = ["InputError", "Note"]


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
