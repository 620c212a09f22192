"""Machine-made mutants over the whole code, each tried against the default suite's tests
that can reach it. Run through tools/mutate.sh (set-up, Wine's environment):

    tools/mutate.sh                        # every mutant (hours)
    tools/mutate.sh --sample 200 --python-sample 250 --seed 1
                                           # 200 C/C++ and 250 Python mutants, spread over
                                           # the folders by size (under an hour; the README)
    tools/mutate.sh --again                # the last report's survivors, on today's code
    tools/mutate.sh --only KEY|REGEX       # mutants whose key or identity matches
    tools/mutate.sh --list [--sample ...]  # what would run, nothing run

The checkout is copied to scratch folders (one per job, two at most; never the working
tree), built there as tools/test.sh builds it, and measured once: every test's coverage
(coverage_map.py) and its verdict without any mutant (a test that fails then is left
out). Then per mutant: apply it, rebuild what compiles the file (a build that fails
makes it "not viable", not counted), run the tests that execute its code, cheapest and
likeliest first, stop at the first failure ("killed") or a test past its time
("timed out", its own class), then take it out again. Mutants judged equivalent are in
tests/mutants/equivalent.txt, one by one with a reason, and are not run again (each was
judged after a run it survived; --confirm-judged runs them). The report (report.txt and
report.json) goes to build/mutation/ unless --report says otherwise.
"""

import argparse
import collections
import concurrent.futures
import datetime
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import coverage_map
import ctests
import generate
import judged
import report
import sampling
import sources
from build_graph import Graph

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.normpath(os.path.join(HERE, "..", ".."))
TREES = ("native", "mingw")
BUILD_LIMIT = 1800    # seconds: a first build of both trees
REBUILD_LIMIT = 900   # an incremental rebuild with a mutant in
FIXTURE_EVERY = 200   # the shared Wine server stays 300 s after its last client
# Most of a scenario's time is waiting (on a deadline, a server, Wine): on two cores the
# mingw tests take 95 s under ctest -j2, 60 s under -j4 and 49 s under -j8. So the tests
# of one mutant run four at a time, and the machine runs six at most whatever the jobs.
TESTS_AT_ONCE = 4
MACHINE_SLOTS = 6
MACHINE_TESTS = threading.BoundedSemaphore(MACHINE_SLOTS)
STARTED = time.monotonic()


def log_line(text):
    elapsed = int(time.monotonic() - STARTED)
    print(f"{elapsed // 60:3d}:{elapsed % 60:02d} {text}", flush=True)


# -- scratch copies ---------------------------------------------------------------------
def copy_checkout(checkout, scratch):
    """The checkout's files as they are now (committed or not) into scratch, copied only
    where their content differs, so a kept scratch rebuilds only what changed."""
    wanted = set(sources.tracked(checkout))
    os.makedirs(scratch, exist_ok=True)
    kept_out = {"build", "deps", "dist", "release", ".git"}
    for folder, folders, files in os.walk(scratch):
        relative = os.path.relpath(folder, scratch)
        if relative == ".":
            folders[:] = [f for f in folders if f not in kept_out]
        for name in files:
            path = os.path.normpath(os.path.join(relative, name))
            if path not in wanted and "__pycache__" not in path:
                os.remove(os.path.join(scratch, path))
    for path in wanted:
        source, target = os.path.join(checkout, path), os.path.join(scratch, path)
        try:
            with open(source, "rb") as a, open(target, "rb") as b:
                if a.read() == b.read():
                    continue
        except FileNotFoundError:
            pass
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
    deps = os.path.join(scratch, "deps")
    if not os.path.lexists(deps):
        os.symlink(os.path.join(checkout, "deps"), deps)
    # A repository of its own, nothing committed: a test that lists the checkout's files
    # with git (layout.server_wing) lists the copy's, as untracked files.
    if not os.path.isdir(os.path.join(scratch, ".git")):
        subprocess.run(["git", "init", "-q", scratch], check=True, capture_output=True)


