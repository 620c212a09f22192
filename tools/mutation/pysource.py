"""Mutants of Python files, from Python's own parser (ast) and tokenizer.

The same operators as for C++, as Python spells them. Left alone: string constants
(docstrings and messages), anything inside an f-string, and expressions whose edit would
not be Python any more.
"""

import ast
import bisect
import io
import tokenize

from mutant import Mutant, file_digest, number_occurrences

BINARY = {
    ast.Add: [("arithmetic", "-")], ast.Sub: [("arithmetic", "+")],
    ast.Mult: [("arithmetic", "/")], ast.Div: [("arithmetic", "*")],
    ast.FloorDiv: [("arithmetic", "*")], ast.Mod: [("arithmetic", "//")],
    ast.BitOr: [("bitwise", "&")], ast.BitAnd: [("bitwise", "|")], ast.BitXor: [("bitwise", "|")],
    ast.LShift: [("bitwise", ">>")], ast.RShift: [("bitwise", "<<")],
}
COMPARE = {
    ast.Lt: [("boundary", "<="), ("relational", ">=")],
    ast.LtE: [("boundary", "<"), ("relational", ">")],
    ast.Gt: [("boundary", ">="), ("relational", "<=")],
    ast.GtE: [("boundary", ">"), ("relational", "<")],
    ast.Eq: [("relational", "!=")], ast.NotEq: [("relational", "==")],
    ast.In: [("relational", "not in")], ast.NotIn: [("relational", "in")],
    ast.Is: [("relational", "is not")], ast.IsNot: [("relational", "is")],
}
AUGMENTED = {ast.Add: "-=", ast.Sub: "+=", ast.Mult: "/=", ast.Div: "*=", ast.BitOr: "&=",
             ast.BitAnd: "|="}
SPELLING = {
    ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.FloorDiv: "//", ast.Mod: "%",
    ast.BitOr: "|", ast.BitAnd: "&", ast.BitXor: "^", ast.LShift: "<<", ast.RShift: ">>",
    ast.Lt: "<", ast.LtE: "<=", ast.Gt: ">", ast.GtE: ">=", ast.Eq: "==", ast.NotEq: "!=",
    ast.In: "in", ast.NotIn: "not in", ast.Is: "is", ast.IsNot: "is not",
}


class _Source:
    def __init__(self, source):
        self.source = source
        self.line_starts = [0]
        for index, byte in enumerate(source):
            if byte == 0x0A:
                self.line_starts.append(index + 1)
        text = source.decode("utf-8")
        self.lines = text.splitlines(keepends=True)
        # Operator and name tokens with byte offsets: (start, end, string).
        self.tokens = []
        for token in tokenize.tokenize(io.BytesIO(source).readline):
            if token.type in (tokenize.OP, tokenize.NAME):
                self.tokens.append((self.char_offset(*token.start), self.char_offset(*token.end),
                                    token.string))
        self.token_starts = [t[0] for t in self.tokens]

    def char_offset(self, line, column):
        """Byte offset of a tokenizer position (its columns count characters)."""
        if line - 1 >= len(self.lines):
            return len(self.source)
        return self.line_starts[line - 1] + len(self.lines[line - 1][:column].encode("utf-8"))

    def byte_offset(self, line, column):
        """Byte offset of an ast position (its columns count UTF-8 bytes)."""
        return self.line_starts[line - 1] + column

    def span(self, node):
        return (self.byte_offset(node.lineno, node.col_offset),
                self.byte_offset(node.end_lineno, node.end_col_offset))

    def tokens_between(self, start, end):
        first = bisect.bisect_left(self.token_starts, start)
        found = []
        for token in self.tokens[first:]:
            if token[0] >= end:
                break
            if token[1] <= end:
                found.append(token)
        return found

    def text(self, start, end):
        return self.source[start:end].decode("utf-8")

    def line(self, offset):
        return bisect.bisect_right(self.line_starts, offset)


