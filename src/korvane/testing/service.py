"""A local HTTPS stand-in for the multi-tenant code-generation service.

One server answers for every tenant: the tenant is the Host header's label in
front of the service domain.  Accounts, app tokens and bearer tokens are kept per
tenant in memory; every request is logged, and faults can be queued per
operation to exercise a client's error handling over a real TLS connection.
"""

from __future__ import annotations

import base64
import contextlib
import hashlib
import hmac
import json
import logging
import os
import secrets
import shutil
import socket
import ssl
import tempfile
import threading
import time
import weakref
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from collections.abc import Callable, Iterator
from urllib.parse import parse_qsl, unquote

import trustme
from requests.structures import CaseInsensitiveDict

from ._bodies import UploadedFile, is_json_type, parse_body
from ._domain import SERVICE_DOMAIN, apex, tenant_of
from .engine import default_engine
from .routing import Route, refused_route, remember_routing

_log = logging.getLogger("korvane.testing")

Engine = Callable[[str, int], str]

OPERATIONS = ("login", "token_check", "app_token", "completion", "engine")
FAULT_KINDS = (
    "status",
    "not_json",
    "no_token",
    "null_token",
    "token_not_str",
    "empty_token",
    "json_array",
    "empty_body",
    "drop",
    "stall",
)
_FIXED_FAULT_BODIES: dict[str, bytes] = {
    "not_json": b"<html>not json</html>",
    "no_token": b"{}",
    "null_token": b'{"token": null}',
    "token_not_str": b'{"token": 42}',
    "empty_token": b'{"token": ""}',
    "json_array": b"[1, 2]",
    "empty_body": b"",
}
_APP_TOKEN_PREFIX = "/validate-app-token/"
_MAX_BODY = 64 * 1024 * 1024
_STALL_LIMIT = 60.0  # seconds a stalled connection is held at most


@dataclass(frozen=True, eq=False)
class RecordedRequest:
    """A request as the service received it."""

    method: str
    host: str
    tenant: str | None
    path: str
    query: str  # raw, still percent-encoded
    headers: CaseInsensitiveDict
    body: bytes
    json: Any  # parsed body when it was declared as JSON, else None
    form: dict[str, Any] | None
    files: dict[str, UploadedFile] | None
    operation: str | None = None  # one of OPERATIONS, None for a wrong method or path
    status: int | None = None  # None when the connection was dropped or stalled instead


@dataclass
class _Reply:
    status: int
    body: bytes = b""
    content_type: str = "application/json"
    headers: dict[str, str] = field(default_factory=dict)
    drop: bool = False
    stall: bool = False


@dataclass
class _Fault:
    kind: str
    status: int | None
    body: Any
    headers: dict[str, str]
    remaining: int | None  # None: until cleared


@dataclass
class _Token:
    tenant: str
    username: str
    expires: float | None
    revoked: bool = False

    def valid_for(self, tenant: str) -> bool:
        if self.revoked or self.tenant != tenant:
            return False
        return self.expires is None or time.time() < self.expires


def _json_reply(status: int, payload: Any, **headers: str) -> _Reply:
    return _Reply(status, json.dumps(payload).encode(), headers=dict(headers))


def _error(status: int, message: str, **headers: str) -> _Reply:
    return _json_reply(status, {"error": message}, **headers)


def _b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


