// The engine's one wait, as a Python caller sees it: short waits without the GIL, signal
// handlers run between them, and the load's failure or shortfall raised in one place.
#include <chrono>

#include "lorvex/capi/gil.hpp"
#include "lorvex/engine_module/objects.hpp"

namespace lorvex::engine_module {
namespace {

// How long one wait lasts before signals are looked at again: a signal that reaches this
// thread ends the wait at once; one that reaches another thread waits this long at most.
constexpr auto kStep = std::chrono::milliseconds(50);

}  // namespace

std::string VideoNames::named(std::string text) const {
    if (path == name || path.empty()) return text;
    for (std::size_t at = text.find(path); at != std::string::npos;
         at = text.find(path, at + name.size())) {
        text.replace(at, path.size(), name);
    }
    return text;
}

void wait_for_rows(engine::Load& load, std::int64_t low, std::int64_t high,
                   const engine::Deadline& deadline, const VideoNames& names,
                   const char* overdue_words) {
    while (true) {
        const engine::WaitEnd end =
            py::without_gil([&] { return load.wait(low, high, deadline, kStep); });
        switch (end) {
            case engine::WaitEnd::ready:
                return;
            case engine::WaitEnd::pending:
                if (PyErr_CheckSignals() < 0) {
                    load.abandon();
                    py::throw_error_set();
                }
                continue;
            case engine::WaitEnd::failed: {
                const std::string failure = names.named(load.failure());
                load.abandon();
                py::raise(PyExc_RuntimeError, "%s", failure.c_str());
            }
            case engine::WaitEnd::overdue: {
                const std::string shortfall = load.shortfall();
                load.abandon();
                py::Ref seconds = py::check(PyFloat_FromDouble(deadline.seconds.value_or(0)));
                py::raise(PyExc_TimeoutError, "%s: %s %R s; %s", names.name.c_str(), overdue_words,
                          seconds.get(), shortfall.c_str());
            }
        }
    }
}

}  // namespace lorvex::engine_module
