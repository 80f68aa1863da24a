"""The offline engine's answers, asked as a user asks them: the kit composes the prompt from a
real notebook namespace, the local service answers, and the answer runs in that namespace."""

from __future__ import annotations

import contextlib
import importlib.util
import io
import re
import sys

import numpy as np
import pandas as pd
import pytest

from korvane.tessaly_gpt_sdk.prompt_list import prompts_list

DEBUG = "Debug the below given error and tell me how I can resolve it: \n"
# What an answer may need beyond pandas: the module, what in an answer uses it, and the advice
# the answer gives when it is missing.
EXTRAS = {"matplotlib": (r"\.plot\(|^\s*import matplotlib", "pip install matplotlib"),
          "sklearn": (r"^\s*from sklearn", "pip install scikit-learn")}


def shop() -> dict:
    """A notebook with dated sales, a text and a categorical column, numbers with a gap,
    two repeated rows, and a second frame that shares the region key but lacks one region."""
    n = 120
    rng = np.random.default_rng(7)
    df = pd.DataFrame({
        "date": pd.date_range("2024-01-01", periods=n, freq="D"),
        "region": ["north", "south", "east", "west"] * (n // 4),
        "product": pd.Categorical(["tea", "coffee", "cocoa"] * (n // 3)),
        "revenue": rng.normal(100, 20, n).round(2),
        "units": rng.integers(1, 10, n),
        "churned": [0, 1] * (n // 2),
    })
    df.loc[3, "revenue"] = None
    df = pd.concat([df, df.tail(2)], ignore_index=True)
    regions = pd.DataFrame({"region": ["north", "south", "east"], "manager": ["Ann", "Bo", "Cy"]})
    return {"pd": pd, "np": np, "df": df, "regions": regions}


NOTEBOOKS = {
    "shop": shop,
    # The quickstart's frame and the README's.
    "quickstart": lambda: {"pd": pd, "sales": pd.DataFrame(
        {"region": ["north", "south", "north", "east"], "amount": [120.0, 80.5, 95.25, 60.0]})},
    "readme": lambda: {"pd": pd, "df": pd.DataFrame({"price": [3.5, 4.0, 2.25]})},
    "ab": lambda: {"pd": pd, "df": pd.DataFrame({"a": [1, 2, 3], "b": ["z", "x", "y"]})},
    "none": lambda: {},
}

KEY_ERROR = ("Traceback (most recent call last):\n  File \"<cell>\", line 4, in <module>\n"
             "    sales[\"revenue\"].sum()\nKeyError: 'revenue'\n")
QUICKSTART_LOOP = ('\ntotals = {}\nfor region, amount in zip(sales["region"], sales["amount"]):\n'
                   "    totals[region] = totals.get(region, 0) + amount\n")

# (how it is asked, notebook, query, files in the working directory, what the answer's code must hold,
#  what running it must print)
CASES = {
    "sample: load a csv": ("ask", "shop", prompts_list["Load a CSV file"], ["data.csv"],
                           ["df = pd.read_csv('data.csv')", "to_datetime", "print(df.dtypes)"], ["datetime64"]),
    "sample: first look": ("ask", "shop", prompts_list["First look at a DataFrame"], [],
                           ["memory_usage(deep=True)", "isna().sum()", "categorical.describe()"], ["memory usage:"]),
    "sample: missing values": ("ask", "shop", prompts_list["Handle missing values"], [],
                               ["'percent'", "median()", "mode()"], ["missing values left: 0"]),
    "sample: duplicates": ("ask", "shop", prompts_list["Remove duplicate rows"], [],
                           ["drop_duplicates(keep='first').reset_index(drop=True)"], ["duplicated rows: 2"]),
    "sample: group and aggregate": ("ask", "shop", prompts_list["Group and aggregate"], [],
                                    ["groupby('region')[['revenue', 'units', 'churned']].agg(['count', 'mean', "
                                     "'median', 'sum'])", "sort_values(('revenue', 'count'), ascending=False)"], []),
    "sample: histogram": ("ask", "shop", prompts_list["Plot a distribution"], [],
                          ["df['revenue'].dropna().plot(kind='hist'", "bins=30", "xlabel='revenue'", "title="], []),
    "sample: heatmap": ("ask", "shop", prompts_list["Correlation heatmap"], [],
                        ["corr(numeric_only=True)", "imshow(correlation", "ax.text(j, i"], ["revenue"]),
    "sample: outliers": ("ask", "shop", prompts_list["Find outliers"], [],
                         ["quantile(0.25)", "q1 - 1.5 * iqr"], ["rows flagged per column"]),
    "sample: merge": ("ask", "shop", prompts_list["Merge two DataFrames"], [],
                      ["pd.merge(df, regions, on='region', how='left', indicator=True)"],
                      ["rows that found no match: 31"]),
    "sample: resample": ("ask", "shop", prompts_list["Resample a time series"], [],
                         ["df['date'] = pd.to_datetime(df['date'])", ".resample('MS').sum()", "kind='line'"],
                         ["2024-04-01"]),
    "sample: baseline model": ("ask", "shop", prompts_list["Train a baseline model"], [],
                               ["target = 'churned'", "stratify=stratify", "OneHotEncoder", "StandardScaler",
                                "LogisticRegression", "test_size=0.2", "classification_report"], []),
    "sample: save parquet": ("ask", "shop", prompts_list["Save the results"], [],
                             ["df.to_parquet('output.parquet', index=False)", "pd.read_parquet('output.parquet')"], []),
    "completion.py's default query": ("raw", "none", "print the first ten square numbers", [],
                                      [], ["[1, 4, 9, 16, 25, 36, 49, 64, 81, 100]"]),
    "completion.py's usage line": ("raw", "none", "read sales.csv and plot revenue by month", ["sales.csv"],
                                   ["sales = pd.read_csv('sales.csv')", "to_period('M'))['revenue'].sum()",
                                    "kind='line'"], ["(122, 6)"]),
    "README: plot a column": ("ask", "readme", "plot the price column of df", [],
                              ["df['price'].plot(kind='line'", "ylabel='price'"], []),
    "quickstart: total by region": ("ask", "quickstart", "plot the total amount by region", [],
                                    ["sales.groupby('region')['amount'].sum().plot(kind='bar'"], []),
    "quickstart: sort": ("ask", "quickstart", "sort the rows by amount, largest first", [],
                         ["sales.sort_values('amount', ascending=False)"], []),
    "quickstart: average per region": ("ask", "quickstart", "plot the average amount per region as a bar chart", [],
                                       ["sales.groupby('region')['amount'].mean().plot(kind='bar'"], []),
    "quickstart: debug a KeyError": ("debug", "quickstart", KEY_ERROR, [],
                                     ["print(sales.columns.tolist())", "'revenue' in sales.columns"], ["amount"]),
    "quickstart: explain a loop": ("markdown", "quickstart", QUICKSTART_LOOP, [],
                                   ["`totals`", "`zip`"], []),
    "docs: revenue by month": ("ask", "shop", "plot revenue by month", [],
                               ["to_period('M'))['revenue'].sum().plot(kind='line'"], []),
    "user: sort by a text column": ("ask", "ab", "sort df by b", [], ["df.sort_values('b', ascending=True)"],
                                    ["1  2  x\n2  3  y\n0  1  z"]),
    "user: monthly line chart": ("ask", "shop", "plot the monthly revenue as a line chart", [],
                                 ["to_period('M'))['revenue'].sum().plot(kind='line'"], []),
    "cell action: ask about a cell": ("ask", "shop", "sort by region\n\nThe code this is about:\nregions.head()", [],
                                      ["# sort by region\n", "regions.sort_values('region', ascending=True)"], ["Cy"]),
    "user: count per region": ("ask", "shop", "count the orders per region", [],
                               ["df.groupby('region').size().reset_index(name='orders')"], ["west      31"]),
}


def run(code: str, notebook: dict, block: set[str]) -> str:
    """What running *code* in *notebook* prints, with the modules in *block* unimportable (also
    for pandas, which draws its plots with matplotlib), as where they are not installed."""
    with pytest.MonkeyPatch.context() as patch, contextlib.redirect_stdout(io.StringIO()) as out:
        for name in list(sys.modules):
            if name.split(".")[0] in block or "matplotlib" in block and name.startswith("pandas.plotting._matplotlib"):
                patch.setitem(sys.modules, name, None)
        for name in block:
            patch.setitem(sys.modules, name, None)
        if "matplotlib" in block:
            patch.setattr(pd.plotting._core, "_backends", {})  # pandas keeps the backend it loaded
        exec(compile(code, "<answer>", "exec"), notebook)
    if "matplotlib.pyplot" in sys.modules:
        sys.modules["matplotlib.pyplot"].close("all")
    return out.getvalue()


@pytest.fixture
def assistant(logged_in, fresh_import, monkeypatch):
    monkeypatch.setenv("MPLBACKEND", "Agg")  # charts are drawn, not shown
    return fresh_import("korvane.tessaly_gpt_sdk.cellwright")


def ask(assistant, how: str, query: str, notebook: dict) -> tuple[str, str]:
    """The answer and the code in it to run, asked as the kit asks."""
    if how == "raw":  # examples/completion.py: the query alone
        answer = assistant.get_completion(query)["completion"]
    elif how == "debug":  # the debug mode and %korvane --error: the traceback, without context
        answer = assistant.get_completion(assistant._generate_prompt(query, base_prompt=DEBUG))["completion"]
    elif how == "markdown":
        answer = assistant.generate_markdown(query, jupyter_mode=False)
    else:
        answer = assistant.generate_code_completion(query, dict(notebook), jupyter_mode=False)
    fenced = re.search(r"```python\n(.*?)```", answer, re.DOTALL)
    return answer, fenced.group(1) if how in ("debug", "markdown") else answer


@pytest.mark.parametrize("how, notebook, query, files, holds, prints", CASES.values(), ids=CASES.keys())
def test_shipped_and_reported_queries_get_answers_that_fit_and_run(
        assistant, how, notebook, query, files, holds, prints, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    answer, code = ask(assistant, how, query, NOTEBOOKS[notebook]())
    assert "no recipe" not in answer
    for fragment in holds:
        assert fragment in answer, answer
    # Once with what this machine has installed, once as a notebook with nothing beyond pandas.
    installed = {name for name in EXTRAS if importlib.util.find_spec(name)}
    for block in sorted({frozenset(), frozenset(EXTRAS)}, key=len):
        names = NOTEBOOKS[notebook]()
        for file in files:
            names.get("df", shop()["df"]).to_csv(tmp_path / file, index=False)
        out = run(code, names, set(block))
        for text in prints:
            assert text in out, (answer, out)
        for module, (use, advice) in EXTRAS.items():
            # Without a module it needs, the answer says what to install; with it, it does not.
            if re.search(use, code, re.MULTILINE):
                assert (advice in out) == (module in block or module not in installed), (answer, out)
        if "parquet" in query and not importlib.util.find_spec("pyarrow") and not importlib.util.find_spec("fastparquet"):
            assert "pip install pyarrow" in out
        elif "parquet" in query:
            assert "equal to the original: True" in out, out
        if "scikit-learn" in query and "sklearn" in installed and not block:
            assert "precision" in out, out