class TenantService:
    """The service on ``127.0.0.1`` over HTTPS, for any number of tenants.

    ``engine(query, max_tokens) -> str`` answers completions; it defaults to
    :func:`default_engine` and can be replaced at any time through ``.engine``.
    ``token_ttl`` (seconds) makes issued tokens expire by themselves.
    """

    def __init__(
        self,
        engine: Engine | None = None,
        *,
        domain: str = SERVICE_DOMAIN,
        extra_hostnames: tuple[str, ...] | list[str] = (),
        token_ttl: float | None = None,
        port: int = 0,
    ) -> None:
        self.engine: Engine = engine or default_engine
        self.domain = domain
        self.token_ttl = token_ttl
        self._requested_port = port
        self._hostnames = [f"*.{apex(domain)}", apex(domain), "localhost", "127.0.0.1"]
        self._hostnames += [h for h in extra_hostnames if h not in self._hostnames]
        self._lock = threading.Lock()
        self._secret = secrets.token_bytes(32)
        self._users: dict[str, dict[str, str]] = {}
        self._app_tokens: dict[str, set[str]] = {}
        self._tenants: set[str] = set()
        self._tokens: dict[str, _Token] = {}
        self._faults: dict[str, deque[_Fault]] = {op: deque() for op in OPERATIONS}
        self._log: list[RecordedRequest] = []
        self._routes: list[Route] = []
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._tmpdir: str | None = None
        self._ca: trustme.CA | None = None
        self.ca_path: str | None = None
        self.port: int | None = None

    # -- lifecycle -------------------------------------------------------------

    def start(self) -> TenantService:
        if self._server is not None:
            return self
        self._tmpdir = tempfile.mkdtemp(prefix="korvane-service-")
        self._ca = trustme.CA(organization_name="korvane local service")
        self.ca_path = os.path.join(self._tmpdir, "ca.pem")
        self._ca.cert_pem.write_to_path(self.ca_path)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self._ca.issue_cert(*self._hostnames).configure_cert(context)
        server = _Server(("127.0.0.1", self._requested_port), _Handler, context, self)
        self.port = server.server_address[1]
        self._server = server
        self._thread = threading.Thread(
            target=server.serve_forever,
            kwargs={"poll_interval": 0.05},
            name=f"korvane-service:{self.port}",
            daemon=True,
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stop serving, undo this service's routes and remove the CA files."""
        self.unroute()
        server, self._server = self._server, None
        thread, self._thread = self._thread, None
        if server is not None:
            # shutdown() waits for serve_forever to return: it never returns from a thread that
            # never started (a start interrupted by Ctrl-C).
            if thread is not None and thread.is_alive():
                server.shutdown()
            server.server_close()
            server.close_connections()
        # Called from one of its own threads (an engine that stops the service mid-answer), the
        # service cannot wait for that thread: it ends once its answer has failed.
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=5)
        if server is not None:
            server.join_connection_threads(timeout=5)
        if self._tmpdir is not None:
            shutil.rmtree(self._tmpdir, ignore_errors=True)
            self._tmpdir = None
        self.ca_path = None
        self.port = None

    @property
    def running(self) -> bool:
        return self._server is not None

    def __enter__(self) -> TenantService:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def add_hostnames(self, *names: str) -> None:
        """Make the certificate also cover *names* (e.g. a multi-label tenant's host)."""
        self._hostnames += [n for n in names if n not in self._hostnames]
        if self._server is not None and self._ca is not None:
            self._ca.issue_cert(*self._hostnames).configure_cert(self._server.ssl_context)

    def connection_info(self) -> dict[str, Any]:
        if self._server is None:
            raise RuntimeError("the service is not running")
        return {"port": self.port, "ca_path": self.ca_path, "domain": self.domain}

    def url(self, tenant: str, path: str = "/") -> str:
        return f"https://{tenant}.{apex(self.domain)}{path}"

    # -- routing ---------------------------------------------------------------

    def route(self, *, refuse: bool = False) -> Route:
        """Route this process to the service (or, with *refuse*, to a closed port)."""
        if refuse:
            r = refused_route(self.domain)
        else:
            if self._server is None or self.port is None:
                raise RuntimeError("start the service before routing to it")
            r = Route(self.port, self.ca_path, self.domain, restore="service.route()")
        r.activate()
        self._routes.append(r)
        if not refuse:
            service = weakref.ref(self)  # the note of how this process was routed keeps no service alive
            remember_routing(r, lambda: None if (svc := service()) is None else svc.route())
        return r

    def unroute(self) -> None:
        """Undo every route made through :meth:`route` / :meth:`routed`."""
        while self._routes:
            self._routes.pop().deactivate()

    @contextlib.contextmanager
    def routed(self, *, refuse: bool = False) -> Iterator[TenantService]:
        r = self.route(refuse=refuse)
        try:
            yield self
        finally:
            r.deactivate()
            if r in self._routes:
                self._routes.remove(r)

    # -- accounts and tokens -----------------------------------------------------

    def add_tenant(self, tenant: str) -> None:
        with self._lock:
            self._tenants.add(tenant.lower())

    def add_user(self, username: str, password: str, tenant: str = "acme") -> None:
        tenant = tenant.lower()
        with self._lock:
            self._tenants.add(tenant)
            self._users.setdefault(tenant, {})[username] = password

    def add_app_token(self, token: str, tenant: str = "acme") -> None:
        tenant = tenant.lower()
        with self._lock:
            self._tenants.add(tenant)
            self._app_tokens.setdefault(tenant, set()).add(token)

    def issue_token(self, tenant: str, username: str) -> str:
        """A bearer token as a successful login would return it."""
        tenant = tenant.lower()
        now = time.time()
        expires = now + self.token_ttl if self.token_ttl is not None else None
        claims: dict[str, Any] = {"sub": username, "tenant": tenant, "iat": int(now), "jti": secrets.token_hex(8)}
        if expires is not None:
            claims["exp"] = int(expires)
        signing_input = _b64(b'{"alg":"HS256","typ":"JWT"}') + "." + _b64(json.dumps(claims).encode())
        signature = hmac.new(self._secret, signing_input.encode("ascii"), hashlib.sha256).digest()
        token = signing_input + "." + _b64(signature)
        with self._lock:
            self._tenants.add(tenant)
            self._tokens[token] = _Token(tenant, username, expires)
        return token

    def revoke(self, token: str) -> bool:
        """Revoke one bearer token; False if it was never issued."""
        with self._lock:
            record = self._tokens.get(token)
            if record is None:
                return False
            record.revoked = True
            return True

    def expire_tokens(self, tenant: str | None = None) -> int:
        """Expire every issued token (or those of *tenant*); returns how many."""
        now = time.time()
        count = 0
        with self._lock:
            for record in self._tokens.values():
                if tenant is None or record.tenant == tenant.lower():
                    record.expires = now - 1
                    count += 1
        return count

    def token_valid(self, token: str, tenant: str) -> bool:
        with self._lock:
            record = self._tokens.get(token)
            return record is not None and record.valid_for(tenant.lower())

    # -- faults ------------------------------------------------------------------

    def fail(
        self,
        operation: str,
        status: int | None = None,
        *,
        kind: str = "status",
        body: Any = None,
        headers: dict[str, str] | None = None,
        times: int | None = 1,
    ) -> None:
        """Answer the next *times* requests of *operation* with a fault.

        ``kind="status"`` needs *status*; *body* (bytes/str sent as is, anything
        else as JSON) replaces the default error body.  The other kinds answer 200
        with a malformed body unless *status* says otherwise; ``"drop"`` closes the
        connection without answering; ``"stall"`` keeps it open and never answers (until
        the client gives up, the service stops, or a minute has passed).  *headers* are
        added to the answer (``{"Location": ...}`` with a 3xx status makes a redirect).
        ``times=None`` keeps failing until :meth:`clear_faults`.  Faults queued for one
        operation apply in order.
        """
        if operation not in OPERATIONS:
            raise ValueError(f"unknown operation {operation!r}; expected one of {OPERATIONS}")
        if kind not in FAULT_KINDS:
            raise ValueError(f"unknown fault kind {kind!r}; expected one of {FAULT_KINDS}")
        if kind == "status" and status is None:
            raise ValueError('kind="status" needs a status')
        if times is not None and times < 1:
            raise ValueError("times must be at least 1 (or None)")
        with self._lock:
            self._faults[operation].append(_Fault(kind, status, body, dict(headers or {}), times))

    def clear_faults(self) -> None:
        with self._lock:
            for queue in self._faults.values():
                queue.clear()

    def _take_fault(self, operation: str) -> _Fault | None:
        with self._lock:
            queue = self._faults[operation]
            if not queue:
                return None
            fault = queue[0]
            if fault.remaining is not None:
                fault.remaining -= 1
                if fault.remaining == 0:
                    queue.popleft()
            return fault

    @staticmethod
    def _fault_reply(fault: _Fault) -> _Reply:
        if fault.kind == "drop":
            return _Reply(0, drop=True)
        if fault.kind == "stall":
            return _Reply(0, stall=True)
        if fault.kind == "status":
            status = fault.status
            assert status is not None
            if fault.body is None:
                return _json_reply(status, {"error": "injected fault", "status": status}, **fault.headers)
        else:
            status = fault.status if fault.status is not None else 200
            content_type = "text/html" if fault.kind == "not_json" else "application/json"
            return _Reply(status, _FIXED_FAULT_BODIES[fault.kind], content_type, dict(fault.headers))
        body = fault.body
        if isinstance(body, str):
            body = body.encode("utf-8")
        elif not isinstance(body, bytes):
            body = json.dumps(body).encode()
        return _Reply(status, body, headers=dict(fault.headers))

    # -- log and reset -------------------------------------------------------------

    @property
    def requests(self) -> list[RecordedRequest]:
        """A snapshot of the requests received so far, oldest first."""
        with self._lock:
            return list(self._log)

    def clear_requests(self) -> None:
        with self._lock:
            self._log.clear()

    def reset(self) -> None:
        """Forget users, tenants, tokens, faults and the log; restore the default engine."""
        with self._lock:
            self._users.clear()
            self._app_tokens.clear()
            self._tenants.clear()
            self._tokens.clear()
            for queue in self._faults.values():
                queue.clear()
            self._log.clear()
        self.engine = default_engine

    # -- answering -------------------------------------------------------------------

    def _handle(self, method: str, target: str, headers: CaseInsensitiveDict, body: bytes) -> _Reply:
        path, _, query = target.partition("?")
        host = headers.get("Host", "")
        tenant = tenant_of(host, self.domain)
        parsed = parse_body(headers.get("Content-Type"), body)
        operation, refusal = self._route_request(method, path)
        if operation is None:
            assert refusal is not None
            reply = refusal
        elif (fault := self._take_fault(operation)) is not None:
            reply = self._fault_reply(fault)
        else:
            reply = self._answer(operation, method, tenant, path, query, headers, parsed)
        record = RecordedRequest(
            method=method,
            host=host,
            tenant=tenant,
            path=path,
            query=query,
            headers=headers,
            body=body,
            json=parsed.json,
            form=parsed.form,
            files=parsed.files,
            operation=operation,
            status=None if reply.drop or reply.stall else reply.status,
        )
        with self._lock:
            self._log.append(record)
        return reply

    @staticmethod
    def _route_request(method: str, path: str) -> tuple[str | None, _Reply | None]:
        """Name the operation, or give the 404/405 reply (and no operation) for a wrong path or method."""
        # The paths the modules request: src/wardlock.cpp (login, token check),
        # src/authentication.cpp (app token) and src/endpoints.cpp (completion).
        allowed: tuple[str, ...]
        if path == "/auth/get_token":
            operation, allowed = "login", ("POST",)
        elif path == "/":
            operation, allowed = "token_check", ("GET",)
        elif path.startswith(_APP_TOKEN_PREFIX):
            operation, allowed = "app_token", ("GET",)
        elif path == "/get-completion":
            operation, allowed = "completion", ("POST",)
        else:
            if method == "GET":
                return None, _error(404, f"no such path: {path}")
            operation, allowed = "engine", ("POST", "DELETE")
        if method not in allowed:
            return None, _error(405, f"{method} is not allowed here", Allow=", ".join(allowed))
        return operation, None

    def _answer(
        self,
        operation: str,
        method: str,
        tenant: str | None,
        path: str,
        query: str,
        headers: CaseInsensitiveDict,
        parsed: Any,
    ) -> _Reply:
        with self._lock:
            known = tenant is not None and tenant in self._tenants
        if not known:
            return _json_reply(404, {"error": "unknown tenant", "tenant": tenant})
        assert tenant is not None

        if operation == "login":
            return self._login(tenant, headers, parsed)
        if operation == "app_token":
            return self._check_app_token(tenant, path, query)

        bearer = self._bearer(headers)
        if bearer is None or not self.token_valid(bearer, tenant):
            return _error(401, "missing, invalid, revoked or expired bearer token", **{"WWW-Authenticate": "Bearer"})
        if operation == "token_check":
            with self._lock:
                username = self._tokens[bearer].username
            return _json_reply(200, {"valid": True, "tenant": tenant, "user": username})
        if parsed.error:
            return _error(400, parsed.error)
        if operation == "completion":
            return self._complete(headers, parsed)
        files = {name: f.summary() for name, f in (parsed.files or {}).items()}
        return _json_reply(
            200, {"method": method, "path": path, "json": parsed.json, "form": parsed.form, "files": files}
        )

    def _login(self, tenant: str, headers: CaseInsensitiveDict, parsed: Any) -> _Reply:
        if not is_json_type(headers.get("Content-Type")):
            return _error(415, "expected an application/json body")
        if parsed.error:
            return _error(400, parsed.error)
        payload = parsed.json
        if not (
            isinstance(payload, dict)
            and isinstance(payload.get("email"), str)
            and isinstance(payload.get("password"), str)
        ):
            return _error(400, 'expected {"email": string, "password": string}')
        with self._lock:
            expected = self._users.get(tenant, {}).get(payload["email"])
        if expected is None or not hmac.compare_digest(expected.encode(), payload["password"].encode()):
            return _error(401, "invalid email or password")
        return _json_reply(200, {"token": self.issue_token(tenant, payload["email"])})

    def _check_app_token(self, tenant: str, path: str, query: str) -> _Reply:
        raw = path[len(_APP_TOKEN_PREFIX) :]
        if not raw or "/" in raw:
            return _error(404, f"no such path: {path}")
        token = unquote(raw)
        keys = [value for name, value in parse_qsl(query, keep_blank_values=True) if name == "api_key"]
        if not keys:
            return _error(401, "api_key is missing")
        if keys[-1] != token:
            return _error(403, "api_key does not match the token in the path")
        with self._lock:
            registered = token in self._app_tokens.get(tenant, set())
        if not registered:
            return _error(401, "unknown app token")
        return _json_reply(200, {"valid": True, "tenant": tenant})

    def _complete(self, headers: CaseInsensitiveDict, parsed: Any) -> _Reply:
        if not is_json_type(headers.get("Content-Type")):
            return _error(415, "expected an application/json body")
        payload = parsed.json
        if not (
            isinstance(payload, dict)
            and isinstance(payload.get("query"), str)
            and type(payload.get("max_tokens")) is int
        ):
            return _error(400, 'expected {"query": string, "max_tokens": integer}')
        try:
            completion = self.engine(payload["query"], payload["max_tokens"])
        except Exception as exc:  # the engine is test code; report its failure as the service would
            _log.debug("engine failed", exc_info=True)
            return _error(500, f"engine failed: {type(exc).__name__}: {exc}")
        if not isinstance(completion, str):
            return _error(500, f"engine returned {type(completion).__name__}, not str")
        return _json_reply(200, {"completion": completion})

    @staticmethod
    def _bearer(headers: CaseInsensitiveDict) -> str | None:
        scheme, _, token = headers.get("Authorization", "").strip().partition(" ")
        token = token.strip()
        return token if scheme.lower() == "bearer" and token else None


