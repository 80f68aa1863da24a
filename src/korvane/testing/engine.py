"""A deterministic completion engine that writes plausible Python for a prompt.

Prompts carry an instruction ("Write python code for:", "Optimize the following
code", "Explain the below given code", "Debug the below given error") and may be
preceded by context listing the notebook's modules and variables.  The engine picks
the user's request out of the prompt, recognises a few common intents and fills
them in with the DataFrames and columns it can see: the columns, grouping, period,
chart kind and file the request names.  Code answers always parse, and run with what
the notebook has: a chart, a model or a file format that needs more than pandas
imports it where a missing one is caught and says what to install.
"""

from __future__ import annotations

import ast
import keyword
import re
from dataclasses import dataclass, field

# The opening words of the assistant's base prompts (src/cellwright.cpp), and below the
# headings and lines of its notebook context (src/cellwright_prompt.cpp).
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


_NUMBER_WORDS = {w: i for i, w in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen fifteen sixteen "
    "seventeen eighteen nineteen twenty".split())}
_NUMBER_WORDS.update({"thirty": 30, "fifty": 50, "hundred": 100})
# Words that name a period of time, and the codes pandas knows it by (for periods, for resampling).
_PERIODS = {"day": ("D", "D"), "daily": ("D", "D"), "week": ("W", "W"), "weekly": ("W", "W"),
            "month": ("M", "MS"), "monthly": ("M", "MS"), "quarter": ("Q", "QS"), "quarterly": ("Q", "QS"),
            "year": ("Y", "YS"), "yearly": ("Y", "YS"), "annual": ("Y", "YS")}
_PERIOD_RE = re.compile(r"\b(?:(?:by|per|each|every|a)\s+(?:the\s+)?(day|week|month|quarter|year)s?|"
                        r"(daily|weekly|monthly|quarterly|yearly|annual))\b")
# Chart kinds by the words that ask for them, most specific first.
_KINDS = (("scatter", "scatter"), ("histogram", "hist"), ("hist", "hist"), ("distribution", "hist"),
          ("pie", "pie"), ("box", "box"), ("area", "area"), ("line", "line"), ("bar", "bar"))
# Aggregations by the words that ask for them.
_AGGREGATES = (("average", "mean"), ("mean", "mean"), ("median", "median"), ("count", "count"),
               ("number of", "count"), ("how many", "count"), ("total", "sum"), ("sum", "sum"),
               ("max", "max"), ("min", "min"))
_FILE_RE = re.compile(r"[\w./\\-]+\.(csv|tsv|xlsx|xls|json|parquet)\b", re.IGNORECASE)
_READERS = {"xlsx": "read_excel", "xls": "read_excel", "json": "read_json", "parquet": "read_parquet"}
_WRITERS = {"xlsx": "to_excel", "xls": "to_excel", "json": "to_json", "parquet": "to_parquet"}
# What a file format needs beyond pandas, to say so when it is missing.
_FORMAT_NEEDS = {"parquet": "pyarrow", "xlsx": "openpyxl", "xls": "xlrd"}
_TARGET_NAMES = ("target", "label", "class", "y", "outcome")
# Single-letter column names that are also English words: only a name when the request puts
# it where a column goes ("by a", "column a").
_AMBIGUOUS = {"a", "i"}


def _is_date(dtype: str) -> bool:
    return dtype.lower().startswith(("datetime", "period"))


def _forms(name: str) -> set[str]:
    """The ways a request may name a column: as written, with spaces for underscores, singular or plural."""
    low = name.lower()
    forms = {low, low.replace("_", " ")}
    for form in list(forms):
        forms |= {form + "s", form + "es"}
        if form.endswith("s"):
            forms.add(form[:-1])
        if form.endswith("y"):
            forms.add(form[:-1] + "ies")
    return {f for f in forms if f.strip()}


def _where(form: str, low: str) -> int:
    pattern = r"(?<!\w)" + re.escape(form) + r"(?!\w)"
    if form in _AMBIGUOUS:
        pattern = r"(?:\b(?:by|column|columns|of|on|against|vs|and)\s+|['\"`])" + pattern
    m = re.search(pattern, low)
    return -1 if m is None else m.end() - len(form)


