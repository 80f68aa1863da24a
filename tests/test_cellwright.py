"""The notebook assistant: prompt composition, the notebook commands and the query form."""

from __future__ import annotations

import collections.abc
import inspect
import os
import sys
import warnings
from types import SimpleNamespace

import ipywidgets
import numpy as np
import pandas as pd
import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from IPython.display import Javascript
from korvane_fixtures import OFFLINE_LOGIN, run_isolated

import plain_oracles as plain  # the composition as plain Python (tools/fuzz)

CELLWRIGHT = "korvane.tessaly_gpt_sdk.cellwright"
WRITE, DEBUG = "Write python code for: ", "Debug the below given error and tell me how I can resolve it: \n"
OPTIMIZE = "Optimize the following code to be more efficient: "
EXPLAIN = ("Explain the below given code and generate your answer in a proper markdown format that is easiy "
           "understand for coders and non coders alike:\n")
HEAD = "Given below are the modules and the variables that I have used:\n"
BELOW = "\n        var code_cell = Jupyter.notebook.insert_cell_below('code');\n        code_cell.set_text(`"
ABOVE = "\n        var code_cell = Jupyter.notebook.insert_cell_above('markdown');\n        code_cell.set_text(`"
END = "`);\n        code_cell.focus_cell();\n    "


@pytest.fixture
def cellwright(logged_in, fresh_import, monkeypatch):
    """The assistant, freshly imported; what it hands to `display` is collected in `.shown`."""
    module = fresh_import(CELLWRIGHT)
    module.shown = []
    monkeypatch.setattr(module, "display", module.shown.append)
    return module


def completions(service):
    return [r.json for r in service.requests if r.operation == "completion"]


# ---- loading --------------------------------------------------------------------------


def test_import_binds_its_names_in_order_and_logs_in(logged_in, fresh_import, service, wardlock):
    import IPython.display
    import openai

    from korvane.tessaly_gpt_sdk.prompt_list import prompts_list

    module = fresh_import(CELLWRIGHT)
    endpoints = sys.modules["korvane.tessaly_gpt_sdk.endpoints"]
    bound = {"widgets": ipywidgets, "display": IPython.display.display, "Javascript": Javascript, "openai": openai,
             "os": os, "DataFrame": pd.DataFrame, "prompt_sample_list": prompts_list,
             "authenticate_credentials": wardlock.authenticate_credentials, "get_completion": endpoints.get_completion}
    # openai is bound when first read (below), after the module's own names.
    assert [n for n in vars(module) if not n.startswith("__")] == [
        *(name for name in bound if name != "openai"), "get_prompts", "optimize_code", "generate_markdown",
        "generate_code_completion", "display_previous_cell", "display_next_cell", "generate_code",
        "_generate_prompt"]
    assert all(getattr(module, name) is value for name, value in bound.items())
    assert [r.operation for r in service.requests] == ["token_check", "token_check"]  # endpoints', then ours


def test_openai_loads_at_first_use_whole_in_every_thread_and_a_missing_one_fails_the_import():
    # Until first read nothing of openai is in sys.modules, so threads that import it
    # themselves at once each get the whole module, as without korvane.
    run_isolated(OFFLINE_LOGIN + """
import sys, threading
from korvane.tessaly_gpt_sdk import cellwright

assert "openai" not in sys.modules
barrier, found = threading.Barrier(8), []

def user_import():
    barrier.wait()
    import openai
    found.append(openai.OpenAI.__name__)

def assistant_read():
    barrier.wait()
    found.append(cellwright.openai.OpenAI.__name__)

threads = [threading.Thread(target=user_import if i % 2 else assistant_read) for i in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert found == ["OpenAI"] * 8, found
assert cellwright.openai is sys.modules["openai"] and "openai" in vars(cellwright)
try:
    cellwright.no_such_name
except AttributeError as error:
    assert str(error) == "module 'korvane.tessaly_gpt_sdk.cellwright' has no attribute 'no_such_name'", error
""")
    run_isolated(OFFLINE_LOGIN + """
import importlib.machinery
import sys

# openai as if it were not installed: the path finder does not find it.
find_spec = importlib.machinery.PathFinder.find_spec
importlib.machinery.PathFinder.find_spec = classmethod(
    lambda cls, name, path=None, target=None: None if name == "openai" else find_spec(name, path, target))
try:
    import korvane.tessaly_gpt_sdk.cellwright
except ModuleNotFoundError as error:
    assert (str(error), error.name) == ("No module named 'openai'", "openai"), error
else:
    raise AssertionError("imported without openai")
assert "openai" not in sys.modules and "korvane.tessaly_gpt_sdk.cellwright" not in sys.modules
""")


