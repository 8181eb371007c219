"""Run calls in a child process, so that a crash or a hang fails one test, not the run.

The child sends back a summary of each outcome (the kinds, shapes and dtypes of the
result, or the type and text of the exception), since result objects do not pickle.
"""

from __future__ import annotations

import multiprocessing as mp
from collections.abc import Callable
from typing import Any

import numpy as np


class Crash(AssertionError):
    """The child process died or stopped answering during a call."""


def summarise(value: Any) -> Any:
    if isinstance(value, np.ndarray):
        return ("array", value.shape, value.dtype.str, value.flags.writeable)
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, [summarise(v) for v in value])
    if isinstance(value, (bool, int, float, str)) or value is None:
        return (type(value).__name__,)
    names = [n for n in dir(value) if not n.startswith("_")]
    return (type(value).__name__, {n: summarise(getattr(value, n)) for n in names})


def _serve(conn) -> None:
    while True:
        try:
            fn, args, kwargs = conn.recv()
        except EOFError:
            return
        try:
            outcome = ("ok", summarise(fn(*args, **kwargs)))
        except BaseException as e:  # noqa: BLE001 - every exception is an outcome here
            outcome = ("raise", type(e).__name__, str(e))
        conn.send(outcome)


class Sandbox:
    def __init__(self, timeout: float = 60.0) -> None:
        self.timeout = timeout
        self._start()

    def _start(self) -> None:
        ctx = mp.get_context("spawn")
        self.conn, child = ctx.Pipe()
        self.proc = ctx.Process(target=_serve, args=(child,), daemon=True)
        self.proc.start()
        child.close()

    def call(self, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> tuple:
        """('ok', summary) or ('raise', type name, message); raises Crash otherwise."""
        self.conn.send((fn, args, kwargs))
        if not self.conn.poll(self.timeout):
            self.proc.kill()
            self.proc.join()
            self._start()
            raise Crash(f"{getattr(fn, '__name__', fn)} did not return within {self.timeout} s")
        try:
            return self.conn.recv()
        except EOFError:
            self.proc.join()
            code = self.proc.exitcode
            self._start()
            raise Crash(
                f"{getattr(fn, '__name__', fn)} killed the process (exit code {code})"
            ) from None

    def close(self) -> None:
        self.conn.close()
        self.proc.join(timeout=10)
        if self.proc.is_alive():
            self.proc.kill()
