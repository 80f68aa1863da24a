"""Send this process's HTTPS traffic for the service domain to a local server.

Routing works below ``requests``: ``socket.getaddrinfo`` is wrapped so that names
under the domain resolve to the local server, and ``REQUESTS_CA_BUNDLE`` points at
a bundle that also trusts the local CA.  ``requests`` reads that variable on every
call, so code using the plain ``requests.get``/``post`` functions is routed without
being touched.  Routes nest: the most recently activated one wins for its domain,
and when the last one goes the original resolver and environment come back.
"""

from __future__ import annotations

import atexit
import json
import os
import shutil
import socket
import tempfile
import threading
from pathlib import Path
from typing import Any
from collections.abc import Callable, Mapping

import certifi

from ._domain import SERVICE_DOMAIN, apex

#: Environment variable naming a JSON connection-info file, read by ``connect()``.
INFO_ENV = "KORVANE_TESTING_INFO"

_CA_ENV = "REQUESTS_CA_BUNDLE"
_NO_PROXY_ENVS = ("no_proxy", "NO_PROXY")
_HTTPS_PORTS = (None, 443, "443", "https", b"443", b"https")

_lock = threading.RLock()
_active: list[Route] = []
_real_getaddrinfo = socket.getaddrinfo
_saved_env: dict[str, str | None] | None = None
_bundle_dir: str | None = None
_bundle_seq = 0
# How this process was last routed by a call that can be made again: (the domain's apex, that
# call as the user would type it, the call itself, None once it cannot be made). connect()
# without arguments makes it again, and the advice for an unreachable service names it.
_last_routing: tuple[str, str | None, Callable[[], Route | None]] | None = None


def _routed_getaddrinfo(host, port, family=0, type=0, proto=0, flags=0):
    target = _target_for(host, port)
    if target is None:
        return _real_getaddrinfo(host, port, family, type, proto, flags)
    socktype = type or socket.SOCK_STREAM
    if not proto and socktype == socket.SOCK_STREAM:
        proto = socket.IPPROTO_TCP
    return [(socket.AF_INET, socktype, proto, "", target)]


def _target_for(host: Any, port: Any) -> tuple[str, int] | None:
    if port not in _HTTPS_PORTS or host is None:
        return None
    if isinstance(host, bytes):
        host = host.decode("ascii", "replace")
    name = str(host).lower().rstrip(".")
    with _lock:
        for route in reversed(_active):
            if _covers(route.apex, name):
                return (route.host, route.port)
    return None


def _covers(apex: str, name: str) -> bool:
    return name == apex or name.endswith("." + apex)


def _write_bundle(ca_pems: list[str]) -> str:
    """Write base trust store + *ca_pems* to a fresh file and return its path."""
    global _bundle_dir, _bundle_seq
    if _bundle_dir is None:
        _bundle_dir = tempfile.mkdtemp(prefix="korvane-route-")
        atexit.register(shutil.rmtree, _bundle_dir, True)
    assert _saved_env is not None
    base = _saved_env.get(_CA_ENV)
    if not (base and os.path.isfile(base)):
        base = certifi.where()
    parts = [Path(base).read_text(encoding="utf-8", errors="replace").rstrip("\n")]
    parts.extend(pem.strip() for pem in ca_pems)
    _bundle_seq += 1
    path = os.path.join(_bundle_dir, f"bundle-{_bundle_seq}.pem")
    with open(path, "w", encoding="utf-8") as fh:
        fh.write("\n".join(parts) + "\n")
    return path


def _apply() -> None:
    """Bring the resolver and environment in line with the active routes (lock held)."""
    global _saved_env
    if not _active:
        if socket.getaddrinfo is _routed_getaddrinfo:
            socket.getaddrinfo = _real_getaddrinfo
        if _saved_env is not None:
            for key, value in _saved_env.items():
                if value is None:
                    os.environ.pop(key, None)
                else:
                    os.environ[key] = value
            _saved_env = None
        # At interpreter exit the atexit clean-up may have removed the folder already.
        if _bundle_dir is not None and os.path.isdir(_bundle_dir):
            for name in os.listdir(_bundle_dir):
                Path(_bundle_dir, name).unlink(missing_ok=True)
        return
    if _saved_env is None:
        _saved_env = {key: os.environ.get(key) for key in (_CA_ENV, *_NO_PROXY_ENVS)}
    if socket.getaddrinfo is not _routed_getaddrinfo:
        _install_resolver()

    pems = list(dict.fromkeys(r.ca_pem for r in _active if r.ca_pem))
    if pems:
        os.environ[_CA_ENV] = _write_bundle(pems)
    elif (previous := _saved_env[_CA_ENV]) is None:
        os.environ.pop(_CA_ENV, None)
    else:
        os.environ[_CA_ENV] = previous

    # A proxy from the environment would otherwise receive the routed requests.
    original = _saved_env["no_proxy"] or _saved_env["NO_PROXY"] or ""
    entries = [e for e in original.split(",") if e.strip()]
    entries += ["." + d for d in dict.fromkeys(r.apex for r in _active)]
    for key in _NO_PROXY_ENVS:
        os.environ[key] = ",".join(entries)


def _install_resolver() -> None:
    global _real_getaddrinfo
    _real_getaddrinfo = socket.getaddrinfo
    socket.getaddrinfo = _routed_getaddrinfo


