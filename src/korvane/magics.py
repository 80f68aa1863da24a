"""The %korvane magic: ask the notebook assistant from a cell, without passing globals().

Loaded by ``%load_ext korvane``. Every request goes through the assistant's own
commands, looked up on its module at each call, with the notebook's namespace as
the context; ``--error`` sends what the assistant's debug mode sends for the last
exception the kernel showed, and displays the explanation as Markdown.

While a request is on its way a line says so, and the outcome takes its place. A failure
of the kit's own (the service unreachable or too slow, the login refused, an answer with no
text in it, Ctrl-C) ends the cell with one line instead of a traceback through the kit; %tb
shows that traceback. ``--login`` runs the login anew.
"""

from __future__ import annotations

import collections
import contextlib
import importlib
import json
import os
import re
import sys
import traceback
from typing import Any
from collections.abc import Iterator

import mistune
import requests
from IPython.core.completer import SimpleCompletion, context_matcher
from IPython.core.error import UsageError
from IPython.core.magic import Magics, line_cell_magic, magics_class, no_var_expand
from IPython.core.magic_arguments import argument, argument_group, magic_arguments
from IPython.display import DisplayHandle, display

from korvane import cell_actions, delivery, request_failures
from korvane._build import SERVICE_DOMAIN

ASSISTANT = "korvane.tessaly_gpt_sdk.cellwright"
#: How many of the last exchanges (question and answer) a --follow-up sends along.
FOLLOW_UP_EXCHANGES = 3
_LOGIN = "korvane.validation.wardlock"
_ENGINE_CLIENT = "korvane.tessaly_gpt_sdk.endpoints"
#: Rendered by korvane's front-end parts, which insert the answer it carries as a cell
#: (ANSWER in jupyter/labextensions/korvane/static/remoteEntry.js and
#: jupyter/nbextensions/korvane/main.js).
ANSWER_MIME_TYPE = "application/vnd.korvane.answer+json"

_ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
# An option is a dash and a letter, or two dashes: "-1" or "-" begins a query.
_OPTION = re.compile(r"(-[A-Za-z-]\S*)\s*")
# The magic's name, any options, and the start of one more option just before the cursor.
# "--" ends the options, so it is none of the options before.
_OPTION_BEING_TYPED = re.compile(r"(?:^|\s)(%%?)korvane(?:\s+(?!--(?:\s|$))-[A-Za-z-]\S*)*\s+(-[A-Za-z-]*)$")


# What the assistant's debug mode puts before the error (generate_code_completion in
# src/cellwright.cpp); the prompt is composed by the assistant's own _generate_prompt, as
# the debug mode does with no globals.
_DEBUG_PROMPT = "Debug the below given error and tell me how I can resolve it: \n"


class RequestFailed(Exception):
    """A request of the magic failed for a reason of the kit's own, told in one line.

    The cell ends as failed (so Run All stops there) and shows only that line; the
    traceback of the cause stays what %tb shows.
    """

    def _render_traceback_(self) -> list[str]:
        return [f"\x1b[0;31mkorvane\x1b[0m: {self} (%tb shows the full traceback)"]


