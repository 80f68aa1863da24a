"""A deterministic completion engine that writes plausible Python for a prompt.

Prompts carry an instruction ("Write python code for:", "Optimize the following
code", "Explain the below given code", "Debug the below given error") and may be
preceded by context listing the notebook's modules and variables.  The engine picks
the user's request out of the prompt, recognises a few common intents and fills
them in with the DataFrames and columns it can see.  Code answers always parse.
"""

from __future__ import annotations

import ast
import keyword
import re
from dataclasses import dataclass, field

_INSTRUCTIONS = {
    "write python code for": "write",
    "optimize the following code": "optimize",
    "explain the below given code": "explain",
    "debug the below given error": "debug",
}
_INSTRUCTION_RE = re.compile("|".join(map(re.escape, _INSTRUCTIONS)), re.IGNORECASE)
_COLUMN_RE = re.compile(r"^\s*column\s*:\s*(.+?)\s*,\s*dtype\s*:\s*(\S+)", re.IGNORECASE)
_ALIAS_RE = re.compile(r"(?:import\s+)?([A-Za-z_][\w.]*)\s+as\s+([A-Za-z_]\w*)")
_NUMBER_RE = re.compile(r"-?\d+(?:\.\d+)?")
# How the kit describes a variable: "name: sales, type: DataFrame".
_VARIABLE_RE = re.compile(r"^name:\s*(\S+?),\s*type:\s*(.*)$")
# Modules are listed by the name they are bound to; these names say which module it is.
_MODULE_NAMES = {"pd": "pandas", "pandas": "pandas", "np": "numpy", "numpy": "numpy",
                 "plt": "matplotlib.pyplot", "sns": "seaborn", "seaborn": "seaborn"}
_DETAIL_KEYS = {"shape", "dtype", "type", "columns", "index", "size", "value", "len", "length", "column"}


@dataclass
class _Var:
    name: str
    kind: str = ""
    columns: list[tuple[str, str]] = field(default_factory=list)

    @property
    def is_frame(self) -> bool:
        return bool(self.columns) or "dataframe" in self.kind.lower()


@dataclass
class _Context:
    aliases: dict[str, str] = field(default_factory=dict)
    variables: list[_Var] = field(default_factory=list)


def _between(text: str, start: str, stop: str) -> str:
    low = text.lower()
    i = low.find(start)
    if i < 0:
        return ""
    j = low.find(stop, i)
    return text[i + len(start) : j if j >= 0 else len(text)]


def _parse_context(text: str) -> _Context:
    ctx = _Context()
    modules = _between(text, "modules:", "variables:")
    for module, alias in _ALIAS_RE.findall(modules):
        ctx.aliases[module] = alias
    for line in modules.splitlines():
        if line.strip() in _MODULE_NAMES:
            ctx.aliases[_MODULE_NAMES[line.strip()]] = line.strip()
    for line in _between(text, "variables:", "use them as context").splitlines():
        col = _COLUMN_RE.match(line)
        if col and ctx.variables:
            ctx.variables[-1].columns.append((col[1].strip("'\""), col[2]))
            continue
        described = _VARIABLE_RE.match(line)
        if described:
            ctx.variables.append(_Var(described[1], described[2]))
            continue
        m = re.match(r"\s*([^\W\d]\w*)\s*(?:[:=(,-]\s*)?(.*)", line)
        if not m or not m[1].isidentifier() or keyword.iskeyword(m[1]):
            continue
        if line[:1].isspace() and m[1].lower() in _DETAIL_KEYS and ctx.variables:
            continue
        ctx.variables.append(_Var(m[1], m[2]))
    return ctx


def split_prompt(prompt: str) -> tuple[str, str, str]:
    """Return (mode, request, context text) for a prompt."""
    matches = list(_INSTRUCTION_RE.finditer(prompt))
    if matches:
        last = matches[-1]
        mode = _INSTRUCTIONS[last.group(0).lower()]
        # The request follows the rest of the instruction's sentence, up to its colon
        # ("Explain the below given code and ... alike:\n"), and the ": " that joins them.
        rest = prompt[last.end() :]
        colon = rest.find(":")
        request = (rest[colon + 1 :] if colon >= 0 else rest).lstrip(": \t\r\n")
        return mode, request.strip(), prompt[: last.start()]
    if "use them as context" in prompt.lower() and ": " in prompt:
        head, _, request = prompt.rpartition(": ")
        return "write", request.strip(), head
    return "write", prompt.strip(), ""