COMMAND_DOC = ("\n    {}\n    :param code: {}\n    :param global_variables: global variables to be used in the code\n"
               "    :param jupyter_mode: If the user is using a jupyter notebook or not\n    :return:\n    ")


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("get_prompts", "()", "\n    Get the list of prompts\n    :return:\n    "),
        ("_generate_prompt", "(query, base_prompt: 'str', global_variables=None)", None),
        ("optimize_code", "(code: 'str', global_variables: 'dict' = None, jupyter_mode: 'bool' = True)",
         COMMAND_DOC.format("Optimize the code", "code to be optimized")),
        ("generate_markdown", "(code: 'str', global_variables: 'dict' = None, jupyter_mode: 'bool' = True)",
         COMMAND_DOC.format("Generate the markdown for the code", "code to be converted to markdown")),
        ("generate_code_completion",
         "(query, global_variables: 'dict' = None, debug_mode: 'bool' = False, jupyter_mode: 'bool' = True)",
         "\n    Call the completion function to generate the code\n    :param query: query from the user\n"
         "    :param jupyter_mode: If the user is using a jupyter notebook or not\n"
         "    :param global_variables: global variables to be used in the code\n"
         "    :param debug_mode: If the user is debugging the code\n    :return:\n    "),
        ("display_next_cell", "(code)",
         "\n    Add the code to the next cell\n    :param code: code to be added to next cell\n    :return:\n    "),
        ("display_previous_cell", "(markdown)", None),
        ("generate_code", "(global_variables=None)", "\n    Generate the code using the GPT-3 API\n    :return:\n    "),
    ],
)
def test_functions_have_their_documented_faces(cellwright, name, signature, doc):
    function = getattr(cellwright, name)
    assert (function.__name__, function.__module__, str(inspect.signature(function))) == (name, CELLWRIGHT, signature)
    if name != "display_previous_cell":  # its docstring is ours to choose
        assert function.__doc__ == doc


def test_sample_prompts_are_titled_texts():
    from korvane.tessaly_gpt_sdk.prompt_list import prompts_list

    assert type(prompts_list) is dict and len(prompts_list) >= 8
    assert all(type(k) is str and type(v) is str and v.strip() for k, v in prompts_list.items())
    assert not {"Select the prompt", "Debug Code"} & set(prompts_list)  # the form's fixed choices


def test_get_prompts_lists_the_current_mapping_anew(cellwright, monkeypatch):
    monkeypatch.setattr(cellwright, "prompt_sample_list", {"a": "1", "b": "2"})
    first = cellwright.get_prompts()
    assert first == ["1", "2"] and first is not cellwright.get_prompts()
    monkeypatch.setattr(cellwright, "prompt_sample_list", {})
    assert cellwright.get_prompts() == []


# ---- prompt composition -----------------------------------------------------------------


def test_the_worked_example(cellwright):
    df = pd.DataFrame({"a": np.array([1, 2], dtype="int64"), "b": pd.Series(["x", "y"], dtype=object)})
    names = {"os": os, "x": 5, "my_list": [1], "df": df, "In": [""], "Out": {}}
    assert cellwright._generate_prompt("plot a", base_prompt="Write python code for: ", global_variables=names) == (
        "Given below are the modules and the variables that I have used:\nModules: \nos\n\nVariables: \n"
        "name: x, type: <class 'int'>\nname: df, type: DataFrame\n\t column: a, dtype:int64\n\t column: b, dtype:object\n"
        "\nUse them as context and Write python code for: : plot a"
    )