@magics_class
class KorvaneMagics(Magics):
    def __init__(self, shell: Any, assistant: Any) -> None:
        super().__init__(shell)
        self.assistant = assistant
        # The magic's last questions and answers in this kernel, for --follow-up.
        self.exchanges: collections.deque[tuple[str, str]] = collections.deque(maxlen=FOLLOW_UP_EXCHANGES)
        # IPython records every exception it shows, a mistyped magic's UsageError too;
        # --error explains the last one that came from the user's code.
        self.last_error = _explainable(getattr(sys, "last_value", None))
        shell.events.register("post_run_cell", self._remember_error)

    def _remember_error(self, result: Any) -> None:
        error = result.error_in_exec if result.error_in_exec is not None else result.error_before_exec
        if isinstance(error, RequestFailed):
            # %tb shows what IPython recorded last: make that the cause, not the one-line stand-in.
            request_failures.keep_for_tb(error.__cause__)
            return
        error = _explainable(error)
        if error is not None:
            self.last_error = error

    @context_matcher()
    def complete_options(self, context: Any) -> dict[str, Any]:
        """The magic's options, for Tab after %korvane - or on the first line of %%korvane -.

        Only where an option can stand: after the magic's name and other options, before
        the query. There they are the only completions (not Python names after a minus).
        """
        typed = _OPTION_BEING_TYPED.search(context.text_until_cursor)
        if typed is None or (typed.group(1) == "%%" and context.cursor_line != 0):
            return {"completions": []}
        fragment = typed.group(2)
        options = [option for action in self.korvane.parser._actions for option in action.option_strings]
        return {"completions": [SimpleCompletion(option, type="param") for option in options
                                if option.startswith(fragment)],
                "matched_fragment": fragment, "suppress": True}

    def _ask(self, request: Any) -> tuple[Any, DisplayHandle]:
        """*request*'s answer, with a line that says the engine is being asked meanwhile.

        The line's handle is returned for the outcome to take its place. A failure of the
        kit's own clears the line and becomes RequestFailed; any other passes unchanged.
        """
        host = request_failures.engine_host()
        waiting = DisplayHandle()
        # Inside the try: a Ctrl-C the moment the line is shown is an interrupted request too.
        try:
            waiting.display({"text/plain": f"Asking the engine at {host}\u2026 (interrupt the kernel to cancel)"},
                            raw=True)
            return _text_answer(request()), waiting
        except BaseException as error:
            waiting.update({"text/plain": ""}, raw=True)
            line = request_failures.describe(error, host)
            if line is None and _held_no_text_answer(error):
                line = (f"The engine's answer from {host} held no text answer; nothing was inserted. Try again, "
                        f"and if it persists ask the service's administrators.")
            if line is None:
                raise
            raise RequestFailed(line) from error

    def _login(self) -> None:
        """Runs the login anew (asking when the stored one is refused) for the engine client."""
        wardlock, endpoints = importlib.import_module(_LOGIN), importlib.import_module(_ENGINE_CLIENT)
        typed: dict[str, str] = {}
        try:
            with _noting_what_is_typed(wardlock, typed):
                token, tenant = wardlock.authenticate_credentials()
        except BaseException as error:
            line = (_refused_login(error, typed, "run %korvane --login to try again")
                    or request_failures.describe(error, request_failures.engine_host()))
            if line is None:
                raise
            raise RequestFailed(line) from error
        endpoints.auth_token, endpoints.tenant = token, tenant
        host, engine = _host_of(tenant), request_failures.engine_host()
        if host.lower() == engine.lower():
            print(f"Logged in at {host}.")
        else:  # the engine client fixed its URL at import
            print(f"Logged in at {host}. The engine at {engine} was chosen when korvane was loaded: to ask {host}'s,"
                  f" restart the kernel, then run %load_ext korvane.")

    @no_var_expand  # queries hold braces and dollar signs that must reach the engine as typed
    @magic_arguments()
    @argument("query", nargs="*", help="the query or the code, on the line or in the cell below the magic")
    @argument_group("what to ask (one of)")
    @argument("-m", "--markdown", action="store_true",
              help="explain the code as Markdown, in a new Markdown cell above")
    @argument("-o", "--optimize", action="store_true",
              help="have the code optimised, in a new code cell below")
    @argument("-e", "--error", action="store_true",
              help="explain the last error raised in this notebook (no query), shown as Markdown")
    @argument_group("the conversation")
    @argument("-f", "--follow-up", dest="follow_up", action="store_true",
              help=f"send the last {FOLLOW_UP_EXCHANGES} questions and answers of this kernel along, so that the"
                   f" query can refer to them (\"now as a bar chart\")")
    @argument("--forget", action="store_true", help="forget those questions and answers; nothing else")
    @argument_group("where the answer goes")
    @argument("-r", "--return", dest="return_answer", action="store_true",
              help="return the answer as text instead of inserting it, as jupyter_mode=False does")
    @argument_group("logging in")
    @argument("--login", action="store_true",
              help="log in again (the prompts ask when the stored login is refused); nothing else")
    @line_cell_magic
    def korvane(self, line: str, cell: str | None = None) -> Any:
        """
        Ask the engine from a cell; the prompt describes this notebook's variables.

        Without an option the text is a query and the generated code arrives in a new
        code cell below. The text is the rest of the line (%korvane) or the cell's body
        (%%korvane), taken as typed; put -- before a query that begins with a dash.

        Examples::

          %%korvane
          plot the total amount by region

          %korvane --markdown total = sales["amount"].sum()
          answer = %korvane --return sort the rows by amount
          %korvane --error
          %korvane --follow-up now as a bar chart
          %korvane --login
        """
        options, text = _split_options(line)
        args = self.korvane.parser.parse_args(options)  # UsageError for a bad option
        if args.login:
            if text.strip() or (cell or "").strip() or args.markdown or args.optimize or args.error \
                    or args.return_answer:
                raise UsageError("--login logs in again and takes no query and no other option")
            return self._login()
        if args.forget:
            if text.strip() or (cell or "").strip() or any(
                    (args.markdown, args.optimize, args.error, args.return_answer, args.follow_up)):
                raise UsageError("--forget forgets the questions and answers so far and takes nothing else")
            self.exchanges.clear()
            print("korvane: the earlier questions and answers are forgotten; --follow-up starts afresh.")
            return None
        if sum((args.markdown, args.optimize, args.error)) > 1:
            raise UsageError("choose one of --markdown, --optimize and --error")
        if cell is not None:
            if text:
                raise UsageError("the text of %%korvane goes in the cell's body, not after the options")
            text = cell.strip("\n")
        if args.error:
            if text.strip():
                raise UsageError("--error explains the last error and takes no query")
            if args.follow_up:
                raise UsageError("--follow-up goes with a query, not with --error")
            return self._explain_last_error(args.return_answer)
        if not text.strip():
            raise UsageError("nothing to ask: put the query after %korvane, or in the cell's body under %%korvane")

        namespace = self._notebooks_names()
        asked = self._with_earlier_exchanges(text) if args.follow_up else text
        if args.markdown:
            answer, waiting = self._ask(lambda: self.assistant.generate_markdown(asked, namespace, False))
        elif args.optimize:
            answer, waiting = self._ask(lambda: self.assistant.optimize_code(asked, namespace, False))
        else:
            answer, waiting = self._ask(
                lambda: self.assistant.generate_code_completion(asked, namespace, jupyter_mode=False))
        self.exchanges.append((text, answer))
        if args.return_answer:
            waiting.update({"text/plain": ""}, raw=True)
            return answer
        cell_type = "markdown" if args.markdown else "code"
        origin = delivery.current_origin()
        if origin.has_part:
            bundle = answer_bundle(answer, cell_type)
        else:
            text = delivery.valid_text(answer)
            bundle = delivery.copyable(text, cell_type, delivery.hand_over(origin, text, cell_type, from_a_command=False))
        _show(waiting, bundle, origin)
        return None

    def _explain_last_error(self, return_answer: bool) -> Any:
        if self.last_error is None:
            print("No error to explain: no cell of this notebook has raised an exception yet.")
            return None
        prompt = self._debug_prompt(self._traceback_text(self.last_error))
        # Sent as the debug mode sends it; only the delivery differs.
        explanation, waiting = self._ask(lambda: self.assistant.get_completion(prompt=prompt)["completion"])
        if return_answer:
            waiting.update({"text/plain": ""}, raw=True)
            return explanation
        text = delivery.valid_text(explanation)
        # Output of the kernel is trusted by the page, so Markdown handed over as such
        # would run any HTML in it, and the explanation quotes the error's text. It goes
        # as HTML rendered here, where the text is only ever text.
        _show(waiting, {"text/html": render_markdown_safely(text), "text/plain": text}, delivery.current_origin())
        return None

    def answer_cell_action(self, action: str, code: str, question: str, traceback: list[str]) -> None:
        """Asks what a front-end part's cell action asks (korvane.cell_actions) and shows the
        answer as the magic's answer data, for the part to place next to the cell. Explain,
        Optimise and Ask are exchanges a --follow-up sends along; an error's explanation is
        not, as with --error."""
        namespace = self._notebooks_names()
        # A question about a cell carries the cell's code.
        asked = f"{question.strip()}\n\nThe code this is about:\n{code}" if action == "ask" else code
        if action == "explain":
            answer, waiting = self._ask(lambda: self.assistant.generate_markdown(asked, namespace, False))
        elif action == "optimise":
            answer, waiting = self._ask(lambda: self.assistant.optimize_code(asked, namespace, False))
        elif action == "ask":
            answer, waiting = self._ask(
                lambda: self.assistant.generate_code_completion(asked, namespace, jupyter_mode=False))
        else:  # the traceback as the page shows it, sent as the debug mode sends it
            prompt = self._debug_prompt(_ANSI.sub("", "\n".join(traceback)))
            answer, waiting = self._ask(lambda: self.assistant.get_completion(prompt=prompt)["completion"])
        if action != "error":
            self.exchanges.append((asked, answer))
        cell_type, where = cell_actions.PLACES[action]
        _show(waiting, answer_bundle(answer, cell_type, where), delivery.current_origin())

    def _with_earlier_exchanges(self, question: str) -> str:
        """*question* after the last exchanges, flattened as text, for the engine to read it
        in their light."""
        if not self.exchanges:
            return question
        earlier = "\n\n".join(f"Question: {q}\nAnswer:\n{a.rstrip()}" for q, a in self.exchanges)
        return f"Earlier in this conversation:\n\n{earlier}\n\nNow, following up: {question}"

    def _notebooks_names(self) -> dict[str, Any]:
        """The notebook's namespace without the names IPython put there itself (its `open`,
        In, Out, exit), unless a cell bound them anew: the prompt describes the user's names."""
        namespace = dict(self.shell.user_ns)  # a plain dict, as the commands take
        for name, value in self.shell.user_ns_hidden.items():
            if name in namespace and namespace[name] is value:
                del namespace[name]
        return namespace

    def _debug_prompt(self, error_text: str) -> str:
        """The prompt the assistant's debug mode composes for *error_text*.

        Composed by the assistant's own _generate_prompt, looked up at each call as the
        command does; nothing shared is rebound meanwhile, so other threads' requests
        and overlapping runs are untouched.
        """
        return self.assistant._generate_prompt(error_text, base_prompt=_DEBUG_PROMPT, global_variables=None)

    def _traceback_text(self, error: BaseException) -> str:
        """The traceback of *error* as IPython showed it, without colours."""
        if hasattr(error, "_render_traceback_"):
            shown = error._render_traceback_()
            formatter = self.shell.InteractiveTB
        elif isinstance(error, SyntaxError):
            formatter = self.shell.SyntaxTB
            shown = formatter.structured_traceback(type(error), error, [])
        else:
            formatter = self.shell.InteractiveTB
            shown = formatter.structured_traceback(type(error), error, error.__traceback__)
        return _ANSI.sub("", formatter.stb2text(shown))


