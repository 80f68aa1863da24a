"""Decoding request bodies: JSON, urlencoded forms and multipart/form-data."""

from __future__ import annotations

import json
from dataclasses import dataclass
from email.message import Message
from email.parser import HeaderParser
from email.utils import collapse_rfc2231_value
from typing import Any
from urllib.parse import parse_qsl


@dataclass(frozen=True)
class UploadedFile:
    """One file part of a multipart body."""

    filename: str | None
    content_type: str | None
    content: bytes

    def summary(self) -> dict[str, Any]:
        info: dict[str, Any] = {
            "filename": self.filename,
            "content_type": self.content_type,
            "size": len(self.content),
        }
        try:
            info["text"] = self.content.decode("utf-8")
        except UnicodeDecodeError:
            pass
        return info


@dataclass
class ParsedBody:
    json: Any = None
    form: dict[str, Any] | None = None
    files: dict[str, UploadedFile] | None = None
    error: str | None = None  # set when the body does not match its declared type


def _media_type(content_type: str | None) -> tuple[str, Message]:
    msg = Message()
    msg["Content-Type"] = content_type or "application/octet-stream"
    return msg.get_content_type(), msg


def is_json_type(content_type: str | None) -> bool:
    media, _ = _media_type(content_type)
    return media == "application/json" or media.endswith("+json")


def _add(fields: dict[str, Any], name: str, value: Any) -> None:
    # A repeated field collects its values in a list, in order.
    if name not in fields:
        fields[name] = value
    elif isinstance(fields[name], list):
        fields[name].append(value)
    else:
        fields[name] = [fields[name], value]


def parse_body(content_type: str | None, body: bytes) -> ParsedBody:
    media, msg = _media_type(content_type)
    if not body:
        return ParsedBody()
    if media == "application/json" or media.endswith("+json"):
        try:
            return ParsedBody(json=json.loads(body.decode("utf-8")))
        except (UnicodeDecodeError, ValueError) as exc:
            return ParsedBody(error=f"body is not valid JSON: {exc}")
    if media == "application/x-www-form-urlencoded":
        try:
            pairs = parse_qsl(body.decode("utf-8"), keep_blank_values=True, strict_parsing=True)
        except (UnicodeDecodeError, ValueError) as exc:
            return ParsedBody(error=f"body is not a valid urlencoded form: {exc}")
        form: dict[str, Any] = {}
        for name, value in pairs:
            _add(form, name, value)
        return ParsedBody(form=form)
    if media == "multipart/form-data":
        boundary = msg.get_param("boundary")
        if not isinstance(boundary, str) or not boundary:
            return ParsedBody(error="multipart body without a boundary")
        try:
            form, files = parse_multipart(body, boundary.encode("latin-1"))
        except ValueError as exc:
            return ParsedBody(error=f"malformed multipart body: {exc}")
        return ParsedBody(form=form, files=files)
    return ParsedBody()


def parse_multipart(body: bytes, boundary: bytes) -> tuple[dict[str, Any], dict[str, UploadedFile]]:
    """Split a multipart/form-data body into plain fields and file parts."""
    delimiter = b"\r\n--" + boundary
    chunks = (b"\r\n" + body).split(delimiter)
    if len(chunks) < 3 or not chunks[-1].startswith(b"--"):
        raise ValueError("missing opening or closing boundary")
    form: dict[str, Any] = {}
    files: dict[str, UploadedFile] = {}
    for chunk in chunks[1:-1]:
        if not chunk.startswith(b"\r\n"):
            raise ValueError("boundary not followed by a line break")
        head, sep, content = chunk[2:].partition(b"\r\n\r\n")
        if not sep:
            # A part without headers starts with the blank line directly.
            if chunk[2:4] != b"\r\n":
                raise ValueError("part without a header/body separator")
            head, content = b"", chunk[4:]
        headers = HeaderParser().parsestr(head.decode("utf-8", "replace") + "\r\n\r\n")
        name = headers.get_param("name", header="content-disposition")
        if isinstance(name, tuple):
            name = collapse_rfc2231_value(name)
        if not isinstance(name, str):
            raise ValueError("part without a field name")
        filename = headers.get_filename()
        if filename is None:
            _add(form, name, content.decode("utf-8", "replace"))
        else:
            files[name] = UploadedFile(filename, headers.get("Content-Type"), content)
    return form, files
