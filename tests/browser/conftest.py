"""The notebook front ends in headless Chromium, their kernels routed to the test run's tenant service.

One Jupyter server serves the whole session and all three front ends: the classic notebook
(nbclassic), JupyterLab 4 and Notebook 7; where the classic Notebook 6 is installed instead
of Notebook 7, its own server and its classic front end alone. One browser serves the
session too; each test gets a new notebook, with its own kernel, in a new page. Kernels
start with an IPython startup file that routes them to the local service and points the
credential login at a temporary file before anything logs in, so no kernel reads or writes
the package's own credential file. Kernels import korvane from the same directory as this process, and the front ends
load korvane's front-end parts from where pip installed them, or from the source tree when
korvane is imported from there.

Set KORVANE_SCREENSHOTS to a directory to have the tests save their screenshots there.
"""

from __future__ import annotations

import importlib.metadata
import importlib.util
import json
import os
import re
import secrets
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path
from typing import Any

import pytest

import korvane
import korvane.testing

CHROMIUM = "/usr/bin/chromium"
PACKAGE_DIR = Path(korvane.__file__).resolve().parent
PACKAGE_SECRET = PACKAGE_DIR / "secret.json"
SOURCE_FRONT_END = Path(__file__).resolve().parents[2] / "jupyter"
SERVER_START_TIMEOUT = 60
KERNEL_START_TIMEOUT = 60_000  # ms
STEP_TIMEOUT = 30_000  # ms: any single wait on the page
# s: every wait ends by then, counted from the server's start, so a hung front end cannot stall CI;
# the suite itself takes 5 to 7 minutes on a busy 2-core machine.
BUDGET = 660


def _classic_notebook_6() -> bool:
    try:
        return int(importlib.metadata.version("notebook").split(".")[0]) < 7
    except importlib.metadata.PackageNotFoundError:
        return False


# Where the classic Notebook 6 is installed (rather than Notebook 7), its own server serves the
# classic front end, and that front end is the only one tested. KORVANE_FRONT_ENDS (for
# example "lab,notebook7") narrows the front ends down further.
CLASSIC_NOTEBOOK_6 = _classic_notebook_6()
FRONT_ENDS = tuple(f for f in (("classic",) if CLASSIC_NOTEBOOK_6 else ("classic", "lab", "notebook7"))
                   if f in os.environ.get("KORVANE_FRONT_ENDS", f).split(","))
# With jupyter-collaboration installed, JupyterLab and Notebook 7 share each open notebook among
# its pages: what one page inserts, every page shows.
COLLABORATIVE = importlib.util.find_spec("jupyter_collaboration") is not None
_ANSI = re.compile(r"\x1b\[[0-9;]*m")
# Chromium talks to the notebook server on loopback and to nothing else: none of its own
# background requests (updates, sync, safe browsing, metrics, field trials), and every host
# name but the loopback ones resolves to nothing.
CHROMIUM_ARGS = [
    "--no-sandbox",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-default-apps",
    "--disable-domain-reliability",
    "--disable-client-side-phishing-detection",
    "--disable-breakpad",
    "--no-first-run",
    "--no-default-browser-check",
    "--no-pings",
    "--metrics-recording-only",
    "--disable-features=OptimizationHints,MediaRouter,DialMediaRouteProvider,Translate,"
    "AutofillServerCommunication,CertificateTransparencyComponentUpdater,InterestFeedContentSuggestions",
    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1",
]


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "browser: drives the notebook front ends in Chromium")


def _missing_tools() -> str | None:
    if not os.access(CHROMIUM, os.X_OK):
        return f"{CHROMIUM} is not installed"
    front_ends = ("notebook",) if CLASSIC_NOTEBOOK_6 else ("jupyter_server", "nbclassic", "jupyterlab", "notebook")
    for module in ("playwright", *front_ends, "ipykernel", "ipywidgets", "widgetsnbextension", "jupyterlab_widgets"):
        if importlib.util.find_spec(module) is None:
            return f"the Python package {module} is not installed"
    return None


_deadline: float | None = None