def _comment(text: str, prefix: str = "# ") -> list[str]:
    clean = text.replace("\x00", "").encode("utf-8", "replace").decode("utf-8")
    return [prefix + line for line in clean.splitlines() if line.strip()] or [prefix.rstrip()]


def _words(text: str) -> set[str]:
    return set(re.findall(r"\w+", text.lower()))


def _has(low: str, *keys: str) -> bool:
    return any(k in low for k in keys)


def _numeric(dtype: str) -> bool:
    return dtype.lower().startswith(("int", "float", "uint", "number", "decimal"))


class _Writer:
    """Code for one request, using the variables in its context."""

    def __init__(self, request: str, ctx: _Context) -> None:
        self.req, self.low, self.ctx = request, request.lower(), ctx
        words = _words(request)
        frames = [v for v in ctx.variables if v.is_frame]
        named = [v for v in frames if v.name.lower() in words]
        self.frames = named + [v for v in frames if v not in named]
        self.named_frame = bool(named)
        self.df = self.frames[0] if self.frames else _Var("df")
        cols = self.df.columns
        self.mentioned = sorted(
            (c for c in cols if re.search(r"(?<!\w)" + re.escape(c[0].lower()) + r"(?!\w)", self.low)),
            key=lambda c: self.low.find(c[0].lower()),
        )
        # Mentioned columns first, each once.
        self.numeric = list(dict.fromkeys(c[0] for c in self.mentioned + cols if _numeric(c[1])))
        self.category = list(dict.fromkeys(c[0] for c in self.mentioned + cols if not _numeric(c[1])))
        self.pd = ctx.aliases.get("pandas", "pd")
        self.plt = ctx.aliases.get("matplotlib.pyplot", "plt")
        self.other = [v for v in ctx.variables if not v.is_frame and v.name.lower() in words]

    def number(self, default: int) -> int:
        m = _NUMBER_RE.search(self.req)
        return int(float(m.group(0))) if m else default

    def column(self) -> str | None:
        names = self.numeric or [c[0] for c in self.mentioned + self.df.columns]
        return names[0] if names else None

    def code(self) -> list[str]:
        low = self.low
        if "fibonacci" in low:
            n = self.number(10)
            return ["def fibonacci(n):", '    """Return the first n Fibonacci numbers."""', "    seq = []",
                    "    a, b = 0, 1", "    for _ in range(n):", "        seq.append(a)", "        a, b = b, a + b",
                    "    return seq", "", "", f"print(fibonacci({n}))"]
        if "prime" in low:
            n = self.number(100)
            return ["def is_prime(n):", "    if n < 2:", "        return False", "    i = 2", "    while i * i <= n:",
                    "        if n % i == 0:", "            return False", "        i += 1", "    return True", "", "",
                    f"primes = [n for n in range(2, {n + 1}) if is_prime(n)]", "print(primes)"]
        if "factorial" in low:
            return ["def factorial(n):", "    result = 1", "    for i in range(2, n + 1):", "        result *= i",
                    "    return result", "", "", f"print(factorial({self.number(5)}))"]
        if _has(low, "read", "load", "import", "open") and _has(low, "csv", "excel", "xlsx", "json", "parquet", "file"):
            return self.load()
        if _has(low, "plot", "chart", "graph", "visuali", "histogram", "scatter"):
            return self.plot()
        if not self.frames:
            return self.no_data()
        if _has(low, "merge", "join", "combine"):
            return self.merge()
        if _has(low, "correlat"):
            return [f"correlation = {self.df.name}.corr(numeric_only=True).round(2)", "print(correlation)"]
        if _has(low, "group", "aggregat"):
            return self.group()
        if _has(low, "missing", "null", "nan", "na values"):
            return self.missing()
        if _has(low, "describe", "summary", "summar", "statistic", "overview"):
            col = self.column() if self.mentioned else None
            target = f"{self.df.name}[{col!r}]" if col else self.df.name
            return [f"summary = {target}.describe({'' if col else 'include=' + repr('all')})", "print(summary)"]
        if _has(low, "sort", "order by", "rank"):
            return self.sort()
        if _has(low, "filter", "where", "select rows", "rows with", "greater", "less than"):
            return self.filter()
        return self.first_look()

    def aggregate(self) -> str:
        return next((a for k, a in (("average", "mean"), ("mean", "mean"), ("count", "count"), ("max", "max"),
                                    ("min", "min")) if k in self.low), "sum")

    def load(self) -> list[str]:
        m = re.search(r"[\w./\\-]+\.(csv|tsv|xlsx|xls|json|parquet)\b", self.req, re.IGNORECASE)
        path, ext = (m.group(0), m.group(1).lower()) if m else ("data.csv", "csv")
        stem = re.split(r"[/\\]", path)[-1].rsplit(".", 1)[0]
        name = stem if stem.isidentifier() and not keyword.iskeyword(stem) else "data"
        reader = {"xlsx": "read_excel", "xls": "read_excel", "json": "read_json", "parquet": "read_parquet"}
        extra = ", sep='\\t'" if ext == "tsv" else ""
        return [f"import pandas as {self.pd}", "", "try:",
                f"    {name} = {self.pd}.{reader.get(ext, 'read_csv')}({path!r}{extra})",
                "except FileNotFoundError:",
                f"    print({path!r}, 'is not in the working directory: put it there or give its full path')",
                "else:", f"    print({name}.shape)", f"    print({name}.head())"]

    def merge(self) -> list[str]:
        if len(self.frames) < 2:
            return [f"# Merging needs two DataFrames; this notebook has only {self.df.name}.",
                    f"print({self.df.name}.columns.tolist())"]
        left, right = self.frames[0].name, self.frames[1].name
        common = [c for c, _ in self.frames[0].columns if c in dict(self.frames[1].columns)]
        how = next((h for h in ("left", "right", "outer") if h in _words(self.req)), "inner")
        on = f"on={common[0]!r}" if common else "left_index=True, right_index=True"
        return [f"import pandas as {self.pd}", "", f"merged = {self.pd}.merge({left}, {right}, {on}, how={how!r})",
                "print(merged.head())"]

    def plot(self) -> list[str]:
        if "matplotlib.pyplot" in self.ctx.aliases:  # the notebook imported it, so it is there to use
            return self.plot_with_matplotlib()
        df, low = self.df.name, self.low
        col = self.column()
        if self.other and not (self.mentioned or self.named_frame):
            return ["# matplotlib is not imported in this notebook, so here are the values to plot.",
                    f"print({self.other[0].name})"]
        if not self.frames:
            return ["# There is no DataFrame in this notebook to plot, and matplotlib is not imported:",
                    "# an example chart of y = x * x, drawn with characters.",
                    "for x in range(10):", "    print(f\"{x:>3} {'#' * (x * x // 2)} {x * x}\")"]
        if "scatter" in low and len(self.numeric) >= 2:
            x, y = self.numeric[:2]
            return ["# matplotlib is not imported in this notebook, so instead of a scatter plot here are the",
                    "# pairs in order of the first column, and how closely they move together.",
                    f"pairs = {df}[[{x!r}, {y!r}]].dropna().sort_values({x!r})", "print(pairs.to_string(index=False))",
                    f"print('correlation:', round(pairs[{x!r}].corr(pairs[{y!r}]), 3))"]
        if _has(low, " by ", " per ", "each") and self.category and self.numeric:
            cat, num = self.category[0], self.numeric[0]
            values, what = f"{df}.groupby({cat!r})[{num!r}].{self.aggregate()}()", f"{num} by {cat}"
        elif col is None:
            return ["# matplotlib is not imported in this notebook, and this DataFrame has no columns to chart.",
                    f"print({df})"]
        elif _has(low, "hist", "distribution") and col in self.numeric:
            values, what = f"{df}[{col!r}].value_counts(bins={max(2, min(self.number(10), 50))}, sort=False)", \
                f"the distribution of {col}"
        elif col in self.numeric:
            values, what = f"{df}[{col!r}].head(30)", f"{col}, row by row"
        else:
            values, what = f"{df}[{col!r}].value_counts()", f"how often each {col} occurs"
        return [f"# matplotlib is not imported in this notebook, so this draws {what}",
                "# as a text bar chart (import matplotlib for a real one).",
                f"values = {values}.dropna()", "widest = values.abs().max()", "for label, value in values.items():",
                "    bar = '#' * round(40 * abs(value) / widest) if widest > 0 else ''",
                "    print(f'{str(label):>16}  {bar} {value:g}')"]

    def plot_with_matplotlib(self) -> list[str]:
        df, low, plt = self.df.name, self.low, self.plt
        out = [f"fig, ax = {plt}.subplots(figsize=(8, 4))"]
        col, title = self.column(), self.req[:60]
        if self.other and not (self.mentioned or self.named_frame):
            out.append(f"ax.plot({self.other[0].name})")
        elif not self.frames:
            out += ["x = list(range(10))", "ax.plot(x, [v * v for v in x])"]
        elif "scatter" in low and len(self.numeric) >= 2:
            x, y = self.numeric[:2]
            out += [f"ax.scatter({df}[{x!r}], {df}[{y!r}])", f"ax.set_xlabel({x!r})", f"ax.set_ylabel({y!r})"]
        elif _has(low, " by ", " per ", "each") and self.category and self.numeric:
            cat, num = self.category[0], self.numeric[0]
            out += [f"{df}.groupby({cat!r})[{num!r}].{self.aggregate()}().plot(kind='bar', ax=ax)",
                    f"ax.set_ylabel({num!r})"]
        else:
            kind = "hist" if _has(low, "hist", "distribution") else "bar" if "bar" in low else "line"
            target = f"{df}[{col!r}]" if col else df
            out.append(f"{target}.plot(kind={kind!r}, ax=ax{', bins=20' if kind == 'hist' else ''})")
            if col:
                out.append(f"ax.set_ylabel({col!r})")
        return out + [f"ax.set_title({title!r})", f"{plt}.tight_layout()", f"{plt}.show()"]

    def group(self) -> list[str]:
        df, agg = self.df.name, self.aggregate()
        if not (self.category and self.numeric):
            return [f"result = {df}.groupby({df}.columns[0]).agg({agg!r})", "print(result)"]
        cat, num = self.category[0], self.numeric[0]
        return [f"result = {df}.groupby({cat!r})[{num!r}].agg({agg!r}).reset_index()", "print(result)"]

    def missing(self) -> list[str]:
        df, low = self.df.name, self.low
        out = [f"missing = {df}.isna().sum()", "print(missing[missing > 0])"]
        if "fill" in low or "impute" in low:
            out.append(f"{df} = {df}.fillna({df}.median(numeric_only=True))")
        elif _has(low, "drop", "remove"):
            out.append(f"{df} = {df}.dropna()")
        return out

    def sort(self) -> list[str]:
        col = self.column()
        desc = _has(self.low, "desc", "largest", "highest", "top", "biggest", "decreasing")
        top = re.search(r"top\s+(\d+)", self.low)
        head = f".head({top.group(1)})" if top else ""
        by = f"sort_values({col!r}, ascending={not desc})" if col else f"sort_index(ascending={not desc})"
        return [f"sorted_df = {self.df.name}.{by}{head}", "print(sorted_df)"]

    def filter(self) -> list[str]:
        df, low = self.df.name, self.low
        col = self.column()
        if col is None:
            return self.first_look()
        op = "<" if _has(low, "less", "below", "under", "<") else "==" if _has(low, "equal", "==") else ">"
        quoted = re.search(r"['\"]([^'\"]+)['\"]", self.req)
        number = _NUMBER_RE.search(self.req)
        if quoted:
            value, col = repr(quoted.group(1)), (self.category or [col])[0]
            op = "=="
        else:
            value = number.group(0) if number else f"{df}[{col!r}].median()"
        return [f"filtered = {df}[{df}[{col!r}] {op} {value}]", "print(filtered)"]

    def first_look(self) -> list[str]:
        return ["# The offline engine has no recipe for this request; here is a first look at",
                f"# {self.df.name}, the data it could see, to start from.", f"print({self.df.name}.head())"]

    def no_data(self) -> list[str]:
        return ["# The offline engine has no recipe for this request and sees no DataFrame to work on;",
                "# here are the names this notebook defines, to start from.",
                "print(sorted(name for name in globals() if not name.startswith('_')))"]


