"""Stand-in for the host's target record ``Address``."""

from __future__ import annotations

from typing import final
from urllib.parse import quote


@final
class Address:
    """An immutable, hashable path of text segments naming a lockable resource.

    ``to_string()`` gives the key text: each segment percent-encoded (so ``/`` and ``%``
    inside a segment are escaped) and preceded by ``/``. Equal addresses give equal
    texts, and different addresses never give the same text.

    >>> Address("orders", "2024/12").to_string()
    '/orders/2024%2F12'
    """

    __slots__ = ("_segments", "_text", "_hash")

    _segments: tuple[str, ...]
    _text: str
    _hash: int

    def __init__(self, *segments: str) -> None:
        if not segments:
            raise ValueError("Address needs at least one segment")
        for segment in segments:
            if type(segment) is not str:
                raise TypeError(
                    f"Address segments must be str, not {type(segment).__name__}"
                )
        text = "".join("/" + quote(segment, safe="") for segment in segments)
        object.__setattr__(self, "_segments", segments)
        object.__setattr__(self, "_text", text)
        object.__setattr__(self, "_hash", hash(segments))

    @property
    def segments(self) -> tuple[str, ...]:
        """The segments, outermost first."""
        return self._segments

    def to_string(self) -> str:
        """Returns the key text that identifies this address."""
        return self._text

    def __eq__(self, other: object) -> bool:
        if type(other) is not Address:
            return NotImplemented
        return self._segments == other._segments

    def __hash__(self) -> int:
        return self._hash

    def __repr__(self) -> str:
        return "Address(" + ", ".join(map(repr, self._segments)) + ")"

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Address is immutable; cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Address is immutable; cannot delete {name!r}")

    def __reduce__(self) -> tuple[type[Address], tuple[str, ...]]:
        return (Address, self._segments)
