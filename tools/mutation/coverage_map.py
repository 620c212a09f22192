"""What each test of the default suite runs, measured once per revision, so that a mutant
is tried only against the tests that execute its code.

C and C++: a build tree of its own (the mingw one, with --coverage); every test runs
alone with GCOV_PREFIX naming a folder of its own, and gcov's JSON then tells which
functions ran. A process that ends without unloading the plug-in (a crash, a kill) writes
no counts, so a function no test is seen to run is not taken as proof that none does
(see select_cxx). Python: coverage.py (Debian's python3-coverage) with one context per
test case, in the test's own process and in every Python process it starts (a
sitecustomize on PYTHONPATH, and "python3" on PATH meaning the interpreter that has
coverage.py); each case of a "python -m unittest" test runs in a process of its own.
"""

import concurrent.futures
import json
import os
import shutil
import subprocess
import threading

import build_graph
import ctests

DEBIAN_PYTHON = "/usr/bin/python3"
GCOV = "i686-w64-mingw32-gcov"
HERE = os.path.dirname(os.path.abspath(__file__))
SITECUSTOMIZE = """\
import os
if os.environ.get("COVERAGE_PROCESS_START"):
    try:
        import coverage
        coverage.process_startup()
    except Exception:
        pass
"""


def configure_tree(root, build, log):
    """The mingw build of root in build, every object counting what runs, every module
    writing its counts after its crash filter too (coverage_flush.cpp). Made afresh: the
    links do not know they depend on that object."""
    shutil.rmtree(build, ignore_errors=True)
    os.makedirs(build)
    flush = os.path.join(build, "coverage_flush.o")
    # Unoptimised (NDEBUG as in the real build): every line's code stays where it is
    # written, and no function is inlined away (one inlined everywhere would count as
    # never run).
    flags = "--coverage"
    steps = [["i686-w64-mingw32-g++", "-O2", "-std=c++17", "-D_WIN32_WINNT=0x0501", "-fno-exceptions",
              "-fno-rtti", "-fno-threadsafe-statics", "-fno-asynchronous-unwind-tables", "-c",
              os.path.join(HERE, "coverage_flush.cpp"), "-o", flush],
             ["cmake", "--preset", "mingw", "-B", build, "-DMURMELON_SCENARIO_TIMEOUT=400",
              f"-DCMAKE_C_FLAGS={flags}", f"-DCMAKE_CXX_FLAGS={flags}",
              "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O0 -g -DNDEBUG", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O0 -g -DNDEBUG",
              f"-DCMAKE_EXE_LINKER_FLAGS={flags} {flush}", f"-DCMAKE_SHARED_LINKER_FLAGS={flags} {flush}"],
             ["cmake", "--build", build]]
    for step in steps:
        run = subprocess.run(step, cwd=root, capture_output=True, text=True)
        with open(log, "a") as handle:
            handle.write(run.stdout + run.stderr)
        if run.returncode != 0:
            raise RuntimeError(f"the coverage build failed ({' '.join(step)}); see {log}")


