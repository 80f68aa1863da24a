"""The %korvane magic in a real IPython kernel whose engine is the local tenant service."""

from __future__ import annotations

import contextlib
import json
import os
import re
import signal
from html.parser import HTMLParser
from collections.abc import Iterator
from pathlib import Path
from types import SimpleNamespace

import pytest
from jupyter_client.manager import KernelManager

import korvane
import korvane.testing
from korvane_fixtures import PASSWORD, TENANT, USER
from korvane.magics import ANSWER_MIME_TYPE, answer_bundle
from test_cellwright import DEBUG, EXPLAIN, HEAD, OPTIMIZE, WRITE

KERNEL_TIMEOUT = 60  # s: start-up on a busy machine
STEP_TIMEOUT = 30  # s: one cell
ANSWER = "sales.plot()\n"
ANSI = re.compile(r"\x1b\[[0-9;]*m")

# Runs in the kernel before any cell: route it to this test's service and credential file.
STARTUP = """\
def _route_to_the_tests_service(info, secret):
    import korvane.testing
    import korvane.validation.wardlock as wardlock

    korvane.testing.connect(info)
    wardlock.secret_file_path = secret


_route_to_the_tests_service({info!r}, {secret!r})
del _route_to_the_tests_service
"""

SALES = 'import pandas as pd\nsales = pd.DataFrame({"units": [3, 4], "amount": [3.5, 4.0]})'


# The metadata of a request from a page where korvane's front-end part runs.
FROM_THE_PART = {"korvane": "part"}


class Kernel:
    """A kernel's client: runs a cell and returns what the kernel sent back for it."""

    def __init__(self, client) -> None:
        self.client = client

    def send_execute(self, code: str, metadata: dict, **options) -> str:
        """An execute request with *metadata*, as a front end sends it; its message id."""
        message = self.client.session.msg("execute_request", {
            "code": code, "silent": False, "store_history": True, "user_expressions": {},
            "allow_stdin": False, "stop_on_error": True, **options})
        message["metadata"] = dict(metadata)
        self.client.shell_channel.send(message)
        return message["header"]["msg_id"]

    def run(self, code: str, while_running=None, typed: tuple[str, ...] = (),
            metadata=FROM_THE_PART, **options) -> SimpleNamespace:
        """Runs *code* as a page with korvane's part sends it, unless *metadata* says
        otherwise; *while_running* sees each message from the kernel as it arrives.

        With *typed*, the cell's input requests (the login's prompts) are answered in turn;
        *options* go into the request (silent=True, say).
        """
        messages = []
        answers = list(typed)

        def output(message):
            if while_running is not None:
                while_running(message)
            messages.append(message)

        def answer(message):
            self.client.input(answers.pop(0) if answers else "")

        self.client.execute = lambda code, **options: self.send_execute(code, metadata, **options)
        try:
            reply = self.client.execute_interactive(code, timeout=STEP_TIMEOUT, allow_stdin=bool(typed),
                                                    output_hook=output, stdin_hook=answer, **options)
        finally:
            del self.client.execute  # the class's own again
        outputs = [(m["msg_type"], m["content"]) for m in messages]
        reply = reply["content"]
        # What the cell shows in the end: each display as its last update left it; an emptied one is gone.
        shown = [[c.get("transient", {}).get("display_id"), c["data"]] for t, c in outputs if t == "display_data"]
        for t, c in outputs:
            if t == "update_display_data":
                for entry in shown:
                    if entry[0] == c["transient"]["display_id"]:
                        entry[1] = c["data"]
        return SimpleNamespace(
            reply=reply,
            # (exception name, message) of a failed cell; a UsageError has no traceback output
            failure=(reply["ename"], reply["evalue"]) if reply["status"] == "error" else None,
            stdout="".join(c["text"] for t, c in outputs if t == "stream" and c["name"] == "stdout"),
            stderr="".join(c["text"] for t, c in outputs if t == "stream" and c["name"] == "stderr"),
            displays=[data for _, data in shown if data != {"text/plain": ""}],
            # Displays shown while the cell ran that a later update replaced.
            replaced=[c["data"] for t, c in outputs if t == "display_data" and c.get("transient", {}).get("display_id")
                      and any(t2 == "update_display_data" and c2["transient"] == c["transient"] for t2, c2 in outputs)],
            results=[c["data"] for t, c in outputs if t == "execute_result"],
            tracebacks=[c["traceback"] for t, c in outputs if t == "error"],
        )

    def run_ok(self, code: str) -> SimpleNamespace:
        ran = self.run(code)
        assert ran.failure is None, (ran.failure, ran.stderr, [ANSI.sub("", "\n".join(t)) for t in ran.tracebacks])
        return ran