class Frame(pd.DataFrame):
    pass


@pytest.mark.parametrize(
    "names, modules, variables",
    [
        ({}, "", ""),
        ({"in": 1, "OUT": 1, "Exit": 1, "In": 1, "Out": 1, "quit": 1, "exit": 1, "_": 1, "__": 1, "a_b": 1}, "",
         "name: in, type: <class 'int'>\nname: OUT, type: <class 'int'>\nname: Exit, type: <class 'int'>\n"),
        ({"my_df": pd.DataFrame({"a": [1]}), "mydf": pd.DataFrame()}, "", "name: mydf, type: DataFrame\n\n"),
        ({"np": np, "f": len, "C": Frame, "s": "x", "pd": pd}, "np\npd\n",
         "name: f, type: <class 'builtin_function_or_method'>\nname: C, type: <class 'type'>\n"
         "name: s, type: <class 'str'>\n"),
        ({"sub": Frame({"a": [1]})}, "", "name: sub, type: <class 'test_cellwright.Frame'>\n"),
    ],
    ids=["empty", "names-case-sensitive", "underscore-and-no-columns", "modules-and-types", "subclass-no-columns"],
)
def test_sections(cellwright, names, modules, variables):
    expected = f"{HEAD}Modules: \n{modules}\nVariables: \n{variables}\nUse them as context and B: : q"
    assert cellwright._generate_prompt("q", "B: ", names) == expected


@pytest.mark.parametrize(
    "query, base, names, error, message",
    [
        (5, "B", None, TypeError, 'can only concatenate str (not "int") to str'),
        (5, "B", {}, TypeError, 'can only concatenate str (not "int") to str'),
        ("q", None, {}, TypeError, "Argument 'base_prompt' has incorrect type (expected str, got NoneType)"),
        ("q", "B", {5: 1}, TypeError, "argument of type 'int' is not iterable"),
        ("q", "B", 5, TypeError, "'int' object is not iterable"),
        ("q", "B", ["a"], TypeError, "list indices must be integers or slices, not str"),
    ],
)
def test_composition_errors_are_the_interpreters(cellwright, query, base, names, error, message):
    with pytest.raises(error) as raised:
        cellwright._generate_prompt(query, base, names)
    assert str(raised.value) == message


def test_the_query_is_added_with_plus(cellwright):
    class Suffix:
        def __radd__(self, other):
            return ("added", other)

    assert cellwright._generate_prompt(Suffix(), "B", None) == ("added", "B")
    assert cellwright._generate_prompt(Suffix(), "B", {}) == ("added", plain.generate_prompt(cellwright, "", "B", {}))


class Recording(collections.abc.Mapping):
    """A mapping that logs every iteration and lookup."""

    def __init__(self, data, log):
        self.data, self.log = data, log

    def __getitem__(self, key):
        self.log.append(key)
        return self.data[key]

    def __iter__(self):
        self.log.append("<iter>")
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class EqualsEverything(type):
    calls: list = []

    def __eq__(cls, other):
        EqualsEverything.calls.append(other.__name__)
        return other.__name__ == "module"

    __hash__ = type.__hash__


class Odd(metaclass=EqualsEverything):
    pass


def test_mappings_and_comparisons_see_the_plain_algorithms_calls(cellwright):
    data = {"m": os, "n": 1, "df": pd.DataFrame({"a": [1.5]}), "odd": Odd(), "x_y": 2}
    ours, theirs = [], []
    EqualsEverything.calls = []
    result = cellwright._generate_prompt("q", "B", Recording(data, ours))
    our_comparisons, EqualsEverything.calls = EqualsEverything.calls, []
    assert result == plain.generate_prompt(cellwright, "q", "B", Recording(data, theirs))
    assert ours == theirs == ["<iter>", "m", "n", "n", "n", "df", "df", "df", "odd"]
    assert our_comparisons == EqualsEverything.calls == ["module"]  # `odd` counts as a module


