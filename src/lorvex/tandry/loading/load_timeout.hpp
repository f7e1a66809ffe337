// The error of a load that its caller's deadline overtook.
#pragma once

#include "lorvex/capi/ref.hpp"
#include "lorvex/tandry/planning/requests.hpp"

namespace lorvex::tandry {

// TimeoutError naming the video, the frames that the workers still running were to write
// (each worker of a one-shot load writes the request's frames of its interval, in order) and
// those workers: "<video>: the load did not finish within 2.5 s; frames still missing:
// 0-15, 40; workers not finished: lorvex worker 0 (pid 1234)".
[[noreturn]] void raise_one_shot_timeout(PyObject* video_path, double timeout, PyObject* processes,
                                         PyObject* intervals, const Requests& requests,
                                         const char* program);

}  // namespace lorvex::tandry