@contextlib.contextmanager
def started_kernel(tmp_path: Path) -> Iterator[Kernel]:
    """A new IPython kernel (ipykernel) in *tmp_path*, with the IPython directory there; killed at the end."""
    env = {k: v for k, v in os.environ.items() if "korvane-route-" not in v}  # this process's routing
    env.update(PYTHONPATH=os.pathsep.join(p for p in (str(Path(korvane.__file__).parents[1]),
                                                       os.environ.get("PYTHONPATH")) if p),
               IPYTHONDIR=str(tmp_path / "ipython"), JUPYTER_CONFIG_DIR=str(tmp_path / "jupyter-config"),
               JUPYTER_DATA_DIR=str(tmp_path / "jupyter-data"), JUPYTER_RUNTIME_DIR=str(tmp_path / "runtime"),
               TMPDIR=str(tmp_path))  # the kernel is killed at the end: what it keeps in TMPDIR stays here
    manager = KernelManager(kernel_name="python3", connection_file=str(tmp_path / "kernel.json"))
    manager.start_kernel(env=env, cwd=str(tmp_path))
    pid = manager.provisioner.pid
    client = manager.client()
    try:
        client.start_channels()
        client.wait_for_ready(timeout=KERNEL_TIMEOUT)
        kernel = Kernel(client)
        kernel.manager = manager
        yield kernel
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)  # kills the process and waits for it
        if manager.is_alive():
            os.kill(pid, signal.SIGKILL)


@pytest.fixture
def kernel(tmp_path, service, secret_file):
    """A new kernel routed to `service`, logging in with `secret_file`."""
    info = tmp_path / "service.json"
    info.write_text(json.dumps(service.connection_info()))
    startup = tmp_path / "ipython" / "profile_default" / "startup"
    startup.mkdir(parents=True)
    (startup / "00-route.py").write_text(STARTUP.format(info=str(info), secret=str(secret_file)))
    with started_kernel(tmp_path) as kernel:
        yield kernel


@pytest.fixture
def kernel_manager(kernel):
    return kernel.manager


def completions(service) -> list[str]:
    return [r.json["query"] for r in service.requests if r.operation == "completion"]


@pytest.fixture
def answering(service):
    service.engine = lambda query, max_tokens: ANSWER
    return service


def test_loading_logs_in_and_a_failed_login_can_be_retried(kernel, answering, wardlock):
    # No stored login and no way to type one: the assistant's import fails.
    failed = kernel.run("%load_ext korvane")
    assert failed.failure == ("UsageError", (
        "korvane could not load the notebook assistant, so %korvane is not available.\n"
        "StdinNotImplementedError: Credentials are needed: none are stored that the service accepts, and there is"
        " nobody to ask for them (getpass was called, but this frontend does not support input requests). Log in"
        " once where the prompts can be answered, in a terminal or a notebook.\n"
        "Once that is put right, run %load_ext korvane again."))
    assert failed.stdout == "USERNAME and PASSWORD are not provided please add it manually\n"
    assert kernel.run("%korvane hello").failure == ("UsageError", "Line magic function `%korvane` not found.")

    wardlock._update_credentials(USER, PASSWORD, answering.issue_token(TENANT, USER), TENANT)
    answering.clear_requests()
    kernel.run_ok("%load_ext korvane")
    assert [r.operation for r in answering.requests] == ["token_check", "token_check"]  # the import's login
    assert kernel.run_ok("%korvane --return say hello").results == [{"text/plain": repr(ANSWER)}]


