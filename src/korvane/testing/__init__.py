"""A local stand-in for the tenant service, for trying the kit offline and for tests.

``TenantService`` runs the service over HTTPS on loopback; ``route``/``connect``
make this process's ``requests`` calls to ``https://<tenant><SERVICE_DOMAIN>``
reach it, with its CA trusted.  ``python -m korvane.testing`` runs one by hand.
"""

try:
    import trustme  # noqa: F401  (the service's certificate authority)
except ImportError as error:
    raise ImportError(
        "korvane.testing, the local tenant service, needs the 'testing' extra: pip install 'korvane[testing]' "
        "(from a source folder: python -m pip install '.[testing]')", name=__name__) from error

from ._bodies import UploadedFile
from ._domain import SERVICE_DOMAIN
from .engine import default_engine
from .routing import INFO_ENV, Route, active_routes, connect, load_info, refused_route, route
from .service import FAULT_KINDS, OPERATIONS, RecordedRequest, TenantService

__all__ = [
    "FAULT_KINDS",
    "INFO_ENV",
    "OPERATIONS",
    "SERVICE_DOMAIN",
    "RecordedRequest",
    "Route",
    "TenantService",
    "UploadedFile",
    "active_routes",
    "connect",
    "default_engine",
    "load_info",
    "refused_route",
    "route",
]
