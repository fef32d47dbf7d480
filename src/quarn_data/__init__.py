"""Lock backends for the quarn data layer.

The backends are the native modules ``quarn_data.lock.implementations.remote_latch``
(one lock per key on a Redis server) and ``quarn_data.lock.implementations.local_latch``
(one ``threading.Lock`` per target inside the process).

The pure-Python modules beside them (``quarn_data.errors``, ``quarn_data.lock.base``,
``quarn_data.data_models.lock_object`` and ``quarn_utils``) are small stand-ins for the
host package that the backends plug into: just enough of it for the backends to load,
run and be tested.
"""
