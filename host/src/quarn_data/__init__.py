"""Stand-in for the host package ``quarn_data``, for developing and testing its lock backends.

It has only what the backends rely on: ``quarn_data.errors`` (``QuarnConnectionError``),
``quarn_data.lock.base`` (``LockBase``), ``quarn_data.data_models.lock_object``
(``LockObject``) and the package ``quarn_data.lock.implementations``, into which the
``quarn-latches`` distribution installs the native modules ``remote_latch`` and
``local_latch``. ``quarn_utils`` beside it stands in for the host's utility package.
"""
