"""Texts one part of the kit makes and a part in another language reads or matches.

Each row makes its text with the running module and hands it to its readers as they stand
in their own files: the page's parts (JavaScript, run with node where it is installed), the
request failures' one-liners, the %korvane magic, the kernel's delivery and the local
service's engine. A change on either side fails its row.
"""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pandas as pd
import pytest
from korvane_fixtures import TENANT, USER, plain_env

from korvane import cell_actions, delivery, magics, request_failures
from korvane._build import SERVICE_DOMAIN
from korvane.testing import refused_route
from korvane.testing.engine import _parse_context, split_prompt

JUPYTER = Path(__file__).resolve().parents[1] / "jupyter"
REMOTE_ENTRY = JUPYTER / "labextensions" / "korvane" / "static" / "remoteEntry.js"
MAIN = JUPYTER / "nbextensions" / "korvane" / "main.js"
ANSWER_RULES = JUPYTER / "labextensions" / "korvane" / "static" / "answers.js"  # both parts load it
FORM = JUPYTER / "labextensions" / "korvane" / "static" / "form.js"  # the classic notebook's is a link to it
CELL_ACTIONS = JUPYTER / "labextensions" / "korvane" / "static" / "actions.js"  # both parts load it
PAGE_PARTS = [REMOTE_ENTRY, MAIN]
HOST = TENANT + SERVICE_DOMAIN
ANSWER = "total = 1"
NODE = shutil.which("node")


# ---- the page's parts, as node runs them ------------------------------------------------


def node(script: str, data: Any = None) -> Any:
    """What *script* hands to `answer(...)`, run by node with *data* (as JSON) in `data`."""
    if NODE is None:
        pytest.skip("node is not installed: the page's parts cannot be run here")
    prelude = ("const data = JSON.parse(require('fs').readFileSync(0, 'utf8'));\n"
               "const answer = value => process.stdout.write(JSON.stringify(value));\n")
    done = subprocess.run([NODE, "-e", prelude + script], input=json.dumps(data), capture_output=True, text=True,
                          timeout=60, env=plain_env())
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def assigned(part: Path, name: str) -> str:
    """The JavaScript literal the page part *part* gives its constant *name*."""
    found = re.search(rf"^\s*(?:const|var) {name} = (.+?);(?:\s*//.*)?$", part.read_text(), re.MULTILINE)
    assert found, f"{part.name} defines no {name}"
    return found.group(1)


def js_value(part: Path, name: str) -> Any:
    return node(f"answer({assigned(part, name)});")


# ---- the module side --------------------------------------------------------------------


@pytest.fixture
def cellwright(logged_in, fresh_import, monkeypatch):
    """The assistant, answering ANSWER; what it hands to `display` is kept in `.shown`."""
    module = fresh_import("korvane.tessaly_gpt_sdk.cellwright")
    module.shown = []
    monkeypatch.setattr(module, "display", module.shown.append)
    return module


@pytest.fixture
def answering(service):
    service.engine = lambda query, max_tokens: ANSWER
    return service


def sent_prompts(service) -> list[str]:
    return [r.json["query"] for r in service.requests if r.operation == "completion"]


def answer_prompts(wardlock, monkeypatch, *answers: str) -> None:
    """The login's prompts get *answers*, then an EOFError, as at the end of the input."""
    pending = list(answers)

    def getpass(prompt: str) -> str:
        if not pending:
            raise EOFError
        return pending.pop(0)

    monkeypatch.setattr(wardlock, "getpass", SimpleNamespace(getpass=getpass))


def failed_login(wardlock) -> BaseException:
    """The error of a login with no stored credentials."""
    with pytest.raises(Exception) as failed:
        wardlock.authenticate_credentials()
    return failed.value


# ---- the rows ---------------------------------------------------------------------------


def cell_programs_are_recognised(part: Path, name: str):
    def row(cellwright):
        cellwright.display_next_cell(ANSWER)
        cellwright.display_previous_cell("# " + ANSWER)
        programs = [shown.data for shown in cellwright.shown]
        found = node(f"const program = {assigned(part, name)};\n"
                     "answer(data.map(text => { const m = program.exec(text); return m && m.slice(1); }));", programs)
        assert found == [["below", "code"], ["above", "markdown"]]
    return row


