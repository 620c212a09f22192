"""Mutants judged equivalent, one by one, in a committed file (tests/mutants/equivalent.txt):
each entry is a mutant's identity on a line of its own, then its reason on the indented
lines below it. Nothing there is a pattern: an entry names one mutant, and one that
names none of today's mutants is reported as stale."""

import os

FILE = os.path.join("tests", "mutants", "equivalent.txt")


def load(root):
    """{identity: reason}; raises ValueError on an entry without a reason."""
    path = os.path.join(root, FILE)
    if not os.path.isfile(path):
        return {}
    entries, current = {}, None
    with open(path, encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            text = line.rstrip("\n")
            if not text.strip() or text.startswith("#"):
                current = None if not text.strip() else current
                continue
            if text[0] in " \t":
                if current is None:
                    raise ValueError(f"{FILE}:{number}: a reason without a mutant above it")
                entries[current] = (entries[current] + " " + text.strip()).strip()
            else:
                current = " | ".join(part.strip() for part in text.split(" | "))
                if current in entries:
                    raise ValueError(f"{FILE}:{number}: {current} is judged twice")
                entries[current] = ""
    missing = [identity for identity, reason in entries.items() if not reason]
    if missing:
        raise ValueError(f"{FILE}: no reason given for {missing[0]}")
    return entries


def apply(result, equivalents):
    """A mutant's result with today's judgement: a survivor judged is equivalent, one judged
    equivalent before but no longer a survivor again; the reason goes beside it."""
    reason = equivalents.get(result["identity"])
    if result["status"] == "equivalent" and reason is None:
        result["status"] = "survived"
    result.pop("judged", None)
    if reason is not None:
        result["judged"] = reason
        if result["status"] == "survived":
            result["status"] = "equivalent"
    return result