class _Comprehensions(ast.NodeTransformer):
    """``x = []`` + ``for v in it: x.append(e)`` -> list comprehension; ``t = 0`` + ``for v in it: t += v`` -> sum."""

    def generic_visit(self, node: ast.AST) -> ast.AST:
        super().generic_visit(node)
        for name in ("body", "orelse", "finalbody"):
            stmts = getattr(node, name, None)
            if isinstance(stmts, list) and stmts and isinstance(stmts[0], ast.stmt):
                setattr(node, name, self._rewrite(stmts))
        return node

    @staticmethod
    def _rewrite(stmts: list[ast.stmt]) -> list[ast.stmt]:
        out: list[ast.stmt] = []
        for stmt in stmts:
            prev = out[-1] if out else None
            if (isinstance(prev, ast.Assign) and len(prev.targets) == 1 and isinstance(prev.targets[0], ast.Name)
                    and isinstance(stmt, ast.For) and not stmt.orelse and len(stmt.body) == 1):
                var, inner, ifs = prev.targets[0].id, stmt.body[0], []
                if isinstance(inner, ast.If) and not inner.orelse and len(inner.body) == 1:
                    ifs, inner = [inner.test], inner.body[0]
                call = inner.value if isinstance(inner, ast.Expr) else None
                if (isinstance(prev.value, ast.List) and not prev.value.elts and isinstance(call, ast.Call)
                        and isinstance(call.func, ast.Attribute) and call.func.attr == "append"
                        and isinstance(call.func.value, ast.Name) and call.func.value.id == var
                        and len(call.args) == 1 and not call.keywords):
                    comp = ast.comprehension(target=stmt.target, iter=stmt.iter, ifs=ifs, is_async=0)
                    prev.value = ast.ListComp(elt=call.args[0], generators=[comp])
                    continue
                if (isinstance(prev.value, ast.Constant) and prev.value.value == 0 and not ifs
                        and isinstance(inner, ast.AugAssign) and isinstance(inner.op, ast.Add)
                        and isinstance(inner.target, ast.Name) and inner.target.id == var):
                    comp = ast.comprehension(target=stmt.target, iter=stmt.iter, ifs=[], is_async=0)
                    plain = isinstance(inner.value, ast.Name) and isinstance(stmt.target, ast.Name) and inner.value.id == stmt.target.id
                    arg = stmt.iter if plain else ast.GeneratorExp(elt=inner.value, generators=[comp])
                    prev.value = ast.Call(func=ast.Name("sum", ast.Load()), args=[arg], keywords=[])
                    continue
            out.append(stmt)
        return out