def _indent(lines: list[str], by: str = "    ") -> list[str]:
    return [by + line if line else line for line in lines]


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
        found = [(min(p for p in (_where(f, self.low) for f in _forms(c[0])) if p >= 0), c) for c in cols
                 if any(_where(f, self.low) >= 0 for f in _forms(c[0]))]
        self.mentioned = [c for _, c in sorted(found, key=lambda pc: pc[0])]
        # The columns the request groups or sorts by: those it names right after "by", "per", "each".
        self.keys = [c[0] for p, c in sorted(found, key=lambda pc: pc[0])
                     if re.search(r"\b(?:by|per|each|across)\s+(?:the\s+|each\s+|its\s+)?['\"`]?$", self.low[:p])]
        # Mentioned columns first, each once.
        self.numeric = list(dict.fromkeys(c[0] for c in self.mentioned + cols if _numeric(c[1])))
        self.category = list(dict.fromkeys(c[0] for c in self.mentioned + cols
                                           if not _numeric(c[1]) and not _is_date(c[1])))
        self.dates = list(dict.fromkeys(
            [c[0] for c in self.mentioned + cols if _is_date(c[1])]
            + [c[0] for c in cols if not _numeric(c[1]) and re.search(r"date|time|day|month", c[0].lower())]))
        period = _PERIOD_RE.search(self.low)
        self.period = None if period is None or (self.keys and self.low.find(self.keys[0].lower()) < period.start()) \
            else _PERIODS[period.group(1) or period.group(2)]
        self.pd = ctx.aliases.get("pandas", "pd")
        self.plt = ctx.aliases.get("matplotlib.pyplot", "plt")
        self.other = [v for v in ctx.variables if not v.is_frame and v.name.lower() in words]

    def number(self, default: int) -> int:
        m = _NUMBER_RE.search(self.req)
        return int(float(m.group(0))) if m else default

    def count(self, default: int) -> int:
        """How many the request asks for, in digits or in words ("the first ten")."""
        m = re.search(r"\b(\d+|" + "|".join(_NUMBER_WORDS) + r")\b", self.low)
        return default if m is None else int(m.group(1)) if m.group(1).isdigit() else _NUMBER_WORDS[m.group(1)]

    def column(self) -> str | None:
        names = self.numeric or [c[0] for c in self.mentioned + self.df.columns]
        return names[0] if names else None

    def value(self) -> str | None:
        """The numeric column the request measures: the first it names that it does not group by."""
        return next((c[0] for c in self.mentioned if _numeric(c[1]) and c[0] not in self.keys), None)

    def aggregate(self) -> str:
        return next((a for k, a in _AGGREGATES if re.search(r"\b" + k, self.low)), "sum")

    def kind(self, default: str) -> str:
        return next((k for w, k in _KINDS if re.search(r"\b" + w, self.low)), default)

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
        sequence = re.search(r"\b(square|cube|even|odd)(?:d)?\s+numbers?\b|\b(squares|cubes)\b", low)
        if sequence and not self.mentioned:
            return self.sequence((sequence.group(1) or sequence.group(2)).rstrip("s"))
        file = _FILE_RE.search(self.req)
        # "Write the DataFrame to 'out.parquet'" (not "write code that reads data.csv").
        if file and re.search(r"\b(?:write|save|export|store|dump)\b[^.;]*\b(?:to|as|into)\s+['\"`]?$", low[: file.start()]):
            return self.save(file)
        if file and _has(low, "read", "load", "import", "open") or \
                _has(low, "read", "load", "import", "open") and _has(low, "csv", "excel", "xlsx", "json", "parquet", " file"):
            return self.load()
        if "correlat" in low and self.frames:
            return self.correlation()
        if "resample" in low and self.frames:
            return self.resample()
        if _has(low, "plot", "chart", "graph", "visuali", "histogram", "scatter", "heatmap"):
            return self.plot()
        if not self.frames:
            return self.no_data()
        if _has(low, "merge", "join", "combine"):
            return self.merge()
        if _has(low, "train", "model", "regression", "classif", "predict"):
            return self.model()
        if "duplicat" in low:
            return self.duplicates()
        if "outlier" in low:
            return self.outliers()
        if _has(low, "overview", "first look", "memory usage"):
            return self.overview()
        if _has(low, "missing", "null", "nan", "na values"):
            return self.missing()
        if _has(low, "group", "aggregat") or (self.keys or self.period) and any(
                re.search(r"\b" + k, low) for k, _ in _AGGREGATES):
            return self.group()
        if _has(low, "describe", "summary", "summar", "statistic"):
            col = self.column() if self.mentioned else None
            target = f"{self.df.name}[{col!r}]" if col else self.df.name
            return [f"summary = {target}.describe({'' if col else 'include=' + repr('all')})", "print(summary)"]
        if _has(low, "sort", "order by", "rank"):
            return self.sort()
        if _has(low, "filter", "where", "select rows", "rows with", "greater", "less than"):
            return self.filter()
        return self.first_look()

    def sequence(self, what: str) -> list[str]:
        n = self.count(10)
        term, name = {"square": ("n * n", "squares"), "cube": ("n ** 3", "cubes"),
                      "even": ("2 * n", "evens"), "odd": ("2 * n - 1", "odds")}[what]
        return [f"{name} = [{term} for n in range(1, {n + 1})]", f"print({name})"]

    # ---- files -------------------------------------------------------------------------

    def load(self) -> list[str]:
        m = _FILE_RE.search(self.req)
        path, ext = (m.group(0), m.group(1).lower()) if m else ("data.csv", "csv")
        stem = re.split(r"[/\\]", path)[-1].rsplit(".", 1)[0]
        called = re.search(r"\b(?:called|named|as|into)\s+`?([A-Za-z_]\w*)`?(?:\s*,|\s*$|\s+and\b)", self.req)
        name = called.group(1) if called and called.group(1).lower() not in {"a", "the", "pandas", "dataframe"} \
            else stem if stem.isidentifier() and not keyword.iskeyword(stem) else "data"
        extra = ", sep='\\t'" if ext == "tsv" else ""
        pd = self.pd
        handlers = ["except FileNotFoundError:",
                    f"    print({path!r}, 'is not in the working directory: put it there or give its full path')"]
        if ext in _FORMAT_NEEDS:
            handlers += ["except ImportError:",
                         f"    print('Reading {ext} files needs {_FORMAT_NEEDS[ext]}, which is not installed: "
                         f"pip install {_FORMAT_NEEDS[ext]}')"]
        shown = [f"print({name}.shape)", f"print({name}.head({self.rows()}))"]
        if _has(self.low, "parse", "as dates", "datetime") and "date" in self.low:
            shown = [f"for column in {name}.columns:", "    if 'date' in column.lower() or 'time' in column.lower():",
                     f"        {name}[column] = {pd}.to_datetime({name}[column], errors='coerce')", *shown]
        if "dtype" in self.low or "type of" in self.low:
            shown.append(f"print({name}.dtypes)")
        return [f"import pandas as {pd}", "", "try:", f"    {name} = {pd}.{_READERS.get(ext, 'read_csv')}({path!r}{extra})",
                *handlers, "else:", *_indent(shown + self.after_load(name, m))]

    def rows(self) -> str:
        m = re.search(r"\bfirst\s+(\d+|\w+)\s+rows\b", self.low)
        n = m and (int(m.group(1)) if m.group(1).isdigit() else _NUMBER_WORDS.get(m.group(1)))
        return str(n) if n and n != 5 else ""

    def after_load(self, name: str, file: re.Match | None) -> list[str]:
        """What the request asks of the file once loaded ("read sales.csv and plot revenue by month")."""
        rest = self.req[file.end():] if file else ""
        if not _has(rest.lower(), "plot", "chart", "graph", "group", " by ", " per "):
            return []
        known = next((v for v in self.ctx.variables if v.is_frame and v.name == name and v.columns), None)
        if known is None:
            # The file's columns are not known here: take the names the request uses, and check them.
            value = re.search(r"\b(?:plot|chart|graph|show|draw|sum|total|average|mean)\s+(?:the\s+)?"
                              r"(?:(?:total|average|mean|monthly|daily|weekly|yearly)\s+)*([A-Za-z_]\w*)", rest.lower())
            columns = [(value.group(1), "float64")] if value and value.group(1) not in _PERIODS else []
            if _PERIOD_RE.search(rest.lower()):
                columns.append(("date", "object"))
            if not columns:
                return []
            known = _Var(name, "DataFrame", columns)
        ctx = _Context(dict(self.ctx.aliases, pandas=self.pd), [known])
        needed = [c for c, _ in known.columns]
        follow = _Writer(rest, ctx).code()
        return ["", f"missing = [c for c in {needed!r} if c not in {name}.columns]", "if missing:",
                f"    print({file.group(0) if file else name!r}, 'has no column', missing, '- its columns are',"
                f" {name}.columns.tolist())", "else:", *_indent(follow)]

    def save(self, file: re.Match) -> list[str]:
        path, ext = file.group(0), file.group(1).lower()
        df, pd = self.df.name, self.pd
        index = ", index=False" if re.search(r"without\s+(?:the\s+)?index|no index|index=false", self.low) else ""
        write = f"{df}.{_WRITERS.get(ext, 'to_csv')}({path!r}{index}{', sep=chr(9)' if ext == 'tsv' else ''})"
        out = [f"import pandas as {pd}", "", "try:", f"    {write}"]
        if ext in _FORMAT_NEEDS:
            need = _FORMAT_NEEDS[ext]
            out += ["except ImportError:", f"    print('Writing {ext} files needs {need}, which is not installed: pip install {need}')"]
        else:
            out += ["except OSError as exc:", f"    print('Could not write', {path!r}, '-', exc)"]
        out += ["else:", f"    print('wrote', {path!r})"]
        if _has(self.low, "read it back", "read back", "reload", "equal", "same as"):
            back = f"{pd}.{_READERS.get(ext, 'read_csv')}({path!r}{', sep=chr(9)' if ext == 'tsv' else ''})"
            original = f"{df}.reset_index(drop=True)" if index else df
            out += [f"    back = {back}", f"    print('equal to the original:', back.equals({original}))"]
        return out

    # ---- data --------------------------------------------------------------------------

    def merge(self) -> list[str]:
        if len(self.frames) < 2:
            return [f"# Merging needs two DataFrames; this notebook has only {self.df.name}.",
                    f"print({self.df.name}.columns.tolist())"]
        left, right = self.frames[0].name, self.frames[1].name
        common = [c for c, _ in self.frames[0].columns if c in dict(self.frames[1].columns)]
        how = next((h for h in ("left", "right", "outer") if h in _words(self.req)), "inner")
        on = f"on={common[0]!r}" if common else "left_index=True, right_index=True"
        if not _has(self.low, "no match", "unmatched", "not match", "without a match"):
            return [f"import pandas as {self.pd}", "", f"merged = {self.pd}.merge({left}, {right}, {on}, how={how!r})",
                    "print(merged.head())"]
        side = "right_only" if how == "right" else "left_only"
        return [f"import pandas as {self.pd}", "",
                f"merged = {self.pd}.merge({left}, {right}, {on}, how={how!r}, indicator=True)",
                f"print('rows that found no match:', int((merged['_merge'] == {side!r}).sum()))",
                "merged = merged.drop(columns='_merge')", "print(merged.head())"]

    def duplicates(self) -> list[str]:
        df = self.df.name
        return [f"duplicated = {df}.duplicated(keep='first')", "print('duplicated rows:', int(duplicated.sum()))",
                f"print({df}[{df}.duplicated(keep=False)].head(10))",
                f"{df} = {df}.drop_duplicates(keep='first').reset_index(drop=True)", f"print({df}.shape)"]

    def outliers(self) -> list[str]:
        df = self.df.name
        return [f"numeric = {df}.select_dtypes('number')", "q1, q3 = numeric.quantile(0.25), numeric.quantile(0.75)",
                "iqr = q3 - q1", "outliers = (numeric < q1 - 1.5 * iqr) | (numeric > q3 + 1.5 * iqr)",
                "print('rows flagged per column:')", "print(outliers.sum())",
                "print('rows flagged in any column:', int(outliers.any(axis=1).sum()))"]

    def overview(self) -> list[str]:
        df = self.df.name
        return [f"print('shape:', {df}.shape)", f"print({df}.dtypes)",
                f"print('memory usage:', {df}.memory_usage(deep=True).sum(), 'bytes')",
                "print('missing values per column:')", f"print({df}.isna().sum())",
                f"numeric = {df}.select_dtypes('number')", "if not numeric.empty:", "    print(numeric.describe())",
                f"categorical = {df}.select_dtypes(exclude=['number', 'datetime'])",
                "if not categorical.empty:", "    print(categorical.describe())"]

    def correlation(self) -> list[str]:
        df, plt = self.df.name, self.plt
        out = [f"correlation = {df}.corr(numeric_only=True).round(2)", "print(correlation)"]
        if not _has(self.low, "heatmap", "plot", "draw", "chart"):
            return out
        draw = [f"fig, ax = {plt}.subplots(figsize=(7, 6))",
                "image = ax.imshow(correlation, cmap='coolwarm', vmin=-1, vmax=1)",
                "names = correlation.columns.tolist()",
                "ax.set_xticks(range(len(names)), names, rotation=45, ha='right')",
                "ax.set_yticks(range(len(names)), names)", "for i in range(len(names)):",
                "    for j in range(len(names)):",
                "        ax.text(j, i, f'{correlation.iloc[i, j]:.2f}', ha='center', va='center')",
                "fig.colorbar(image, ax=ax)", "ax.set_title('Correlation of the numeric columns')",
                f"{plt}.tight_layout()", f"{plt}.show()"]
        if "matplotlib.pyplot" in self.ctx.aliases:
            return out + draw
        return out + ["try:", f"    import matplotlib.pyplot as {plt}", "except ImportError:",
                      "    print('matplotlib is not installed (pip install matplotlib), so the matrix is shown as text above')",
                      "else:", *_indent(draw)]

    def by_period(self, value: str | None, agg: str) -> str | None:
        """The values grouped by the request's period of the date column, or None without a date column."""
        if not self.dates or self.period is None:
            return None
        df, date = self.df.name, self.dates[0]
        key = f"{self.pd}.to_datetime({df}[{date!r}]).dt.to_period({self.period[0]!r})"
        return f"{df}.groupby({key})" + (f"[{value!r}].{agg}()" if value else ".size()")

    def needs_dates(self) -> list[str]:
        df = self.df.name
        return [f"print('This needs a date column, and {df} has none:', {df}.columns.tolist())"]

    def resample(self) -> list[str]:
        if not self.dates:
            return self.needs_dates()
        df, pd, date = self.df.name, self.pd, self.dates[0]
        period = (self.period or _PERIODS["month"])[1]
        agg = "mean" if _has(self.low, "average", "mean") else "sum"
        values = [c for c in self.numeric if c != date]
        columns = f"[{values!r}]" if values else ""
        out = [f"{df}[{date!r}] = {pd}.to_datetime({df}[{date!r}])",
               f"resampled = {df}.set_index({date!r}){columns}.resample({period!r}).{agg}()", "print(resampled)"]
        if _has(self.low, "plot", "chart", "graph"):
            out += self.draw("resampled", self.kind("line"), f"{agg} per period", frame=True, text=None)
        return out

    def model(self) -> list[str]:
        df = self.df.name
        named = [c[0] for c in self.mentioned if not _is_date(c[1])]
        target = next(iter(named), None) or next(
            (c for c, _ in self.df.columns if c.lower() in _TARGET_NAMES or _has(c.lower(), "target", "label", "churn")),
            None) or next((c for c, t in reversed(self.df.columns) if not _is_date(t)), None)
        if target is None:
            return [f"print('A model needs a target column, and {df} has none to use:', {df}.columns.tolist())"]
        dates = [c for c, t in self.df.columns if _is_date(t)]
        return [
            "try:", "    from sklearn.compose import ColumnTransformer", "    from sklearn.impute import SimpleImputer",
            "    from sklearn.linear_model import LogisticRegression", "    from sklearn.metrics import classification_report",
            "    from sklearn.model_selection import train_test_split", "    from sklearn.pipeline import Pipeline",
            "    from sklearn.preprocessing import OneHotEncoder, StandardScaler", "except ImportError:",
            "    print('This needs scikit-learn, which is not installed: pip install scikit-learn')", "else:",
            f"    target = {target!r}", f"    data = {df}.dropna(subset=[target])",
            f"    X = data.drop(columns=[target{''.join(', ' + repr(d) for d in dates)}])", "    y = data[target]",
            "    numeric = X.select_dtypes('number').columns.tolist()",
            "    categorical = X.select_dtypes(exclude='number').columns.tolist()",
            "    prepare = ColumnTransformer([",
            "        ('numeric', Pipeline([('impute', SimpleImputer(strategy='median')), ('scale', StandardScaler())]), numeric),",
            "        ('categorical', Pipeline([('impute', SimpleImputer(strategy='most_frequent')),",
            "                                  ('encode', OneHotEncoder(handle_unknown='ignore'))]), categorical),",
            "    ])", "    model = Pipeline([('prepare', prepare), ('classify', LogisticRegression(max_iter=1000))])",
            "    stratify = y if y.value_counts().min() >= 2 else None",
            "    if y.nunique() < 2 or len(y) < 5:",
            "        print(f'Too few rows or classes of {target!r} to train on:', len(y), 'rows,', y.nunique(), 'classes')",
            "    else:",
            "        X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.2, stratify=stratify, random_state=0)",
            "        model.fit(X_train, y_train)",
            "        print(classification_report(y_test, model.predict(X_test), zero_division=0))"]

    # ---- charts ------------------------------------------------------------------------

    def draw(self, values: str, kind: str, ylabel: str | None, frame: bool = False, text: str | None = "",
             xlabel: str | None = None, extra: str = "", data: str | None = None) -> list[str]:
        """Lines that chart *values* as *kind*: with the notebook's matplotlib, else through pandas'
        own plotting, falling back to text where matplotlib is missing (*text*: the values to draw
        as bars; None: the values were printed already)."""
        plt, title = self.plt, self.req[:60].strip()
        target = data or values
        if "matplotlib.pyplot" in self.ctx.aliases:  # the notebook imported it, so it is there to use
            lines = [f"fig, ax = {plt}.subplots(figsize=(8, 4))", f"{target}.plot(kind={kind!r}, ax=ax{extra})"]
            lines += [f"ax.set_xlabel({xlabel!r})"] if xlabel else []
            lines += [f"ax.set_ylabel({ylabel!r})"] if ylabel and kind != "pie" else []
            return lines + [f"ax.set_title({title!r})", f"{plt}.tight_layout()", f"{plt}.show()"]
        # pandas draws with matplotlib when it is installed, and raises ImportError when it is not.
        labels = (f", xlabel={xlabel!r}" if xlabel else "") + (f", ylabel={ylabel!r}" if ylabel and kind != "pie" else "")
        if text is None or frame:
            fallback = ["print('matplotlib is not installed (pip install matplotlib), so the values are shown "
                        "as text above')"]
        else:
            fallback = ["print('matplotlib is not installed (pip install matplotlib), so here are the values "
                        "as text bars')", *self.bars(text or values)]
        return ["try:", f"    ax = {target}.plot(kind={kind!r}, figsize=(8, 4), title={title!r}{labels}{extra})",
                "except ImportError:", *_indent(fallback), "else:", "    ax.figure.tight_layout()"]

    @staticmethod
    def bars(values: str) -> list[str]:
        return [f"values = {values}.dropna()", "widest = values.abs().max()", "for label, value in values.items():",
                "    bar = '#' * round(40 * abs(value) / widest) if widest > 0 else ''",
                "    print(f'{str(label):>16}  {bar} {value:g}')"]

    def plot(self) -> list[str]:
        df, low = self.df.name, self.low
        if "matplotlib.pyplot" not in self.ctx.aliases and not self.frames and not self.other:
            return ["# There is no DataFrame in this notebook to plot, and matplotlib is not imported:",
                    "# an example chart of y = x * x, drawn with characters.",
                    "for x in range(10):", "    print(f\"{x:>3} {'#' * (x * x // 2)} {x * x}\")"]
        if self.other and not (self.mentioned or self.named_frame):
            name = self.other[0].name
            if "matplotlib.pyplot" not in self.ctx.aliases:
                return ["# matplotlib is not imported in this notebook, so here are the values to plot.",
                        f"print({name})"]
            return [f"fig, ax = {self.plt}.subplots(figsize=(8, 4))", f"ax.plot({name})",
                    f"ax.set_title({self.req[:60]!r})", f"{self.plt}.tight_layout()", f"{self.plt}.show()"]
        if not self.frames:
            plt = self.plt
            return [f"fig, ax = {plt}.subplots(figsize=(8, 4))", "x = list(range(10))", "ax.plot(x, [v * v for v in x])",
                    f"ax.set_title({self.req[:60]!r})", f"{plt}.tight_layout()", f"{plt}.show()"]
        col = self.column()
        if "scatter" in low and len(self.numeric) >= 2:
            x, y = self.numeric[:2]
            pairs = [f"pairs = {df}[[{x!r}, {y!r}]].dropna().sort_values({x!r})"]
            if "matplotlib.pyplot" in self.ctx.aliases:
                return pairs + self.draw("pairs", "scatter", y, xlabel=x, extra=f", x={x!r}, y={y!r}")
            return pairs + ["print(pairs.to_string(index=False))",
                            f"print('correlation:', round(pairs[{x!r}].corr(pairs[{y!r}]), 3))"] + \
                self.draw("pairs", "scatter", y, xlabel=x, extra=f", x={x!r}, y={y!r}", text=None)
        value, agg = self.value(), self.aggregate()
        if self.period:
            series = self.by_period(value or (self.numeric or [None])[0], agg)
            if series is None:
                return self.needs_dates()
            return self.draw(series, self.kind("line"), value or self.numeric[0] if self.numeric else "rows",
                             xlabel=self.dates[0])
        if (self.keys or _has(low, " by ", " per ", "each")) and (self.category or self.keys) and (self.numeric or agg == "count"):
            cat = (self.keys or self.category)[0]
            num = value or (self.numeric[0] if agg != "count" or not self.numeric else None)
            series = f"{df}.groupby({cat!r})" + (f"[{num!r}].{agg}()" if num else ".size()")
            return self.draw(series, self.kind("bar"), num or "rows", xlabel=cat)
        if col is None:
            return [f"# {df} has no columns to chart.", f"print({df})"]
        col = next((c for c, t in self.mentioned if not _is_date(t)), col)  # the column it names, numeric or not
        kind = self.kind("line" if col in self.numeric else "bar")
        if kind == "hist" and col in self.numeric:
            bins = max(2, min(self.number(10), 50))
            return self.draw(f"{df}[{col!r}]", "hist", "count", xlabel=col, extra=f", bins={bins}",
                             text=f"{df}[{col!r}].value_counts(bins={bins}, sort=False)", data=f"{df}[{col!r}].dropna()")
        if col in self.numeric:
            return self.draw(f"{df}[{col!r}]", kind, col, text=f"{df}[{col!r}].head(30)")
        # A text column's distribution is how often each value occurs: bars, not a histogram.
        return self.draw(f"{df}[{col!r}].value_counts()", "bar" if kind == "hist" else kind, "count", xlabel=col)

    # ---- tables ------------------------------------------------------------------------

    def group(self) -> list[str]:
        df = self.df.name
        # Each aggregation the request names, in the order it names them.
        named = sorted((m.start(), a) for k, a in _AGGREGATES for m in [re.search(r"\b" + k, self.low)] if m)
        aggs = list(dict.fromkeys(a for _, a in named)) or ["sum"]
        value = self.value()
        if self.period:
            series = self.by_period(value or (self.numeric or [None])[0], aggs[0])
            return self.needs_dates() if series is None else [f"result = {series}", "print(result)"]
        key = (self.keys or self.category or [None])[0]
        if key is None:
            return [f"result = {df}.groupby({df}.columns[0]).agg({aggs[0]!r})", "print(result)"]
        if aggs == ["count"] and value is None:
            noun = re.search(r"\b(?:count|number of|how many)\s+(?:the\s+)?([a-z_]\w*)", self.low)
            name = noun.group(1) if noun and noun.group(1) not in ("rows", "of", "per", "by") else "count"
            return [f"result = {df}.groupby({key!r}).size().reset_index(name={name!r})", "print(result)"]
        values = [value] if value else [c for c in self.numeric if c != key]
        if not values:
            return [f"result = {df}.groupby({key!r}).size().reset_index(name='count')", "print(result)"]
        if len(aggs) == 1 and (value or not _has(self.low, "every", "all", "each numeric")):
            return [f"result = {df}.groupby({key!r})[{values[0]!r}].agg({aggs[0]!r}).reset_index()", "print(result)"]
        out = [f"result = {df}.groupby({key!r})[{values!r}].agg({aggs!r})"]
        order = re.search(r"sort\w*\s+by\s+(?:the\s+)?(\w+)", self.low)
        if order and order.group(1) in aggs:
            desc = _has(self.low, "desc", "largest", "highest", "decreasing")
            out.append(f"result = result.sort_values({(values[0], order.group(1))!r}, ascending={not desc})")
        return out + ["print(result)"]

    def missing(self) -> list[str]:
        df, low = self.df.name, self.low
        out = [f"missing = {df}.isna().sum()", "print(missing[missing > 0])"]
        if _has(low, "percent", "share", "%"):
            out = [f"missing = {df}.isna().sum()",
                   f"report = {self.pd}.DataFrame({{'missing': missing, 'percent': ({df}.isna().mean() * 100).round(1)}})",
                   "print(report[report['missing'] > 0])"]
        if ("fill" in low or "impute" in low) and _has(low, "frequent", "mode", "categorical"):
            out += [f"for column in {df}.columns:", f"    if {df}[column].isna().any():",
                    f"        if {self.pd}.api.types.is_numeric_dtype({df}[column]):",
                    f"            {df}[column] = {df}[column].fillna({df}[column].median())",
                    f"        elif not {df}[column].mode().empty:",
                    f"            {df}[column] = {df}[column].fillna({df}[column].mode().iloc[0])",
                    f"print('missing values left:', int({df}.isna().sum().sum()))"]
        elif "fill" in low or "impute" in low:
            out.append(f"{df} = {df}.fillna({df}.median(numeric_only=True))")
        elif _has(low, "drop", "remove"):
            out.append(f"{df} = {df}.dropna()")
        return out

    def sort(self) -> list[str]:
        col = next(iter(self.keys), None) or (self.mentioned[0][0] if self.mentioned else self.column())
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


