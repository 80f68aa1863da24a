"""Run the local tenant service until interrupted: ``python -m korvane.testing``."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
from pathlib import Path

from ._domain import SERVICE_DOMAIN
from .routing import INFO_ENV
from .service import TenantService


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m korvane.testing", description=__doc__)
    parser.add_argument("--tenant", default="demo", help="tenant label (default: demo)")
    parser.add_argument("--user", default="alice", help="login email/user name (default: alice)")
    parser.add_argument("--password", default="wonderland", help="password (default: wonderland)")
    parser.add_argument("--app-token", default="demo-app-token", help="app token to register")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free port)")
    parser.add_argument("--domain", default=SERVICE_DOMAIN, help=f"service domain (default: {SERVICE_DOMAIN})")
    parser.add_argument(
        "--info-file",
        default="korvane-service.json",
        help="where to write the connection info JSON (default: ./korvane-service.json); removed on exit",
    )
    args = parser.parse_args(argv)

    # Ctrl-C and SIGTERM end the wait below; arriving while the service starts, they are
    # acted on once it has started, so that it is always stopped whole.
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    service = TenantService(domain=args.domain, port=args.port)
    service.add_user(args.user, args.password, tenant=args.tenant)
    service.add_app_token(args.app_token, tenant=args.tenant)
    info_file = Path(args.info_file).resolve()
    with service:
        info = service.connection_info()
        partial = info_file.with_name(info_file.name + ".partial")
        partial.write_text(json.dumps(info, indent=2) + "\n", encoding="utf-8")
        os.replace(partial, info_file)
        print(json.dumps(info, indent=2))
        print(f"tenant {args.tenant!r} at {service.url(args.tenant)}: user {args.user!r} / {args.password!r}, "
              f"app token {args.app_token!r}")
        print(f"Route a kernel or script here: from korvane.testing import connect; connect({str(info_file)!r})")
        print(f"  (or set {INFO_ENV}={info_file} and call connect() with no argument). Ctrl-C stops the service.")
        sys.stdout.flush()
        try:
            while not stop.wait(0.5):
                pass
        finally:
            info_file.unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