CODE_BELOW = {"answer": ANSWER, "cell_type": "code", "where": "below"}
MARKDOWN_ABOVE = {"answer": ANSWER, "cell_type": "markdown", "where": "above"}
# (cell, how the prompt ends, the answer output's delivery or None when the answer is returned)
ASKING = [
    ("%%korvane\nplot amount by region\n", WRITE + ": plot amount by region", CODE_BELOW),
    # Taken as typed: no $-expansion, braces and apostrophes kept.
    ("%korvane  label the {len(sales)} bars, don't use $pd", WRITE + ": label the {len(sales)} bars, don't use $pd",
     CODE_BELOW),
    ("%korvane -o -- -x if x < 0 else x", OPTIMIZE + ": -x if x < 0 else x", CODE_BELOW),
    ("%korvane -1 marks a missing amount", WRITE + ": -1 marks a missing amount", CODE_BELOW),
    ('%%korvane --markdown\ntotal = sales["amount"].sum()', EXPLAIN + ': total = sales["amount"].sum()',
     MARKDOWN_ABOVE),
    ("%%korvane --return --optimize\nfor r in sales.index: pass", OPTIMIZE + ": for r in sales.index: pass", None),
]


WAITING = {"text/plain": f"Asking the engine at {TENANT}{korvane.testing.SERVICE_DOMAIN}\u2026"
                         " (interrupt the kernel to cancel)"}


def test_the_magic_asks_with_the_notebooks_variables_and_inserts_the_answer(kernel, logged_in, answering):
    kernel.run_ok(SALES)
    kernel.run_ok("%load_ext korvane")
    for source, prompt_end, delivery in ASKING:
        answering.clear_requests()
        ran = kernel.run_ok(source)
        # A line said the engine was being asked; the outcome took its place.
        assert ran.replaced == [WAITING], source
        (prompt,) = completions(answering)
        # The notebook's own names: pd alone among the modules (nothing imported over the user's),
        # and the frame's real columns.
        head, variables = prompt.split("Variables: \n")
        assert head == HEAD + "Modules: \npd\n\n", source
        assert "name: sales, type: DataFrame\n\t column: units, dtype:int64\n\t column: amount, dtype:float64\n" \
            in variables
        assert variables.endswith("\n\nUse them as context and " + prompt_end), source
        if delivery is None:  # returned, not inserted
            assert (ran.displays, ran.results) == ([], [{"text/plain": repr(ANSWER)}])
        else:  # for korvane's front-end parts, with the answer itself for any other front end
            (shown,) = ran.displays
            assert shown[ANSWER_MIME_TYPE] == delivery
            assert shown["text/plain"] == ANSWER and ANSWER in shown["text/markdown"]
            assert ran.results == []


def test_error_explains_the_last_exception_as_markdown(kernel, logged_in, answering):
    kernel.run_ok("%load_ext korvane")
    assert kernel.run_ok("%korvane --error").stdout == (
        "No error to explain: no cell of this notebook has raised an exception yet.\n")
    assert completions(answering) == []

    failing = kernel.run('def total(frame):\n    return frame["revenue"]\n\ntotal({})')
    (traceback,) = failing.tracebacks
    kernel.run("%korvane --eror")  # a mistyped magic is not the error to explain
    explained = kernel.run_ok("%korvane --error")
    assert explained.replaced == [WAITING]

    shown = ANSI.sub("", "\n".join(traceback))
    assert 'return frame["revenue"]' in shown and "KeyError: 'revenue'" in shown
    assert completions(answering) == [DEBUG + shown]
    assert explained.displays == [{"text/html": "<p>sales.plot()</p>\n", "text/plain": ANSWER}]
    assert explained.stdout == ""


class MarkupSeen(HTMLParser):
    """The tags and attributes an HTML text would make in the page, and its text."""

    def __init__(self, html: str) -> None:
        super().__init__(convert_charrefs=True)
        self.tags: set[str] = set()
        self.attributes: list[tuple[str, str | None]] = []
        self.text = ""
        self.feed(html)
        self.close()

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        self.attributes += attrs

    def handle_data(self, data):
        self.text += data


