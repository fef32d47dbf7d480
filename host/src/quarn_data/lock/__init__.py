"""Locks of the quarn data layer: the abstract base and its backends."""
