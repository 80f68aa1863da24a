"""A logged-in kit against the local tenant service, as a notebook has it after its import.

The service runs in this process; requests to the service domain are routed to it, and
wardlock keeps its credentials in a temporary file holding a token the service accepts,
so the import-time logins succeed without a prompt and the package's own secret.json is
never read or written.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from types import ModuleType

from korvane.testing import SERVICE_DOMAIN, TenantService

USER, PASSWORD, TENANT = "alice", "wonderland", "bench"


@dataclass
class Session:
    service: TenantService
    secret_file: str
    token: str
    tenant: str
    service_domain: str


@contextlib.contextmanager
def logged_in() -> Iterator[Session]:
    with TenantService() as service, service.routed(), tempfile.TemporaryDirectory() as tmp:
        service.add_user(USER, PASSWORD, tenant=TENANT)
        token = service.issue_token(TENANT, USER)
        secret_file = os.path.join(tmp, "secret.json")
        point_wardlock_at(secret_file, token)
        yield Session(service, secret_file, token, TENANT, SERVICE_DOMAIN)


def point_wardlock_at(secret_file: str, token: str) -> ModuleType:
    """Imports wardlock (its import sends nothing) and gives it its own credential file."""
    from korvane.validation import wardlock

    wardlock.secret_file_path = secret_file
    if not os.path.exists(secret_file):
        wardlock._update_credentials(USER, PASSWORD, token, TENANT)
    return wardlock
