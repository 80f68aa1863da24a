"""App-token authentication: validate an application token and keep it."""

import datetime as datetime
import getpass as getpass
import json as json
import os as os
import warnings as warnings
from http.client import HTTPException as HTTPException
from typing import Any

import requests as requests  # type: ignore[import-untyped, unused-ignore]

secret_file_path: str
# Seconds to connect and to wait for an answer, read at every request.
REQUEST_TIMEOUT: tuple[float, float] | float

def _check_secret() -> Any: ...
def _get_secret() -> tuple[Any, Any] | None: ...
def update_secret(secret: Any, tenant: Any) -> None: ...
def authenticate_secret() -> tuple[Any, Any]: ...
def _validate_secret(secret: Any, tenant: Any) -> bool: ...
