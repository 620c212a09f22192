"""The default suite's tests as CTest knows them, and one test run as CTest would run it:
its command, folder, environment, time limit and verdict rules, but at a time and in an
order of our choosing, with our own shorter limit, and with extra environment."""

import dataclasses
import json
import os
import re
import signal
import subprocess
import time


@dataclasses.dataclass
class Test:
    name: str
    tree: str                 # the build tree's name: "mingw", "native", ...
    command: list
    cwd: str
    environment: dict
    timeout: float
    passes: list              # PASS_REGULAR_EXPRESSION
    fails: list               # FAIL_REGULAR_EXPRESSION
    skip_code: int
    will_fail: bool
    depends: list
    fixtures_required: list
    fixtures_setup: list
    labels: list

    @property
    def python(self):
        """True for a test the Python interpreter runs (its command's program is one)."""
        return os.path.basename(self.command[0]).startswith("python")

    def unittest_arguments(self):
        """The arguments after "-m unittest", or None for a test that is not run that way."""
        if self.python and self.command[1:3] == ["-m", "unittest"]:
            return self.command[3:]
        return None


def load(build, tree):
    """Every test of a build tree but the long tier's, in CTest's order."""
    listing = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], capture_output=True,
                             text=True, check=True)
    tests = []
    for entry in json.loads(listing.stdout)["tests"]:
        properties = {p["name"]: p["value"] for p in entry.get("properties", [])}
        environment = {}
        for item in properties.get("ENVIRONMENT", []):
            key, _, value = item.partition("=")
            environment[key] = value
        labels = properties.get("LABELS", [])
        if "long" in labels or not entry.get("command"):
            continue
        tests.append(Test(
            name=entry["name"], tree=tree, command=entry["command"],
            cwd=properties.get("WORKING_DIRECTORY", build), environment=environment,
            timeout=float(properties.get("TIMEOUT", 1500)),
            passes=properties.get("PASS_REGULAR_EXPRESSION", []),
            fails=properties.get("FAIL_REGULAR_EXPRESSION", []),
            skip_code=int(properties.get("SKIP_RETURN_CODE", -1)),
            will_fail=bool(properties.get("WILL_FAIL", False)),
            depends=properties.get("DEPENDS", []),
            fixtures_required=properties.get("FIXTURES_REQUIRED", []),
            fixtures_setup=properties.get("FIXTURES_SETUP", []),
            labels=labels))
    return tests


@dataclasses.dataclass
class Outcome:
    verdict: str      # "passed", "failed", "timeout", "skipped"
    seconds: float
    output: str

    @property
    def passed(self):
        return self.verdict in ("passed", "skipped")


def run_command(command, cwd, environment, limit, log=None, running=None):
    """(exit status or None on a time-out, output, seconds): the command in a process
    group of its own, all of which is killed at the limit. running, a set, holds the
    process while it runs, so that another thread can end it (stop())."""
    started = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, env=environment, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                               start_new_session=True)
    if running is not None:
        running.add(process)
    try:
        output, _ = process.communicate(timeout=limit)
        status = process.returncode
    except subprocess.TimeoutExpired:
        _kill_group(process)
        output, _ = process.communicate()
        status = None
    finally:
        _kill_group(process)  # what it left running (a server, a Wine program)
        if running is not None:
            running.discard(process)
    text = output.decode("utf-8", "replace")
    if log is not None:
        with open(log, "a", encoding="utf-8") as handle:
            handle.write(f"$ (cd {cwd} && {' '.join(command)})\n{text}\n")
    return status, text, time.monotonic() - started


def stop(running):
    """Ends every process in running (see run_command), with what each started."""
    for process in list(running):
        _kill_group(process)


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def environment_for(test, extra=None):
    environment = dict(os.environ)
    environment.update(test.environment)
    environment.update(extra or {})
    return environment


def run(test, limit=None, extra_environment=None, command=None, log=None, running=None):
    """The test, judged by CTest's rules."""
    limit = min(test.timeout, limit) if limit else test.timeout
    status, output, seconds = run_command(command or test.command, test.cwd,
                                          environment_for(test, extra_environment), limit, log, running)
    if status is None:
        return Outcome("timeout", seconds, output)
    return Outcome(verdict(test, status, output), seconds, output)


def verdict(test, status, output):
    if test.skip_code >= 0 and status == test.skip_code:
        return "skipped"
    if test.passes:
        passed = any(re.search(p, output, re.MULTILINE) for p in test.passes)
    else:
        passed = status == 0
    if test.fails and any(re.search(p, output, re.MULTILINE) for p in test.fails):
        passed = False
    if test.will_fail:
        passed = not passed
    return "passed" if passed else "failed"
