"""Runs chosen test cases of a Python test that CTest runs as "python -m unittest ARGS".

    pyunit.py list ARGS...            # the ids of the cases ARGS select, one a line
    pyunit.py run ARGS... -- ID...    # those cases, in that order, stopping at the first
                                      # failure ("FAILED <id>" on the last line, status 1)

The cases are found exactly as unittest's own command line finds them from ARGS
(discovery with its folders and pattern, or named modules). Started as coverage_map's
pyunit_command starts it (from "python -c", the working folder first on the import
path, not this folder), its imports are what the default suite gives them.
"""

import sys
import unittest


class _Collector(unittest.TestProgram):
    def runTests(self):  # noqa: N802 - unittest's name
        pass  # keep self.test, run nothing


def cases(arguments):
    program = _Collector(module=None, argv=["python -m unittest"] + arguments, exit=False)
    found = []

    def flatten(suite):
        for item in suite:
            if isinstance(item, unittest.TestSuite):
                flatten(item)
            else:
                found.append(item)
    flatten(program.test)
    return found


def main(argv):
    mode, arguments = argv[0], argv[1:]
    wanted = []
    if "--" in arguments:
        cut = arguments.index("--")
        arguments, wanted = arguments[:cut], arguments[cut + 1:]
    # The original's verbosity flags do not change which cases run.
    arguments = [a for a in arguments if a not in ("-v", "--verbose", "-q", "--quiet")]
    found = cases(arguments)
    if mode == "list":
        for case in found:
            print(case.id())
        return 0
    by_id = {case.id(): case for case in found}
    missing = [i for i in wanted if i not in by_id]
    if missing:
        print("no such test case: " + " ".join(missing))
        return 2
    suite = unittest.TestSuite(by_id[i] for i in wanted)
    result = unittest.TextTestRunner(verbosity=2, failfast=True, stream=sys.stdout).run(suite)
    failures = result.failures + result.errors + [(c, "") for c in result.unexpectedSuccesses]
    if failures:
        print("FAILED " + failures[0][0].id())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
