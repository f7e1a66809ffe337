"""A stand-in for the `subprocess` module that lorvex.tandry starts its workers through.

Rebinding `lorvex.tandry.subprocess` to a FakeSubprocess records every command line and, like
the real worker programs, writes the rows each worker owns straight into the block named on
its command line: every byte of the row of frame f is (f + 1) % 256, and an interleaved
worker then sets the row's check byte to 1.
"""
import base64
import pickle
import subprocess
from multiprocessing import shared_memory

import numpy as np


def decode(text):
    return pickle.loads(base64.b64decode(text))


def estimate(pts, start, end, num_frames):
    if end == start:
        return 0
    return round((num_frames - 1) * (pts - start) / (end - start))


def owned(rows, intervals, start, end, num_frames):
    """The frames of `rows` that a worker given `intervals` writes."""
    frames = []
    for low_pts, high_pts, _ in intervals:
        low = estimate(low_pts, start, end, num_frames)
        high = estimate(high_pts, start, end, num_frames)
        frames += [f for f in rows
                   if low <= f < high or (high_pts == end and f == num_frames - 1)]
    return frames


def frame_value(frame):
    return (frame + 1) % 256


def _write(block_name, rows, frames, height, width, check_name=None):
    block = shared_memory.SharedMemory(name=block_name)
    check = shared_memory.SharedMemory(name=check_name) if check_name else None
    try:
        view = np.ndarray((len(rows), 3, height, width), dtype=np.uint8, buffer=block.buf)
        flags = np.ndarray(len(rows), dtype=np.uint8, buffer=check.buf) if check else None
        for frame in frames:
            view[rows[frame]] = frame_value(frame)
            if flags is not None:
                flags[rows[frame]] = 1
        del view, flags
    finally:
        block.close()
        if check:
            check.close()


def act_as_worker(command):
    if command[0] == "lorvex":
        rows = decode(command[3])
        start, end, frames = int(command[11]), int(command[12]), int(command[8])
        intervals = [(int(command[4]), int(command[5]), 0)]
        _write(command[2], rows, owned(rows, intervals, start, end, frames),
               int(command[6]), int(command[7]))
    else:
        rows = decode(command[3])
        share = decode(command[4])[int(command[8])]
        start, end, frames = int(command[10]), int(command[11]), int(command[7])
        _write(command[2], rows, owned(rows, share, start, end, frames),
               int(command[5]), int(command[6]), check_name=command[13])


class FakeProcess:
    # Like a launcher whose objects take no attributes of the loader's: nothing of the
    # loader's (a worker's stderr file) outlives the load on a process the fake keeps.
    __slots__ = ("owner", "number", "status", "running", "returncode")

    def __init__(self, owner, number, status, running):
        self.owner = owner
        self.number = number
        self.status = status
        self.running = running
        self.returncode = None if running else status

    def poll(self):
        self.owner.events.append(("poll", self.number))
        return self.returncode

    def wait(self, timeout=None):
        self.owner.events.append(("wait", self.number))
        if self.returncode is None:
            if timeout is None:
                raise AssertionError("waited for ever on a fake process that never ends")
            raise subprocess.TimeoutExpired(["fake"], timeout)
        return self.returncode

    def terminate(self):
        self.owner.events.append(("terminate", self.number))
        self.returncode = -15

    def kill(self):
        self.owner.events.append(("kill", self.number))
        self.returncode = -9


class FakeSubprocess:
    TimeoutExpired = subprocess.TimeoutExpired

    def __init__(self, statuses=None, running=False, write=True, fail_start_at=None):
        self.statuses = statuses or {}
        self.running = running
        self.write = write
        self.fail_start_at = fail_start_at
        self.commands = []
        self.options = []
        self.processes = []
        self.events = []

    def Popen(self, command, **options):
        number = len(self.commands)
        if number == self.fail_start_at:
            raise FileNotFoundError(2, "No such file or directory", command[0])
        self.commands.append(list(command))
        # The worker's stderr file is the loader's to close: keep only that there was one.
        self.options.append(dict(options, stderr=options.get("stderr") is not None))
        self.events.append(("Popen", number))
        if self.write:
            act_as_worker(command)
        process = FakeProcess(self, number, self.statuses.get(number, 0), self.running)
        self.processes.append(process)
        return process


class RealProgram:
    """Starts real processes, each running `program(number, command)` (an argv) in place of
    the worker the loader asked for; keeps the Popen objects."""
    TimeoutExpired = subprocess.TimeoutExpired

    def __init__(self, program, fail_start_at=None):
        self.program = program
        self.fail_start_at = fail_start_at
        self.commands = []
        self.processes = []

    def Popen(self, command, executable=None, **options):
        number = len(self.commands)
        if number == self.fail_start_at:
            raise FileNotFoundError(2, "No such file or directory", command[0])
        self.commands.append(list(command))
        # The stand-in runs by its own name, not as the worker program the loader names.
        process = subprocess.Popen(self.program(number, command), **options)
        self.processes.append(process)
        return process
