"""Mutants of C and C++ files, from libclang's cursors and tokens (Debian's python3-clang).

The parser sees what the compiler sees, so an operator is known as one (not a template
bracket or a pointer's star), a call statement from a declaration, a literal from the
digits of a name. What is left alone: anything inside a macro's expansion or a
static_assert, preprocessor lines (they are not cursors), the content of string and
character literals, floating-point literals.
"""

import functools
import os
import shlex
import subprocess

# Debian's python3-clang: the tools run under /usr/bin/python3 (tools/mutate.sh).
import clang.cindex as ci
from mutant import Mutant, file_digest, number_occurrences, squash

K = ci.CursorKind

# Replacements per operator token: (operator class, replacement).
BINARY = {
    "<": [("boundary", "<="), ("relational", ">=")],
    "<=": [("boundary", "<"), ("relational", ">")],
    ">": [("boundary", ">="), ("relational", "<=")],
    ">=": [("boundary", ">"), ("relational", "<")],
    "==": [("relational", "!=")],
    "!=": [("relational", "==")],
    "+": [("arithmetic", "-")],
    "-": [("arithmetic", "+")],
    "*": [("arithmetic", "/")],
    "/": [("arithmetic", "*")],
    "%": [("arithmetic", "/")],
    "&": [("bitwise", "|")],
    "|": [("bitwise", "&")],
    "^": [("bitwise", "|")],
    "<<": [("bitwise", ">>")],
    ">>": [("bitwise", "<<")],
    "&&": [("logical", "||")],
    "||": [("logical", "&&")],
}
COMPOUND = {
    "+=": "-=", "-=": "+=", "*=": "/=", "/=": "*=", "%=": "/=",
    "|=": "&=", "&=": "|=", "^=": "|=", "<<=": ">>=", ">>=": "<<=",
}
FUNCTIONS = {K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.DESTRUCTOR, K.CONVERSION_FUNCTION,
             K.FUNCTION_TEMPLATE}
SCOPES = {K.NAMESPACE, K.CLASS_DECL, K.STRUCT_DECL, K.UNION_DECL, K.CLASS_TEMPLATE,
          K.LINKAGE_SPEC, K.UNEXPOSED_DECL}
LOOPS_AND_BRANCHES = {K.IF_STMT, K.WHILE_STMT, K.DO_STMT}
# What encloses a mutant outside any function, as its identity names it.
OUTSIDE_FUNCTIONS = {K.VAR_DECL: "var", K.FIELD_DECL: "field", K.ENUM_DECL: "enum"}


