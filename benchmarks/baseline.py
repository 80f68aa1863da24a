"""What a user would otherwise run: the same behaviour written as plain Python.

Each function here is the straightforward Python of one behaviour the kit implements,
and the harness checks that it gives exactly our result on every benchmark input
before it times anything. Module globals are read at call time, as ours are.
"""

from __future__ import annotations

import base64
import functools
import os  # noqa: F401 (read by the composition)
import sys
from pathlib import Path

import requests
from pandas import DataFrame  # noqa: F401  (read by the composition; the cases compare with it too)

from korvane.tessaly_gpt_sdk.prompt_list import prompts_list as prompt_sample_list

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "fuzz"))
import plain_oracles  # noqa: E402


# The composition as the fuzz harnesses' oracle writes it, reading `os` and `DataFrame` from
# this module at each call.
_generate_prompt = functools.partial(plain_oracles.generate_prompt, sys.modules[__name__])


def get_prompts():
    return list(prompt_sample_list.values())


def _encrypt(plaintext):
    return str(base64.b64encode(plaintext.encode("utf-8")), "utf-8")


class Engine:
    """The two requests one completion is made of, sent with `requests` directly."""

    def __init__(self, token: str, tenant: str, service_domain: str) -> None:
        self.token = token
        self.origin = "https://" + tenant + service_domain

    def get_completion(self, prompt: str, max_tokens: int = 1000):
        check = requests.get(self.origin + "/", headers={"Authorization": "Bearer " + self.token})
        if check.status_code != 200:
            raise RuntimeError(f"token refused ({check.status_code})")
        response = requests.post(
            url=self.origin + "/get-completion",
            headers={"Authorization": "Bearer " + self.token},
            json={"query": prompt, "max_tokens": max_tokens},
            files=None,
        )
        if response.status_code == 200:
            return response.json()
        print(response.text)
        raise requests.exceptions.HTTPError()