# This tool's files that decide what the coverage and the baseline find.
MEASURING = ("coverage_map.py", "coverage_flush.cpp", "pyunit.py", "ctests.py", "build_graph.py")


def tree_digest(checkout):
    """What the coverage and baseline depend on: the tracked files' contents (this tool's
    only where they measure)."""
    digest = hashlib.sha1()
    mine = os.path.relpath(HERE, checkout) + "/"
    for path in sources.tracked(checkout):
        if path.startswith(mine) and path[len(mine):] not in MEASURING:
            continue
        digest.update(path.encode() + b"\0")
        with open(os.path.join(checkout, path), "rb") as handle:
            digest.update(hashlib.sha1(handle.read()).digest())
    return digest.hexdigest()[:16]


class Worker:
    """One scratch copy with its own builds: one mutant at a time."""

    def __init__(self, root, index, logs):
        self.root = root
        self.index = index
        self.logs = logs
        self.builds = {tree: os.path.join(root, "build", tree) for tree in TREES}
        self.tests = {}
        self.dirty = set()
        self.fixtures_at = 0.0
        self.fixture_lock = threading.Lock()
        self.interpreters = {}

    def build(self, trees, limit, log):
        scenario_timeout = os.environ.get("MURMELON_SCENARIO_TIMEOUT", "60")
        for tree in trees:
            steps = [["ninja", "-C", self.builds[tree]]]
            if not os.path.isfile(os.path.join(self.builds[tree], "build.ninja")):
                configure = ["cmake", "--preset", tree]
                if tree == "mingw":
                    configure.append(f"-DMURMELON_SCENARIO_TIMEOUT={scenario_timeout}")
                steps.insert(0, configure)
            for step in steps:
                status, _, _ = ctests.run_command(step, self.root, dict(os.environ), limit, log)
                if status != 0:
                    return False
            self.dirty.discard(tree)
        return True

    def load_tests(self):
        self.tests = {}
        for tree in TREES:
            for test in ctests.load(self.builds[tree], tree):
                self.tests[test.name] = test

    def interpreter(self, program):
        """The interpreter a test's command names, resolved once (pyenv's shim costs a
        tenth of a second per start)."""
        if program not in self.interpreters:
            status, output, _ = ctests.run_command([program, "-c", "import sys; print(sys.executable)"],
                                                   self.root, dict(os.environ), 60)
            self.interpreters[program] = output.strip().splitlines()[-1] if status == 0 else program
        return self.interpreters[program]

    def ensure_fixtures(self, test, log):
        with self.fixture_lock:
            if not test.fixtures_required or time.monotonic() - self.fixtures_at < FIXTURE_EVERY:
                return
            for setup in self.tests.values():
                if set(setup.fixtures_setup) & set(test.fixtures_required):
                    ctests.run(setup, log=log)
            self.fixtures_at = time.monotonic()

    def tasks(self, contexts, baseline):
        """The contexts as tasks, each a list of (test, cases, seconds) run one after the
        other: cases of one unittest test that follow each other share a process, and a
        test that needs another's output (not a fixture's) has that test in front, in the
        same task, even where the other is a context of its own too."""
        groups = []
        for context in contexts:
            if groups and context["case"] and groups[-1][0]["test"] == context["test"] and groups[-1][0]["case"]:
                groups[-1].append(context)
            else:
                groups.append([context])
        needed = {name for c in contexts for name in self.tests[c["test"]].depends
                  if name in self.tests and not self.tests[name].fixtures_setup}
        tasks = []
        for group in groups:
            test = self.tests[group[0]["test"]]
            if test.name in needed and not group[0]["case"]:
                continue  # runs in front of the test that needs it
            steps = [(self.tests[name], [None], baseline.get(name, 10), {"context": name, "test": name, "case": None})
                     for name in test.depends if name in needed]
            steps.append((test, [c["case"] for c in group], sum(baseline.get(c["context"], 10) for c in group), group))
            tasks.append(steps)
        return tasks

    def run_contexts(self, contexts, baseline, log):
        """Runs the contexts, TESTS_AT_ONCE at a time in the order given, and stops at the
        first that fails (ending those still running). Returns (verdict, context, ran) with
        verdict "passed", "failed" or "timeout"."""
        running, lock = set(), threading.Lock()
        decided, ran, whole = [], [0], set()  # whole: tasks whose every step passed

        def task(index, steps):
            for test, cases, seconds, what in steps:
                if decided:
                    return
                verdict, failed_case = self._run_group(test, cases, seconds, log, running,
                                                       cancelled=lambda: bool(decided))
                with lock:
                    if decided:
                        return
                    ran[0] += len(cases)
                    if verdict != "passed":
                        group = what if isinstance(what, list) else [what]
                        decided.append((verdict, next((c for c in group if c["case"] == failed_case), group[0])))
                        ctests.stop(running)
                        return
            with lock:
                whole.add(index)
        tasks = self.tasks(contexts, baseline)
        with concurrent.futures.ThreadPoolExecutor(TESTS_AT_ONCE) as pool:
            list(pool.map(task, range(len(tasks)), tasks))
        if not decided:
            return "passed", None, ran[0]
        verdict, culprit = decided[0]
        # A failure beside another test may be the machine's load: it counts when the
        # test fails again alone. If it passes alone, every test that has not passed yet
        # runs again, one by one (a task that passed whole beside the others has its
        # verdict; running it again could only repeat it).
        index, steps = next((i, t) for i, t in enumerate(tasks)
                            if any(culprit in (w if isinstance(w, list) else [w]) for *_, w in t))
        for test, cases, seconds, what in steps:
            again, _ = self._run_group(test, cases, seconds, log)
            if again != "passed":
                return verdict, culprit, ran[0]
        whole.add(index)
        for steps in (t for i, t in enumerate(tasks) if i not in whole):
            for test, cases, seconds, what in steps:
                again, failed_case = self._run_group(test, cases, seconds, log)
                ran[0] += len(cases)
                if again != "passed":
                    group = what if isinstance(what, list) else [what]
                    return again, next((c for c in group if c["case"] == failed_case), group[0]), ran[0]
        return "passed", None, ran[0]

    def _run_group(self, test, cases, seconds, log, running=None, cancelled=lambda: False):
        """(verdict, the failing case); a group whose turn comes once cancelled() is
        true does not run and counts as passed."""
        self.ensure_fixtures(test, log)
        limit = max(30.0, 5 * seconds + 20)
        extra = {"PYTHONDONTWRITEBYTECODE": "1"}
        command = None
        if cases and cases[0]:
            command = coverage_map.case_command(test, cases, self.interpreter(test.command[0]))
        with MACHINE_TESTS:
            if cancelled():
                return "passed", None
            outcome = ctests.run(test, limit=limit, extra_environment=extra, command=command, log=log,
                                 running=running)
        if outcome.verdict in ("passed", "skipped"):
            return "passed", None
        failed = re.findall(r"^FAILED (\S+)$", outcome.output, re.MULTILINE)
        return outcome.verdict, failed[-1] if failed else None