class Relabel:
    """A column label whose text changes the world while the prompt is built."""

    def __init__(self, action):
        self.action = action

    def __format__(self, spec):
        self.action()
        return "label"


@pytest.mark.parametrize("change", ["delete-later", "replace-later", "add", "rebind-os", "rebind-dataframe"])
def test_changes_while_composing_are_seen_as_the_plain_algorithm_sees_them(cellwright, monkeypatch, change):
    def make():
        names = {"df": pd.DataFrame({Relabel(lambda: act(names)): [1]}), "later": 1, "os": os, "again": pd.DataFrame()}
        return names

    actions = {
        "delete-later": lambda names: names.pop("later", None),
        "replace-later": lambda names: names.update(later=os),
        "add": lambda names: names.setdefault("added", 2),
        "rebind-os": lambda names: monkeypatch.setattr(cellwright, "os", 1),
        "rebind-dataframe": lambda names: monkeypatch.setattr(cellwright, "DataFrame", Frame),
    }
    act = actions[change]

    def outcome(compose):
        monkeypatch.setattr(cellwright, "os", os)
        monkeypatch.setattr(cellwright, "DataFrame", pd.DataFrame)
        try:
            return compose(make())
        except Exception as error:  # the same error, or the same text
            return type(error), error.args

    assert outcome(lambda g: cellwright._generate_prompt("q", "B", g)) == outcome(
        lambda g: plain.generate_prompt(cellwright, "q", "B", g))


def test_a_name_that_changes_the_dict_while_selected_stops_the_walk(cellwright):
    class Grabby(str):
        def __contains__(self, item):
            names["more"] = 1
            return False

    names = {Grabby("a"): 1, "b": 2}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        cellwright._generate_prompt("q", "B", names)


def frames():
    columns = st.dictionaries(
        st.one_of(st.sampled_from(["a", "b", "c_d", "é"]), st.integers(-3, 3)),
        st.sampled_from(["int64", "float64", "int8", "bool", "object", "datetime64[ns]", "datetime64[s]",
                         "category", "Int64", "string", "timedelta64[ms]", "complex128"]),
        max_size=6,
    )
    return columns.map(lambda spec: pd.DataFrame({k: pd.Series([], dtype=t) for k, t in spec.items()}))


global_values = st.one_of(st.integers(), st.text(max_size=3), st.sampled_from([os, np, None, len, Frame, Odd(), 1.5]),
                   frames(), frames().map(Frame))
global_names = st.one_of(st.sampled_from(["In", "Out", "quit", "exit", "in", "_x", "x_", "_"]), st.text("abxyz_", max_size=3))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(global_names, global_values, max_size=12), st.text(max_size=5))
def test_any_globals_compose_as_the_plain_algorithm_does(cellwright, global_variables, query):
    expected = plain.generate_prompt(cellwright, query, WRITE, global_variables)
    assert cellwright._generate_prompt(query, WRITE, global_variables) == expected
    assert cellwright._generate_prompt(query, WRITE, Recording(global_variables, [])) == expected


class FakeFrame:
    """Stands in for DataFrame: dtypes.to_dict() gives the columns it was made with."""

    def __init__(self, columns):
        self.dtypes = SimpleNamespace(to_dict=lambda: dict(columns))


