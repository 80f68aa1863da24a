"""The classic notebook in headless Chromium, its kernels routed to the test run's tenant service.

One nbclassic server and one browser serve the whole session; each test gets a new
notebook, with its own kernel, in a new page. Kernels start with an IPython startup
file that routes them to the local service and points the credential login at a
temporary file before anything logs in, so no kernel reads or writes the package's
own credential file. Kernels import korvane from the same directory as this process.

Set KORVANE_SCREENSHOTS to a directory to have the tests save their screenshots there.
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import secrets
import shutil
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
PACKAGE_SECRET = Path(korvane.__file__).resolve().parent / "secret.json"
SERVER_START_TIMEOUT = 60
KERNEL_START_TIMEOUT = 60_000  # ms
STEP_TIMEOUT = 30_000  # ms: any single wait on the page
BUDGET = 170  # s: every wait ends by then, counted from the server's start, so a hung front end cannot stall CI
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
    config.addinivalue_line("markers", "browser: drives the classic notebook in Chromium")


def _missing_tools() -> str | None:
    if not os.access(CHROMIUM, os.X_OK):
        return f"{CHROMIUM} is not installed"
    for module in ("playwright", "nbclassic", "ipykernel", "ipywidgets", "widgetsnbextension"):
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
    """An nbclassic server on loopback, in its own Jupyter and IPython directories."""

    def __init__(self, root: Path, service: korvane.testing.TenantService) -> None:
        self.root = root
        self.notebooks = root / "notebooks"
        self.token = secrets.token_hex(24)
        self.port = _free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.log_path = root / "server.log"
        for sub in ("notebooks", "kernel-secrets", "jupyter-config", "jupyter-data", "runtime", "tmp",
                    "ipython/profile_default/startup"):
            (root / sub).mkdir(parents=True, exist_ok=True)
        info = root / "service.json"
        info.write_text(json.dumps(service.connection_info()))
        startup = _STARTUP.format(info=str(info), secrets=str(root / "kernel-secrets"))
        (root / "ipython/profile_default/startup/00-korvane-tests.py").write_text(startup)
        self._proc: subprocess.Popen[bytes] | None = None

    def _env(self) -> dict[str, str]:
        env = dict(os.environ)
        korvane_parent = str(Path(korvane.__file__).resolve().parent.parent)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (korvane_parent, env.get("PYTHONPATH")) if p)
        env["IPYTHONDIR"] = str(self.root / "ipython")
        env["JUPYTER_CONFIG_DIR"] = str(self.root / "jupyter-config")
        env["JUPYTER_DATA_DIR"] = str(self.root / "jupyter-data")
        env["JUPYTER_RUNTIME_DIR"] = str(self.root / "runtime")
        env["PYDEVD_DISABLE_FILE_VALIDATION"] = "1"
        # What the kernels put in the temporary directory (the quickstart's demo login) stays
        # in this test run's own.
        env["TMPDIR"] = str(self.root / "tmp")
        # A bundle left by this process's own routing would vanish under the kernels.
        if "korvane-route-" in env.get("REQUESTS_CA_BUNDLE", ""):
            del env["REQUESTS_CA_BUNDLE"]
        return env

    def start(self) -> None:
        command = [
            sys.executable, "-m", "nbclassic", "--no-browser",
            "--ServerApp.ip=127.0.0.1", f"--ServerApp.port={self.port}", "--ServerApp.port_retries=0",
            f"--IdentityProvider.token={self.token}", f"--ServerApp.root_dir={self.notebooks}",
            "--ServerApp.terminals_enabled=False",
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
                raise RuntimeError(f"nbclassic exited with {self._proc.returncode}:\n{self.log_tail()}")
            try:
                self.api("GET", "/api/status")
                return
            except (urllib.error.URLError, ConnectionError):
                time.sleep(0.2)
        raise RuntimeError(f"nbclassic did not answer within {SERVER_START_TIMEOUT}s:\n{self.log_tail()}")

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

    def new_notebook(self, name: str, cells: list[dict[str, Any]]) -> str:
        content = {"cells": cells, "metadata": {"kernelspec": {"name": "python3", "display_name": "Python 3",
                                                            "language": "python"}},
                   "nbformat": 4, "nbformat_minor": 5}
        self.api("PUT", f"/api/contents/{name}", {"type": "notebook", "content": content})
        return f"{self.base}/notebooks/{name}?token={self.token}"

    def shut_down_kernels(self) -> None:
        for session in self.api("GET", "/api/sessions"):
            self.api("DELETE", f"/api/sessions/{session['id']}")

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
        pytest.skip(f"notebook tests need Chromium, Playwright and nbclassic: {reason}")
    global _deadline
    _deadline = time.monotonic() + BUDGET
    server = NotebookServer(tmp_path_factory.mktemp("nbclassic"), tenant_service)
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
    """One open notebook: run cells, answer input prompts, read the cells back."""

    def __init__(self, page: Any) -> None:
        self.page = page
        self.console: list[str] = []
        self._barriers = 0
        page.on("console", lambda msg: self.console.append(f"{msg.type}: {msg.text}"))
        page.on("pageerror", lambda exc: self.console.append(f"pageerror: {exc}"))

    def wait_until(self, predicate_js: str, arg: Any = None, timeout: int = STEP_TIMEOUT) -> Any:
        """Wait until the JavaScript function *predicate_js* returns something truthy; return it."""
        return self.page.wait_for_function(predicate_js, arg=arg, timeout=_within_budget(timeout)).json_value()

    def cells(self) -> list[tuple[str, str]]:
        """(cell type, text) of every cell, top to bottom."""
        return [tuple(c) for c in self.page.evaluate(
            "() => Jupyter.notebook.get_cells().map(c => [c.cell_type, c.get_text()])")]

    def add_cell(self, source: str) -> int:
        """Put *source* into a new code cell at the bottom (or the empty last one); return its index."""
        return self.page.evaluate("""source => {
            const nb = Jupyter.notebook;
            let cell = nb.get_cell(nb.ncells() - 1);
            // A new notebook starts with one empty cell: use it rather than leave it standing.
            if (!(cell && cell.cell_type === 'code' && cell.get_text() === '' && cell.input_prompt_number == null))
                cell = nb.insert_cell_at_bottom('code');
            cell.set_text(source);
            return nb.find_cell_index(cell);
        }""", source)

    def start(self, index: int) -> None:
        """Select cell *index* and run it, leaving it selected (as Ctrl-Enter does)."""
        self.page.evaluate("""i => {
            window.__started = Jupyter.notebook.get_cell(i);
            Jupyter.notebook.select(i);
            window.__started.execute();
        }""", index)

    def wait_done(self, timeout: int = STEP_TIMEOUT) -> int:
        """Wait until the cell last started has run and its output has arrived; return its index now.

        Fails on an error output. The index can differ from the one started when a cell was inserted above.
        """
        self.wait_until("() => typeof window.__started.input_prompt_number === 'number'", timeout=timeout)
        self.barrier(timeout)
        index = self.page.evaluate("() => Jupyter.notebook.find_cell_index(window.__started)")
        errors = [o for o in self.outputs(index) if o.get("output_type") == "error"]
        assert not errors, _ANSI.sub("", "\n".join("\n".join(e["traceback"]) for e in errors))
        self.assert_no_javascript_errors(index)
        return index

    def assert_no_javascript_errors(self, index: int) -> None:
        """The front end shows a failing Javascript output as an error note in the cell's output."""
        errors = self.cell_locator(index).locator(".js-error").all_inner_texts()
        assert not errors, "\n".join(errors)

    def run(self, source: str, timeout: int = STEP_TIMEOUT) -> int:
        """Run *source* in a new cell at the bottom and wait for it; return the cell's index."""
        index = self.add_cell(source)
        self.start(index)
        return self.wait_done(timeout)

    def executed(self, index: int) -> bool:
        return self.page.evaluate("i => Jupyter.notebook.get_cell(i).input_prompt_number != null", index)

    def barrier(self, timeout: int = STEP_TIMEOUT) -> None:
        """Wait until the kernel has handled everything sent before and the page has its output."""
        self._barriers += 1
        self.page.evaluate("""n => {
            window.__barriers = window.__barriers || {};
            Jupyter.notebook.kernel.execute('', {iopub: {status: msg => {
                if (msg.content.execution_state === 'idle') window.__barriers[n] = true;
            }}}, {silent: true, store_history: false});
        }""", self._barriers)
        self.wait_until("n => window.__barriers[n]", self._barriers, timeout)

    def outputs(self, index: int) -> list[dict[str, Any]]:
        return self.page.evaluate("i => JSON.parse(JSON.stringify(Jupyter.notebook.get_cell(i).output_area.outputs))",
                                  index)

    def stream_text(self, index: int) -> str:
        return "".join(o["text"] for o in self.outputs(index) if o.get("output_type") == "stream")

    def answer_input(self, expected_prompt: str, text: str) -> dict[str, str]:
        """Type *text* into the input box the kernel opened and press Enter; returns what the box showed."""
        box = self.page.locator("div.raw_input_container")
        box.locator("input.raw_input").wait_for(state="visible")
        shown = {"prompt": box.locator(".raw_input_prompt").inner_text(),
                 "type": box.locator("input.raw_input").get_attribute("type")}
        assert shown["prompt"] == expected_prompt
        field = box.locator("input.raw_input").element_handle()
        field.fill(text)
        field.press("Enter")
        # The box is replaced by the echoed answer; the kernel may open the next one at once.
        self.wait_until("el => !el.isConnected", field)
        return shown

    def cell_locator(self, index: int) -> Any:
        return self.page.locator("#notebook-container > .cell").nth(index)

    def screenshot(self, name: str, first_cell: int, last_cell: int) -> None:
        """Save cells first_cell..last_cell as name.png when KORVANE_SCREENSHOTS names a directory."""
        target = os.environ.get("KORVANE_SCREENSHOTS")
        if not target:
            return
        self.page.evaluate("() => Jupyter.notebook.get_cells().forEach(c => c.unselect && c.unselect())")
        self.page.mouse.move(0, 0)
        top = self.cell_locator(first_cell).bounding_box()
        bottom = self.cell_locator(last_cell).bounding_box()
        assert top and bottom
        margin = 8
        clip = {"x": top["x"] - margin, "y": top["y"] - margin, "width": top["width"] + 2 * margin,
                "height": bottom["y"] + bottom["height"] - top["y"] + 2 * margin}
        Path(target).mkdir(parents=True, exist_ok=True)
        self.page.screenshot(path=str(Path(target) / f"{name}.png"), clip=clip, full_page=True)