def _optimize(code: str) -> list[str]:
    try:
        tree = ast.parse(code)
    except (SyntaxError, ValueError, RecursionError) as exc:
        return [f"# This code does not parse ({exc}); fix the syntax before optimizing:", *_comment(code, "# ")]
    before = ast.dump(tree)
    tree = ast.fix_missing_locations(_Comprehensions().visit(tree))
    note = "# Optimized: loops that only build a list or a total are now comprehensions."
    if ast.dump(tree) == before:
        note = "# The code is already direct; tidied without changing its behaviour."
    return [note, ast.unparse(tree)]


def _explain(code: str) -> list[str]:
    fence = "````" if "```" in code else "```"
    out = ["The code below works as follows:", "", f"{fence}python", code.strip("\n"), fence, ""]
    try:
        tree = ast.parse(code)
    except (SyntaxError, ValueError, RecursionError) as exc:
        return out + [f"It does not parse as Python: {exc}."]
    points: list[str] = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names = ", ".join(f"`{a.name}`" + (f" as `{a.asname}`" if a.asname else "") for a in node.names)
            points.append(f"- It imports {names}.")
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            args = ", ".join(a.arg for a in node.args.args)
            points.append(f"- It defines the function `{node.name}({args})`.")
        elif isinstance(node, ast.ClassDef):
            points.append(f"- It defines the class `{node.name}`.")
        elif isinstance(node, (ast.For, ast.While)):
            what = f"over `{ast.unparse(node.iter)}`" if isinstance(node, ast.For) else f"while `{ast.unparse(node.test)}`"
            points.append(f"- It loops {what}.")
        elif isinstance(node, ast.Assign):
            points.append(f"- It sets `{', '.join(ast.unparse(t) for t in node.targets)}`.")
    calls = sorted({ast.unparse(n.func) for n in ast.walk(tree) if isinstance(n, ast.Call)})
    if calls:
        points.append("- It calls " + ", ".join(f"`{c}`" for c in calls[:8]) + ".")
    return out + (points or ["- It has no statements."])