def test_dtype_texts_are_remembered_for_a_bounded_number_of_dtypes(cellwright, monkeypatch):
    monkeypatch.setattr(cellwright, "DataFrame", FakeFrame)
    dtypes = [np.dtype("int64").newbyteorder("=") for _ in range(200)]  # equal, but distinct objects
    names = {f"f{i}": FakeFrame({"a": dtype, "b": dtype}) for i, dtype in enumerate(dtypes)}
    held = [sys.getrefcount(d) for d in dtypes]
    expected = plain.generate_prompt(cellwright, "q", "B", names)
    for _ in range(2):
        assert cellwright._generate_prompt("q", "B", names) == expected
    kept = [sys.getrefcount(d) for d in dtypes]
    assert 0 < sum(now > before for now, before in zip(kept, held)) <= 64


def test_what_the_module_keeps_cannot_be_poisoned_from_python():
    # The dtype texts kept from call to call are reachable through gc.get_referents(module);
    # when they were kept in a dict there, a planted entry crashed the next prompt.
    run_isolated(OFFLINE_LOGIN + """
import gc
import numpy as np, pandas as pd
import korvane.tessaly_gpt_sdk.cellwright as cellwright

df = pd.DataFrame({"a": np.array([1], dtype="int64")})
dtype = df.dtypes["a"]
names = {"df": df}
expected = cellwright._generate_prompt("q", "B", names)
for kept in gc.get_referents(cellwright):
    if isinstance(kept, dict) and kept is not vars(cellwright):
        kept.update({id(dtype): (dtype, 12345), dtype: "planted"})
    elif isinstance(kept, list):
        kept[:] = [12345] * len(kept)
assert cellwright._generate_prompt("q", "B", names) == expected
""")


def test_a_class_text_is_made_anew_once_its_repr_ran_code(cellwright):
    renamed = []

    class Renaming:
        """A class-dict key that the class's repr compares with "__module__": it renames the class."""

        def __hash__(self):
            return hash("__module__")

        def __eq__(self, other):
            for cls in renamed:
                cls.__qualname__ = f"Renamed{next(counter)}"
            return False

    with warnings.catch_warnings():  # 3.13 warns of the non-str key
        warnings.simplefilter("ignore", RuntimeWarning)
        cls = type("Renamed", (), {Renaming(): 1})
    renamed.append(cls)
    names = {"a": cls(), "b": cls(), "c": 1, "d": cls()}
    counter = iter(range(100))
    ours = cellwright._generate_prompt("q", "B", names)
    counter = iter(range(100))
    assert ours == plain.generate_prompt(cellwright, "q", "B", names)


# ---- notebook commands ------------------------------------------------------------------

ANSWER = "df.plot()\n"


@pytest.fixture
def answering(service):
    service.engine = lambda query, max_tokens: ANSWER
    return service


@pytest.mark.parametrize(
    "command, base, prefix",
    [("optimize_code", OPTIMIZE, BELOW), ("generate_markdown", EXPLAIN, ABOVE),
     ("generate_code_completion", WRITE, BELOW)],
)
@pytest.mark.parametrize("global_variables", [None, {"n": 1}])
def test_commands_insert_a_cell_or_return_the_answer(cellwright, answering, command, base, prefix, global_variables):
    run = getattr(cellwright, command)
    assert run("x = 1", global_variables) is None
    (shown,) = cellwright.shown
    assert type(shown) is Javascript and shown.data == prefix + ANSWER + END

    assert run("x = 1", global_variables=global_variables, jupyter_mode=0) == ANSWER
    assert len(cellwright.shown) == 1
    prompt = plain.generate_prompt(cellwright, "x = 1", base, global_variables)
    assert completions(answering) == [{"query": prompt, "max_tokens": 1000}] * 2


