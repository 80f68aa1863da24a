"""Shared fixtures: one local tenant service per test session, reset for each test."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

from korvane.testing import TenantService

# The fuzz harnesses' plain oracles (tools/fuzz) are the tests' oracles too.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "fuzz"))

from korvane_fixtures import ACCOUNT  # noqa: E402


@pytest.fixture(scope="session")
def tenant_service():
    """The service, started once for the session; prefer ``service``, which resets it."""
    with TenantService() as svc:
        yield svc


@pytest.fixture
def account():
    return ACCOUNT


@pytest.fixture
def service(tenant_service):
    """The session's service, emptied and given the default account and app token."""
    tenant_service.reset()
    tenant_service.add_user(ACCOUNT.username, ACCOUNT.password, tenant=ACCOUNT.tenant)
    tenant_service.add_app_token(ACCOUNT.app_token, tenant=ACCOUNT.tenant)
    yield tenant_service
    tenant_service.reset()


@pytest.fixture
def routed(service):
    """``service``, with this process's requests to the service domain routed to it."""
    with service.routed():
        yield service


# Fixtures for the korvane modules themselves.
from korvane_fixtures import auth, fresh_import, logged_in, secret_file, wardlock  # noqa: E402,F401