def answer_bundle(answer: Any, cell_type: str, where: str | None = None) -> dict[str, Any]:
    """The output that delivers *answer* as a new cell: Markdown above, code below, unless
    *where* says otherwise.

    korvane's front-end parts render ANSWER_MIME_TYPE: they insert the answer next to the
    asking cell (or update their earlier answer there) and show a one-line note. Anywhere
    else (a front end without them, an HTML export, a headless run) the answer shows as a
    Markdown code block, whose text cannot run as HTML or script.
    """
    # A lone surrogate (half an emoji) cannot be sent as UTF-8, nor saved in a notebook.
    text = delivery.valid_text(answer)
    where = where or ("above" if cell_type == "markdown" else "below")
    return {ANSWER_MIME_TYPE: {"answer": text, "cell_type": cell_type, "where": where},
            **delivery.copyable(text, cell_type)}


def _show(waiting: DisplayHandle, bundle: dict[str, Any], origin: delivery.Origin) -> None:
    """*bundle* in place of the waiting line. Consoles and requests without a cell id (the
    classic notebook without korvane's part) may ignore updates of a display, so there the
    line is emptied and the bundle shown anew."""
    if origin.kind == "kernel":
        waiting.update({"text/plain": ""}, raw=True)
        display(bundle, raw=True)
    else:
        waiting.update(bundle, raw=True)


