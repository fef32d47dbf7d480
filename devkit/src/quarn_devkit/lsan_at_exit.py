"""Leak check at exit for the interpreters of a sanitizer run (scripts/sanitize).

scripts/sanitize puts a .pth file into its venv that imports this module, so that every
interpreter of that venv runs it at start-up. The run turns LeakSanitizer's own check
at exit off (``leak_check_at_exit=0``), because the runtime is preloaded into every
program the tests start (shells, compilers, servers), whose own leaks are no concern of
ours and would change their exit status. Here an interpreter registers the same check
for itself: it runs when the process exits, after the interpreter has finalised, exactly
where LeakSanitizer's own would have run.
"""

import os

if os.environ.get("QUARN_SANITIZED"):
    import ctypes

    _process = ctypes.CDLL(None)
    try:
        _check = _process["__lsan_do_leak_check"]
    except AttributeError:  # no sanitizer runtime in this process
        pass
    else:
        # atexit() itself is not exported by glibc; it is __cxa_atexit(f, arg, dso).
        _register = _process["__cxa_atexit"]
        _register.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        if _register(ctypes.cast(_check, ctypes.c_void_p), None, None) != 0:
            raise RuntimeError("could not register the leak check at exit")
