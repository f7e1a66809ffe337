// Running blocking FFmpeg work (opening, reading packets) with the GIL released.
#pragma once

#include "lorvex/capi/ref.hpp"

namespace lorvex::py {

// Calls `work` without the GIL and takes it back however `work` ends. `work` must not touch
// Python objects or state shared between threads.
template <typename Work>
decltype(auto) without_gil(Work&& work) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    return work();
}

}  // namespace lorvex::py
