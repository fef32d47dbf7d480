"""Records of the quarn data layer."""