# -- what reaches what -------------------------------------------------------------------
class Reach:
    """For the files of worker 0's copy: the tests the build graph says can reach each,
    the trees that compile each, and the coverage map."""

    def __init__(self, worker, coverage):
        self.root = worker.root
        self.coverage = coverage
        self.by_test = {}
        self.compiled = {}
        for tree in TREES:
            graph = Graph(worker.builds[tree])
            self.compiled[tree] = {f for files in graph.headers.values() for f in files}
            for test in worker.tests.values():
                if test.tree == tree:
                    self.by_test[test.name] = {os.path.relpath(f, self.root) for f in graph.reached_files(test)}
        self.tree_of = {name: test.tree for name, test in worker.tests.items()}

    def trees_compiling(self, path):
        absolute = os.path.join(self.root, path)
        return [tree for tree in TREES if absolute in self.compiled[tree]]

    def contexts_for(self, mutant, usable):
        """The runs (contexts) that can catch the mutant, of those usable."""
        if mutant.path.endswith(".py"):
            first, last = mutant.reach or (mutant.line, mutant.line)
            covering = self.coverage.python_contexts(mutant.path, first, last)
            return [c for c in usable if c["context"] in covering]
        chosen = []
        for context in usable:
            if mutant.path not in self.by_test.get(context["test"], ()):
                continue
            if self.tree_of.get(context["test"]) != "mingw" or \
                    self.coverage.runs_cxx(context["context"], mutant.path, mutant.line):
                chosen.append(context)
        return chosen