def _package_secret_state() -> tuple[int, int] | None:
    try:
        st = PACKAGE_SECRET.stat()
    except FileNotFoundError:
        return None
    return st.st_mtime_ns, st.st_size


@pytest.fixture
def open_notebook(request, notebook_server, chromium, service):
    """Opens a notebook (new and empty, or with the given cells) in a page of its own, kernel running."""
    package_secret_before = _package_secret_state()
    opened: list[NotebookPage] = []

    def open_(cells: list[dict[str, Any]] | None = None) -> NotebookPage:
        stem = re.sub(r"[^A-Za-z0-9_-]+", "-", request.node.name).strip("-")[:80]
        url = notebook_server.new_notebook(f"{stem}-{len(opened)}.ipynb", cells or [])
        context = chromium.new_context(viewport={"width": 1000, "height": 900}, device_scale_factor=1)
        context.set_default_timeout(_within_budget(STEP_TIMEOUT))
        nb = NotebookPage(context.new_page())
        opened.append(nb)
        nb.page.goto(url)
        # The kernel is up and the widget front end has registered for the kernel's widget messages.
        nb.wait_until("""() => window.Jupyter && Jupyter.notebook && Jupyter.notebook.kernel
                          && Jupyter.notebook.kernel.is_connected()
                          && Jupyter.notebook.kernel.comm_manager.targets['jupyter.widget']""",
                      timeout=KERNEL_START_TIMEOUT)
        nb.barrier(KERNEL_START_TIMEOUT)
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
    """A new, empty notebook with a running kernel, open in its own page."""
    return open_notebook()


def _report(nb: NotebookPage) -> None:
    """What the page logged and held, shown by pytest when the test fails."""
    if nb.console:
        print("browser console:\n" + "\n".join(nb.console))
    try:
        print("notebook:\n" + nb.page.evaluate("""() => Jupyter.notebook.get_cells().map(c =>
            `[${c.cell_type} ${c.input_prompt_number}] ${c.get_text()}\n  -> `
            + JSON.stringify(c.output_area ? c.output_area.outputs : [])).join('\\n')"""))
    except Exception as exc:  # the page may be what failed
        print(f"notebook not readable: {exc}")
