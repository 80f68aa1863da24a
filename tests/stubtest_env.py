"""Run mypy's stubtest on korvane modules, including those whose import logs in.

    PYTHONPATH=src python tests/stubtest_env.py korvane.tessaly_gpt_sdk.endpoints [stubtest options]

stubtest imports each module to compare it with its stub, and importing the engine
client (or anything that imports it) logs in. This starts the local tenant service,
routes this process to it and points wardlock at a temporary credential file holding
a token the service accepts, then runs stubtest in this same process: the import-time
login succeeds without a prompt and the package's own secret.json is never touched.
"""

from __future__ import annotations

import os
import sys
import tempfile

from mypy import stubtest

from korvane.testing import TenantService
from korvane.validation import wardlock
from korvane_fixtures import ACCOUNT  # beside this file: on the path when it runs as a script


def main() -> int:
    with TenantService() as service, service.routed(), tempfile.TemporaryDirectory() as tmp:
        service.add_user(ACCOUNT.username, ACCOUNT.password, tenant=ACCOUNT.tenant)
        service.add_app_token(ACCOUNT.app_token, tenant=ACCOUNT.tenant)
        wardlock.secret_file_path = os.path.join(tmp, "secret.json")
        token = service.issue_token(ACCOUNT.tenant, ACCOUNT.username)
        wardlock._update_credentials(ACCOUNT.username, ACCOUNT.password, token, ACCOUNT.tenant)
        return stubtest.main()  # reads the modules and options from sys.argv


if __name__ == "__main__":
    sys.exit(main())