@pytest.mark.parametrize("jupyter_mode", [True, False])
def test_debug_mode_prints_the_answer_and_inserts_nothing(cellwright, answering, capsys, jupyter_mode):
    assert cellwright.generate_code_completion("KeyError: 'a'", None, True, jupyter_mode) is None
    assert capsys.readouterr().out == "You can try this:\n " + ANSWER + "\n"
    assert cellwright.shown == []
    assert completions(answering) == [{"query": DEBUG + "KeyError: 'a'", "max_tokens": 1000}]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.optimize_code(5), "Argument 'code' has incorrect type (expected str, got int)"),
        (lambda m: m.generate_markdown("c", []), "Argument 'global_variables' has incorrect type (expected dict, got list)"),
        (lambda m: m.optimize_code("c", collections.OrderedDict()),
         "Argument 'global_variables' has incorrect type (expected dict, got collections.OrderedDict)"),
        (lambda m: m.generate_code_completion(5), 'can only concatenate str (not "int") to str'),
    ],
)
def test_refused_arguments_send_nothing(cellwright, service, call, message):
    service.clear_requests()
    with pytest.raises(TypeError) as raised:
        call(cellwright)
    assert str(raised.value) == message
    assert service.requests == [] and cellwright.shown == []


def test_an_answer_without_completion_raises_and_shows_nothing(cellwright, service):
    service.fail("completion", kind="no_token")  # a 200 whose JSON is {}
    with pytest.raises(KeyError, match="completion"):
        cellwright.optimize_code("x")
    assert cellwright.shown == []


def test_commands_use_the_current_module_globals(cellwright, monkeypatch):
    monkeypatch.setattr(cellwright, "get_completion", lambda **kw: {"completion": kw})
    inserted = []
    monkeypatch.setattr(cellwright, "display_next_cell", inserted.append)
    cellwright.optimize_code("x")
    assert inserted == [{"prompt": OPTIMIZE + "x"}]


@pytest.mark.parametrize(
    "answer, body",
    [
        ("", ""),
        (42, "42"),
        ("plain text\n\ttabbed ✓ <b>", "plain text\n\ttabbed ✓ <b>"),
        # A saved notebook's JavaScript output is put inside <script> by HTML exports: an
        # answer must not be able to close that element or open a comment there.
        ("</script><script>alert(1)</script><!--", "<\\/script><script>alert(1)<\\/script><\\!--"),
        ("a\\b`c`${d}$e{f}$${g}", "a\\\\b\\`c\\`\\${d}$e{f}$\\${g}"),
        ("line\r\nnext\r", "line\\r\nnext\\r"),
        ("\ud800x\udfff", "\\uD800x\\uDFFF"),
    ],
)
@pytest.mark.parametrize("function, prefix", [("display_next_cell", BELOW), ("display_previous_cell", ABOVE)])
def test_cell_programs_escape_only_what_the_template_literal_needs(cellwright, function, prefix, answer, body):
    assert getattr(cellwright, function)(answer) is None
    assert [js.data for js in cellwright.shown] == [prefix + body + END]


# ---- the query form -----------------------------------------------------------------------


def show_form(cellwright, global_variables=None):
    cellwright.generate_code(global_variables)
    (box,) = cellwright.shown
    cellwright.shown.clear()
    drop_down, label, text_box, button = box.children
    assert type(box) is ipywidgets.VBox and type(label) is ipywidgets.HTML
    return SimpleNamespace(drop_down=drop_down, text_box=text_box, button=button, label=label)


def test_the_form_starts_empty_with_the_sample_titles(cellwright, monkeypatch):
    monkeypatch.setattr(cellwright, "prompt_sample_list", {"Plot": "plot it", "Sum": "add up"})
    form = show_form(cellwright)
    assert form.drop_down.options == ("Select the prompt", "Debug Code", "Plot", "Sum")
    assert (form.drop_down.value, form.drop_down.description) == ("Select the prompt", "Select Prompt:")
    assert form.label.value == "<strong>OR</strong>"
    box = form.text_box
    assert (box.value, box.placeholder, box.description, box.rows) == ("", "Type your code generation query here",
                                                                       "Query:", 3)
    assert form.button.description == "Submit"
    (clicked,) = form.button._click_handlers.callbacks
    *_, changed = form.drop_down._trait_notifiers["value"]["change"]  # after the widget's own
    assert [f.__qualname__ for f in (clicked, changed)] == ["generate_code.<locals>.on_button_clicked",
                                                            "generate_code.<locals>.update_text_box"]
    for handler in (clicked, changed):
        assert [c.cell_contents for c in handler.__closure__] == [None, form.drop_down, form.text_box]