@functools.lru_cache(maxsize=None)
def system_includes(compiler):
    """The compiler's own include folders, in its order (libclang does not know a cross
    compiler's)."""
    try:
        run = subprocess.run([compiler, "-xc++", "-E", "-v", "/dev/null"], capture_output=True,
                             text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return ()
    folders, inside = [], False
    for line in run.stderr.splitlines():
        if line.startswith("#include <...> search starts here"):
            inside = True
        elif line.startswith("End of search list"):
            break
        elif inside:
            folders.append(os.path.normpath(line.strip()))
    return tuple(folders)


def parser_arguments(command, source):
    """libclang's arguments from a compile command: its defines, include folders and
    language options, the target and the compiler's own include folders."""
    words = shlex.split(command) if isinstance(command, str) else list(command)
    compiler, words = words[0], words[1:]
    kept, skip = [], False
    for word in words:
        if skip:
            skip = False
        elif word in ("-o", "-MF", "-MT", "-MQ", "-c"):
            skip = True
        elif word in ("-MD", "-MMD") or word == source or word.startswith("-fdebug-prefix-map"):
            continue
        else:
            kept.append(word)
    name = os.path.basename(compiler)
    if "mingw32" in name:
        kept += ["--target=" + name.rsplit("-", 1)[0], "-nostdinc", "-nostdinc++"]
        for folder in system_includes(compiler):
            kept += ["-isystem", folder]
    return kept


class _File:
    """The main file of one translation unit: its bytes, tokens and macro expansions."""

    def __init__(self, tu, path, source):
        self.path = os.path.abspath(path)
        self.source = source
        self.tokens = []   # (start, end, spelling, kind)
        start = ci.SourceLocation.from_offset(tu, tu.get_file(path), 0)
        end = ci.SourceLocation.from_offset(tu, tu.get_file(path), len(source))
        for token in tu.get_tokens(extent=ci.SourceRange.from_locations(start, end)):
            if token.kind == ci.TokenKind.COMMENT:
                continue
            self.tokens.append((token.extent.start.offset, token.extent.end.offset, token.spelling,
                                token.kind))
        self.macros = [(c.extent.start.offset, c.extent.end.offset) for c in tu.cursor.get_children()
                       if c.kind == K.MACRO_INSTANTIATION and self.owns(c)]

    def owns(self, cursor):
        where = cursor.extent.start.file
        return where is not None and os.path.abspath(where.name) == self.path

    def in_macro(self, start, end):
        return any(s < end and start < e for s, e in self.macros)

    def tokens_in(self, start, end):
        return [t for t in self.tokens if t[0] >= start and t[1] <= end]

    def text(self, start, end):
        return self.source[start:end].decode("utf-8", "replace")

    def squashed(self, start, end):
        return squash(t[2] for t in self.tokens_in(start, end))

    def line(self, offset):
        return self.source.count(b"\n", 0, offset) + 1


def _extent(cursor):
    return cursor.extent.start.offset, cursor.extent.end.offset


def _qualified(cursor):
    names = []
    parent = cursor.semantic_parent
    while parent is not None and parent.kind != K.TRANSLATION_UNIT:
        if parent.kind in (K.NAMESPACE, K.CLASS_DECL, K.STRUCT_DECL, K.UNION_DECL, K.CLASS_TEMPLATE):
            names.append(parent.spelling or "(anonymous)")
        parent = parent.semantic_parent
    return "::".join(list(reversed(names)) + [cursor.displayname or cursor.spelling])


def _strip(cursor):
    """The expression under implicit wrappers (casts, cleanups) that span the same text."""
    while cursor.kind == K.UNEXPOSED_EXPR:
        children = list(cursor.get_children())
        if len(children) != 1 or _extent(children[0]) != _extent(cursor):
            break
        cursor = children[0]
    return cursor


def _integer_variants(spelling):
    """n+1 and n-1 of an integer literal, in its own base and with its suffix."""
    body = spelling.replace("'", "")
    lower = body.lower()
    if lower.startswith("0x"):
        base, prefix, digits = 16, body[:2], body[2:]
    elif lower.startswith("0b"):
        base, prefix, digits = 2, body[:2], body[2:]
    elif len(body) > 1 and body.startswith("0") and body[1].isdigit():
        base, prefix, digits = 8, "0", body[1:]
    else:
        base, prefix, digits = 10, "", body
    cut = len(digits)
    while cut and digits[cut - 1] in "uUlLzZ":
        cut -= 1
    number, suffix = digits[:cut], digits[cut:]
    try:
        value = int(number, base)
    except ValueError:
        return []
    fmt = {16: "x" if number == number.lower() else "X", 8: "o", 2: "b", 10: "d"}[base]
    variants = [value + 1] if value == 0 else [value + 1, value - 1]
    return [prefix + format(v, fmt) + suffix for v in variants]


class _Generator:
    def __init__(self, relpath, unit):
        self.relpath = relpath
        self.unit = unit
        self.found = []

    def add(self, function, operator, start, end, text, replacement=None):
        """One mutant: the bytes start..end become text; replacement is how the identity
        writes text (tokens joined by one blank), when its words are not the tokens."""
        if self.unit.in_macro(start, end):
            return
        original = self.unit.squashed(start, end) or self.unit.text(start, end)
        self.found.append(Mutant(
            path=self.relpath, function=function, operator=operator, original=original,
            replacement=" ".join(text.split()) if replacement is None else replacement,
            start=start, end=end, text=text, line=self.unit.line(start)))

    def negated(self, function, operator, cursor):
        start, end = _extent(cursor)
        self.add(function, operator, start, end, "!(" + self.unit.text(start, end) + ")",
                 "! ( " + self.unit.squashed(start, end) + " )")

    # -- the walk -----------------------------------------------------------------------
    def walk(self, cursor, function=None):
        """Visits the cursors of the main file; function is the name mutants get, None
        while no function, variable or field encloses them."""
        for child in cursor.get_children():
            if not self.unit.owns(child):
                continue
            kind = child.kind
            if kind == K.STATIC_ASSERT:
                continue
            if kind in FUNCTIONS:
                if child.is_definition():
                    self.walk(child, _qualified(child))
                continue
            if kind in SCOPES and function is None:
                self.walk(child)
                continue
            if function is None and kind in OUTSIDE_FUNCTIONS:
                self.walk(child, OUTSIDE_FUNCTIONS[kind] + " " + _qualified(child))
                continue
            if function is None:
                self.walk(child)
                continue
            self.visit(child, function)
            self.walk(child, function)

    def visit(self, cursor, function):
        kind = cursor.kind
        if kind == K.BINARY_OPERATOR:
            self.binary(cursor, function)
        elif kind == K.COMPOUND_ASSIGNMENT_OPERATOR:
            self.binary(cursor, function, compound=True)
        elif kind == K.UNARY_OPERATOR:
            self.unary(cursor, function)
        elif kind == K.INTEGER_LITERAL:
            self.integer(cursor, function)
        elif kind == K.CXX_BOOL_LITERAL_EXPR:
            start, end = _extent(cursor)
            spelling = self.unit.text(start, end)
            if spelling in ("true", "false"):
                self.add(function, "boolean", start, end, "false" if spelling == "true" else "true")
        elif kind in LOOPS_AND_BRANCHES or kind == K.CONDITIONAL_OPERATOR:
            self.condition(cursor, function)
        elif kind == K.COMPOUND_STMT:
            for statement in cursor.get_children():
                self.statement(statement, function)
        elif kind == K.RETURN_STMT:
            self.return_value(cursor, function)
        elif kind == K.CALL_EXPR:
            self.swap_arguments(cursor, function)
        if kind in (K.IF_STMT, K.WHILE_STMT, K.FOR_STMT, K.DO_STMT):
            # A branch or body without braces is a statement of its own.
            children = list(cursor.get_children())
            bodies = {K.IF_STMT: children[1:], K.WHILE_STMT: children[1:],
                      K.FOR_STMT: children[-1:], K.DO_STMT: children[:1]}[kind]
            for child in bodies:
                if child.kind != K.COMPOUND_STMT:
                    self.statement(child, function)

    def operator_token(self, cursor):
        """The operator of a binary expression: the one token between its two operands."""
        children = list(cursor.get_children())
        if len(children) != 2:
            return None
        left_end = children[0].extent.end.offset
        right_start = children[1].extent.start.offset
        between = [t for t in self.unit.tokens if t[0] >= left_end and t[1] <= right_start]
        if len(between) != 1 or between[0][3] != ci.TokenKind.PUNCTUATION:
            return None
        return between[0]

    def binary(self, cursor, function, compound=False):
        token = self.operator_token(cursor)
        if token is None:
            return
        start, end, spelling, _ = token
        if compound:
            if spelling in COMPOUND:
                self.add(function, "assignment", start, end, COMPOUND[spelling])
            return
        for operator, replacement in BINARY.get(spelling, ()):
            self.add(function, operator, start, end, replacement)

    def unary(self, cursor, function):
        start, end = _extent(cursor)
        tokens = self.unit.tokens_in(start, end)
        if not tokens:
            return
        first, last = tokens[0], tokens[-1]
        if first[2] == "!" and len(tokens) > 1:
            self.add(function, "negation", first[0], first[1], "")
        for token in {first[2]: first, last[2]: last}.values():
            if token[2] in ("++", "--"):
                self.add(function, "increment", token[0], token[1], "--" if token[2] == "++" else "++")

    def integer(self, cursor, function):
        start, end = _extent(cursor)
        tokens = self.unit.tokens_in(start, end)
        if len(tokens) != 1 or tokens[0][3] != ci.TokenKind.LITERAL:
            return
        spelling = tokens[0][2]
        if not spelling[:1].isdigit():
            return
        for variant in _integer_variants(spelling):
            self.add(function, "constant", start, end, variant)

    def condition(self, cursor, function):
        children = list(cursor.get_children())
        if cursor.kind == K.DO_STMT:
            children = children[1:]
        if not children:
            return
        condition = _strip(children[0])
        if condition.kind in (K.VAR_DECL, K.DECL_STMT):
            return
        if condition.kind == K.UNARY_OPERATOR:
            tokens = self.unit.tokens_in(*_extent(condition))
            if tokens and tokens[0][2] == "!":
                return  # dropping the "!" is that mutant already
        if condition.kind == K.BINARY_OPERATOR:
            token = self.operator_token(condition)
            if token and token[2] in ("<", "<=", ">", ">=", "==", "!="):
                return  # the relational swap negates it already
        self.negated(function, "condition", condition)

    def statement(self, statement, function):
        expression = _strip(statement)
        start, end = _extent(statement)
        if expression.kind == K.CALL_EXPR:
            if expression.type.kind == ci.TypeKind.INVALID:
                return
            self.add(function, "drop-call", start, end, "")
        elif expression.kind in (K.BINARY_OPERATOR, K.COMPOUND_ASSIGNMENT_OPERATOR):
            token = self.operator_token(expression)
            if token and (token[2] == "=" or token[2] in COMPOUND):
                self.add(function, "drop-assignment", start, end, "")
        elif expression.kind == K.UNARY_OPERATOR:
            tokens = self.unit.tokens_in(start, end)
            if tokens and (tokens[0][2] in ("++", "--") or tokens[-1][2] in ("++", "--")):
                self.add(function, "drop-assignment", start, end, "")

    def return_value(self, cursor, function):
        children = list(cursor.get_children())
        if len(children) != 1:
            return
        value = _strip(children[0])
        type_ = children[0].type.get_canonical()
        start, end = _extent(children[0])
        text = self.unit.squashed(start, end)
        if type_.kind == ci.TypeKind.BOOL:
            if value.kind != K.CXX_BOOL_LITERAL_EXPR:
                self.negated(function, "return-value", children[0])
        elif type_.kind in (ci.TypeKind.VOID, ci.TypeKind.LVALUEREFERENCE, ci.TypeKind.RVALUEREFERENCE,
                            ci.TypeKind.INVALID):
            return
        elif text not in ("0", "nullptr", "{ }", "NULL", "0u", "0U"):
            self.add(function, "return-value", start, end, "{}")

    def swap_arguments(self, cursor, function):
        arguments = list(cursor.get_arguments())
        for left, right in zip(arguments, arguments[1:]):
            if left.type.kind == ci.TypeKind.INVALID or \
                    left.type.get_canonical().spelling != right.type.get_canonical().spelling:
                continue
            left_text = self.unit.text(*_extent(left))
            right_text = self.unit.text(*_extent(right))
            if not left_text or not right_text or squash(left_text.split()) == squash(right_text.split()):
                continue
            start, end = left.extent.start.offset, right.extent.end.offset
            middle = self.unit.text(left.extent.end.offset, right.extent.start.offset)
            self.add(function, "swap-arguments", start, end, right_text + middle + left_text,
                     self.unit.squashed(*_extent(right)) + " , " + self.unit.squashed(*_extent(left)))


def generate(path, relpath, arguments, unit=None):
    """Every mutant of one C or C++ file, parsed with the given compiler arguments; a
    header is parsed as a file that includes it (unit) sees it, when one is named."""
    with open(path, "rb") as handle:
        source = handle.read()
    unit = unit or path
    language = ["-x", "c"] if unit.endswith(".c") else ["-x", "c++"]
    index = ci.Index.create()
    tu = index.parse(unit, args=language + list(arguments),
                     options=ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD |
                     ci.TranslationUnit.PARSE_INCOMPLETE)
    errors = [str(d) for d in tu.diagnostics if d.severity >= ci.Diagnostic.Error]
    if tu.get_file(path) is None:
        return [], errors or [f"{unit} does not include {path}"]
    main = _File(tu, path, source)
    generator = _Generator(relpath, main)
    generator.walk(tu.cursor)
    mutants = [m for m in generator.found if main.source[m.start:m.end] != m.text.encode()]
    # One edit per place and replacement: a token reached twice (a template's
    # instantiations, a cursor seen from two parents) gives one mutant.
    unique = {}
    for m in mutants:
        m.digest = file_digest(source)
        unique.setdefault((m.start, m.end, m.text), m)
    return number_occurrences(list(unique.values())), errors