# Explanations as an engine might word them, quoting the error's own text.
HOSTILE_EXPLANATIONS = {
    "raw HTML": ("The frame holds <img src=x onerror=alert(1)>.", "<img src=x onerror=alert(1)>"),
    "a backtick in the error that ends the code span": (
        "The error was `KeyError: 'a`<img src=x onerror=alert(2)>`'`.", "<img src=x onerror=alert(2)>"),
    "a script block": ("<script>alert(3)</script>", "<script>alert(3)</script>"),
    "a script link": ("See [the docs](javascript:alert(4)).", "the docs"),
    "an autolink to script": ("<javascript:alert(5)>", "javascript:alert(5)"),
}
SAFE_TAGS = {"p", "code", "pre", "em", "strong", "a", "ul", "ol", "li", "h1", "h2", "h3", "blockquote", "br",
             "table", "thead", "tbody", "tr", "th", "td", "del", "hr"}


def test_an_error_explanation_reaches_the_page_as_text_and_runs_nothing(kernel, logged_in, answering):
    kernel.run_ok("%load_ext korvane")
    kernel.run("raise KeyError('a`<img src=x onerror=alert(0)>')")
    for name, (explanation, shown_as_text) in HOSTILE_EXPLANATIONS.items():
        answering.engine = lambda query, max_tokens, explanation=explanation: explanation
        (bundle,) = kernel.run_ok("%korvane --error").displays
        assert set(bundle) == {"text/html", "text/plain"} and bundle["text/plain"] == explanation, name
        seen = MarkupSeen(bundle["text/html"])
        assert seen.tags <= SAFE_TAGS and shown_as_text in seen.text, (name, bundle)
        assert all(not key.startswith("on") and (key != "href" or value.startswith("https://"))
                   for key, value in seen.attributes), (name, bundle)


def test_reloading_the_extension_drops_the_old_magics_and_the_error_it_held(kernel, logged_in, answering):
    kernel.run_ok("%load_ext korvane")
    kernel.run("big = bytearray(64 << 20)\nraise ValueError('holds big in its frame')")
    kernel.run_ok("import gc, weakref\nfrom korvane.magics import KorvaneMagics\n"
                  "old = [weakref.ref(c) for c in get_ipython().configurables if isinstance(c, KorvaneMagics)]\n"
                  "del big")
    kernel.run_ok("%reload_ext korvane")
    kept = kernel.run_ok("gc.collect()\nprint(sum(r() is not None for r in old),"
                         " sum(isinstance(c, KorvaneMagics) for c in get_ipython().configurables))")
    assert kept.stdout == "0 1\n"
    assert kernel.run_ok("%korvane --return say hello").results == [{"text/plain": repr(ANSWER)}]


USAGE = "%korvane [-m] [-o] [-e] [-f] [--forget] [-r] [--login] [query ...]"
BAD_USAGE = [
    ("%korvane --nope plot it", "unrecognized arguments: --nope"),
    ("%korvane -m -o x = 1", "choose one of --markdown, --optimize and --error"),
    ("%korvane", "nothing to ask: put the query after %korvane, or in the cell's body under %%korvane"),
    ("%%korvane --markdown\n\n", "nothing to ask: put the query after %korvane, or in the cell's body under %%korvane"),
    ("%%korvane plot\nit", "the text of %%korvane goes in the cell's body, not after the options"),
    ("%%korvane --error\nwhy", "--error explains the last error and takes no query"),
    ("%korvane --login now", "--login logs in again and takes no query and no other option"),
    ("%korvane --login --return", "--login logs in again and takes no query and no other option"),
]


def test_a_follow_up_carries_the_last_exchanges_and_a_plain_ask_none(kernel, logged_in, service):
    kernel.run_ok(SALES)
    kernel.run_ok("%load_ext korvane")
    kernel.run_ok("%korvane plot the amount by units as a line chart")
    first = completions(service)[-1]
    followed = kernel.run_ok("%korvane -f now as a bar chart")
    prompt = completions(service)[-1]
    earlier = prompt.split("Earlier in this conversation:", 1)[1]
    assert earlier.startswith("\n\nQuestion: plot the amount by units as a line chart\nAnswer:\n")
    assert earlier.endswith("\n\nNow, following up: now as a bar chart")
    assert prompt.split("Earlier in this conversation:")[0] == first.split("plot the amount")[0]  # same context
    # The offline engine reads the follow-up in the light of the question before it.
    answer = followed.displays[0]["text/plain"]
    assert "kind='bar'" in answer and "units" in answer
    kernel.run_ok("%korvane say hello")
    assert "Earlier in this conversation" not in completions(service)[-1]  # nothing sent unless asked for
    for _ in range(4):
        kernel.run_ok("%korvane --return another question")
    kernel.run_ok("%korvane -f and one more")
    assert completions(service)[-1].count("Question: ") == korvane.magics.FOLLOW_UP_EXCHANGES
    assert "forgotten" in kernel.run_ok("%korvane --forget").stdout
    kernel.run_ok("%korvane -f after forgetting")
    assert "Earlier in this conversation" not in completions(service)[-1]