def test_choosing_changes_the_text_and_submit_sends_it(cellwright, monkeypatch):
    samples = {"Plot": "plot it", "Debug Code": "never filled in"}
    monkeypatch.setattr(cellwright, "prompt_sample_list", samples)
    sent = []
    monkeypatch.setattr(cellwright, "generate_code_completion", lambda **kw: sent.append(kw))
    names = {"n": 1}
    form = show_form(cellwright, names)

    steps = [("Plot", "plot it", "Type your code generation query here."),
             ("Debug Code", "plot it", "Enter your error response here."),
             ("Select the prompt", "plot it", "Type your code generation query here.")]
    for choice, text, placeholder in steps:
        form.drop_down.value = choice
        assert (form.text_box.value, form.text_box.placeholder) == (text, placeholder)
        form.button.click()
    assert sent == [{"query": "plot it", "global_variables": names, "debug_mode": debug, "jupyter_mode": True}
                    for debug in (False, True, False)]

    monkeypatch.setattr(cellwright, "prompt_sample_list", {})  # read when the choice is made
    with pytest.raises(KeyError):
        form.drop_down.value = "Plot"


def test_submit_on_a_fresh_form_inserts_the_answer(cellwright, answering):
    first, second = show_form(cellwright), show_form(cellwright, {"n": 1})
    first.button.click()
    (shown,) = cellwright.shown
    assert shown.data == BELOW + ANSWER + END
    assert completions(answering) == [{"query": WRITE, "max_tokens": 1000}]  # no context, empty query
    assert second.text_box.value == "" and second.drop_down.value == "Select the prompt"


class Refused(Exception):
    pass


# (what the request ends with, the line printed under the form or None, whether it propagates)
FORM_OUTCOMES = [
    ("answer", None, None),
    ("unreachable", lambda: requests.exceptions.ConnectionError(
        "The service at acme.korvane.example could not be reached for the engine request: [Errno 111] Connection refused"),
     "korvane: The service at acme.korvane.example could not be reached for the engine request: [Errno 111] Connection"
     " refused. Is korvane's local service running? Once it runs again, service.route() routes to it again. (%tb"
     " shows the full traceback)\n"),  # the test's process is routed by service.route()
    ("interrupt", KeyboardInterrupt,
     "korvane: The request to acme.korvane.example was interrupted; no answer was delivered. (%tb shows the full"
     " traceback)\n"),
    ("not the kit's", lambda: Refused("a bug elsewhere"), None),
]


@pytest.mark.parametrize("outcome, error, line", FORM_OUTCOMES, ids=[o[0] for o in FORM_OUTCOMES])
def test_submit_says_it_is_asking_and_comes_back_whatever_happens(cellwright, monkeypatch, capsys, outcome, error, line):
    seen = []

    def asking(**kwargs):
        seen.append((form.button.disabled, form.button.description))
        if error is not None:
            raise error()

    monkeypatch.setattr(cellwright, "generate_code_completion", asking)
    monkeypatch.setattr(sys.modules["korvane.tessaly_gpt_sdk.endpoints"], "KORVANE_ENGINE_URL",
                        "https://acme.korvane.example")
    form = show_form(cellwright)
    form.text_box.value = "plot it"
    (clicked,) = form.button._click_handlers.callbacks  # called directly: ipywidgets would log what it raises
    if outcome == "not the kit's":
        with pytest.raises(Refused):
            clicked(form.button)
    else:
        clicked(form.button)
    assert seen == [(True, "asking\u2026")]
    assert (form.button.disabled, form.button.description) == (False, "Submit")
    assert capsys.readouterr().err == (line or "")
    if line is not None:  # where %tb finds it
        assert type(sys.last_value).__name__ in ("ConnectionError", "KeyboardInterrupt")