def _within_budget(timeout_ms: int) -> int:
    """*timeout_ms*, cut to what is left of the browser tests' time budget."""
    left = (_deadline - time.monotonic()) * 1000 if _deadline is not None else timeout_ms
    if left < 1000:
        pytest.fail(f"the notebook tests used up their {BUDGET}s budget")
    return int(min(timeout_ms, left))


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _front_end_sources() -> Path | None:
    """The source tree's front-end parts when korvane is imported from the source tree, else None.

    An installed korvane must have installed them where the front ends look; that is
    what the tests then prove, so a missing file is a failure, not a reason to fall back.
    """
    if PACKAGE_DIR.parent == SOURCE_FRONT_END.parent / "src":
        return SOURCE_FRONT_END
    prefix = Path(sys.prefix)
    for part in ("share/jupyter/labextensions/korvane/package.json", "share/jupyter/nbextensions/korvane/main.js",
                 "etc/jupyter/nbconfig/notebook.d/korvane.json"):
        if not (prefix / part).is_file():
            pytest.fail(f"korvane is installed but {prefix / part} is not")
    return None


_STARTUP = '''\
# Written by the browser tests: route this kernel to their tenant service and keep
# the credential login away from the package's own credential file.
def _korvane_test_kernel(info_path, secrets_dir):
    import os

    import korvane.testing
    import korvane.validation.wardlock as wardlock

    korvane.testing.connect(info_path)
    wardlock.secret_file_path = os.path.join(secrets_dir, f"secret-{{os.getpid()}}.json")


_korvane_test_kernel({info!r}, {secrets!r})
del _korvane_test_kernel
'''


