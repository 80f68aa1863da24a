"""The kit's own request failures in one line, for the %korvane magic and the query form.

A service that cannot be reached or is too slow, a login the service refuses, an engine
that answers with an error, a request interrupted with Ctrl-C: each is told as what
failed, against which host and what to do next. Any other exception is not the kit's to
explain and keeps its traceback.
"""

from __future__ import annotations

import sys
from types import TracebackType

import requests

# What the credential login raises when the service refuses what was typed or stored, and
# how its error begins when nobody can be asked for credentials (both made in src/wardlock.cpp).
REFUSED = "Invalid username and password, program will exit now"
_NOBODY_TO_ASK = "Credentials are needed"
# How the engine client refuses to send a token of one tenant to another tenant's engine
# (check_same_tenant in src/endpoints.cpp); its message says what to do.
_OTHER_TENANT = "The login is now for tenant "


def describe(error: BaseException, host: str) -> str | None:
    """One line about *error* from a request to *host*, or None when it is not the kit's own."""
    if isinstance(error, KeyboardInterrupt):
        return f"The request to {host} was interrupted; no answer was delivered."
    unreachable = (requests.exceptions.ConnectionError, requests.exceptions.Timeout,
                   requests.exceptions.ChunkedEncodingError)
    if isinstance(error, unreachable):
        # The kit words these as "The service at <host> could not be reached ..."
        # (raise_if_unreachable in src/common/service_request.cpp).
        text = str(error)
        if not text.startswith("The service at "):
            text = f"The service at {host} could not be reached: {type(error).__name__}"
        hint, route_ended = _local_service_advice(host) or ("Is the service running?", False)
        if route_ended:  # the resolver's error would read as a fault of DNS
            return f"The service at {host} could not be reached: {hint}"
        return f"{text.rstrip('.')}. {hint}"
    if isinstance(error, requests.exceptions.HTTPError):
        return (f"The engine at {host} answered with an error instead of an answer (its text is printed above); "
                f"try again, and if it persists ask the service's administrators.")
    if isinstance(error, PermissionError) and str(error) == REFUSED:
        return (f"The service at {host} refused the user name, password or tenant. "
                f"Run %korvane --login to log in again.")
    if isinstance(error, PermissionError) and str(error).startswith(_OTHER_TENANT):
        return str(error)
    if isinstance(error, (EOFError, NotImplementedError)) and str(error).startswith(_NOBODY_TO_ASK):
        return f"The service at {host} refused the stored login. {error}"
    return None


def _local_service_advice(host: str) -> tuple[str, bool] | None:
    """What routes *host* to korvane's local service again, when this process routed it there."""
    routing = sys.modules.get("korvane.testing.routing")  # never imported here: only if in use
    return None if routing is None else routing.advice_for(host)


def engine_host() -> str:
    """The engine's host as the engine client names it (no token, no credentials)."""
    engine_url = getattr(sys.modules.get("korvane.tessaly_gpt_sdk.endpoints"), "KORVANE_ENGINE_URL", "")
    return str(engine_url).removeprefix("https://").split("/", 1)[0] or "the service"


def report_for_form(error: BaseException, traceback: TracebackType | None) -> bool:
    """Prints the one line for a failure of the kit's own under the query form and keeps the
    error where %tb finds it; False, and nothing done, for any other error."""
    line = describe(error, engine_host())
    if line is None:
        return False
    keep_for_tb(error.with_traceback(traceback or error.__traceback__))
    print(f"korvane: {line} (%tb shows the full traceback)", file=sys.stderr)
    return True


def keep_for_tb(error: BaseException) -> None:
    """Makes *error* the last exception, the one IPython's %tb shows."""
    sys.last_type, sys.last_value, sys.last_traceback = type(error), error, error.__traceback__
    if sys.version_info >= (3, 12):
        sys.last_exc = error
