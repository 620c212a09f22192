"""Which tests a source file can reach, from ninja's graph: the objects compiled from it
(or, for a header, the objects that include it), every output built from those, and the
tests whose command or environment names such an output (a program, a module, or a
folder of them)."""

import os
import subprocess


def _ninja(build, *arguments):
    return subprocess.run(["ninja", "-C", build, "-t", *arguments], capture_output=True, text=True,
                          check=True).stdout


class Graph:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.outputs = set()
        for line in _ninja(build, "targets", "all").splitlines():
            name, _, rule = line.rpartition(": ")
            path = os.path.normpath(os.path.join(self.build, name))
            # What a compiler, linker or custom command makes; not phony names or the
            # build system's own files.
            if rule.startswith(("CXX_", "C_", "CUSTOM_COMMAND")) and os.path.isfile(path):
                self.outputs.add(path)
        # object -> the source and headers it was compiled from
        self.headers = {}
        current = None
        for line in _ninja(build, "deps").splitlines():
            if line and not line.startswith(" "):
                current = os.path.normpath(os.path.join(self.build, line.split(":", 1)[0]))
                self.headers[current] = set()
            elif line.strip() and current:
                self.headers[current].add(os.path.normpath(os.path.join(self.build, line.strip())))
        self._linked = None

    def linked(self):
        """module file -> the objects linked into it (through static libraries too), for
        every program and library; order-only dependencies are not links."""
        if self._linked is None:
            direct, current = {}, None
            listing = _ninja(self.build, "query", *sorted(os.path.relpath(o, self.build) for o in self.outputs))
            section = None
            for line in listing.splitlines():
                if not line.startswith(" "):
                    current = os.path.normpath(os.path.join(self.build, line.rstrip(":")))
                    direct[current] = []
                elif line.startswith("  ") and not line.startswith("    "):
                    section = line.strip().split(":")[0]
                elif section == "input" and not line.strip().startswith("||"):
                    name = line.strip().lstrip("| ").strip()
                    direct[current].append(os.path.normpath(os.path.join(self.build, name)))
            self._linked = {}
            for module in self.outputs:
                if not module.endswith((".exe", ".dll", ".asi")):
                    continue
                found, stack = set(), [module]
                while stack:
                    for item in direct.get(stack.pop(), ()):
                        if item.endswith((".obj", ".o")):
                            found.add(item)
                        elif item.endswith(".a") and item not in found:
                            found.add(item)
                            stack.append(item)
                self._linked[module] = {o for o in found if not o.endswith(".a")}
        return self._linked

    def inputs(self, outputs):
        """Everything the outputs are built from (sources, objects, order-only
        dependencies)."""
        if not outputs:
            return set()
        relative = [os.path.relpath(o, self.build) for o in sorted(outputs)]
        listing = _ninja(self.build, "inputs", *relative)
        return {os.path.normpath(os.path.join(self.build, p)) for p in listing.split()}

    def named_outputs(self, test):
        """The build outputs a test's command and environment name, a folder standing
        for every output in it."""
        words = list(test.command) + list(test.environment.values())
        named = set()
        for word in words:
            for part in word.split(os.pathsep) if os.pathsep in word else [word]:
                path = os.path.normpath(part) if os.path.isabs(part) else None
                if not path or not (path + os.sep).startswith(self.build + os.sep) and path != self.build:
                    continue
                if path in self.outputs:
                    named.add(path)
                else:
                    named.update(o for o in self.outputs if o.startswith(path + os.sep))
        return named

    def reached_files(self, test):
        """The sources and headers whose change can change what the test runs."""
        files = set()
        for item in self.inputs(self.named_outputs(test)):
            files.add(item)
            files.update(self.headers.get(item, ()))
        return files