class NotebookServer:
    """A Jupyter server on loopback serving all three front ends, in its own Jupyter and IPython directories."""

    collaborative = COLLABORATIVE

    def __init__(self, root: Path, service: korvane.testing.TenantService) -> None:
        self.root = root
        self.notebooks = root / "notebooks"
        self.token = secrets.token_hex(24)
        self.port = _free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.log_path = root / "server.log"
        for sub in ("notebooks", "kernel-secrets", "jupyter-config", "jupyter-data", "runtime", "tmp", "home",
                    "ipython/profile_default/startup"):
            (root / sub).mkdir(parents=True, exist_ok=True)
        info = root / "service.json"
        info.write_text(json.dumps(service.connection_info()))
        startup = _STARTUP.format(info=str(info), secrets=str(root / "kernel-secrets"))
        (root / "ipython/profile_default/startup/00-korvane-tests.py").write_text(startup)
        self._write_config(_front_end_sources())
        self._proc: subprocess.Popen[bytes] | None = None

    def _write_config(self, sources: Path | None) -> None:
        config: dict[str, Any] = {
            "ServerApp": {"terminals_enabled": False},
            # The tests reach the page's application object; nothing asks the internet for news or updates.
            "LabApp": {"expose_app_in_browser": True, "news_url": None, "extension_manager": "readonly",
                       "check_for_updates_class": "jupyterlab.handlers.announcements.NeverCheckForUpdate"},
            "JupyterNotebookApp": {"expose_app_in_browser": True},
        }
        if sources is not None:
            config["LabServerApp"] = {"extra_labextensions_path": [str(sources / "labextensions")]}
            config["NotebookApp"] = {"extra_nbextensions_path": [str(sources / "nbextensions")]}
            notebook_d = self.root / "jupyter-config/nbconfig/notebook.d"
            notebook_d.mkdir(parents=True)
            (notebook_d / "korvane.json").write_bytes((sources / "nbconfig/notebook.d/korvane.json").read_bytes())
        (self.root / "jupyter-config/jupyter_server_config.json").write_text(json.dumps(config))
        if CLASSIC_NOTEBOOK_6:
            classic = {"terminals_enabled": False, **config.get("NotebookApp", {})}
            (self.root / "jupyter-config/jupyter_notebook_config.json").write_text(json.dumps({"NotebookApp": classic}))

    def _env(self) -> dict[str, str]:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(PACKAGE_DIR.parent), env.get("PYTHONPATH")) if p)
        env["IPYTHONDIR"] = str(self.root / "ipython")
        env["JUPYTER_CONFIG_DIR"] = str(self.root / "jupyter-config")
        env["JUPYTER_DATA_DIR"] = str(self.root / "jupyter-data")
        env["JUPYTER_RUNTIME_DIR"] = str(self.root / "runtime")
        env["PYDEVD_DISABLE_FILE_VALIDATION"] = "1"
        # What the kernels put in the temporary directory (the quickstart's demo login) stays
        # in this test run's own, and what tools write under the home directory (JupyterLab
        # asks npm for its prefix, which logs in ~/.npm) in a home of its own.
        env["TMPDIR"] = str(self.root / "tmp")
        env["HOME"] = str(self.root / "home")
        for variable in ("XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"):
            env.pop(variable, None)
        # A bundle left by this process's own routing would vanish under the kernels.
        if "korvane-route-" in env.get("REQUESTS_CA_BUNDLE", ""):
            del env["REQUESTS_CA_BUNDLE"]
        return env

    def start(self) -> None:
        if CLASSIC_NOTEBOOK_6:
            command = [
                sys.executable, "-m", "notebook", "--no-browser",
                "--NotebookApp.ip=127.0.0.1", f"--NotebookApp.port={self.port}", "--NotebookApp.port_retries=0",
                f"--NotebookApp.token={self.token}", f"--NotebookApp.notebook_dir={self.notebooks}",
            ]
        else:
            command = [
                sys.executable, "-m", "jupyter_server", "--no-browser",
                "--ServerApp.ip=127.0.0.1", f"--ServerApp.port={self.port}", "--ServerApp.port_retries=0",
                f"--IdentityProvider.token={self.token}", f"--ServerApp.root_dir={self.notebooks}",
            ]
        if os.geteuid() == 0:  # containers and CI runners
            command.append("--allow-root")
        log = open(self.log_path, "wb")
        self._proc = subprocess.Popen(command, env=self._env(), stdout=log, stderr=subprocess.STDOUT,
                                      cwd=self.root, start_new_session=True)
        log.close()
        deadline = time.monotonic() + SERVER_START_TIMEOUT
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                raise RuntimeError(f"the Jupyter server exited with {self._proc.returncode}:\n{self.log_tail()}")
            try:
                self.api("GET", "/api/status")
                return
            except (urllib.error.URLError, ConnectionError):
                time.sleep(0.2)
        raise RuntimeError(f"the Jupyter server did not answer within {SERVER_START_TIMEOUT}s:\n{self.log_tail()}")

    def log_tail(self, lines: int = 40) -> str:
        text = self.log_path.read_text(errors="replace") if self.log_path.exists() else ""
        return "\n".join(text.splitlines()[-lines:])

    def api(self, method: str, path: str, body: Any = None) -> Any:
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Authorization": f"token {self.token}",
                                                  "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as response:
            payload = response.read()
        return json.loads(payload) if payload else None

    def new_notebook(self, name: str, cells: list[dict[str, Any]]) -> None:
        content = {"cells": cells, "metadata": {"kernelspec": {"name": "python3", "display_name": "Python 3",
                                                            "language": "python"}},
                   "nbformat": 4, "nbformat_minor": 5}
        self.api("PUT", f"/api/contents/{name}", {"type": "notebook", "content": content})

    def saved_cells(self, name: str) -> list[tuple[str, str]]:
        """(cell type, text) of every cell of the notebook as stored on disk."""
        cells = self.api("GET", f"/api/contents/{name}?type=notebook&content=1")["content"]["cells"]
        return [(c["cell_type"], c["source"] if isinstance(c["source"], str) else "".join(c["source"]))
                for c in cells]

    def url(self, front_end: str, name: str) -> str:
        path = {"classic": f"/notebooks/{name}" if CLASSIC_NOTEBOOK_6 else f"/nbclassic/notebooks/{name}",
                # A workspace of its own, so that JupyterLab reopens nothing another test left open.
                "lab": f"/lab/workspaces/{name.removesuffix('.ipynb')}/tree/{name}",
                "notebook7": f"/notebooks/{name}"}[front_end]
        return f"{self.base}{path}?token={self.token}"

    def shut_down_kernels(self) -> None:
        for session in self.api("GET", "/api/sessions"):
            try:
                self.api("DELETE", f"/api/sessions/{session['id']}")
            except urllib.error.HTTPError as error:
                if error.code != 404:  # gone with a kernel it shared with a session deleted before
                    raise

    def stop(self) -> None:
        if self._proc is None:
            return
        try:
            self.shut_down_kernels()
        except (urllib.error.URLError, ConnectionError, OSError):
            pass
        # The server runs in its own session; its kernels are gone by now, so only it is signalled.
        self._proc.send_signal(signal.SIGTERM)
        try:
            self._proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait(timeout=5)
        self._proc = None


