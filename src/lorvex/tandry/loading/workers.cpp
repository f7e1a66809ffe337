#include "lorvex/tandry/loading/workers.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/capi/calls.hpp"
#include "lorvex/engine/decoder_service_start.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/worker_reason.hpp"
#include "lorvex/tandry/loading/exit_watch.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

namespace {

// Long enough for a worker to leave its decode loop on SIGTERM, short enough that a
// stuck one does not hold up the caller.
constexpr double grace_seconds = 2.0;
// How long one wait on a running worker lasts before all of them are looked at again.
constexpr double glance_seconds = 0.1;
// A worker's reason is its last line; a runaway writer must not cost the caller memory.
constexpr off_t longest_log = 64 * 1024;

constexpr const char* log_attribute = "_lorvex_stderr";
constexpr const char* owner_attribute = "_lorvex_owner";

bool still_running(PyObject* process) {
    py::Ref status = py::call_method(process, "poll");
    return status.get() == Py_None;
}

// process.wait(timeout=timeout): true when the process ended, false when the wait timed
// out. The exception class is only looked up when a wait times out: a launcher whose
// workers end in time needs nothing besides Popen.
bool wait_briefly(PyObject* module, PyObject* process, PyObject* timeout) {
    try {
        py::call_method(process, "wait", {}, {{"timeout", timeout}});
        return true;
    } catch (const py::PyErrorSet&) {
        py::SavedError waiting;
        py::Ref subprocess = global(module, Global::subprocess);
        py::Ref timeout_expired = py::getattr(subprocess.get(), "TimeoutExpired");
        waiting.restore();
        if (!PyErr_ExceptionMatches(timeout_expired.get())) throw;
        PyErr_Clear();
        return false;
    }
}

// wait(timeout=grace); past it, kill() and wait() for good.
void reap(PyObject* module, PyObject* process, PyObject* timeout) {
    if (wait_briefly(module, process, timeout)) return;
    py::call_method(process, "kill");
    py::call_method(process, "wait");
}

// A memory file for one worker's stderr, named after this process (the worker's caller), as an
// unbuffered binary file object that closes the descriptor when dropped.
py::Ref new_log() {
    const std::string name = std::string(names::kWorkerStderrPrefix) + std::to_string(getpid());
    const int descriptor = memfd_create(name.c_str(), MFD_CLOEXEC);
    if (descriptor < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        py::throw_error_set();
    }
    PyObject* file = PyFile_FromFd(descriptor, nullptr, "rb", 0, nullptr, nullptr, nullptr, 1);
    if (file == nullptr) {
        close(descriptor);
        py::throw_error_set();
    }
    return py::Ref::steal(file);
}

// The program that `command`'s first item names, in the folder of the worker programs.
py::Ref program_in(const std::string& folder, PyObject* command) {
    py::Ref first = py::check(PySequence_GetItem(command, 0));
    py::Ref name = py::check(PyUnicode_EncodeFSDefault(first.get()));
    std::string path = folder;
    path.push_back('/');
    path.append(PyBytes_AS_STRING(name.get()),
                static_cast<std::size_t>(PyBytes_GET_SIZE(name.get())));
    return py::check(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

// Keeps `value` on the process object; a launcher whose objects take no attributes loses
// only what the attribute was for.
void remember(PyObject* process, const char* name, PyObject* value) {
    if (PyObject_SetAttrString(process, name, value) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error_set();
        PyErr_Clear();
    }
}

// Everything the worker wrote to its stderr (the last part of it), or "" when its log is
// not there.
std::string log_of(PyObject* process) {
    if (!PyObject_HasAttrString(process, log_attribute)) return {};
    py::Ref log = py::getattr(process, log_attribute);
    const int descriptor = PyObject_AsFileDescriptor(log.get());
    if (descriptor < 0) {
        PyErr_Clear();
        return {};
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0) return {};
    const off_t start = std::max<off_t>(0, status.st_size - longest_log);
    std::string text(static_cast<std::size_t>(status.st_size - start), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = pread(descriptor, text.data() + done, text.size() - done,
                                  start + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return text;
}

// ": <reason>" for the message, or "" when the worker said nothing.
py::Ref reason_suffix(PyObject* process) {
    const std::string reason = worker_reason(log_of(process));
    if (reason.empty()) return py::check(PyUnicode_FromString(""));
    py::Ref said = py::check(
        PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
    return py::check(PyUnicode_FromFormat(": %U", said.get()));
}

// Exited non-zero or died by a signal; returncode is read, so poll() or wait() must have run.
bool has_failed(PyObject* process) {
    py::Ref status = py::getattr(process, "returncode");
    if (status.get() == Py_None) return false;
    py::Ref zero = py::new_int(0);
    return py::compare(status.get(), zero.get(), Py_NE);
}

// The process's int `pid`, or nothing for a launcher's own stand-in without one.
std::optional<pid_t> pid_of(PyObject* process) {
    PyObject* pid = PyObject_GetAttrString(process, "pid");
    if (pid == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    const py::Ref owned = py::Ref::steal(pid);
    if (!PyLong_CheckExact(pid)) return std::nullopt;
    const long value = PyLong_AsLong(pid);
    if (value <= 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<pid_t>(value);
}

// The pids of `running`, or nothing when one of them has no int `pid` (a launcher's own
// stand-in).
std::optional<std::vector<pid_t>> pids_of(const std::vector<py::Ref>& running) {
    std::vector<pid_t> pids;
    for (const py::Ref& process : running) {
        const std::optional<pid_t> pid = pid_of(process.get());
        if (!pid) return std::nullopt;
        pids.push_back(*pid);
    }
    return pids;
}

// A worker stopped by a signal (a debugger, a cgroup freezer, kill -STOP) would hold its
// SIGTERM until resumed and use up the whole grace period: it is resumed to act on it.
void continue_if_stopped(PyObject* process) {
    if (const std::optional<pid_t> pid = pid_of(process)) (void)kill(*pid, SIGCONT);
}

}  // namespace

void start_worker(PyObject* module, PyObject* processes, PyObject* command, PyObject* pass_fds) {
    const std::string& folder = module_state(module).worker_folder;
    engine::ensure_decoder_service(folder);
    py::Ref subprocess = global(module, Global::subprocess);
    py::Ref log = new_log();
    std::vector<py::Keyword> keywords;
    py::Ref executable;
    if (!folder.empty()) {
        executable = program_in(folder, command);
        keywords.push_back({"executable", executable.get()});
    }
    keywords.push_back({"stderr", log.get()});
    if (pass_fds != nullptr) keywords.push_back({"pass_fds", pass_fds});
    py::Ref process = py::call_method(subprocess.get(), "Popen", {command}, keywords);
    py::check_status(PyList_Append(processes, process.get()));
    remember(process.get(), log_attribute, log.get());
    py::Ref owner = py::check(PyLong_FromLong(getpid()));
    remember(process.get(), owner_attribute, owner.get());
}

void wait_for_workers(PyObject* module, PyObject* processes) {
    while (true) {
        std::vector<py::Ref> running;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
            py::Ref process = py::Ref::borrow(PyList_GET_ITEM(processes, i));
            if (still_running(process.get())) {
                running.push_back(std::move(process));
            } else if (has_failed(process.get())) {
                return;
            }
        }
        if (running.empty()) return;
        const double glance = glance_seconds;
        // Woken the moment any worker ends, and at least every glance to notice a signal.
        if (std::optional<std::vector<pid_t>> pids = pids_of(running)) {
            if (wait_for_any_exit(*pids, static_cast<int>(std::ceil(glance * 1000)))) {
                py::check_status(PyErr_CheckSignals());
                continue;
            }
        }
        // A launcher's own process objects (no pid), or no pidfd: waiting on one worker
        // returns the moment it ends, the others are looked at again after a glance.
        py::Ref timeout = py::check(PyFloat_FromDouble(glance));
        wait_briefly(module, running.front().get(), timeout.get());
    }
}

void stop_workers(PyObject* module, PyObject* processes) {
    // Every worker gets its signal before any is waited for, so they wind down together.
    std::vector<py::Ref> terminated;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        py::Ref process = py::Ref::borrow(PyList_GET_ITEM(processes, i));
        if (!still_running(process.get())) continue;
        py::call_method(process.get(), "terminate");
        continue_if_stopped(process.get());
        terminated.push_back(std::move(process));
    }
    if (terminated.empty()) return;
    py::Ref timeout = py::check(PyFloat_FromDouble(grace_seconds));
    for (const py::Ref& process : terminated) reap(module, process.get(), timeout.get());
}

void stop_workers_quietly(PyObject* module, PyObject* processes) noexcept {
    try {
        stop_workers(module, processes);
    } catch (const py::PyErrorSet&) {
        PyErr_WriteUnraisable(processes);
    } catch (...) {
        // Only allocation can fail here outside Python; the caller's error stands.
    }
}

void release_logs(PyObject* processes) noexcept {
    py::SavedError pending;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        PyObject* process = PyList_GET_ITEM(processes, i);
        if (PyObject_HasAttrString(process, log_attribute) &&
            PyObject_DelAttrString(process, log_attribute) < 0) {
            PyErr_Clear();
        }
    }
    pending.restore();
}

bool all_exited(PyObject* processes) {
    // Every process is polled, so that describe_failures sees each one's status.
    bool exited = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        py::Ref process = py::Ref::borrow(PyList_GET_ITEM(processes, i));
        if (still_running(process.get())) exited = false;
    }
    return exited;
}

bool any_failed(PyObject* processes) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        if (has_failed(PyList_GET_ITEM(processes, i))) return true;
    }
    return false;
}

bool started_here(PyObject* processes) {
    py::Ref here = py::check(PyLong_FromLong(getpid()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        PyObject* process = PyList_GET_ITEM(processes, i);
        if (!PyObject_HasAttrString(process, owner_attribute)) continue;
        py::Ref owner = py::getattr(process, owner_attribute);
        if (PyObject_RichCompareBool(owner.get(), here.get(), Py_NE) == 1) return false;
    }
    return true;
}

py::Ref describe_failures(PyObject* processes, const char* program) {
    py::Ref parts = py::check(PyList_New(0));
    py::Ref zero = py::new_int(0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        py::Ref process = py::Ref::borrow(PyList_GET_ITEM(processes, i));
        if (!has_failed(process.get())) continue;
        py::Ref status = py::getattr(process.get(), "returncode");
        py::Ref part;
        if (py::compare(status.get(), zero.get(), Py_LT)) {
            py::Ref signal = py::check(PyNumber_Negative(status.get()));
            part = py::check(PyUnicode_FromFormat("%s worker %zd was killed by signal %S", program,
                                                  i, signal.get()));
        } else {
            py::Ref reason = reason_suffix(process.get());
            part = py::check(PyUnicode_FromFormat("%s worker %zd exited with status %S%U", program,
                                                  i, status.get(), reason.get()));
        }
        py::check_status(PyList_Append(parts.get(), part.get()));
    }
    if (PyList_GET_SIZE(parts.get()) == 0) return {};
    py::Ref separator = py::check(PyUnicode_FromString(", "));
    return py::check(PyUnicode_Join(separator.get(), parts.get()));
}

}  // namespace lorvex::tandry