def debug_explanation_is_recognised(part: Path):
    def row(cellwright, answering, capsys):
        cellwright.generate_code_completion("KeyError: 'a'", None, True)
        printed = capsys.readouterr().out
        explained = js_value(part, "EXPLAINED")
        assert printed.startswith(explained) and printed[len(explained):].removesuffix("\n") == ANSWER
    return row


def answers_are_rendered(part: Path):
    def row():
        bundle = magics.answer_bundle(ANSWER, "code")
        assert bundle[js_value(part, "ANSWER")]["answer"] == ANSWER
    return row


def action_failures_are_read():
    assert js_value(CELL_ACTIONS, "ACTION") == cell_actions.ACTION_MIME_TYPE


def marked_requests_are_the_parts(part: Path):
    def row():
        # The metadata the part merges into each request it sends, as the part builds it.
        merged = re.search(r"\{\s*\w+:\s*PART_MARK\s*\}", part.read_text())
        assert merged, f"{part.name} marks no request with PART_MARK"
        metadata = node(f"const PART_MARK = {assigned(part, 'PART_MARK')};\nanswer({merged.group(0)});")
        parent = {"metadata": metadata, "header": {"msg_type": "execute_request", "msg_id": "1"}, "content": {}}
        kernel = SimpleNamespace(get_parent=lambda channel: parent)
        assert delivery.Origin(SimpleNamespace(kernel=kernel)).kind == "part"
    return row


def the_form_is_recognised(cellwright, monkeypatch):
    monkeypatch.setattr(cellwright, "prompt_sample_list", {"Plot": "plot it"})
    cellwright.generate_code()
    (box,) = cellwright.shown
    # A widget's element carries its view's name as a class: DropdownView, "widget-dropdown".
    kinds = ["widget-" + widget._view_name.removesuffix("View").lower() for widget in box.children]
    labels = {kind: widget.description for kind, widget in zip(kinds, box.children) if kind != "widget-html"}
    text = FORM.read_text()
    order = re.search(r"kinds\.join\(\) === ('[^']*')", text)
    label_checks = re.findall(r"labelText\(box, '\.(widget-\w+)'\) === ('[^']*')", text)
    assert order and label_checks
    expected_order, *expected_labels = node(f"answer([{', '.join([order.group(1), *(label for _, label in label_checks)])}]);")
    assert ",".join(kinds) == expected_order
    assert [labels[kind] for kind, _ in label_checks] == expected_labels


def a_refused_login_is_told_in_one_line(wardlock, routed, monkeypatch):
    answer_prompts(wardlock, monkeypatch, USER, "wrong", TENANT)
    refused = failed_login(wardlock)
    assert isinstance(refused, PermissionError)
    assert request_failures.describe(refused, HOST) is not None
    assert magics._refused_login(refused, {}, "try again") is not None


def the_typed_user_and_tenant_are_noted(wardlock, routed, monkeypatch):
    typed: dict[str, str] = {}
    answer_prompts(wardlock, monkeypatch, USER, "wrong", TENANT)
    with magics._noting_what_is_typed(wardlock, typed):
        failed_login(wardlock)
    assert typed == {magics._USER_PROMPT: USER, magics._TENANT_PROMPT: TENANT}


def credentials_needed_is_told_in_one_line(wardlock, routed, monkeypatch):
    answer_prompts(wardlock, monkeypatch)
    nobody_to_ask = failed_login(wardlock)
    assert isinstance(nobody_to_ask, EOFError)
    assert request_failures.describe(nobody_to_ask, HOST) is not None


def an_unreachable_service_keeps_the_kits_words(wardlock, service):
    with refused_route():
        with pytest.raises(Exception) as unreachable:
            wardlock.validate_token("token", TENANT)
        told = request_failures.describe(unreachable.value, HOST)  # while the route still stands
    assert told.startswith(str(unreachable.value).rstrip("."))