class _Environment:
    """Files that make every Python process of a test measure itself."""

    def __init__(self, work, root, python_paths):
        self.work = work
        os.makedirs(os.path.join(work, "site"), exist_ok=True)
        os.makedirs(os.path.join(work, "bin"), exist_ok=True)
        os.makedirs(os.path.join(work, "python"), exist_ok=True)
        with open(os.path.join(work, "site", "sitecustomize.py"), "w") as handle:
            handle.write(SITECUSTOMIZE)
        for name in ("python3", "python"):
            link = os.path.join(work, "bin", name)
            if not os.path.lexists(link):
                os.symlink(DEBIAN_PYTHON, link)
        folders = sorted({os.path.join(root, os.path.dirname(p)) for p in python_paths})
        self.rc = os.path.join(work, "coveragerc")
        with open(self.rc, "w") as handle:
            handle.write("[run]\n"
                         f"data_file = {os.path.join(work, 'python', 'data')}\n"
                         "parallel = True\n"
                         "context = ${MURMELON_MUTATION_CONTEXT}\n"
                         "source =\n" + "".join(f"    {f}\n" for f in folders) +
                         "disable_warnings = no-data-collected module-not-measured module-not-imported\n")

    def variables(self, context, index, python_path=None):
        """The run's variables; python_path is the test's own import path, which the
        sitecustomize goes in front of (the test measures the copy it imports)."""
        gcov = os.path.join(self.work, "gcov", str(index))
        os.makedirs(os.path.join(gcov, "loaded"), exist_ok=True)
        return {
            "GCOV_PREFIX": gcov, "GCOV_PREFIX_STRIP": "0",
            "COVERAGE_PROCESS_START": self.rc,
            "PYTHONPATH": os.pathsep.join(filter(None, [os.path.join(self.work, "site"), python_path])),
            "PATH": os.path.join(self.work, "bin") + os.pathsep + os.environ.get("PATH", ""),
            "MURMELON_MUTATION_CONTEXT": context,
        }


def _with_debian_python(command):
    if os.path.basename(command[0]).startswith("python"):
        return [DEBIAN_PYTHON] + list(command[1:])
    return list(command)


def pyunit_command(python, *arguments):
    """pyunit.py ARGUMENTS as "python -m unittest" would see its imports: run from "-c",
    so the working folder, not tools/mutation, leads the import path."""
    return [python, "-c", "import runpy, sys; runpy.run_path(sys.argv.pop(1), run_name='__main__')",
            os.path.join(HERE, "pyunit.py")] + list(arguments)


def list_cases(test, python=DEBIAN_PYTHON):
    """The unittest ids of a "python -m unittest" test, or None for another test."""
    arguments = test.unittest_arguments()
    if arguments is None:
        return None
    status, output, _ = ctests.run_command(pyunit_command(python, "list", *arguments),
                                           test.cwd, ctests.environment_for(test), 120)
    if status != 0:
        raise RuntimeError(f"cannot list the cases of {test.name}:\n{output}")
    return [line for line in output.splitlines() if line.strip()]


def case_command(test, cases, python):
    return pyunit_command(python, "run", *test.unittest_arguments(), "--", *cases)


def measure(root, tests, python_paths, work, log, jobs=2, progress=print):
    """Runs every test (each case of a unittest test alone) with coverage on; returns the
    runs: [{"context", "test", "case", "verdict", "seconds", "index"}]."""
    shutil.rmtree(work, ignore_errors=True)
    environment = _Environment(work, root, python_paths)
    runs = []
    for test in tests:
        cases = list_cases(test)
        for case in cases if cases is not None else [None]:
            runs.append({"context": test.name + ("::" + case if case else ""), "test": test.name,
                         "case": case, "index": len(runs)})
    by_name = {t.name: t for t in tests}
    # Fixture set-ups first, then the rest; a test that depends on another (not a
    # fixture) after everything else.
    setups = {t.name for t in tests if t.fixtures_setup}
    late = {t.name for t in tests if set(t.depends) - setups}
    phases = [[r for r in runs if r["test"] in setups],
              [r for r in runs if r["test"] not in setups | late],
              [r for r in runs if r["test"] in late]]
    lock = threading.Lock()
    done = [0]

    def one(run):
        test = by_name[run["test"]]
        # The test's own PYTHONPATH (the scratch copy's server/ and tools/), not this
        # process's (tools/common.sh points it at the checkout, which no mutant touches).
        extra = environment.variables(run["context"], run["index"],
                                      ctests.environment_for(test).get("PYTHONPATH"))
        command = case_command(test, [run["case"]], DEBIAN_PYTHON) if run["case"] else \
            _with_debian_python(test.command)
        outcome = ctests.run(test, extra_environment=extra, command=command, log=log)
        run["verdict"], run["seconds"] = outcome.verdict, round(outcome.seconds, 3)
        with lock:
            done[0] += 1
            if done[0] % 20 == 0 or done[0] == len(runs):
                progress(f"coverage: {done[0]} of {len(runs)} test runs")

    for phase in phases:
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            list(pool.map(one, phase))
    return runs, environment


