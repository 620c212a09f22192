"""One machine-made mutant: a single edit of one source file.

A mutant is known by what it changes, not by where: the file, the enclosing function,
the operator, the original and the replacement text (tokens joined by one blank) and
which occurrence of that same change it is within the function. An edit elsewhere in
the file, or in another function, leaves that identity as it was; line numbers and
offsets are only where the edit goes in this revision.
"""

import dataclasses
import hashlib


@dataclasses.dataclass
class Mutant:
    path: str          # relative to the repository's top folder, with "/"
    function: str      # enclosing function (qualified), or "<file>" outside any
    operator: str      # the kind of change, e.g. "relational", "drop-call"
    original: str      # the replaced text, tokens joined by one blank
    replacement: str   # what takes its place, written the same way
    start: int         # byte offsets of the edit in this revision of the file
    end: int
    text: str          # the bytes written between start and end (exact source form)
    line: int          # where it stands now, for the report only
    occurrence: int = 0  # which identical change within the function, from 0
    digest: str = ""     # of the file it was made from: applied to that file only
    # The lines a test must run to reach it (Python: its statement, or a compound
    # statement's head), for picking tests by line coverage.
    reach: list = dataclasses.field(default_factory=list)

    @property
    def identity(self):
        return " | ".join((self.path, self.function, self.operator, self.original,
                           self.replacement, str(self.occurrence)))

    @property
    def key(self):
        """A short name for the command line and the report, derived from the identity."""
        return hashlib.sha1(self.identity.encode()).hexdigest()[:10]

    @property
    def folder(self):
        return self.path.rsplit("/", 1)[0] if "/" in self.path else "."

    def apply(self, source):
        """The file's bytes with this mutant in; refuses a file other than the one it was
        made from."""
        if self.digest and file_digest(source) != self.digest:
            raise ValueError(f"{self.key}: {self.path} is not the file this mutant was made from")
        return source[:self.start] + self.text.encode() + source[self.end:]

    def to_json(self):
        return dataclasses.asdict(self)

    @classmethod
    def from_json(cls, data):
        return cls(**data)


def number_occurrences(mutants):
    """Gives each mutant its occurrence index: the n-th of the same change in a function,
    counted in source order."""
    seen = {}
    for mutant in sorted(mutants, key=lambda m: (m.path, m.start, m.end, m.operator, m.replacement)):
        group = (mutant.path, mutant.function, mutant.operator, mutant.original, mutant.replacement)
        mutant.occurrence = seen.get(group, 0)
        seen[group] = mutant.occurrence + 1
    return mutants


def file_digest(source):
    return hashlib.sha1(source).hexdigest()


def squash(tokens):
    """Source text as the identity writes it: tokens joined by one blank."""
    return " ".join(token for token in tokens if token)