class _TextOnlyRenderer(mistune.HTMLRenderer):
    """HTML of Markdown in which nothing of the text becomes markup of its own: raw HTML is
    escaped, links keep only web and mail addresses, and images are shown as their text
    (an image would fetch whatever address the text names)."""

    _SAFE_SCHEMES = ("http://", "https://", "mailto:")

    def __init__(self) -> None:
        super().__init__(escape=True)

    def link(self, text: str, url: str, title: str | None = None) -> str:
        if url.strip().lower().startswith(self._SAFE_SCHEMES) and not _CONTROL.search(url):
            return super().link(text, url, title)
        return text

    def image(self, text: str, url: str, title: str | None = None) -> str:
        return text


_CONTROL = re.compile(r"[\x00-\x20\x7f]")
_markdown = mistune.create_markdown(renderer=_TextOnlyRenderer(), plugins=["strikethrough", "table"])


def render_markdown_safely(text: str) -> str:
    """*text* as Markdown rendered to HTML that runs nothing, whatever the text holds."""
    return _markdown(text)


class _NoTextAnswer(TypeError):
    """The engine's answer decoded, but its "completion" is no text."""


def _text_answer(answer: Any) -> str:
    if type(answer) is not str:
        raise _NoTextAnswer(f"the engine's answer holds {type(answer).__name__} as its completion, not text")
    return answer


