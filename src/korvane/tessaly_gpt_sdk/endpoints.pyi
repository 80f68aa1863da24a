"""Engine client: authenticated requests to the tenant's engine."""

import json as json
import mimetypes as mimetypes
from typing import Any, Dict as Dict, List as List, Optional as Optional

import requests as requests  # type: ignore[import-untyped, unused-ignore]
from requests.exceptions import HTTPError as HTTPError  # type: ignore[import-untyped, unused-ignore]

from korvane.validation.wardlock import (
    authenticate_credentials as authenticate_credentials,
    validate_token as validate_token,
)

# The login pair, replaced together after a refused token; the URL keeps the first tenant.
auth_token: str
tenant: Any
KORVANE_ENGINE_URL: str
# Seconds to connect and to wait for the engine's answer, read at every request.
REQUEST_TIMEOUT: tuple[float, float] | float

def _invoke_gpt_engine(
    path: str,
    streaming: bool = False,
    files: Dict[Any, Any] | None = None,
    body: Dict[Any, Any] | None = None,
    request_type: str = "POST",
    data_as_json: bool = True,
) -> Any: ...
def _invoke_completion(prompt: str, max_tokens: int) -> Any: ...
def get_completion(prompt: str, max_tokens: int = 1000) -> Any: ...
