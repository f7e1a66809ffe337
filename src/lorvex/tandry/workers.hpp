// Starting, stopping and judging the worker processes of one load (subprocess.Popen objects,
// reached through the module's `subprocess`).
#pragma once

#include "lorvex/python/ref.hpp"

namespace lorvex::tandry {

// subprocess.Popen(command), appended to the list `processes`; with `pass_fds` (a tuple)
// when the command line refers to inherited descriptors.
void start_worker(PyObject* module, PyObject* processes, PyObject* command,
                  PyObject* pass_fds = nullptr);

// Sends terminate() to every process of `processes` that still runs, then reaps each one,
// killing those that do not end within a short grace period. Nothing is left running and
// no zombie stays behind.
void stop_workers(PyObject* module, PyObject* processes);

// The same for failure paths, where the original error matters more: a failure while
// stopping is reported as unraisable instead of replacing it.
void stop_workers_quietly(PyObject* module, PyObject* processes) noexcept;

// True when every process of `processes` has exited (poll() is not None).
bool all_exited(PyObject* processes);

// One text naming each process of `processes` that exited with a non-zero status or died
// by a signal ("lorvex worker 1 exited with status 1, lorvex worker 3 was killed by signal
// 9"); an empty Ref when none did. Reads returncode, so poll() or wait() must have run.
py::Ref describe_failures(PyObject* processes, const char* program);

}  // namespace lorvex::tandry