_DECODING_THE_ANSWER = requests.models.Response.json.__code__
_SUBSCRIPT_REFUSED = re.compile(r"not subscriptable|indices must be integers")


def _held_no_text_answer(error: BaseException) -> bool:
    """Whether *error* comes from an engine answer (status 200) that held no text answer: a
    body that does not decode (not JSON, nested too deep), or one without a "completion"
    text, which the command reads with answer["completion"] and no Python frame of its own."""
    frames = [frame for frame, _ in traceback.walk_tb(error.__traceback__)]
    if any(frame.f_code is _DECODING_THE_ANSWER for frame in frames):
        return True
    if isinstance(error, _NoTextAnswer):
        return True
    raised_by_the_command = bool(frames) and frames[-1].f_code.co_filename == __file__
    return raised_by_the_command and (
        (type(error) is KeyError and error.args == ("completion",))
        or (type(error) is TypeError and _SUBSCRIPT_REFUSED.search(str(error)) is not None))


# The magic's methods that make its requests: an error that passed through them is the kit's.
_OWN_REQUESTS = ("_ask", "_login")


def _explainable(error: BaseException | None) -> BaseException | None:
    """*error*, unless it is only IPython's complaint about how a magic was called, or came
    from a request of the magic's own (the one-line failure, its cause, or anything else
    raised through it), which %tb and not --error is for. Told by the traceback, so that it
    holds for the last exception the kernel recorded before the extension was loaded too."""
    if error is None or isinstance(error, (UsageError, RequestFailed)):
        return None
    for frame, _ in traceback.walk_tb(error.__traceback__):
        if frame.f_code.co_filename == __file__ and frame.f_code.co_name in _OWN_REQUESTS:
            return None
    return error


# The credential login's prompts for the user name and the tenant (src/wardlock.cpp).
_USER_PROMPT, _TENANT_PROMPT = "Please enter the username:", "Please enter the tenant:"


@contextlib.contextmanager
def _noting_what_is_typed(wardlock: Any, typed: dict[str, str]) -> Iterator[None]:
    """Notes in *typed* the user name and tenant typed at the login's prompts (never the
    password), to name them if the service refuses them.

    The login looks up its prompt function (getpass.getpass) at each prompt; it is wrapped
    for the login's time, as the kernel itself rebinds it for each cell, and put back unless
    something else rebound it meanwhile.
    """
    holder = getattr(wardlock, "getpass", None)
    asking = getattr(holder, "getpass", None)

    def noting(*args: Any, **kwargs: Any) -> Any:
        prompt = kwargs.get("prompt", args[0] if args else None)
        if prompt not in (_USER_PROMPT, _TENANT_PROMPT):
            return asking(*args, **kwargs)  # the password is never kept here, not even in a local
        typed[prompt] = answer = asking(*args, **kwargs)
        return answer

    try:
        holder.getpass = noting
    except (AttributeError, TypeError):  # nothing to wrap: the refusal is then told without names
        yield
        return
    try:
        yield
    finally:
        if getattr(holder, "getpass", None) is noting:
            holder.getpass = asking


def _host_of(tenant: Any) -> str:
    return f"{tenant}{SERVICE_DOMAIN}"


