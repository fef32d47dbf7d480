"""Stand-in for the host package's error classes."""


class QuarnError(Exception):
    """Base class of the host package's errors."""


class QuarnConnectionError(QuarnError):
    """A backend was used without a connection to its server."""