def _unparsed(node):
    return " ".join(ast.unparse(node).split())


class _Generator(ast.NodeVisitor):
    def __init__(self, relpath, source):
        self.relpath = relpath
        self.src = source
        self.scope = []
        self.found = []
        self.statement_lines = [(1, 1)]

    def add(self, node_or_span, operator, text, original=None, replacement=None):
        start, end = node_or_span if isinstance(node_or_span, tuple) else self.src.span(node_or_span)
        if original is None:
            original = " ".join(self.src.text(start, end).split())
        self.found.append(Mutant(
            path=self.relpath, function=".".join(self.scope) or "<module>", operator=operator,
            original=original, replacement=" ".join(text.split()) if replacement is None else replacement,
            start=start, end=end, text=text, line=self.src.line(start),
            reach=list(self.statement_lines[-1])))

    def visit(self, node):
        if not isinstance(node, ast.stmt):
            return super().visit(node)
        # A compound statement is reached when its head runs; its body's statements
        # have lines of their own.
        head = getattr(node, "test", None) or getattr(node, "iter", None)
        if head is None and getattr(node, "items", None):
            head = node.items[-1].context_expr
        last = head.end_lineno if head is not None else node.end_lineno
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Try)):
            last = node.lineno
        self.statement_lines.append((node.lineno, last))
        try:
            return super().visit(node)
        finally:
            self.statement_lines.pop()

    def operator_between(self, left, right, spelling):
        """The span of an operator's token(s) between two operands."""
        start, end = self.src.span(left)[1], self.src.span(right)[0]
        words = spelling.split()
        tokens = [t for t in self.src.tokens_between(start, end) if t[2] not in ("(", ")")]
        for index in range(len(tokens) - len(words) + 1):
            if [t[2] for t in tokens[index:index + len(words)]] == words:
                return tokens[index][0], tokens[index + len(words) - 1][1]
        return None

    # -- scopes ---------------------------------------------------------------------------
    def visit_FunctionDef(self, node):
        for item in node.decorator_list + [node.args]:
            self.visit(item)
        self.scope.append(node.name)
        self.statements(node.body)
        for statement in node.body:
            self.visit(statement)
        self.scope.pop()

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_ClassDef(self, node):
        self.scope.append(node.name)
        self.generic_visit(node)
        self.scope.pop()

    def visit_JoinedStr(self, node):
        pass  # positions inside f-strings are not the file's

    # -- operators ------------------------------------------------------------------------
    def visit_BinOp(self, node):
        for operator, replacement in BINARY.get(type(node.op), ()):
            span = self.operator_between(node.left, node.right, SPELLING[type(node.op)])
            if span:
                self.add(span, operator, replacement)
        self.generic_visit(node)

    def visit_Compare(self, node):
        left = node.left
        for op, right in zip(node.ops, node.comparators):
            span = self.operator_between(left, right, SPELLING[type(op)])
            if span:
                for operator, replacement in COMPARE.get(type(op), ()):
                    self.add(span, operator, replacement)
            left = right
        self.generic_visit(node)

    def visit_BoolOp(self, node):
        word = "and" if isinstance(node.op, ast.And) else "or"
        for left, right in zip(node.values, node.values[1:]):
            span = self.operator_between(left, right, word)
            if span:
                self.add(span, "logical", "or" if word == "and" else "and")
        self.generic_visit(node)

    def visit_UnaryOp(self, node):
        if isinstance(node.op, ast.Not):
            start = self.src.span(node)[0]
            operand = self.src.span(node.operand)[0]
            self.add((start, operand), "negation", "", original="not")
        self.generic_visit(node)

    def visit_Constant(self, node):
        if isinstance(node.value, bool):
            self.add(node, "boolean", "False" if node.value else "True")
        elif isinstance(node.value, int):
            for value in ([node.value + 1] if node.value == 0 else [node.value + 1, node.value - 1]):
                self.add(node, "constant", str(value))

    def negated(self, node, operator):
        self.add(node, operator, "not (" + self.src.text(*self.src.span(node)) + ")",
                 replacement="not ( " + _unparsed(node) + " )", original=_unparsed(node))

    def condition(self, test):
        if isinstance(test, ast.UnaryOp) and isinstance(test.op, ast.Not):
            return  # dropping the "not" is that mutant already
        if isinstance(test, ast.Compare) and len(test.ops) == 1:
            return  # the relational swap negates it already
        self.negated(test, "condition")

    def visit_If(self, node):
        self.condition(node.test)
        self.statements(node.body + node.orelse)
        self.generic_visit(node)

    def visit_While(self, node):
        self.condition(node.test)
        self.statements(node.body + node.orelse)
        self.generic_visit(node)

    def visit_IfExp(self, node):
        self.condition(node.test)
        self.generic_visit(node)

    def visit_Return(self, node):
        value = node.value
        if value is not None and not (isinstance(value, ast.Constant) and value.value is None):
            self.add(value, "return-value", "None", original=_unparsed(value))
        self.generic_visit(node)

    def visit_AugAssign(self, node):
        replacement = AUGMENTED.get(type(node.op))
        if replacement:
            span = self.operator_between(node.target, node.value, SPELLING[type(node.op)] + "=")
            if span:
                self.add(span, "assignment", replacement)
        self.generic_visit(node)

    def visit_Call(self, node):
        positional = [a for a in node.args if not isinstance(a, ast.Starred)]
        if len(positional) == len(node.args):
            for left, right in zip(positional, positional[1:]):
                if _unparsed(left) == _unparsed(right):
                    continue
                start, end = self.src.span(left)[0], self.src.span(right)[1]
                middle = self.src.text(self.src.span(left)[1], self.src.span(right)[0])
                self.add((start, end), "swap-arguments",
                         self.src.text(*self.src.span(right)) + middle + self.src.text(*self.src.span(left)),
                         original=_unparsed(left) + " , " + _unparsed(right),
                         replacement=_unparsed(right) + " , " + _unparsed(left))
        self.generic_visit(node)

    # -- statements -----------------------------------------------------------------------
    def statements(self, body):
        for statement in body:
            self.statement_lines.append((statement.lineno, statement.end_lineno))
            if isinstance(statement, ast.Expr) and isinstance(statement.value, ast.Call):
                self.add(statement, "drop-call", "pass", original=_unparsed(statement))
            elif isinstance(statement, (ast.Assign, ast.AugAssign, ast.AnnAssign)) and \
                    self.scope and statement.value is not None:
                self.add(statement, "drop-assignment", "pass", original=_unparsed(statement))
            self.statement_lines.pop()

    def generic_visit(self, node):
        for field in ("body", "orelse", "finalbody", "handlers"):
            body = getattr(node, field, None)
            if isinstance(body, list) and body and isinstance(body[0], ast.stmt) and \
                    not isinstance(node, (ast.If, ast.While)):
                self.statements(body)
        super().generic_visit(node)


def generate(path, relpath):
    """Every mutant of one Python file."""
    with open(path, "rb") as handle:
        source = handle.read()
    tree = ast.parse(source, filename=path)
    generator = _Generator(relpath, _Source(source))
    generator.visit(tree)
    mutants = []
    seen = set()
    for mutant in generator.found:
        edit = (mutant.start, mutant.end, mutant.text)
        if edit in seen or source[mutant.start:mutant.end] == mutant.text.encode():
            continue
        seen.add(edit)
        changed = mutant.apply(source)
        try:
            compile(changed, path, "exec")
        except (SyntaxError, ValueError):
            continue  # not Python any more: nothing to run
        mutant.digest = file_digest(source)
        mutants.append(mutant)
    return number_occurrences(mutants)