@pytest.fixture(scope="session")
def notebook_server(tenant_service, tmp_path_factory):
    reason = _missing_tools()
    if reason:
        pytest.skip(f"notebook tests need Chromium, Playwright and the notebook front ends: {reason}")
    global _deadline
    _deadline = time.monotonic() + BUDGET
    server = NotebookServer(tmp_path_factory.mktemp("jupyter"), tenant_service)
    server.start()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def chromium(notebook_server, tmp_path_factory):
    from playwright.sync_api import sync_playwright

    # The profile is a temporary one of Playwright's; caches and settings that Chromium keeps
    # under the home directory go to a temporary home.
    home = tmp_path_factory.mktemp("chromium-home")
    env = {**os.environ, "HOME": str(home), "XDG_CONFIG_HOME": str(home / ".config"),
           "XDG_CACHE_HOME": str(home / ".cache"), "TMPDIR": str(home)}
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, args=CHROMIUM_ARGS, headless=True,
                                             timeout=STEP_TIMEOUT, env=env)
        yield browser
        browser.close()


class NotebookPage:
    """One open notebook: run cells, answer input prompts, read the cells back.

    The front ends differ only in the JavaScript that reaches the notebook, the page's
    element classes and the commands that run a cell; each subclass gives those.
    """

    front_end = ""
    # (cell type, text) of every cell; the started cell; run the started cell as Ctrl-Enter or Shift-Enter does.
    cells_js = start_js = run_js = ""
    ready_js = started_done_js = outputs_js = kernel_execute_js = save_js = ""
    part_url = part_loaded_js = ""  # what loads korvane's part; true once it is loaded
    code_cells_js = index_of_js = ""  # an expression for the code cells; a function from a cell to its index
    input_box = input_prompt = input_field = ""
    # The selected cell's index; select cell i in command mode, keyboard focus on the notebook;
    # Run All and Restart and Run All as the menus do; a cell's metadata.
    active_index_js = command_mode_js = run_all_js = restart_run_all_js = metadata_js = ""

    def __init__(self, page: Any, server: NotebookServer, name: str) -> None:
        self.page = page
        self.server = server
        self.name = name
        self.console: list[str] = []
        self._barriers = 0
        page.on("console", lambda msg: self.console.append(f"{msg.type}: {msg.text}"))
        page.on("pageerror", lambda exc: self.console.append(f"pageerror: {exc}"))

    def open(self, with_part: bool = True) -> None:
        """Load the page and wait until the kernel is up and the widget front end listens to it.

        Without korvane's part the page loads as if korvane's front-end files were missing.
        """
        self.with_part = with_part
        if not with_part:
            self.page.route(self.part_url, lambda route: route.abort())
        self.page.goto(self.server.url(self.front_end, self.name))
        self._wait_ready()

    def _wait_ready(self) -> None:
        self.wait_until(self.ready_js, timeout=KERNEL_START_TIMEOUT)
        if self.with_part:
            self.wait_until(self.part_loaded_js, timeout=KERNEL_START_TIMEOUT)
        self.barrier(KERNEL_START_TIMEOUT)

    def wait_until(self, predicate_js: str, arg: Any = None, timeout: int = STEP_TIMEOUT) -> Any:
        """Wait until the JavaScript function *predicate_js* returns something truthy; return it."""
        return self.page.wait_for_function(predicate_js, arg=arg, timeout=_within_budget(timeout)).json_value()

    def cells(self) -> list[tuple[str, str]]:
        """(cell type, text) of every cell, top to bottom."""
        return [tuple(c) for c in self.page.evaluate(self.cells_js)]

    def add_cell(self, source: str) -> int:
        """Put *source* into a new code cell at the bottom (or the empty last one); return its index."""
        raise NotImplementedError

    def start(self, index: int, shift: bool = False) -> None:
        """Select cell *index* and run it: as Ctrl-Enter does (the selection stays), or as Shift-Enter does."""
        self.page.evaluate(self.start_js, [index, shift])

    def wait_done(self, timeout: int = STEP_TIMEOUT, javascript_may_fail: bool = False) -> int:
        """Wait until the cell last started has run and its output has arrived; return its index now.

        Fails on an error output, and on a failed Javascript output unless *javascript_may_fail*
        (the assistant's program without korvane's part, in JupyterLab and Notebook 7). The index
        can differ from the one started when a cell was inserted above.
        """
        self.wait_until(self.started_done_js, timeout=timeout)
        self.barrier(timeout)
        index = self.page.evaluate(f"() => ({self.index_of_js})(window.__started)")
        errors = [o for o in self.outputs(index) if o.get("output_type") == "error"]
        assert not errors, _ANSI.sub("", "\n".join("\n".join(e["traceback"]) for e in errors))
        if not javascript_may_fail:
            self.assert_no_javascript_errors(index)
        return index

    def mark_code_cells(self) -> int:
        """Remember the code cells as they stand now (see marked_index); return how many there are."""
        return self.page.evaluate(f"() => (window.__marked = {self.code_cells_js}).length")

    def marked_index(self, k: int) -> int:
        """The index now of the k-th code cell that mark_code_cells remembered."""
        return self.page.evaluate(f"k => ({self.index_of_js})(window.__marked[k])", k)

    def assert_no_javascript_errors(self, index: int) -> None:
        """The front ends show a failing Javascript output as an error note in the cell's output."""
        text = self.cell_locator(index).inner_text()
        assert "Javascript Error" not in text, text

    def run(self, source: str, timeout: int = STEP_TIMEOUT) -> int:
        """Run *source* in a new cell at the bottom and wait for it; return the cell's index."""
        index = self.add_cell(source)
        self.start(index)
        return self.wait_done(timeout)

    def barrier(self, timeout: int = STEP_TIMEOUT) -> None:
        """Wait until the kernel has handled everything sent before and the page has its output."""
        self._barriers += 1
        self.page.evaluate(self.kernel_execute_js, self._barriers)
        self.wait_until("n => window.__barriers[n]", self._barriers, timeout)

    def outputs(self, index: int) -> list[dict[str, Any]]:
        return self.page.evaluate(self.outputs_js, index)

    def stream_text(self, index: int) -> str:
        return "".join(o["text"] if isinstance(o["text"], str) else "".join(o["text"])
                       for o in self.outputs(index) if o.get("output_type") == "stream")

    def active_index(self) -> int:
        return self.page.evaluate(self.active_index_js)

    def metadata(self, index: int) -> dict[str, Any]:
        return self.page.evaluate(self.metadata_js, index)

    def press(self, keys: str) -> None:
        """Press *keys* as a person at the keyboard does, wherever the focus is."""
        self.page.keyboard.press(keys)

    def settle(self, answers: list[tuple[str, str]] | None = None, timeout: int = 60_000) -> None:
        """Wait until the kernel has run everything asked of it, typing the next of *answers*
        into each input box that opens meanwhile (answers are taken off the list)."""
        self._barriers += 1
        self.page.evaluate(self.kernel_execute_js, self._barriers)
        box = f"{self.input_box} {self.input_field}"
        while True:
            waiting_for_input = self.wait_until(
                """([n, box]) => window.__barriers[n] ? 'done'
                   : [...document.querySelectorAll(box)].some(el => !el.disabled && !el.readOnly) && 'input'""",
                [self._barriers, box], timeout)
            if waiting_for_input == "done":
                return
            assert answers, "an input box opened that the test has no answer for"
            self.answer_input(*answers.pop(0))

    def answer_input(self, expected_prompt: str, text: str) -> dict[str, str]:
        """Type *text* into the input box the kernel opened and press Enter; returns what the box showed."""
        box = self.page.locator(self.input_box).last
        field = box.locator(self.input_field)
        field.wait_for(state="visible")
        shown = {"prompt": box.locator(self.input_prompt).inner_text(), "type": field.get_attribute("type")}
        assert shown["prompt"].strip() == expected_prompt
        handle = field.element_handle()
        handle.fill(text)
        handle.press("Enter")
        # The box is replaced by the echoed answer; the kernel may open the next one at once.
        self.wait_until("el => !el.isConnected || el.disabled || el.readOnly", handle)
        return shown

    def cell_locator(self, index: int) -> Any:
        raise NotImplementedError

    def save_and_reload(self, late_script: str | None = None) -> None:
        """Save the notebook, load the page again and wait until the notebook is back, kernel and all.

        With *late_script* (a URL pattern) that script reaches the page a good while after the rest.
        """
        self.page.evaluate(self.save_js)
        if late_script:
            self.page.route(late_script, _arrive_late)
        try:
            self.page.reload()
            self._wait_ready()
        finally:
            if late_script:
                self.page.unroute(late_script, _arrive_late)

    def screenshot(self, name: str, first_cell: int, last_cell: int, also: tuple[Any, ...] = ()) -> None:
        """Save cells first_cell..last_cell, and what the locators *also* find (a menu, say), as
        name.png when KORVANE_SCREENSHOTS names a directory."""
        target = os.environ.get("KORVANE_SCREENSHOTS")
        if not target:
            return
        if not also:
            self.page.mouse.move(0, 0)
        self.cell_locator(last_cell).scroll_into_view_if_needed()
        self.cell_locator(first_cell).scroll_into_view_if_needed()
        shown = [self.cell_locator(first_cell), self.cell_locator(last_cell), *also]
        boxes = [box for locator in shown for i in range(locator.count()) if (box := locator.nth(i).bounding_box())]
        margin = 8
        left, top = max(min(b["x"] for b in boxes) - margin, 0), max(min(b["y"] for b in boxes) - margin, 0)
        clip = {"x": left, "y": top, "width": max(b["x"] + b["width"] for b in boxes) + margin - left,
                "height": max(b["y"] + b["height"] for b in boxes) + margin - top}
        Path(target).mkdir(parents=True, exist_ok=True)
        self.page.screenshot(path=str(Path(target) / f"{name}.png"), clip=clip, full_page=True)


