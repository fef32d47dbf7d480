"""Lock backends: ``remote_latch.RemoteLatch`` and ``local_latch.LocalLatch``."""