def the_magic_sends_the_debug_modes_prompt(cellwright, answering):
    cellwright.generate_code_completion("KeyError: 'a'", None, True)
    stand_in = SimpleNamespace(assistant=cellwright)
    assert sent_prompts(answering) == [magics.KorvaneMagics._debug_prompt(stand_in, "KeyError: 'a'")]


def the_engine_tells_each_commands_request(cellwright, answering):
    cellwright.optimize_code("x = 1", None, False)
    cellwright.generate_markdown("x = 1", None, False)
    cellwright.generate_code_completion("x = 1", None, False, False)
    cellwright.generate_code_completion("x = 1", None, True)
    assert [split_prompt(prompt)[:2] for prompt in sent_prompts(answering)] == [
        ("optimize", "x = 1"), ("explain", "x = 1"), ("write", "x = 1"), ("debug", "x = 1")]


def the_engine_reads_the_notebook_back(cellwright, answering):
    notebook = {"pd": pd, "sales": pd.DataFrame({"units": [3], "amount": [3.5]}), "n": 3}
    cellwright.generate_code_completion("plot it", notebook, False, False)
    (prompt,) = sent_prompts(answering)
    mode, request, context = split_prompt(prompt)
    read = _parse_context(context)
    assert (mode, request, read.aliases) == ("write", "plot it", {"pandas": "pd"})
    assert [(v.name, v.columns, v.is_frame) for v in read.variables] == [
        ("sales", [("units", "int64"), ("amount", "float64")], True), ("n", [], False)]


SHARED_TEXTS = [
    # (the text, where it is made, its reader, the row)
    ("cell program -> answers.js", "cellwright.cpp insert_cell", "PROGRAM",
     cell_programs_are_recognised(ANSWER_RULES, "PROGRAM")),
    *((f"debug explanation -> {part.name}", "cellwright.cpp generate_code_completion", "EXPLAINED",
       debug_explanation_is_recognised(part)) for part in PAGE_PARTS),
    *((f"answer output -> {part.name}", "magics.py ANSWER_MIME_TYPE", "ANSWER", answers_are_rendered(part))
      for part in (*PAGE_PARTS, CELL_ACTIONS)),
    ("action failure -> actions.js", "cell_actions.py ACTION_MIME_TYPE", "ACTION", action_failures_are_read),
    *((f"{part.name} request mark -> delivery.py", "markRequests", "delivery.PART_MARK",
       marked_requests_are_the_parts(part)) for part in PAGE_PARTS),
    ("query form -> form.js", "cellwright.cpp generate_code", "form.js isForm", the_form_is_recognised),
    ("refused login -> request_failures.py, magics.py", "wardlock.cpp authenticate_credentials",
     "REFUSED", a_refused_login_is_told_in_one_line),
    ("login prompts -> magics.py", "wardlock.cpp authenticate_credentials", "_USER_PROMPT, _TENANT_PROMPT",
     the_typed_user_and_tenant_are_noted),
    ("credentials needed -> request_failures.py", "wardlock.cpp ask", "_NOBODY_TO_ASK",
     credentials_needed_is_told_in_one_line),
    ("service unreachable -> request_failures.py", "service_request.cpp raise_if_unreachable", "describe",
     an_unreachable_service_keeps_the_kits_words),
    ("debug prompt -> magics.py", "cellwright.cpp generate_code_completion", "_DEBUG_PROMPT",
     the_magic_sends_the_debug_modes_prompt),
    ("base prompts -> testing/engine.py", "cellwright.cpp", "split_prompt", the_engine_tells_each_commands_request),
    ("notebook context -> testing/engine.py", "cellwright_prompt.cpp", "_parse_context",
     the_engine_reads_the_notebook_back),
]


@pytest.mark.parametrize("text, source, reader, row", SHARED_TEXTS, ids=[row[0] for row in SHARED_TEXTS])
def test_each_reader_still_matches_the_text_as_made(request, text, source, reader, row):
    names = row.__code__.co_varnames[:row.__code__.co_argcount]
    row(*(request.getfixturevalue(name) for name in names))