def _arrive_late(route: Any) -> None:
    time.sleep(1.5)
    route.continue_()


class ClassicPage(NotebookPage):
    front_end = "classic"
    part_url = "**/nbextensions/korvane/main.js*"
    part_loaded_js = "() => requirejs('base/js/utils').is_loaded('korvane/main')"
    ready_js = """() => window.Jupyter
                  && Jupyter.notebook && Jupyter.notebook._fully_loaded
                  && Jupyter.notebook.kernel && Jupyter.notebook.kernel.is_connected()
                  && Jupyter.notebook.kernel.comm_manager.targets['jupyter.widget']"""
    cells_js = "() => Jupyter.notebook.get_cells().map(c => [c.cell_type, c.get_text()])"
    start_js = """([i, shift]) => {
        window.__started = Jupyter.notebook.get_cell(i);
        Jupyter.notebook.select(i);
        if (shift) Jupyter.notebook.execute_cell_and_select_below(); else Jupyter.notebook.execute_selected_cells();
    }"""
    started_done_js = "() => typeof window.__started.input_prompt_number === 'number'"
    outputs_js = "i => JSON.parse(JSON.stringify(Jupyter.notebook.get_cell(i).output_area.outputs))"
    kernel_execute_js = """n => {
        window.__barriers = window.__barriers || {};
        Jupyter.notebook.kernel.execute('', {iopub: {status: msg => {
            if (msg.content.execution_state === 'idle') window.__barriers[n] = true;
        }}}, {silent: true, store_history: false});
    }"""
    save_js = "() => Jupyter.notebook.save_notebook()"
    code_cells_js = "Jupyter.notebook.get_cells().filter(c => c.cell_type === 'code')"
    index_of_js = "cell => Jupyter.notebook.find_cell_index(cell)"
    input_box, input_prompt, input_field = "div.raw_input_container", ".raw_input_prompt", "input.raw_input"
    active_index_js = "() => Jupyter.notebook.get_selected_index()"
    command_mode_js = """i => {
        Jupyter.notebook.select(i);
        Jupyter.notebook.command_mode();
        Jupyter.notebook.get_cell(i).element.focus();
    }"""
    run_all_js = "() => Jupyter.notebook.execute_all_cells()"
    restart_run_all_js = "() => Jupyter.notebook.restart_run_all({confirm: false})"
    metadata_js = "i => Jupyter.notebook.get_cell(i).metadata"

    def add_cell(self, source: str) -> int:
        return self.page.evaluate("""source => {
            const nb = Jupyter.notebook;
            let cell = nb.get_cell(nb.ncells() - 1);
            // A new notebook starts with one empty cell: use it rather than leave it standing.
            if (!(cell && cell.cell_type === 'code' && cell.get_text() === '' && cell.input_prompt_number == null))
                cell = nb.insert_cell_at_bottom('code');
            cell.set_text(source);
            return nb.find_cell_index(cell);
        }""", source)

    def executed(self, index: int) -> bool:
        return self.page.evaluate("i => Jupyter.notebook.get_cell(i).input_prompt_number != null", index)

    def cell_locator(self, index: int) -> Any:
        return self.page.locator("#notebook-container > .cell").nth(index)

    def screenshot(self, name: str, first_cell: int, last_cell: int, also: tuple[Any, ...] = ()) -> None:
        if not also:  # a menu is shown for the selected cell
            self.page.evaluate("() => Jupyter.notebook.get_cells().forEach(c => c.unselect && c.unselect())")
        super().screenshot(name, first_cell, last_cell, also)