# -- one mutant --------------------------------------------------------------------------
class Runner:
    def __init__(self, workers, reach, usable, baseline, equivalents, total, confirm_judged=False):
        self.confirm_judged = confirm_judged
        self.workers = workers
        self.reach = reach
        self.usable = usable
        self.baseline = baseline
        self.equivalents = equivalents
        self.total = total
        self.history = collections.defaultdict(collections.Counter)  # a file or folder -> the contexts that caught its mutants
        self.lock = threading.Lock()
        self.done = 0

    def order(self, mutant, contexts):
        """Cases of one test together (one process, one set-up of its class); first the
        tests that caught mutants of this file, then of its folder, then the tests of its
        area (named after its folder: crash_*, update_*; the native units for a file they
        compile), then the cheapest."""
        by_file, by_folder = self.history[mutant.path], self.history[mutant.folder]
        area = mutant.folder.rsplit("/", 1)[-1] + "_"
        cost = lambda c: self.baseline.get(c["context"], 10)  # noqa: E731

        def rank(group):
            name = group[0]["test"]
            near = name.startswith(area) or self.reach.tree_of.get(name) == "native"
            return (-sum(by_file[c["context"]] for c in group), -sum(by_folder[c["context"]] for c in group),
                    not near, sum(cost(c) for c in group), name)
        tests = {}
        for context in contexts:
            tests.setdefault(context["test"], []).append(context)
        groups = sorted(tests.values(), key=rank)
        return [c for group in groups for c in sorted(group, key=lambda c: (-by_file[c["context"]], cost(c)))]

    def run(self, worker, mutant):
        started = time.monotonic()
        log = os.path.join(worker.logs, mutant.key + ".log")
        result = {"key": mutant.key, "identity": mutant.identity, "path": mutant.path,
                  "line": mutant.line, "folder": mutant.folder, "function": mutant.function,
                  "operator": mutant.operator, "original": mutant.original,
                  "replacement": mutant.replacement,
                  "language": "python" if mutant.path.endswith(".py") else "cxx"}
        path = os.path.join(worker.root, mutant.path)
        with open(path, "rb") as handle:
            original = handle.read()
        stat = os.stat(path)
        is_python = result["language"] == "python"
        if mutant.identity in self.equivalents and not self.confirm_judged:
            # Judged by reading it after a run it survived (tests/mutants/equivalent.txt):
            # running it again shows nothing new; --confirm-judged does.
            result.update(status="survived", note="judged equivalent; not run")
            return self.finish(result, started)
        try:
            mutated = mutant.apply(original)
        except ValueError as error:
            result.update(status="not viable", note=str(error))
            return self.finish(result, started)
        contexts = self.order(mutant, self.reach.contexts_for(mutant, self.usable))
        trees = [] if is_python else self.reach.trees_compiling(mutant.path)
        try:
            with open(path, "wb") as handle:
                handle.write(mutated)
            if trees or worker.dirty:
                if not worker.build(sorted(set(trees) | worker.dirty), REBUILD_LIMIT, log):
                    result.update(status="not viable", note="does not build")
                    return self.finish(result, started)
            if not contexts:
                result.update(status="survived", note="no test runs it", tests=0)
                return self.finish(result, started)
            verdict, culprit, ran = worker.run_contexts(contexts, self.baseline, log)
            result["tests"] = ran
            if verdict == "passed":
                result.update(status="survived", note=f"{ran} of the suite's tests run it, all pass")
            else:
                result.update(status="killed" if verdict == "failed" else "timed out",
                              by=culprit["context"])
                with self.lock:
                    self.history[mutant.path][culprit["context"]] += 1
                    self.history[mutant.folder][culprit["context"]] += 1
        finally:
            with open(path, "wb") as handle:
                handle.write(original)
            if is_python:
                # The file as it was, times included: its cached bytecode stays right.
                os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
            else:
                worker.dirty.update(trees)
        return self.finish(result, started)

    def finish(self, result, started):
        result["seconds"] = round(time.monotonic() - started, 2)
        judged.apply(result, self.equivalents)
        with self.lock:
            self.done += 1
            by = f" by {result['by']}" if result.get("by") else ""
            note = f" ({result['note']})" if result.get("note") and result["status"] != "killed" else ""
            log_line(f"[{self.done}/{self.total}] {result['status']:<10} {result['path']}:{result['line']} "
                     f"{result['operator']} `{result['original']}` -> `{result['replacement']}`"
                     f"{by}{note} [{result['key']}, {result['seconds']} s]")
        return result


