"""App-token authentication: validate an application token and keep it."""

import datetime as datetime
import getpass as getpass
import json as json
import os as os
import warnings as warnings
from http.client import HTTPException as HTTPException
from typing import Any

import requests as requests

# Set by the extension runtime in every module it loads; not for use.
__nanobind_internals__: Any

secret_file_path: str

def _check_secret() -> Any: ...
def _get_secret() -> tuple[Any, Any] | None: ...

def update_secret(secret, tenant) -> None: ...
def authenticate_secret() -> tuple[Any, Any]: ...
def _validate_secret(secret, tenant) -> bool: ...
