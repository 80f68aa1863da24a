"""Credential login and app-token authentication for the tenant service."""