# -- the run -----------------------------------------------------------------------------
def prepare_workers(scratch, jobs, logs):
    workers = [Worker(os.path.join(scratch, f"w{i}"), i, logs) for i in range(jobs)]

    def ready(worker):
        copy_checkout(CHECKOUT, worker.root)
        if not worker.build(TREES, BUILD_LIMIT, os.path.join(logs, f"build-w{worker.index}.log")):
            raise RuntimeError(f"the unmutated checkout does not build in {worker.root}; "
                               f"see {logs}/build-w{worker.index}.log")
        worker.load_tests()
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(pool.map(ready, workers))
    return workers


def measure_coverage(worker, python_paths, scratch, digest, logs):
    cached = os.path.join(scratch, f"coverage-{digest}.json")
    if os.path.isfile(cached):
        log_line(f"coverage: kept from an earlier run ({cached})")
        return coverage_map.CoverageMap.load(cached)
    tree = os.path.join(worker.root, "build", "mutation-coverage")
    log_line("coverage: building the counting tree")
    coverage_map.configure_tree(worker.root, tree, os.path.join(logs, "coverage-build.log"))
    tests = ctests.load(tree, "mingw") + ctests.load(worker.builds["native"], "native")
    for test in tests:
        test.tree = "native" if test.name in worker.tests and worker.tests[test.name].tree == "native" else "mingw"
    runs, environment = coverage_map.measure(worker.root, tests, python_paths,
                                             os.path.join(scratch, "coverage-work"),
                                             os.path.join(logs, "coverage-runs.log"),
                                             jobs=MACHINE_SLOTS, progress=log_line)
    for run in runs:
        run["tree"] = worker.tests[run["test"]].tree if run["test"] in worker.tests else "mingw"
    result = coverage_map.CoverageMap.build(worker.root, tree, runs, environment, progress=log_line)
    result.save(cached)
    return result


def run_baseline(workers, contexts, logs):
    """Every context once without a mutant, on the real builds: its verdict and time. They
    run as many at a time as the machine takes (the times, taken under that load, give
    each test's limit room); one that fails then runs again alone before it counts."""
    pending = list(contexts)
    results = {}
    lock = threading.Lock()

    def drain(slot):
        worker = workers[slot % len(workers)]
        log = os.path.join(logs, f"baseline-{slot}.log")
        while True:
            with lock:
                if not pending:
                    return
                context = pending.pop(0)
            started = time.monotonic()
            verdict, _, _ = worker.run_contexts([context], {}, log)
            with lock:
                results[context["context"]] = {"verdict": verdict, "seconds": round(time.monotonic() - started, 2)}
    with concurrent.futures.ThreadPoolExecutor(MACHINE_SLOTS) as pool:
        list(pool.map(drain, range(MACHINE_SLOTS)))
    for context in contexts:
        if results[context["context"]]["verdict"] != "passed":
            verdict, _, _ = workers[0].run_contexts([context], {}, os.path.join(logs, "baseline-again.log"))
            results[context["context"]]["verdict"] = verdict
    return results