_ERRORS = {
    "NameError": ("A name is used before it is defined or imported.", "Define or import it first"),
    "KeyError": ("A key or column is looked up that does not exist.", "Check the available keys"),
    "ModuleNotFoundError": ("The module is not installed in this environment.", "Install it"),
    "ImportError": ("The import names something the module does not provide.", "Check the module's version"),
    "AttributeError": ("The object has no attribute of that name.", "List what the object provides"),
    "TypeError": ("A value of the wrong type was passed to an operation.", "Check the types involved"),
    "ValueError": ("A value has the right type but an unsuitable content.", "Validate the value first"),
    "IndexError": ("A sequence is indexed past its end.", "Check the length before indexing"),
    "ZeroDivisionError": ("A number is divided by zero.", "Guard the division"),
    "FileNotFoundError": ("The file path does not exist.", "Check the path"),
    "SyntaxError": ("The code is not valid Python at the reported line.", "Fix the syntax at that line"),
}


def _frame_in_error(error: str, item: str, ctx: _Context) -> str | None:
    """The notebook's name for the frame the error is about: the one the traceback indexes
    with *item*, else one the prompt describes (with that column, or the first)."""
    indexed = re.findall(r"([A-Za-z_]\w*)\[\s*['\"]" + re.escape(item) + r"['\"]\s*\]", error)
    if indexed:
        return indexed[-1]
    frames = [v for v in ctx.variables if v.is_frame]
    return next((v.name for v in frames if item in dict(v.columns)), frames[0].name if frames else None)


