"""What a load of lorvex's own asks of lorvex.tandry beyond the arguments of tandry's calls.

tandry's calls keep the arguments their callers know; the Python layer sets these options
around a call instead, and tandry reads them when the load starts (a load made by anyone
else sees none and behaves as it always has). One value per thread and per asyncio task:
a context variable.
"""
from __future__ import annotations

import time
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass, replace


@dataclass(frozen=True)
class LoadOptions:
    """`deadline`: the time.monotonic() by which the load must be done; past it the load's
    workers are ended, its shared memory removed and TimeoutError raised. `timeout` is what
    the caller allowed, in seconds, said in that error. `frame_table`: the file's frame table
    (lorvex.container._frame_table) as the caller probed the file; the workers decode the file
    in that state or fail, so that a file changed since is never read with a plan made for
    another.

    How the workers lay out each frame: `layout` "NCHW" (planes) or "NHWC" (R, G, B triples),
    `dtype` "uint8" or "uint16", `quarter_turns` clockwise (0 to 3) after scaling; the load's
    height and width are the turned picture's. `inherited`: descriptors of this process the
    workers inherit under the same numbers (a video in memory, read as /proc/self/fd/N)."""

    deadline: float | None = None
    timeout: float | None = None
    frame_table: bytes | None = None
    layout: str = "NCHW"
    dtype: str = "uint8"
    quarter_turns: int = 0
    inherited: tuple[int, ...] = ()


CURRENT: ContextVar[LoadOptions | None] = ContextVar("lorvex_load_options", default=None)


def with_timeout(timeout: float | None, base: LoadOptions | None = None) -> LoadOptions:
    """`base` (default: no options) with a deadline `timeout` seconds from now (none for
    None)."""
    base = LoadOptions() if base is None else base
    if timeout is None:
        return base
    return replace(base, deadline=time.monotonic() + timeout, timeout=timeout)


@contextmanager
def applied(options: LoadOptions) -> Iterator[None]:
    """The tandry calls made inside the block load with `options`."""
    token = CURRENT.set(options)
    try:
        yield
    finally:
        CURRENT.reset(token)
