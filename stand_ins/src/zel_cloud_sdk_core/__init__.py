"""Platform core: the service base class and request authenticators."""

from __future__ import annotations

from urllib.parse import urlsplit

from .authenticators import (
    Authenticator,
    BearerTokenAuthenticator,
    IAMAuthenticator,
    NoAuthAuthenticator,
)

__all__ = [
    "Authenticator",
    "BaseService",
    "BearerTokenAuthenticator",
    "IAMAuthenticator",
    "NoAuthAuthenticator",
]


class BaseService:
    """Common base of the service clients.

    Holds the authenticator that signs requests and the base URL of the
    service. Subclasses add the service's operations.
    """

    def __init__(self, authenticator: Authenticator, service_url: str) -> None:
        if authenticator is None:
            raise ValueError("authenticator must be provided")
        if not isinstance(authenticator, Authenticator):
            raise TypeError(
                "authenticator must be an Authenticator, got "
                f"{type(authenticator).__name__}"
            )
        authenticator.validate()
        self.authenticator = authenticator
        self.service_url = ""
        self.set_service_url(service_url)

    def set_service_url(self, service_url: str) -> None:
        """Set the base URL; it must be an http(s) URL with a host."""
        if not isinstance(service_url, str):
            raise TypeError(
                f"service_url must be a str, got {type(service_url).__name__}"
            )
        parts = urlsplit(service_url)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise ValueError(
                f"service_url must be an http(s) URL with a host, got {service_url!r}"
            )
        self.service_url = service_url.rstrip("/")

    def get_authenticator(self) -> Authenticator:
        return self.authenticator