def test_usage_is_shown_and_bad_usage_is_refused_before_anything_is_sent(kernel, logged_in, service):
    kernel.run_ok("%load_ext korvane")
    service.clear_requests()
    for source in ("%korvane?", "%%korvane?"):
        (payload,) = kernel.run_ok(source).reply["payload"]
        page = ANSI.sub("", payload["data"]["text/plain"])
        assert USAGE in page and "--return" in page and "--error" in page and "%%korvane\n" in page, source
    for source, message in BAD_USAGE:
        assert kernel.run(source).failure == ("UsageError", message), source
    assert service.requests == []


# Answers that would end a code fence or run as HTML if they were not kept inside one.
HOSTILE_ANSWERS = [
    "```\n<img src=x onerror=alert(1)>\n```",
    "````` five `` and ` one\n<script>alert(1)</script>",
    "no newline at the end <b>bold</b>",
    "ends in a backtick `",
    "half an emoji \ud83d, the other half \udc0d",
]


@pytest.mark.parametrize("answer", HOSTILE_ANSWERS)
@pytest.mark.parametrize("cell_type", ["code", "markdown"])
def test_the_fallback_shows_the_whole_answer_as_text_and_nothing_of_it_as_html(answer, cell_type):
    import mistune  # nbconvert's Markdown renderer

    html = mistune.html(answer_bundle(answer, cell_type)["text/markdown"])
    assert html.count("<pre>") == 1 and "<img" not in html and "<script" not in html and "<b>" not in html
    code = html[html.index("<code"):]
    well_formed = answer.replace("\ud83d", "\ufffd").replace("\udc0d", "\ufffd")
    assert code[code.index(">") + 1:code.index("</code>")] == mistune.escape(well_formed) + "\n"


def test_the_error_prompt_is_composed_without_rebinding_what_other_threads_call(logged_in, fresh_import, monkeypatch):
    from korvane.magics import KorvaneMagics

    cellwright = fresh_import("korvane.tessaly_gpt_sdk.cellwright")
    get_completion, compose = cellwright.get_completion, cellwright._generate_prompt
    # What another thread's request would find while the prompt is being composed.
    found_meanwhile = []

    def composing(*args, **kwargs):
        found_meanwhile.append(cellwright.get_completion)
        return compose(*args, **kwargs)

    monkeypatch.setattr(cellwright, "_generate_prompt", composing)
    error_text = "KeyError: 'revenue'"
    prompt = KorvaneMagics._debug_prompt(SimpleNamespace(assistant=cellwright), error_text)
    assert prompt == DEBUG + error_text
    assert found_meanwhile == [get_completion] and cellwright.get_completion is get_completion


def interrupt_once_asking(kernel_manager):
    """Ctrl-C in the kernel once the waiting line is there, as the front end's interrupt does."""
    def interrupt(message):
        if message["msg_type"] == "display_data":
            kernel_manager.interrupt_kernel()
    return interrupt  # the waiting line is the only display before the request fails