class LabPage(NotebookPage):
    """JupyterLab 4 and Notebook 7: the same notebook widgets, reached through the page's application."""

    front_end = "lab"
    part_url = "**/lab/extensions/korvane/**"
    part_loaded_js = "() => window._JUPYTERLAB && window._JUPYTERLAB.korvane"
    ready_js = """() => {
        const panel = window.jupyterapp && jupyterapp.shell.currentWidget;
        if (!(panel && panel.context && panel.sessionContext)) return false;
        const session = panel.sessionContext.session;
        const kernel = session && session.kernel;
        if (!(panel.context.isReady && kernel && kernel.connectionStatus === 'connected'
              && kernel.status === 'idle' && kernel._targetRegistry['jupyter.widget'])) return false;
        window.__panel = panel;
        return true;
    }"""
    cells_js = "() => __panel.content.widgets.map(c => [c.model.type, c.model.sharedModel.getSource()])"
    start_js = """([i, shift]) => {
        jupyterapp.shell.activateById(__panel.id);  // JupyterLab 4.0 runs the current notebook's cell
        const notebook = __panel.content;
        notebook.activeCellIndex = i;
        notebook.deselectAll();
        window.__started = notebook.widgets[i];
        void jupyterapp.commands.execute(shift ? 'notebook:run-cell-and-select-next' : 'notebook:run-cell',
                                         {widgetId: __panel.id});
    }"""
    # A cell scrolled out of a long notebook's window may have no prompt drawn for a moment.
    started_done_js = """() => {
        const prompt = window.__started.node.querySelector('.jp-InputPrompt');
        return typeof window.__started.model.executionCount === 'number'
               && !(prompt && prompt.textContent.includes('*'));
    }"""
    outputs_js = "i => __panel.content.widgets[i].model.outputs.toJSON()"
    kernel_execute_js = """n => {
        window.__barriers = window.__barriers || {};
        __panel.sessionContext.session.kernel
            .requestExecute({code: '', silent: true, store_history: false}).done
            .then(() => { window.__barriers[n] = true; });
    }"""
    save_js = "() => __panel.context.save()"
    code_cells_js = "__panel.content.widgets.filter(c => c.model.type === 'code')"
    index_of_js = "cell => __panel.content.widgets.indexOf(cell)"
    input_box, input_prompt, input_field = ".jp-Stdin", ".jp-Stdin-prompt", "input.jp-Stdin-input"
    active_index_js = "() => __panel.content.activeCellIndex"
    command_mode_js = """i => {
        const notebook = __panel.content;
        notebook.activeCellIndex = i;
        notebook.mode = 'command';
        notebook.node.focus();
    }"""
    run_all_js = "() => jupyterapp.commands.execute('notebook:run-all-cells', {widgetId: __panel.id})"
    restart_run_all_js = """async () => {
        await __panel.sessionContext.restartKernel();
        void jupyterapp.commands.execute('notebook:run-all-cells', {widgetId: __panel.id});
    }"""
    metadata_js = "i => __panel.content.widgets[i].model.sharedModel.getMetadata()"

    def add_cell(self, source: str) -> int:
        return self.page.evaluate("""source => {
            const cells = __panel.content.model.sharedModel;
            const last = cells.cells[cells.cells.length - 1];
            // A new notebook starts with one empty cell: use it rather than leave it standing.
            if (last && last.cell_type === 'code' && last.getSource() === '' && last.execution_count == null) {
                last.setSource(source);
                return cells.cells.length - 1;
            }
            cells.insertCell(cells.cells.length, {cell_type: 'code', source});
            return cells.cells.length - 1;
        }""", source)

    def executed(self, index: int) -> bool:
        return self.page.evaluate("i => __panel.content.widgets[i].model.executionCount != null", index)

    def _wait_ready(self) -> None:
        super()._wait_ready()
        self.panel_id = self.page.evaluate("() => __panel.id")

    def cell_locator(self, index: int) -> Any:
        return self.page.locator(f"[id='{self.panel_id}'] .jp-Notebook .jp-Cell").nth(index)

    def open_second_view(self) -> None:
        """Show the notebook in a second view next to the first, as File > New View for Notebook does."""
        self.page.evaluate("() => jupyterapp.commands.execute('docmanager:clone')")
        self.wait_until("() => document.querySelectorAll('.jp-NotebookPanel').length === 2")


