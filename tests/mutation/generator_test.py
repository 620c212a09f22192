"""The mutant generators (tools/mutation) on tiny fixed inputs: exactly the expected
mutants, none inside a static_assert, a macro or a string, and an identity that an
unrelated edit of the file leaves as it was."""

import os
import tempfile
import unittest

# CTest puts tools/mutation on PYTHONPATH and runs Debian's interpreter, as tools/mutate.sh does.
import cxx
import pysource
import sampling

CXX = """\
void Count(int* p, int n);
int Clamp(int value, int limit) {
  if (value > limit) return limit;
  return value + 1;
}
bool Ready(bool a, bool b) { return a && !b; }
void Touch(int* p, int q) {
  Count(p, 2);
  *p += q;
}
static_assert(sizeof(int) == 4, "int");
#define TWICE(x) ((x) * 2)
int Twice(int v) { return TWICE(v); }
const char* Name() { return "a < b"; }
"""
CXX_EXPECTED = {
    ("Clamp(int, int)", "boundary", ">", ">="),
    ("Clamp(int, int)", "relational", ">", "<="),
    ("Clamp(int, int)", "return-value", "limit", "{}"),
    ("Clamp(int, int)", "return-value", "value + 1", "{}"),
    ("Clamp(int, int)", "arithmetic", "+", "-"),
    ("Clamp(int, int)", "constant", "1", "2"),
    ("Clamp(int, int)", "constant", "1", "0"),
    ("Ready(bool, bool)", "return-value", "a && ! b", "! ( a && ! b )"),
    ("Ready(bool, bool)", "logical", "&&", "||"),
    ("Ready(bool, bool)", "negation", "!", ""),
    ("Touch(int *, int)", "drop-call", "Count ( p , 2 )", ""),
    ("Touch(int *, int)", "drop-assignment", "* p += q", ""),
    ("Touch(int *, int)", "assignment", "+=", "-="),
    ("Touch(int *, int)", "constant", "2", "3"),
    ("Touch(int *, int)", "constant", "2", "1"),
    ("Name()", "return-value", '"a < b"', "{}"),
}
PYTHON = '''\
def clamp(value, limit):
    """Not below 0 < 1."""
    if value > limit:
        return limit
    log("clamped", value)
    return value + 1


def ready(a, b):
    return a and not b
'''
PYTHON_EXPECTED = {
    ("clamp", "boundary", ">", ">="),
    ("clamp", "relational", ">", "<="),
    ("clamp", "return-value", "limit", "None"),
    ("clamp", "drop-call", "log('clamped', value)", "pass"),
    ("clamp", "swap-arguments", "'clamped' , value", "value , 'clamped'"),
    ("clamp", "return-value", "value + 1", "None"),
    ("clamp", "arithmetic", "+", "-"),
    ("clamp", "constant", "1", "2"),
    ("clamp", "constant", "1", "0"),
    ("ready", "return-value", "a and (not b)", "None"),
    ("ready", "logical", "and", "or"),
    ("ready", "negation", "not", ""),
}
# An unrelated edit: a function in front (every line moves) and another one changed.
CXX_EDITED = "int Added(int x) { return x * 3; }\n\n" + CXX.replace("a && !b", "a || !b")
PYTHON_EDITED = "import os\n\n\ndef added(x):\n    return x * 3\n\n\n" + PYTHON.replace("a and not b", "a or not b")


class Generators(unittest.TestCase):
    def generated(self, language, text):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "fixture." + ("cpp" if language == "cxx" else "py"))
            with open(path, "w") as handle:
                handle.write(text)
            if language == "cxx":
                mutants, errors = cxx.generate(path, "fixture.cpp", ["-std=c++17"])
                self.assertEqual(errors, [])
            else:
                mutants = pysource.generate(path, "fixture.py")
            for mutant in mutants:  # each edit lands where it says, on that file only
                changed = mutant.apply(text.encode())
                self.assertEqual(changed[:mutant.start], text.encode()[:mutant.start])
                with self.assertRaises(ValueError):
                    mutant.apply(text.encode() + b"\n")
            return mutants

    def test_the_expected_mutants_and_identities_that_survive_an_unrelated_edit(self):
        for language, text, expected, edited, untouched in (
                ("cxx", CXX, CXX_EXPECTED, CXX_EDITED, "Clamp(int, int)"),
                ("python", PYTHON, PYTHON_EXPECTED, PYTHON_EDITED, "clamp")):
            with self.subTest(language=language):
                mutants = self.generated(language, text)
                self.assertEqual({(m.function, m.operator, m.original, m.replacement) for m in mutants}, expected)
                self.assertEqual(len({m.identity for m in mutants}), len(mutants))
                before = {m.identity: m.line for m in mutants if m.function == untouched}
                after = {m.identity: m.line for m in self.generated(language, edited) if m.function == untouched}
                self.assertEqual(set(after), set(before))
                self.assertTrue(all(after[i] > before[i] for i in before))

    def test_a_sample_is_spread_by_size_the_same_for_the_same_seed_and_part_of_a_larger_one(self):
        mutants = self.generated("cxx", CXX)
        for index, mutant in enumerate(mutants):
            mutant.path = ("big/" if index % 3 else "small/") + mutant.path
        sizes = {"big": 90, "small": 10}
        first = sampling.sample(mutants, sizes, 6, seed=7)
        self.assertEqual(sorted(m.folder for m in first), ["big"] * 5 + ["small"])
        self.assertEqual([m.identity for m in sampling.sample(list(reversed(mutants)), sizes, 6, seed=7)],
                         [m.identity for m in first])
        self.assertLess({m.identity for m in first}, {m.identity for m in sampling.sample(mutants, sizes, 9, seed=7)})


if __name__ == "__main__":
    unittest.main()
