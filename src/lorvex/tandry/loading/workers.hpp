// Starting, stopping and judging the worker processes of one load (subprocess.Popen objects,
// reached through the module's `subprocess`).
#pragma once

#include <optional>
#include <vector>

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// subprocess.Popen(command, executable=<the program command[0] names, in the package's
// folder of worker programs>, stderr=<a memory file of its own>), appended to the list
// `processes`; with `pass_fds` (a tuple) when the command line refers to inherited
// descriptors. The worker's stderr is kept with its process object, so that a failure
// reports the worker's own reason instead of printing it where a notebook or a service
// never shows it; the process also remembers which process started it.
void start_worker(PyObject* module, PyObject* processes, PyObject* command,
                  PyObject* pass_fds = nullptr);

// Returns once every process of `processes` has exited, or as soon as one has failed (exited
// non-zero or died by a signal), whichever comes first; a failure is noticed within a tenth of
// a second or so, whatever the others are doing.
void wait_for_workers(PyObject* module, PyObject* processes);

// Sends terminate() to every process of `processes` that still runs (resuming any that a
// signal stopped), then reaps each one,
// killing those that do not end within a short grace period. Nothing is left running and
// no zombie stays behind.
void stop_workers(PyObject* module, PyObject* processes);

// The same for failure paths, where the original error matters more: a failure while
// stopping is reported as unraisable instead of replacing it.
void stop_workers_quietly(PyObject* module, PyObject* processes) noexcept;

// Closes the stderr files that start_worker kept with the processes, once nothing more is
// to be reported from them; the process objects may live on in the launcher.
void release_logs(PyObject* processes) noexcept;

// True when every process of `processes` has exited; polls each one.
bool all_exited(PyObject* processes);
// True when a process of `processes` exited non-zero or died by a signal. Reads returncode,
// so poll() or wait() must have run.
bool any_failed(PyObject* processes);

// False when the processes were started by another process: this one is a fork of the
// process that started them, holds copies of its objects, and must leave its workers and
// blocks alone.
bool started_here(PyObject* processes);

// One text naming each process of `processes` that exited with a non-zero status or died
// by a signal, with what the worker said ("lorvex worker 1 exited with status 1: <reason>,
// lorvex worker 3 was killed by signal 9"); an empty Ref when none did. Reads returncode,
// so poll() or wait() must have run.
py::Ref describe_failures(PyObject* processes, const char* program);

}  // namespace lorvex::tandry