class Notebook7Page(LabPage):
    front_end = "notebook7"


PAGES = {"classic": ClassicPage, "lab": LabPage, "notebook7": Notebook7Page}


def _package_secret_state() -> tuple[int, int] | None:
    try:
        st = PACKAGE_SECRET.stat()
    except FileNotFoundError:
        return None
    return st.st_mtime_ns, st.st_size


@pytest.fixture
def open_notebook(request, notebook_server, chromium, service):
    """Opens a notebook (new and empty, or with the given cells) in a page of its own, kernel running.

    Call it with the front end to use: "classic" (the default), "lab" or "notebook7".
    """
    package_secret_before = _package_secret_state()
    opened: list[NotebookPage] = []

    def open_(cells: list[dict[str, Any]] | None = None, front_end: str = "classic",
              with_part: bool = True, name: str | None = None) -> NotebookPage:
        """A new notebook of *cells*, or the notebook *name* again, in a page of its own."""
        if front_end not in FRONT_ENDS:
            pytest.skip(f"the {front_end} front end is not tested here")
        if name is None:
            stem = re.sub(r"[^A-Za-z0-9_-]+", "-", request.node.name).strip("-")[:80]
            name = f"{stem}-{len(opened)}.ipynb"
            notebook_server.new_notebook(name, cells or [])
        context = chromium.new_context(viewport={"width": 1000, "height": 900}, device_scale_factor=1)
        context.set_default_timeout(_within_budget(STEP_TIMEOUT))
        nb = PAGES[front_end](context.new_page(), notebook_server, name)
        opened.append(nb)
        nb.open(with_part)
        return nb

    yield open_
    for nb in opened:
        _report(nb)
        nb.page.context.close()
    print("server log:\n" + notebook_server.log_tail(15))
    notebook_server.shut_down_kernels()
    assert _package_secret_state() == package_secret_before, "a notebook test touched the package's secret.json"


@pytest.fixture
def notebook(open_notebook) -> NotebookPage:
    """A new, empty notebook in the classic front end with a running kernel, open in its own page."""
    return open_notebook()


@pytest.fixture(params=FRONT_ENDS)
def front_end(request) -> str:
    return request.param


def _report(nb: NotebookPage) -> None:
    """What the page logged and held, shown by pytest when the test fails."""
    if nb.console:
        print("browser console:\n" + "\n".join(nb.console))
    try:
        print("notebook:\n" + "\n".join(f"[{kind}] {text}" for kind, text in nb.cells()))
    except Exception as exc:  # the page may be what failed
        print(f"notebook not readable: {exc}")
