"""What a user would otherwise run: the same behaviour written as plain Python.

Each function here is the straightforward Python of one behaviour the kit implements,
and the harness checks that it gives exactly our result on every benchmark input
before it times anything. Module globals are read at call time, as ours are.
"""

from __future__ import annotations

import base64
import os

import requests
from pandas import DataFrame

from korvane.tessaly_gpt_sdk.prompt_list import prompts_list as prompt_sample_list


def _generate_prompt(query, base_prompt: str, global_variables=None):
    if global_variables is None:
        return base_prompt + query
    global_variable_keys = [
        key
        for key in global_variables
        if "_" not in key and key != "In" and key != "Out" and key != "quit" and key != "exit"
    ]
    modules = "Modules: \n"
    variables = "Variables: \n"
    for global_variable_key in global_variable_keys:
        if type(global_variables[global_variable_key]) == type(os):
            modules += f"{global_variable_key}\n"
        elif type(global_variables[global_variable_key]) == DataFrame:
            df = global_variables[global_variable_key]
            dtypes = df.dtypes
            dtypes_string = "\n".join([f"\t column: {k}, dtype:{v}" for k, v in dtypes.to_dict().items()])
            variables += (
                f"name: {global_variable_key}, type: {type(global_variables[global_variable_key]).__name__}\n"
                f"{dtypes_string}\n"
            )
        else:
            variables += f"name: {global_variable_key}, type: {type(global_variables[global_variable_key])}\n"
    complete_prompt = (
        "Given below are the modules and the variables that I have used:\n"
        + modules
        + "\n"
        + variables
        + "\n"
        + "Use them as context and "
        + base_prompt
        + ": "
        + query
    )
    return complete_prompt


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