# How the %korvane magic's --follow-up puts the new question after the earlier exchanges.
_FOLLOW_UP = "Now, following up: "
_EARLIER_QUESTION = re.compile(r"^Question: (.*)$", re.MULTILINE)


def _followed_up(request: str) -> str:
    """The request a follow-up makes of the last question: "now as a bar chart" after "plot
    the monthly revenue as a line chart" asks for the monthly revenue as a bar chart. The
    new words win: a chart kind named anew replaces the earlier one."""
    earlier, found, new = request.rpartition(_FOLLOW_UP)
    questions = _EARLIER_QUESTION.findall(earlier) if found else []
    if not questions:
        return new if found else request
    previous = questions[-1]
    if any(re.search(r"\b" + word, new.lower()) for word, _ in _KINDS):
        for word, _ in _KINDS:
            previous = re.sub(r"\b" + word + r"\w*(?:\s+(?:chart|plot|graph))?", "", previous, flags=re.IGNORECASE)
    return f"{new.strip()}: {previous.strip()}"


def default_engine(query: str, max_tokens: int) -> str:
    """Answer a prompt the way the service's engine does, deterministically."""
    mode, request, context = split_prompt(query)
    if mode == "optimize":
        return _fit(_optimize(request), max_tokens, code=True)
    if mode == "explain":
        return _fit(_explain(request), max_tokens, code=False)
    if mode == "debug":
        return _fit(_debug(request, _parse_context(context)), max_tokens, code=False)
    request = _followed_up(request)
    writer = _Writer(request, _parse_context(context))
    return _fit([*_comment(request), *writer.code()], max_tokens, code=True)


__all__ = ["default_engine", "split_prompt"]
