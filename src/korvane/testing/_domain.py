"""The DNS suffix the service is reached under."""

from __future__ import annotations

try:
    from korvane._build import SERVICE_DOMAIN
except ImportError:  # not generated yet: an unbuilt source tree
    SERVICE_DOMAIN = ".korvane.example"


def apex(domain: str) -> str:
    """``.korvane.example`` -> ``korvane.example``."""
    return domain.strip().strip(".").lower()


def tenant_of(host: str, domain: str) -> str | None:
    """Return the tenant label of a Host header value, or None if it is not under *domain*.

    The port and a trailing dot are ignored and the comparison is case-insensitive.
    """
    host = host.strip().lower()
    if host.startswith("["):  # IPv6 literal, never one of ours
        return None
    host = host.rpartition(":")[0] if ":" in host else host
    host = host.rstrip(".")
    suffix = "." + apex(domain)
    if not host.endswith(suffix):
        return None
    tenant = host[: -len(suffix)]
    return tenant or None


__all__ = ["SERVICE_DOMAIN", "apex", "tenant_of"]
