#include "lorvex/tandry/loading/load_timeout.hpp"

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/loading/workers.hpp"
#include "lorvex/tandry/surface/unpack.hpp"

namespace lorvex::tandry {

namespace {

// A message lists this many runs of frames at most, then says how many more there are.
constexpr std::size_t listed_runs = 12;

// The request's distinct frames in increasing order: the order of the intervals' rows.
std::vector<Py_ssize_t> frames_in_order(const Requests& requests) {
    std::vector<Py_ssize_t> frames;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(requests.row_map.get(), &position, &key, &value)) {
        frames.push_back(py::as_ssize(key));
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

// "0-15, 40, 52-60": runs of consecutive numbers, the first `listed_runs` of them.
std::string runs_of(const std::vector<Py_ssize_t>& numbers) {
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> runs;
    for (const Py_ssize_t number : numbers) {
        if (!runs.empty() && runs.back().second + 1 == number) {
            runs.back().second = number;
        } else {
            runs.emplace_back(number, number);
        }
    }
    std::ostringstream text;
    for (std::size_t i = 0; i < std::min(runs.size(), listed_runs); ++i) {
        if (i > 0) text << ", ";
        text << runs[i].first;
        if (runs[i].second > runs[i].first) text << '-' << runs[i].second;
    }
    if (runs.size() > listed_runs) text << " and " << runs.size() - listed_runs << " more runs";
    return text.str();
}

}  // namespace

void raise_one_shot_timeout(PyObject* video_path, double timeout, PyObject* processes,
                            PyObject* intervals, const Requests& requests, const char* program) {
    const std::vector<Py_ssize_t> running = still_running_workers(processes);
    const std::vector<Py_ssize_t> frames = frames_in_order(requests);
    py::Ref sequence = py::check(PySequence_Fast(intervals, "the interval list must be iterable"));
    std::vector<Py_ssize_t> missing;
    std::ostringstream workers;
    Py_ssize_t first_row = 0;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(sequence.get()); ++k) {
        std::vector<py::Ref> interval = unpack(PySequence_Fast_GET_ITEM(sequence.get(), k), 3);
        const Py_ssize_t rows = py::as_ssize(interval[2].get());
        if (std::find(running.begin(), running.end(), k) != running.end()) {
            for (Py_ssize_t row = first_row; row < first_row + rows; ++row) {
                if (row < static_cast<Py_ssize_t>(frames.size())) missing.push_back(frames[row]);
            }
            py::Ref pid = py::getattr(PyList_GET_ITEM(processes, k), "pid");
            py::Ref said = py::check(PyObject_Str(pid.get()));
            const char* pid_text = PyUnicode_AsUTF8(said.get());
            if (pid_text == nullptr) py::throw_error_set();
            workers << (workers.tellp() > 0 ? ", " : "") << program << " worker " << k << " (pid "
                    << pid_text << ")";
        }
        first_row += rows;
    }
    PyErr_Format(PyExc_TimeoutError,
                 "%S: the load did not finish within %R s; frames still missing: %s; workers not "
                 "finished: %s",
                 video_path, py::check(PyFloat_FromDouble(timeout)).get(),
                 missing.empty() ? "none" : runs_of(missing).c_str(),
                 workers.tellp() > 0 ? workers.str().c_str() : "none");
    py::throw_error_set();
}

}  // namespace lorvex::tandry
