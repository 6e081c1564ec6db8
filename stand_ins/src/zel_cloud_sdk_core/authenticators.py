"""Authenticators that a service client uses to sign its requests.

Each authenticator knows how to add its credentials to an outgoing request,
represented here as a plain dictionary with a ``"headers"`` mapping.
"""

from __future__ import annotations

import base64
from typing import Any, MutableMapping

__all__ = [
    "Authenticator",
    "BearerTokenAuthenticator",
    "IAMAuthenticator",
    "NoAuthAuthenticator",
]

DEFAULT_IAM_URL = "https://iam.zel-cloud.example/identity/token"


def _require_text(value: object, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, got {type(value).__name__}")
    if not value.strip():
        raise ValueError(f"{name} must not be empty")
    return value


def _headers(request: MutableMapping[str, Any]) -> MutableMapping[str, str]:
    headers = request.setdefault("headers", {})
    if not isinstance(headers, MutableMapping):
        raise TypeError("request['headers'] must be a mutable mapping")
    return headers


class Authenticator:
    """Base class of all authenticators.

    Subclasses override :meth:`authenticate` (add credentials to a request)
    and :meth:`validate` (check the configuration given to the constructor).
    """

    AUTHTYPE_BEARERTOKEN = "bearerToken"
    AUTHTYPE_IAM = "iam"
    AUTHTYPE_NOAUTH = "noAuth"

    def authenticate(self, request: MutableMapping[str, Any]) -> None:
        """Add this authenticator's credentials to ``request["headers"]``."""
        raise NotImplementedError(
            f"{type(self).__name__} does not implement authenticate()"
        )

    def validate(self) -> None:
        """Raise ``ValueError``/``TypeError`` when the configuration is unusable."""

    def authentication_type(self) -> str:
        """Short name of the authentication scheme."""
        raise NotImplementedError(
            f"{type(self).__name__} does not implement authentication_type()"
        )

    def __repr__(self) -> str:
        # Never show credentials in a representation.
        return f"<{type(self).__name__}>"


class BearerTokenAuthenticator(Authenticator):
    """Sends a ready-made bearer token with every request."""

    def __init__(self, bearer_token: str) -> None:
        self.bearer_token = bearer_token
        self.validate()

    def validate(self) -> None:
        _require_text(self.bearer_token, "bearer_token")

    def set_bearer_token(self, bearer_token: str) -> None:
        """Replace the token, for example after the caller refreshed it."""
        _require_text(bearer_token, "bearer_token")
        self.bearer_token = bearer_token

    def authenticate(self, request: MutableMapping[str, Any]) -> None:
        _headers(request)["Authorization"] = f"Bearer {self.bearer_token}"

    def authentication_type(self) -> str:
        return self.AUTHTYPE_BEARERTOKEN


class IAMAuthenticator(Authenticator):
    """Exchanges an API key for an access token at an identity service.

    This package does no network traffic: the token exchange must be done by
    the caller, who hands the resulting token to :meth:`set_access_token`.
    Until then :meth:`authenticate` refuses to sign requests.
    """

    def __init__(
        self,
        apikey: str,
        url: str = DEFAULT_IAM_URL,
        *,
        client_id: str | None = None,
        client_secret: str | None = None,
        disable_ssl_verification: bool = False,
    ) -> None:
        self.apikey = apikey
        self.url = url
        self.client_id = client_id
        self.client_secret = client_secret
        self.disable_ssl_verification = disable_ssl_verification
        self.access_token: str | None = None
        self.validate()

    def validate(self) -> None:
        _require_text(self.apikey, "apikey")
        _require_text(self.url, "url")
        if (self.client_id is None) != (self.client_secret is None):
            raise ValueError("client_id and client_secret must be given together")
        if self.client_id is not None:
            _require_text(self.client_id, "client_id")
            _require_text(self.client_secret, "client_secret")

    def set_access_token(self, access_token: str) -> None:
        """Store the token obtained from the identity service."""
        _require_text(access_token, "access_token")
        self.access_token = access_token

    def token_request_headers(self) -> dict[str, str]:
        """Headers for the token request made to :attr:`url`."""
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        if self.client_id is not None and self.client_secret is not None:
            pair = f"{self.client_id}:{self.client_secret}".encode()
            headers["Authorization"] = "Basic " + base64.b64encode(pair).decode()
        return headers

    def authenticate(self, request: MutableMapping[str, Any]) -> None:
        if self.access_token is None:
            raise RuntimeError(
                "IAMAuthenticator has no access token: exchange the API key at "
                f"{self.url} and pass the token to set_access_token()"
            )
        _headers(request)["Authorization"] = f"Bearer {self.access_token}"

    def authentication_type(self) -> str:
        return self.AUTHTYPE_IAM


class NoAuthAuthenticator(Authenticator):
    """Sends requests without credentials (for local or test services)."""

    def authenticate(self, request: MutableMapping[str, Any]) -> None:
        return None

    def authentication_type(self) -> str:
        return self.AUTHTYPE_NOAUTH
