"""Ask the engine for a completion, against a local tenant service.

    python examples/completion.py "read sales.csv and plot revenue by month"

(after `python -m pip install '.[testing]'` from the repository's folder).

Starts the local service with the user alice/wonderland on the tenant "demo", routes
this process to it and keeps the credential file in a temporary directory, as if alice
had logged in before. Importing the engine client then logs in without asking.
"""

import os
import sys
import tempfile

from korvane.testing import TenantService
from korvane.validation import wardlock


def main() -> None:
    query = " ".join(sys.argv[1:]) or "print the first ten square numbers"
    with TenantService() as service, service.routed(), tempfile.TemporaryDirectory() as tmp:
        service.add_user("alice", "wonderland", tenant="demo")
        wardlock.secret_file_path = os.path.join(tmp, "secret.json")
        token = service.issue_token("demo", "alice")
        wardlock._update_credentials("alice", "wonderland", token, "demo")

        from korvane.tessaly_gpt_sdk import endpoints  # logs in with the stored token

        answer = endpoints.get_completion(query)
        print(answer["completion"], end="")


if __name__ == "__main__":
    main()