def folder_sizes(mutants):
    sizes = collections.Counter()
    for path in sorted({m.path for m in mutants}):
        sizes[path.rsplit("/", 1)[0] if "/" in path else "."] += sources.code_lines(CHECKOUT, path)
    return sizes


def choose(cxx, python, arguments, again=None):
    if again is not None:
        # The survivors of that report, by identity, whatever sample they came from.
        survivors = {r["identity"] for r in again["mutants"] if r["status"] == "survived"}
        chosen = [m for m in cxx + python if m.identity in survivors]
    else:
        if arguments.sample is not None:
            cxx = sampling.sample(cxx, folder_sizes(cxx), arguments.sample, arguments.seed)
        if arguments.python_sample is not None:
            python = sampling.sample(python, folder_sizes(python), arguments.python_sample, arguments.seed)
        chosen = cxx + python
    if arguments.only:
        pattern = re.compile(arguments.only)
        chosen = [m for m in chosen if m.key == arguments.only or pattern.search(m.identity)]
    return sorted(chosen, key=lambda m: (m.path.endswith(".py"), m.path, m.start, m.text))


def merged(first, again, rerun):
    """The first report with the results of its survivors run again (identities rerun):
    the first run's sample, command and time, the second's revision and time beside them."""
    summary = dict(first)
    summary["mutants"] = sorted([r for r in first["mutants"] if r["identity"] not in rerun] + again["mutants"],
                                key=lambda r: (r["path"], r["line"], r["key"]))
    summary["again"] = {k: again[k] for k in ("revision", "command", "seconds", "finished", "stopped")}
    summary["again"]["mutants"] = len(again["mutants"])
    summary["stale_judgements"] = again["stale_judgements"]
    return summary