class Route:
    """One activation of routing for *domain* to ``host:port``.

    Use as a context manager, or call :meth:`activate` / :meth:`deactivate`.  The CA
    file is read at activation, so it may be removed afterwards.  ``ca_path=None``
    leaves trust alone (useful for a route that only has to fail to connect).  *restore* is
    the call, as the user would type it, that routes to the service again once it restarts.
    """

    def __init__(
        self,
        port: int,
        ca_path: str | os.PathLike[str] | None = None,
        domain: str = SERVICE_DOMAIN,
        *,
        host: str = "127.0.0.1",
        restore: str | None = None,
        _holder: socket.socket | None = None,
    ) -> None:
        self.port = int(port)
        self.ca_path = os.fspath(ca_path) if ca_path is not None else None
        self.domain = domain
        self.apex = apex(domain)
        self.host = host
        self.ca_pem: str | None = None
        self.active = False
        self.restore = restore
        self._holder = _holder

    def activate(self) -> Route:
        with _lock:
            if self.active:
                raise RuntimeError("this route is already active")
            if self.ca_path is not None:
                self.ca_pem = Path(self.ca_path).read_text(encoding="ascii")
            _active.append(self)
            self.active = True
            _apply()
        return self

    def deactivate(self) -> None:
        """Undo this route; safe to call more than once and in any order."""
        with _lock:
            if self.active:
                _active.remove(self)
                self.active = False
                _apply()
            if self._holder is not None:
                self._holder.close()
                self._holder = None

    close = deactivate

    def __enter__(self) -> Route:
        # connect() hands back an already active route; entering it is fine too.
        return self if self.active else self.activate()

    def __exit__(self, *exc: object) -> None:
        self.deactivate()

    def __repr__(self) -> str:
        state = "active" if self.active else "inactive"
        return f"<Route *{self.domain} -> {self.host}:{self.port} {state}>"


def route(port: int, ca_path: str | os.PathLike[str] | None, domain: str = SERVICE_DOMAIN) -> Route:
    """A route to a service on loopback ``port``; enter it with ``with``."""
    return Route(port, ca_path, domain)


def refused_route(domain: str = SERVICE_DOMAIN) -> Route:
    """A route to a loopback port where nothing listens: every connection is refused.

    The port stays bound (without listening) while the route exists, so no other
    socket can take it over.
    """
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    return Route(holder.getsockname()[1], None, domain, _holder=holder)


def load_info(info: Mapping[str, Any] | str | os.PathLike[str] | None = None) -> dict[str, Any]:
    """Connection info from a dict, a JSON file path, or the ``KORVANE_TESTING_INFO`` file."""
    if info is None:
        info = os.environ.get(INFO_ENV)
        if not info:
            raise ValueError(f"no connection info given and {INFO_ENV} is not set")
    if isinstance(info, (str, os.PathLike)):
        info = json.loads(Path(info).read_text(encoding="utf-8"))
    if not isinstance(info, Mapping) or "port" not in info:
        raise ValueError("connection info needs at least a 'port'")
    return dict(info)


def connect(info: Mapping[str, Any] | str | os.PathLike[str] | None = None) -> Route:
    """Route this process to a running service for as long as it lives.

    *info* is ``TenantService.connection_info()`` or the JSON file written by
    ``python -m korvane.testing``.  Without it, the ``KORVANE_TESTING_INFO`` file, or else
    the way this process was last routed (the same file read again, or the same
    service's ``route()``), so that after a restart ``connect()`` finds the service as it
    runs now.  Returns the active :class:`Route`; call its ``close()`` to stop routing early.
    """
    if info is None and not os.environ.get(INFO_ENV):
        with _lock:
            last = _last_routing
        if last is not None and (again := last[2]()) is not None:
            return again
    data = load_info(info)
    source = info if info is not None else os.environ[INFO_ENV]
    from_file = isinstance(source, (str, os.PathLike))
    restore = None if not from_file else "connect()" if info is None else f"connect({os.fspath(source)!r})"
    route = Route(data["port"], data.get("ca_path"), data.get("domain", SERVICE_DOMAIN), restore=restore).activate()
    if from_file:
        remember_routing(route, lambda: connect(source))
    return route


def remember_routing(route: Route, again: Callable[[], Route | None]) -> None:
    """Notes that *route* was made by *again* (None from it once it cannot be made again)."""
    global _last_routing
    with _lock:
        _last_routing = (route.apex, route.restore, again)


def advice_for(host: str) -> tuple[str, bool] | None:
    """What to do when *host* could not be reached, if this process routed it to a local service.

    A pair: the advice, and whether the route has ended (the name then went to the real
    resolver, whose error says nothing of the cause).  None when no route was made for it.
    """
    name = host.lower().rstrip(".")
    with _lock:
        active = next((r for r in reversed(_active) if _covers(r.apex, name)), None)
        last = _last_routing if _last_routing is not None and _covers(_last_routing[0], name) else None
    if active is not None:
        if active.restore is None:
            return "Is the service running?", False
        return (f"Is korvane's local service running? Once it runs again, {active.restore} routes to it again.",
                False)
    if last is not None and last[1] is not None:
        return (f"this process is no longer routed to korvane's local service (stopping the service ends its"
                f" routes). Once the service runs again, {last[1]} routes to it again.", True)
    return None


def active_routes() -> list[Route]:
    with _lock:
        return list(_active)


__all__ = ["INFO_ENV", "Route", "active_routes", "connect", "load_info", "refused_route", "route"]