def gcov_functions(gcov_dir, root):
    """({relpath: {(start, end, name)}}, {(relpath, start) of the functions that ran},
    {object paths, without their extension, that wrote counts}, {relpath: {line: ran}})
    from what one test run left under gcov_dir."""
    gcdas = []
    for folder, _, files in os.walk(gcov_dir):
        for name in files:
            if name.endswith(".gcda"):
                gcda = os.path.join(folder, name)
                original = os.path.join("/", os.path.relpath(folder, gcov_dir), name[:-5] + ".gcno")
                gcno = gcda[:-5] + ".gcno"
                if os.path.isfile(original) and not os.path.lexists(gcno):
                    os.symlink(original, gcno)
                gcdas.append(gcda)
    functions, ran, lines = {}, set(), {}
    objects = {os.path.join("/", os.path.relpath(g, gcov_dir))[:-5] for g in gcdas}
    if not gcdas:
        return functions, ran, objects, lines
    # Many files per call, a few hundred at most on one command line.
    for first in range(0, len(gcdas), 200):
        run = subprocess.run([GCOV, "-j", "-t"] + gcdas[first:first + 200], capture_output=True,
                             text=True, cwd=gcov_dir)
        decoder, text, at = json.JSONDecoder(), run.stdout, 0
        while True:
            while at < len(text) and text[at] != "{":
                at += 1
            if at >= len(text):
                break
            document, at = decoder.raw_decode(text, at)
            for entry in document.get("files", []):
                path = os.path.normpath(entry["file"])
                if not os.path.isabs(path):
                    continue
                relative = os.path.relpath(path, root)
                if relative.startswith(".."):
                    continue
                for function in entry.get("functions", []):
                    key = (function["start_line"], function["end_line"],
                           function.get("demangled_name", function["name"]))
                    functions.setdefault(relative, set()).add(key)
                    if function["execution_count"] > 0:
                        ran.add((relative, function["start_line"]))
                counted = lines.setdefault(relative, {})
                for line in entry.get("lines", []):
                    number = line["line_number"]
                    counted[number] = counted.get(number, False) or line["count"] > 0
    return functions, ran, objects, lines


def python_lines(environment):
    """{path: {line: [contexts]}} from the Python data of every run."""
    folder = os.path.join(environment.work, "python")
    if not any(n.startswith("data.") for n in os.listdir(folder)):
        return {}
    subprocess.run([DEBIAN_PYTHON, "-m", "coverage", "combine", f"--rcfile={environment.rc}"],
                   cwd=folder, capture_output=True, check=True)
    script = (
        "import json, sys\n"
        "from coverage import CoverageData\n"
        "data = CoverageData(sys.argv[1]); data.read()\n"
        "print(json.dumps({f: data.contexts_by_lineno(f) for f in data.measured_files()}))\n")
    listing = subprocess.run([DEBIAN_PYTHON, "-c", script, os.path.join(folder, "data")],
                             capture_output=True, text=True, check=True)
    return json.loads(listing.stdout)


