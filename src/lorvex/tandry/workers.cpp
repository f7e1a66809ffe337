#include "lorvex/tandry/workers.hpp"

#include <vector>

#include "lorvex/tandry/calls.hpp"
#include "lorvex/tandry/namespace.hpp"

namespace lorvex::tandry {

namespace {

// Long enough for a worker to leave its decode loop on SIGTERM, short enough that a
// stuck one does not hold up the caller.
constexpr double grace_seconds = 2.0;

bool still_running(PyObject* process) {
    py::Ref status = call_method(process, "poll");
    return status.get() == Py_None;
}

// wait(timeout=grace); on subprocess.TimeoutExpired, kill() and wait() for good. The
// exception class is only looked up when a wait times out: a launcher whose workers end
// when told needs nothing besides Popen.
void reap(PyObject* module, PyObject* process, PyObject* timeout) {
    try {
        call_method(process, "wait", {}, {{"timeout", timeout}});
    } catch (const py::PyErrorSet&) {
        SavedError waiting;
        py::Ref subprocess = global(module, "subprocess");
        py::Ref timeout_expired = py::getattr(subprocess.get(), "TimeoutExpired");
        waiting.restore();
        if (!PyErr_ExceptionMatches(timeout_expired.get())) throw;
        PyErr_Clear();
        call_method(process, "kill");
        call_method(process, "wait");
    }
}

}  // namespace

void start_worker(PyObject* module, PyObject* processes, PyObject* command, PyObject* pass_fds) {
    py::Ref subprocess = global(module, "subprocess");
    py::Ref process = pass_fds == nullptr ? call_method(subprocess.get(), "Popen", {command})
                                          : call_method(subprocess.get(), "Popen", {command},
                                                        {{"pass_fds", pass_fds}});
    py::check_status(PyList_Append(processes, process.get()));
}

void stop_workers(PyObject* module, PyObject* processes) {
    // Every worker gets its signal before any is waited for, so they wind down together.
    std::vector<py::Ref> terminated;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        py::Ref process = py::Ref::borrow(PyList_GET_ITEM(processes, i));
        if (!still_running(process.get())) continue;
        call_method(process.get(), "terminate");
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

bool all_exited(PyObject* processes) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        py::Ref process = py::Ref::borrow(PyList_GET_ITEM(processes, i));
        if (still_running(process.get())) return false;
    }
    return true;
}

py::Ref describe_failures(PyObject* processes, const char* program) {
    py::Ref parts = py::check(PyList_New(0));
    py::Ref zero = new_int(0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(processes); ++i) {
        py::Ref process = py::Ref::borrow(PyList_GET_ITEM(processes, i));
        py::Ref status = py::getattr(process.get(), "returncode");
        if (status.get() == Py_None || !compare(status.get(), zero.get(), Py_NE)) continue;
        py::Ref part;
        if (compare(status.get(), zero.get(), Py_LT)) {
            py::Ref signal = py::check(PyNumber_Negative(status.get()));
            part = py::check(PyUnicode_FromFormat("%s worker %zd was killed by signal %S", program,
                                                  i, signal.get()));
        } else {
            part = py::check(PyUnicode_FromFormat("%s worker %zd exited with status %S", program, i,
                                                  status.get()));
        }
        py::check_status(PyList_Append(parts.get(), part.get()));
    }
    if (PyList_GET_SIZE(parts.get()) == 0) return {};
    py::Ref separator = py::check(PyUnicode_FromString(", "));
    return py::check(PyUnicode_Join(separator.get(), parts.get()));
}

}  // namespace lorvex::tandry
