"""The described behaviour written as plain Python: the oracles the fuzz harnesses and
the hostile-input tests compare the extension modules against.

Each function does what its extension counterpart is described to do, statement for
statement, so that anything the arguments run (``__format__``, ``__eq__``, a mapping's
``__getitem__``) runs here in the same order and raises the same exceptions.
"""

from __future__ import annotations

import base64
from types import ModuleType
from typing import Any


def type_name(cls: type) -> str:
    """The name the interpreter's own messages give a class (its C-level ``tp_name``)."""
    if cls.__flags__ & (1 << 9) or cls.__module__ == "builtins":  # a heap type, or a builtin
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def c_text(text: str, limit: int = 200) -> str:
    """What "%.200s" makes of *text*: at most *limit* bytes of UTF-8, a cut character replaced."""
    return text.encode("utf-8")[:limit].decode("utf-8", "replace")


def incorrect_type(name: str, expected: type, value: Any) -> TypeError:
    """The error of an argument whose type is not exactly the annotated one."""
    return TypeError(f"Argument '{c_text(name)}' has incorrect type "
                     f"(expected {c_text(expected.__name__)}, got {c_text(type_name(type(value)))})")


def generate_prompt(module: ModuleType, query: Any, base_prompt: str, global_variables: Any = None) -> Any:
    """``_generate_prompt`` with the globals ``os`` and ``DataFrame`` read from *module*."""
    if type(base_prompt) is not str:
        raise incorrect_type("base_prompt", str, base_prompt)
    if global_variables is None:
        return base_prompt + query
    global_variable_keys = [
        name for name in global_variables
        if "_" not in name and name != "In" and name != "Out" and name != "quit" and name != "exit"
    ]
    modules = "Modules: \n"
    variables = "Variables: \n"
    for name in global_variable_keys:
        if type(global_variables[name]) == type(module.os):
            modules += f"{name}\n"
        elif type(global_variables[name]) == module.DataFrame:
            df = global_variables[name]
            dtypes = df.dtypes
            dtypes_string = "\n".join([f"\t column: {k}, dtype:{v}" for k, v in dtypes.to_dict().items()])
            variables += f"name: {name}, type: {type(df).__name__}\n{dtypes_string}\n"
        else:
            variables += f"name: {name}, type: {type(global_variables[name])}\n"
    return ("Given below are the modules and the variables that I have used:\n" + modules + "\n" + variables
            + "\n" + "Use them as context and " + base_prompt + ": " + query)


def encrypt(plaintext: Any) -> str:
    return str(base64.b64encode(plaintext.encode("utf-8")), "utf-8")


def decrypt(ciphertext: Any) -> Any:
    try:
        return str(base64.b64decode(ciphertext), "utf-8")
    except Exception:
        return ciphertext


CELL_PREFIXES = {
    "display_next_cell": "\n        var code_cell = Jupyter.notebook.insert_cell_below('code');\n        code_cell.set_text(`",
    "display_previous_cell": "\n        var code_cell = Jupyter.notebook.insert_cell_above('markdown');\n        code_cell.set_text(`",
}
CELL_SUFFIX = "`);\n        code_cell.focus_cell();\n    "


def template_literal_value(body: str) -> str:
    """The string a JavaScript template literal with this *body* evaluates to.

    Raises ValueError where the body would end the literal early (an unescaped backtick),
    start a substitution (an unescaped "${"), hold a raw carriage return (which the literal
    would turn into a newline) or an escape a template literal refuses.
    """
    singles = {"b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
    hexdigits = "0123456789abcdefABCDEF"
    out: list[str] = []
    i, n = 0, len(body)
    while i < n:
        c = body[i]
        if c == "`":
            raise ValueError(f"unescaped backtick at {i}")
        if c == "$" and i + 1 < n and body[i + 1] == "{":
            raise ValueError(f"unescaped '${{' at {i}")
        if c == "\r":
            raise ValueError(f"raw carriage return at {i}: the literal would turn it into a newline")
        if c != "\\":
            out.append(c)
            i += 1
            continue
        if i + 1 >= n:
            raise ValueError("a backslash ends the body: it would escape the closing backtick")
        e = body[i + 1]
        if e in singles:
            out.append(singles[e])
            i += 2
        elif e == "0" and not (i + 2 < n and body[i + 2].isdigit()):
            out.append("\0")
            i += 2
        elif e.isdigit():
            raise ValueError(f"octal escape at {i}, refused in a template literal")
        elif e == "x" and all(h in hexdigits for h in body[i + 2:i + 4]) and i + 4 <= n:
            out.append(chr(int(body[i + 2:i + 4], 16)))
            i += 4
        elif e == "u" and all(h in hexdigits for h in body[i + 2:i + 6]) and i + 6 <= n:
            out.append(chr(int(body[i + 2:i + 6], 16)))
            i += 6
        elif e in "xu":
            raise ValueError(f"malformed escape {body[i:i + 6]!r} at {i}")
        elif e in "\r\n\u2028\u2029":  # a line continuation: nothing
            i += 3 if body[i + 1:i + 3] == "\r\n" else 2
        else:  # any other character, the backtick, "$", "\\", "/" and "!" included, stands for itself
            out.append(e)
            i += 2
    return "".join(out)