def _refused_login(error: BaseException, typed: dict[str, str], again: str) -> str | None:
    """The one line for a login whose typed credentials the service refused, or None."""
    if not (isinstance(error, PermissionError) and str(error) == request_failures.REFUSED):
        return None
    user, tenant = typed.get(_USER_PROMPT), typed.get(_TENANT_PROMPT)
    service = f"The service at {_host_of(tenant)}" if tenant else "The service"
    login = f"the login of {user}" if user else "the login"
    return f"{service} refused {login}; check the user name, password and tenant, then {again}."


def _credential_file(wardlock: Any) -> str:
    """The credential file the login reads: the per-user file stands in for the package
    root's when it exists (written where the package root could not hold it). The login
    chooses it so in src/common/secret_file.cpp."""
    path = str(wardlock.secret_file_path)
    package_root = os.path.dirname(os.path.dirname(os.path.realpath(wardlock.__file__)))
    if path == os.path.join(package_root, "secret.json"):
        config = os.environ.get("XDG_CONFIG_HOME", "")
        config = config if config.startswith("/") else os.path.join(os.path.expanduser("~"), ".config")
        per_user = os.path.join(config, "korvane", "secret.json")
        if os.path.exists(per_user):
            return per_user
    return path


def _damaged_credential_file(error: BaseException) -> str | None:
    """The line for a load that failed on a credential file holding no JSON object (empty,
    cut short, a list, not text), naming the file; None when the file is not the cause."""
    wardlock = sys.modules.get(_LOGIN)
    if wardlock is None or not isinstance(error, (ValueError, AttributeError, TypeError)):
        return None
    path = _credential_file(wardlock)
    try:
        with open(path) as file:  # read as the login reads it
            content = json.load(file)
    except OSError:
        return None
    except ValueError:  # not JSON, or not text in the file's encoding
        pass
    else:
        if isinstance(content, dict):
            return None
    return (f"The credential file {path} is damaged ({type(error).__name__}: {error}); remove it to log in anew"
            f" (you will be asked for your user name, password and tenant), then run %load_ext korvane again.")


def _split_options(line: str) -> tuple[list[str], str]:
    """The leading words that begin with a dash, and the rest of *line* as typed.

    The query keeps its quotes, apostrophes and spacing; "--" ends the options.
    """
    options: list[str] = []
    rest = line.lstrip()
    while (match := _OPTION.match(rest)) is not None:
        rest = rest[match.end():]
        if match.group(1) == "--":
            break
        options.append(match.group(1))
    return options, rest.rstrip()


def load_ipython_extension(ipython: Any) -> None:
    """Import the assistant (which logs in) and register %korvane / %%korvane."""
    typed: dict[str, str] = {}
    try:
        wardlock = importlib.import_module(_LOGIN)
        with _noting_what_is_typed(wardlock, typed):
            assistant = importlib.import_module(ASSISTANT)
    except Exception as error:
        # Not registered, so %load_ext korvane can be run again once the cause is fixed.
        refused = _refused_login(error, typed, "run %load_ext korvane to try again")
        if refused is not None:
            raise UsageError(refused) from error
        cause = _damaged_credential_file(error) or (
            f"{type(error).__name__}: {error}\nOnce that is put right, run %load_ext korvane again.")
        raise UsageError(
            f"korvane could not load the notebook assistant, so %korvane is not available.\n{cause}") from error
    magics = KorvaneMagics(ipython, assistant)
    ipython.register_magics(magics)
    ipython.Completer.custom_matchers.append(magics.complete_options)


def unload_ipython_extension(ipython: Any) -> None:
    """Remove %korvane again (``%unload_ext korvane``, and before ``%reload_ext korvane``).

    Nothing of the old magics object stays reachable: it holds the last error, whose
    traceback holds the frames' locals (a large array, say).
    """
    manager = ipython.magics_manager
    magics = manager.registry.pop(KorvaneMagics.__name__, None)
    if magics is not None:
        ipython.events.unregister("post_run_cell", magics._remember_error)
        # register_magics also keeps every magics object among the shell's configurables.
        ipython.configurables[:] = [c for c in ipython.configurables if c is not magics]
        magics.last_error = None
    for kind in ("line", "cell"):
        manager.magics[kind].pop("korvane", None)
    matchers = ipython.Completer.custom_matchers
    matchers[:] = [m for m in matchers if not isinstance(getattr(m, "__self__", None), KorvaneMagics)]
