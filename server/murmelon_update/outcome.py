"""How a player's last run ended, as its update check tells it, and the words the log
keeps of that.

The plug-in adds two fields after `d` when it has a run to report, and leaves both out
when it has none:

    e   clean | crashed | abnormal | unknown    (unknown: begun, never marked ended)
    f   empty, except after a crash: <code>:<module>:<offset>, code and offset 8
        lower-case hex digits, the module a lower-case file name of [a-z0-9._-] (at
        most 32), or "-" with offset 00000000 for a fault outside any module

Anything else is not what the plug-in sends: it is logged as `outcome=invalid`, and the
text itself never reaches the log.
"""

import re

OUTCOMES = ("clean", "crashed", "abnormal", "unknown")
INVALID = "invalid"
FAULT = re.compile(r"[0-9a-f]{8}:(?:(?!-:)[a-z0-9._-]{1,32}:[0-9a-f]{8}|-:00000000)")


def judge(e, f):
    """(outcome, fault) of the fields as received (None: left out; a list: given more than
    once): (None, None) when the check reports no run; the outcome INVALID for anything
    the plug-in does not send."""
    if e is None and f is None:
        return None, None
    if not isinstance(e, str) or (f is not None and not isinstance(f, str)) or e not in OUTCOMES:
        return INVALID, None
    if e == "crashed":
        return (e, f) if f is not None and FAULT.fullmatch(f) else (INVALID, None)
    return (e, None) if not f else (INVALID, None)


def log_words(fields):
    """The words the log line gets for the check's fields (parse_qs's dict of lists):
    "" when it reports no run."""
    def one(name):
        values = fields.get(name)
        return None if values is None else values[0] if len(values) == 1 else values

    outcome, fault = judge(one("e"), one("f"))
    if outcome is None:
        return ""
    return f" outcome={outcome}" + (f" fault={fault}" if fault else "")