HOST = f"{TENANT}{korvane.testing.SERVICE_DOMAIN}"
# The kernel was routed to the service by connect(<its info file>) (STARTUP); a refused route over it says nothing of how.
RESTART_HINT = "Is korvane's local service running? Once it runs again, connect(<info>) routes to it again."
# (what goes wrong, the cell that sets it up, the one line shown, what %tb shows of the cause)
FAILURES = [
    ("stopped service", "stopped = korvane.testing.refused_route().activate()",
     f"The service at {HOST} could not be reached for the token check: [Errno 111] Connection refused. Is the service running?",
     "ConnectionError: The service at"),
    ("stalled service", "from korvane.tessaly_gpt_sdk import endpoints\nendpoints.REQUEST_TIMEOUT = (10, 0.5)",
     f"The service at {HOST} could not be reached for the engine request: no answer within 0.5 seconds (the read"
     f" timeout). {RESTART_HINT}", "ReadTimeout: The service at"),
    ("refused credentials", "",
     f"The service at {HOST} refused the stored login. Credentials are needed: none are stored that the service"
     f" accepts, and there is nobody to ask for them (getpass was called, but this frontend does not support input"
     f" requests). Log in once where the prompts can be answered, in a terminal or a notebook.",
     "StdinNotImplementedError: Credentials are needed"),
    ("interrupt", "", f"The request to {HOST} was interrupted; no answer was delivered.", "KeyboardInterrupt"),
]