def _debug(error: str, ctx: _Context) -> list[str]:
    found = re.findall(r"\b([A-Z]\w*(?:Error|Exception))\b:?[ \t]*([^\n]*)", error)
    kind, message = found[-1] if found else ("Exception", error.strip().splitlines()[-1] if error.strip() else "")
    cause, action = _ERRORS.get(kind, ("The code raised an exception.", "Inspect the values involved"))
    quoted = re.search(r"'([^']*)'", message)
    item = quoted.group(1) if quoted else "value"
    frame = _frame_in_error(error, item, ctx) if kind == "KeyError" else None
    key_fix = [f"print({frame}.columns.tolist())  # pick the exact column name from this list",
               f"value = {frame}[{item!r}] if {item!r} in {frame}.columns else None"] if frame else \
        [f"print(list(mapping))  # the keys there are, where mapping is what you indexed with {item!r}"]
    fixes = {
        "NameError": [f"{item} = None  # give `{item}` its real value (or import it) before this line"],
        "KeyError": key_fix,
        "ModuleNotFoundError": ["import subprocess, sys", "",
                                f"subprocess.check_call([sys.executable, '-m', 'pip', 'install', {item.split('.')[0]!r}])"],
        "ZeroDivisionError": ["result = numerator / denominator if denominator else 0"],
        "FileNotFoundError": ["import os", "", f"print(os.path.exists({item!r}), os.getcwd())"],
        "IndexError": ["item = items[i] if 0 <= i < len(items) else None"],
        "AttributeError": ["print([name for name in dir(obj) if not name.startswith('_')])"],
    }
    fix = fixes.get(kind, ["try:", "    ...  # the failing line", "except Exception as exc:",
                           "    print(type(exc).__name__, exc)"])
    return [f"**Error:** `{kind}: {message}`".replace("`: `", "`"), "", f"**Cause:** {cause}", "",
            f"**Fix:** {action}:", "", "```python", *fix, "```"]


def _tokens(text: str) -> int:
    return len(re.findall(r"\w+|[^\w\s]", text))


def _parses(text: str) -> bool:
    try:
        ast.parse(text)
    except (SyntaxError, ValueError, RecursionError):
        return False
    return True


def _fit(lines: list[str], max_tokens: int, code: bool) -> str:
    """Drop trailing lines until the answer fits *max_tokens* (and, for code, still parses)."""
    while lines and _tokens("\n".join(lines)) > max_tokens:
        lines.pop()
    while code and lines and not _parses("\n".join(lines)):
        lines.pop()
    return "\n".join(lines) + "\n" if lines else ""


def default_engine(query: str, max_tokens: int) -> str:
    """Answer a prompt the way the service's engine does, deterministically."""
    mode, request, context = split_prompt(query)
    if mode == "optimize":
        return _fit(_optimize(request), max_tokens, code=True)
    if mode == "explain":
        return _fit(_explain(request), max_tokens, code=False)
    if mode == "debug":
        return _fit(_debug(request, _parse_context(context)), max_tokens, code=False)
    writer = _Writer(request, _parse_context(context))
    return _fit([*_comment(request), *writer.code()], max_tokens, code=True)


__all__ = ["default_engine", "split_prompt"]