class _Server(ThreadingHTTPServer):
    # Daemons, so that a service nobody stopped never holds up the interpreter's exit; stop()
    # still waits for them, so that nothing of a stopped service goes on running.
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address: tuple[str, int], handler: type, context: ssl.SSLContext, service: TenantService):
        self.ssl_context = context
        self.service = service
        self._connections: set[ssl.SSLSocket] = set()
        self._connection_threads: set[threading.Thread] = set()
        self._connections_lock = threading.Lock()
        self._closing = False  # set by close_connections: a connection that comes later ends at once
        super().__init__(address, handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        thread = threading.Thread(target=self.process_request_thread, args=(request, client_address),
                                  name=f"korvane-service:{self.server_address[1]} connection", daemon=True)
        with self._connections_lock:
            self._connection_threads = {t for t in self._connection_threads if t.is_alive()}
            self._connection_threads.add(thread)
        thread.start()

    def join_connection_threads(self, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        with self._connections_lock:
            threads = list(self._connection_threads)
        for thread in threads:
            if thread is not threading.current_thread():
                thread.join(max(0.0, deadline - time.monotonic()))

    def finish_request(self, request: Any, client_address: Any) -> None:
        # The TLS handshake runs here, in the connection's own thread, so a slow or
        # broken client cannot hold up accepting others.
        request.settimeout(10)
        with contextlib.suppress(OSError):
            request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            conn = self.ssl_context.wrap_socket(request, server_side=True, do_handshake_on_connect=False)
        except (OSError, ValueError):
            request.close()
            return
        # Known before the handshake, so that stopping also ends a client that never finishes it.
        with self._connections_lock:
            closing = self._closing
            if not closing:
                self._connections.add(conn)
        if closing:
            conn.close()
            return
        try:
            try:
                conn.do_handshake()
            except (OSError, ValueError):
                _log.debug("TLS handshake with %s failed", client_address, exc_info=True)
                return
            self.RequestHandlerClass(conn, client_address, self)  # type: ignore[arg-type]
        except Exception:
            _log.debug("connection from %s ended with an error", client_address, exc_info=True)
        finally:
            with self._connections_lock:
                self._connections.discard(conn)
            with contextlib.suppress(OSError):
                conn.close()

    def close_connections(self) -> None:
        with self._connections_lock:
            self._closing = True
            conns = list(self._connections)
        for conn in conns:
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)

    def handle_error(self, request: Any, client_address: Any) -> None:
        _log.debug("error serving %s", client_address, exc_info=True)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "korvane-testing"
    sys_version = ""
    timeout = 30
    server: _Server

    def __getattr__(self, name: str) -> Any:
        # Every method reaches _dispatch, which answers 405 for the unsupported ones.
        if name.startswith("do_"):
            return self._dispatch
        raise AttributeError(name)

    def version_string(self) -> str:
        return self.server_version

    def log_message(self, format: str, *args: Any) -> None:
        _log.debug("%s " + format, self.address_string(), *args)

    def _read_body(self) -> bytes | None:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            out = bytearray()
            while True:
                size = int(self.rfile.readline(1024).split(b";")[0].strip() or b"x", 16)
                if size == 0:
                    while self.rfile.readline(65536) not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(out)
                out += self.rfile.read(size)
                self.rfile.readline(1024)
                if len(out) > _MAX_BODY:
                    return None
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        n = int(length)
        if n < 0 or n > _MAX_BODY:
            return None
        return self.rfile.read(n)

    def _dispatch(self) -> None:
        try:
            body = self._read_body()
        except ValueError:
            body = None
        if body is None:
            self.close_connection = True
            self._send(_error(400, "unreadable or oversized request body"))
            return
        headers: CaseInsensitiveDict[str] = CaseInsensitiveDict()
        for key, value in self.headers.items():
            headers[key] = f"{headers[key]}, {value}" if key in headers else value
        reply = self.server.service._handle(self.command, self.path, headers, body)
        if reply.drop or reply.stall:
            if reply.stall:
                self._stall()
            self.close_connection = True
            return
        self._send(reply)

    def _stall(self) -> None:
        """Hold the connection without answering until the client closes it or the service stops."""
        self.connection.settimeout(0.05)
        deadline = time.monotonic() + _STALL_LIMIT
        while self.server.service.running and time.monotonic() < deadline:
            try:
                if not self.connection.recv(1):
                    return
            except TimeoutError:
                continue
            except OSError:
                return

    def _send(self, reply: _Reply) -> None:
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.content_type)
        self.send_header("Content-Length", str(len(reply.body)))
        for key, value in reply.headers.items():
            self.send_header(key, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        # Headers and body leave in one write: one TLS record, no small-segment stalls.
        self._headers_buffer.append(b"\r\n")
        if self.command != "HEAD":
            self._headers_buffer.append(reply.body)
        self.flush_headers()


__all__ = ["FAULT_KINDS", "OPERATIONS", "RecordedRequest", "TenantService", "UploadedFile"]
