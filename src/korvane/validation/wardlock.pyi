"""Credential login: the credential file, login and bearer-token checks."""

import base64 as base64
import datetime as datetime
import getpass as getpass
import json as json
import os as os
import warnings as warnings
from typing import Any

import requests as requests  # type: ignore[import-untyped, unused-ignore]
from jose import jwt as jwt  # type: ignore[import-untyped, unused-ignore]
from urllib.request import urlopen as urlopen

secret_file_path: str
# Seconds to connect and to wait for an answer, read at every request.
REQUEST_TIMEOUT: tuple[float, float] | float

def _check_credentials() -> tuple[bool, Any, Any]: ...
def _update_credentials(username: Any, password: Any, token: Any, tenant: Any) -> None: ...
def _encrypt(plaintext: Any) -> str: ...
def _decrypt(ciphertext: Any) -> Any: ...
def authenticate_credentials() -> tuple[Any, Any]: ...
def _validate_credentials(username: Any, password: Any, tenant: Any) -> tuple[bool, Any]: ...
def validate_token(token: Any, tenant: Any) -> bool: ...