def rejudge(folder):
    """The report in folder again, with today's judgements: a survivor judged now becomes
    equivalent, one no longer judged a survivor again."""
    with open(os.path.join(folder, "report.json")) as handle:
        summary = json.load(handle)
    equivalents = judged.load(CHECKOUT)
    for result in summary["mutants"]:
        judged.apply(result, equivalents)
    known = set(summary.get("identities", [m["identity"] for m in summary["mutants"]]))
    summary["stale_judgements"] = sorted(i for i in equivalents if i not in known)
    report.write(summary, folder)
    log_line(open(os.path.join(folder, "report.txt")).read().split("\n\nSurvivors")[0])
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=int, help="C and C++ mutants to draw, spread over the folders by size")
    parser.add_argument("--python-sample", type=int, help="Python mutants to draw the same way (default: all)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", help="a mutant's key, or a regex on identities")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    parser.add_argument("--jobs", type=int, default=2, choices=(1, 2))
    parser.add_argument("--scratch", help="keep the scratch copies, builds and coverage here")
    parser.add_argument("--report", default=os.path.join(CHECKOUT, "build", "mutation"))
    parser.add_argument("--confirm-judged", action="store_true",
                        help="run the mutants judged equivalent too (a judgement a test proves wrong shows)")
    parser.add_argument("--again", action="store_true",
                        help="run the survivors of the report in --report again on today's code, and "
                             "write that report with their new results")
    parser.add_argument("--rejudge", action="store_true",
                        help="apply tests/mutants/equivalent.txt as it is now to the last report; run nothing")
    arguments = parser.parse_args(argv)
    if arguments.rejudge:
        return rejudge(arguments.report)
    started = time.monotonic()
    revision = subprocess.run(["git", "-C", CHECKOUT, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
    if subprocess.run(["git", "-C", CHECKOUT, "diff", "--quiet", "HEAD"]).returncode != 0:
        revision += " with local changes"
    equivalents = judged.load(CHECKOUT)
    again = None
    if arguments.again:
        with open(os.path.join(arguments.report, "report.json")) as handle:
            again = json.load(handle)

    scratch = arguments.scratch or tempfile.mkdtemp(prefix="murmelon-mutation.")
    scratch = os.path.abspath(scratch)
    os.makedirs(scratch, exist_ok=True)
    logs = os.path.join(arguments.report, "logs-again" if arguments.again else "logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    try:
        log_line(f"mutation run of {revision} in {scratch} (logs in {logs})")
        workers = prepare_workers(scratch, 1 if arguments.list else arguments.jobs, logs)
        cxx, python = generate.all_mutants(CHECKOUT, workers[0].root, workers[0].builds["mingw"],
                                           log=lambda text: log_line(text))
        chosen = choose(cxx, python, arguments, again)
        log_line(f"{len(cxx)} C/C++ and {len(python)} Python mutants; {len(chosen)} chosen")
        if arguments.list:
            for mutant in chosen:
                print(f"{mutant.key} {mutant.path}:{mutant.line} {mutant.identity}")
            return 0
        digest = tree_digest(CHECKOUT)
        _, python_paths = sources.discover(CHECKOUT)
        coverage = measure_coverage(workers[0], python_paths, scratch, digest, logs)
        contexts = [{"context": r["context"], "test": r["test"], "case": r["case"]}
                    for r in coverage.data["runs"] if r["test"] in workers[0].tests
                    and not workers[0].tests[r["test"]].fixtures_setup]
        cached = os.path.join(scratch, f"baseline-{digest}.json")
        if os.path.isfile(cached):
            with open(cached) as handle:
                baseline = json.load(handle)
        else:
            log_line(f"baseline: {len(contexts)} test runs without any mutant")
            baseline = run_baseline(workers, contexts, logs)
            with open(cached, "w") as handle:
                json.dump(baseline, handle)
        failing = sorted(c for c, r in baseline.items() if r["verdict"] != "passed")
        for context in failing:
            log_line(f"baseline: {context} fails without any mutant ({baseline[context]['verdict']}); left out")
        usable = [c for c in contexts if c["context"] not in failing]
        seconds = {c: r["seconds"] for c, r in baseline.items()}
        reach = Reach(workers[0], coverage)
        runner = Runner(workers, reach, usable, seconds, equivalents, len(chosen), arguments.confirm_judged)
        queue = list(chosen)
        lock = threading.Lock()
        results = []
        # Ctrl-C or a TERM: each worker ends the mutant it is on (taking it out again),
        # and the report covers those done.
        stop = threading.Event()
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, lambda *_: stop.set())

        def drain(worker):
            while True:
                with lock:
                    if not queue or stop.is_set():
                        return
                    mutant = queue.pop(0)
                outcome = runner.run(worker, mutant)
                with lock:
                    results.append(outcome)
        measured = time.monotonic()
        log_line(f"{len(chosen)} mutants to try")
        with concurrent.futures.ThreadPoolExecutor(len(workers)) as pool:
            list(pool.map(drain, workers))

        identities = {m.identity for m in cxx + python}
        summary = {
            "revision": revision,
            "command": "tools/mutate.sh " + " ".join(sys.argv[1:] if argv is None else argv),
            "seed": arguments.seed,
            "sample": arguments.sample,
            "python_sample": arguments.python_sample,
            "generated": {"cxx": len(cxx), "python": len(python)},
            "finished": datetime.datetime.now().isoformat(timespec="seconds"),
            "seconds": round(time.monotonic() - started),
            "measuring_seconds": round(measured - started),
            "jobs": len(workers),
            "stopped": len(results) < len(chosen),
            "failing_without_mutants": failing,
            "stale_judgements": sorted(i for i in equivalents if i not in identities),
            "identities": sorted(identities),
            "mutants": sorted(results, key=lambda r: (r["path"], r["line"], r["key"])),
        }
        if again is not None:
            summary = merged(again, summary, {r["identity"] for r in results})
        report.write(summary, arguments.report)
        log_line(open(os.path.join(arguments.report, "report.txt")).read().split("\n\nSurvivors")[0])
        return 0
    finally:
        if not arguments.scratch:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
