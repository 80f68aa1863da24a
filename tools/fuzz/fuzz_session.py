"""A logged-in notebook assistant for the harnesses, without touching the real credential file.

Importing the assistant logs in, so the harness process runs the local tenant service on
loopback, routes the service domain to it, and points the credential login at a
temporary file holding an accepted token. Nothing leaves the machine.
"""

from __future__ import annotations

import atexit
import importlib
import os
import shutil
import tempfile
from types import ModuleType

from korvane.testing import TenantService

USER, PASSWORD, TENANT = "fuzz", "fuzz-password", "acme"


def wardlock_on_a_temporary_file() -> ModuleType:
    wardlock = importlib.import_module("korvane.validation.wardlock")
    directory = tempfile.mkdtemp(prefix="korvane-fuzz-")
    atexit.register(shutil.rmtree, directory, True)
    wardlock.secret_file_path = os.path.join(directory, "secret.json")
    return wardlock


def logged_in_cellwright() -> ModuleType:
    """The assistant, imported against a local service that stays up until exit."""
    service = TenantService().start()
    service.add_user(USER, PASSWORD, tenant=TENANT)
    service.route()
    # After route(): exit handlers run last-registered first, and the route's own handler
    # removes files that stopping the service still reads.
    atexit.register(service.stop)
    wardlock = wardlock_on_a_temporary_file()
    wardlock._update_credentials(USER, PASSWORD, service.issue_token(TENANT, USER), TENANT)
    return importlib.import_module("korvane.tessaly_gpt_sdk.cellwright")