@pytest.mark.parametrize("what, setup, line, cause", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failure_of_the_kit_shows_in_one_line_and_tb_shows_its_traceback(
        kernel, kernel_manager, logged_in, answering, wardlock, tmp_path, what, setup, line, cause):
    line = line.replace("<info>", repr(str(tmp_path / "service.json")))
    kernel.run_ok("import korvane.testing\n%load_ext korvane")
    kernel.run_ok(setup)
    while_running = None
    if what == "refused credentials":  # the token and the stored password both refused
        answering.expire_tokens()
        answering.reset()
        answering.add_user(USER, "another password", tenant=TENANT)
    if what == "interrupt":
        while_running = interrupt_once_asking(kernel_manager)
    for source in ("%korvane plot it", "answer = %korvane --return plot it"):
        if what in ("stalled service", "interrupt"):
            answering.fail("completion", kind="stall")
        ran = kernel.run(source, while_running)
        assert ran.failure == ("RequestFailed", line), source
        (traceback,) = ran.tracebacks
        assert [ANSI.sub("", t) for t in traceback] == [f"korvane: {line} (%tb shows the full traceback)"]
        assert ran.replaced == [WAITING] and ran.displays == [] and ran.stderr == "", source
        shown = ANSI.sub("", "\n".join(kernel.run("%tb").tracebacks[0]))
        assert cause in shown and "Traceback" in shown and "RequestFailed" not in shown, shown
    # Not an error of the notebook's own code, so not what --error would explain.
    assert kernel.run_ok("%korvane --return --error").stdout.startswith("No error to explain")


def test_the_commands_called_directly_still_raise_with_their_traceback(kernel, logged_in, service):
    kernel.run_ok("import korvane.testing\nfrom korvane.tessaly_gpt_sdk import cellwright\n"
                  "stopped = korvane.testing.refused_route().activate()")
    ran = kernel.run("cellwright.generate_code_completion('plot it', jupyter_mode=False)")
    assert ran.failure[0] == "ConnectionError" and len(ran.tracebacks[0]) > 1


COMPLETIONS = [
    ("%korvane -", ["--error", "--follow-up", "--forget", "--login", "--markdown", "--optimize", "--return", "-e",
                    "-f", "-m", "-o", "-r"]),
    ("answer = %korvane --return --", ["--error", "--follow-up", "--forget", "--login", "--markdown", "--optimize",
                                       "--return"]),
    ("%korvane plot -", None),  # after the query begins, a dash is the query's own
    ("%korvane -- -", None),  # so it is after "--", which ends the options
    ("%%korvane --m", ["--markdown"]),
    ("%korvane --re", ["--return"]),
]


def test_tab_completes_the_magics_options(kernel, logged_in, answering):
    kernel.run_ok("%load_ext korvane")
    for source, expected in COMPLETIONS:
        reply = kernel.client.complete(source, len(source), reply=True, timeout=STEP_TIMEOUT)["content"]
        if expected is None:
            assert "--markdown" not in reply["matches"] and "-m" not in reply["matches"], source
            continue
        assert sorted(reply["matches"]) == expected, source
        assert (reply["cursor_start"], reply["cursor_end"]) == (source.rindex(" ") + 1, len(source)), source
    kernel.run_ok("%unload_ext korvane")
    reply = kernel.client.complete("%korvane -", 10, reply=True, timeout=STEP_TIMEOUT)["content"]
    assert "--markdown" not in reply["matches"]


# ---- what the engine answered ----------------------------------------------------------------

NO_TEXT_ANSWER = (f"The engine's answer from {HOST} held no text answer; nothing was inserted. Try again, and if it"
                  f" persists ask the service's administrators.")
# Status-200 answers of the completion that hold no text to insert: TenantService.fail's arguments.
MALFORMED_ANSWERS = {
    "completion null": dict(status=200, body='{"completion": null}'),
    "completion a number": dict(status=200, body='{"completion": 123}'),
    "completion an object": dict(status=200, body='{"completion": {"code": "x = 1"}}'),
    "no completion": dict(status=200, body='{"answer": "x = 1"}'),
    "a JSON list": dict(kind="json_array"),
    "not JSON": dict(kind="not_json"),
    "JSON nested too deep": dict(status=200, body="[" * 100_000 + "]" * 100_000),
}


def test_an_answer_without_text_inserts_nothing_and_says_so_in_one_line(kernel, logged_in, answering):
    kernel.run_ok("%load_ext korvane")
    kernel.run("1 / 0")
    for name, fault in MALFORMED_ANSWERS.items():
        for source in ("%korvane plot it", "%korvane --error", "answer = %korvane --return plot it"):
            answering.fail("completion", **fault)
            ran = kernel.run(source)
            assert ran.failure == ("RequestFailed", NO_TEXT_ANSWER), (name, source, ran.tracebacks)
            assert (ran.replaced, ran.displays, ran.results) == ([WAITING], [], []), (name, source)


def test_an_explanation_with_half_an_emoji_is_shown_with_a_replacement_character(kernel, logged_in, answering):
    kernel.run_ok("%load_ext korvane")
    kernel.run("1 / 0")
    answering.engine = lambda query, max_tokens: "half an emoji \ud83d"
    explained = kernel.run_ok("%korvane --error")
    assert explained.replaced == [WAITING]
    assert explained.displays == [{"text/html": "<p>half an emoji \ufffd</p>\n", "text/plain": "half an emoji \ufffd"}]


# ---- which error --error explains ----------------------------------------------------------------

# (what failed, the cells that make it fail): each a failure of the magic's own request, never
# the error that --error explains, also once the extension was loaded again.
KIT_FAILURES = [
    ("service down", ["stopped = korvane.testing.refused_route().activate()", "%korvane plot it", "stopped.close()"]),
    ("raised through the request", ["frame = pd.DataFrame({'a': [1]})\n"
                                    "pd.DataFrame.dtypes = property(lambda self: 1 / 0)",
                                    "%korvane plot it", "del frame"]),
]


@pytest.mark.parametrize("reload", [False, True], ids=["loaded", "reloaded"])
@pytest.mark.parametrize("what, cells", KIT_FAILURES, ids=[f[0] for f in KIT_FAILURES])
def test_a_failure_of_the_magics_own_request_is_not_the_error_to_explain(
        kernel, logged_in, answering, what, cells, reload):
    kernel.run_ok("import korvane.testing, pandas as pd\n%load_ext korvane")
    kernel.run_ok(cells[0])
    assert kernel.run(cells[1]).failure is not None
    kernel.run_ok(cells[2])
    if reload:
        kernel.run_ok("%reload_ext korvane")
    answering.clear_requests()
    assert kernel.run_ok("%korvane --error").stdout.startswith("No error to explain"), what
    assert completions(answering) == []


# ---- what the prompt describes ----------------------------------------------------------------

# (a cell run before asking, whether the prompt describes `open`): IPython's own `open` is not the
# notebook's variable; one the notebook bound is.
OWN_NAMES = [("", False), ("def open(path):\n    return path", True)]


def test_the_prompt_describes_what_the_cells_bound_and_not_ipythons_own_names(kernel, logged_in, answering):
    kernel.run_ok("%load_ext korvane")
    for cell, described in OWN_NAMES:
        kernel.run_ok(cell)
        answering.clear_requests()
        kernel.run_ok("%korvane plot it")
        (prompt,) = completions(answering)
        assert ("name: open, type: <class 'function'>\n" in prompt) is described, (cell, prompt)


# ---- logging in again ------------------------------------------------------------------------

BETA_HOST = f"beta{korvane.testing.SERVICE_DOMAIN}"
REFUSED_AT_LOAD = (f"The service at {HOST} refused the login of {USER}; check the user name, password and tenant,"
                   f" then run %load_ext korvane to try again.")
REFUSED_AT_LOGIN = (f"The service at {HOST} refused the login of {USER}; check the user name, password and tenant,"
                    f" then run %korvane --login to try again.")
# (what happens, the cell, the answers typed at the login's prompts, the failure or None, what is printed last,
# the operations of a request asked next, or how it fails, or None when none is asked)
LOGINS = [
    ("a wrong password at loading", "%load_ext korvane", (USER, "wrong", TENANT), ("UsageError", REFUSED_AT_LOAD),
     "", None),
    ("a refused login in a request", "%korvane plot it", (USER, "wrong", TENANT),
     ("RequestFailed", f"The service at {HOST} refused the user name, password or tenant. Run %korvane --login to"
                       f" log in again."), "", None),
    ("logging in again", "%korvane --login", (USER, "changed", TENANT), None, f"Logged in at {HOST}.\n",
     ["token_check", "completion"]),
    ("a refused login again", "%korvane --login", (USER, "wrong", TENANT), ("RequestFailed", REFUSED_AT_LOGIN),
     "", None),
    ("another tenant", "%korvane --login", ("bob", "builder", "beta"), None,
     f"Logged in at {BETA_HOST}. The engine at {HOST} was chosen when korvane was loaded: to ask {BETA_HOST}'s,"
     f" restart the kernel, then run %load_ext korvane.\n",
     ("RequestFailed", "The login is now for tenant 'beta', but this session's engine is tenant 'acme'")),
]


@pytest.mark.parametrize("what, cell, typed, failure, printed, next_request", LOGINS, ids=[c[0] for c in LOGINS])
def test_logging_in_again(kernel, logged_in, answering, wardlock, what, cell, typed, failure, printed, next_request):
    if cell != "%load_ext korvane":
        kernel.run_ok("%load_ext korvane")
    # The stored token and password are both refused now: the login asks.
    answering.expire_tokens()
    answering.add_user(USER, "changed", tenant=TENANT)
    answering.add_user("bob", "builder", tenant="beta")
    ran = kernel.run(cell, typed=typed)
    assert ran.failure == failure, ran.tracebacks
    assert ran.stdout.endswith(printed), ran.stdout
    if failure is not None and failure[0] == "RequestFailed":
        assert ANSI.sub("", ran.tracebacks[0][0]).endswith("(%tb shows the full traceback)")
    if isinstance(next_request, tuple):  # one line, not a traceback through the kit
        kind, opening = next_request
        asked = kernel.run("%korvane --return plot it")
        assert asked.failure[0] == kind and asked.failure[1].startswith(opening), asked.failure
    elif next_request is not None:
        answering.clear_requests()
        kernel.run_ok("%korvane --return plot it")
        assert [r.operation for r in answering.requests] == next_request


# (what the credential file holds): each damaged, so the assistant cannot be loaded.
DAMAGED = {"empty": b"", "cut short": b'{"TESSALY_USERNAME": "al', "a list": b"[1, 2]", "not UTF-8": b'{"\xff": 1}'}


def test_a_damaged_credential_file_is_named_with_what_removing_it_means(kernel, secret_file):
    for name, content in DAMAGED.items():
        secret_file.write_bytes(content)
        ran = kernel.run("%load_ext korvane")
        kind, message = ran.failure
        first, second, *more = message.split("\n")
        assert kind == "UsageError" and not more, (name, message)
        assert first == "korvane could not load the notebook assistant, so %korvane is not available.", name
        assert second.startswith(f"The credential file {secret_file} is damaged ("), (name, second)
        assert second.endswith("); remove it to log in anew (you will be asked for your user name, password and"
                               " tenant), then run %load_ext korvane again."), (name, second)
        assert secret_file.read_bytes() == content, name
