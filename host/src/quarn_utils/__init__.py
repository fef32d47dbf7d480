"""Stand-in for the host's utility package: only the target record ``Address``."""