class CoverageMap:
    def __init__(self, data):
        self.data = data
        # (relpath, start) -> runs (contexts) that ran it; relpath -> functions.
        self.functions = {p: [tuple(f) for f in fs] for p, fs in data["cxx_functions"].items()}
        self.cxx_ran = {c: {tuple(x) for x in ran} for c, ran in data["cxx_ran"].items()}
        self.flushed = {c: set(objects) for c, objects in data["flushed"].items()}
        self.code_lines = {p: set(n) for p, n in data["code_lines"].items()}
        self.lines_ran = {c: {p: set(n) for p, n in files.items()} for c, files in data["lines_ran"].items()}
        self.loaded = {c: set(modules) for c, modules in data["loaded"].items()}
        self.modules_of_object = data["modules_of_object"]
        self.objects_of_file = data["objects_of_file"]
        self.python = {p: {int(line): set(cs) for line, cs in lines.items()}
                       for p, lines in data["python"].items()}
        self.runs = {r["context"]: r for r in data["runs"]}

    @classmethod
    def build(cls, root, tree, runs, environment, progress=print):
        """The map of the runs measure() made with the coverage build tree."""
        graph = build_graph.Graph(tree)
        modules_of_object, objects_of_file = {}, {}
        for module, objects in graph.linked().items():
            for item in objects:
                modules_of_object.setdefault(os.path.splitext(item)[0], set()).add(os.path.basename(module))
        for item, files in graph.headers.items():
            for path in files:
                relative = os.path.relpath(path, root)
                if not relative.startswith(".."):
                    objects_of_file.setdefault(relative, set()).add(os.path.splitext(item)[0])
        functions, cxx_ran, flushed, loaded = {}, {}, {}, {}
        code_lines, lines_ran = {}, {}
        for index, run in enumerate(runs):
            folder = os.path.join(environment.work, "gcov", str(run["index"]))
            found, ran, objects, lines = gcov_functions(folder, root)
            for path, items in found.items():
                functions.setdefault(path, set()).update(items)
            context = run["context"]
            cxx_ran[context] = sorted(ran)
            for path, counted in lines.items():
                code_lines.setdefault(path, set()).update(counted)
            lines_ran[context] = {path: sorted(n for n, hit in counted.items() if hit)
                                  for path, counted in lines.items() if any(counted.values())}
            flushed[context] = sorted(objects)
            marks = os.path.join(folder, "loaded")
            loaded[context] = sorted(os.listdir(marks)) if os.path.isdir(marks) else []
            if (index + 1) % 50 == 0:
                progress(f"coverage: counts of {index + 1} of {len(runs)} runs read")
        python = {}
        for path, lines in python_lines(environment).items():
            relative = os.path.relpath(path, root)
            if not relative.startswith(".."):
                python[relative] = lines
        return cls({"cxx_functions": {p: sorted(fs) for p, fs in functions.items()},
                    "cxx_ran": cxx_ran, "flushed": flushed, "loaded": loaded,
                    "code_lines": {p: sorted(n) for p, n in code_lines.items()}, "lines_ran": lines_ran,
                    "modules_of_object": {o: sorted(m) for o, m in modules_of_object.items()},
                    "objects_of_file": {p: sorted(o) for p, o in objects_of_file.items()},
                    "python": python, "runs": runs})

    def save(self, path):
        with open(path, "w") as handle:
            json.dump(self.data, handle)

    @classmethod
    def load(cls, path):
        with open(path) as handle:
            return cls(json.load(handle))

    def function_at(self, path, line):
        """The innermost function of a C or C++ file that spans line, or None."""
        spans = [f for f in self.functions.get(path, ()) if f[0] <= line <= f[1]]
        return min(spans, key=lambda f: f[1] - f[0]) if spans else None

    def runs_cxx(self, context, path, line):
        """Whether a run (a context) may execute the code at path:line. Where the run's
        counts of the file's objects exist: whether they show the line ran or, for a line
        without code of its own, the enclosing function (a line in no function, a table's
        initial value, counts as run). Where they do
        not: whether a module with those objects loaded in the run and ended without
        writing them (killed): then it may have run."""
        objects = self.objects_of_file.get(path)
        if not objects or context not in self.flushed:
            return True
        if any(o in self.flushed[context] for o in objects):
            if line in self.code_lines.get(path, ()):
                return line in self.lines_ran[context].get(path, ())
            function = self.function_at(path, line)
            return function is None or (path, function[0]) in self.cxx_ran[context]
        loaded = self.loaded[context]
        return any(m in loaded for o in objects for m in self.modules_of_object.get(o, ()))

    def python_contexts(self, path, first, last):
        found = set()
        for line, contexts in self.python.get(path, {}).items():
            if first <= line <= last:
                found |= contexts
        found.discard("")
        return found
