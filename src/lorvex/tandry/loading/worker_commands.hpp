// The pieces of the workers' command lines: everything a worker gets is text.
#pragma once

#include <initializer_list>

#include "lorvex/capi/ref.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/tandry/loading/load_preparation.hpp"

namespace lorvex::tandry {

inline constexpr const char* one_shot_program = names::kOneShotProgram.data();
inline constexpr const char* interleaved_program = names::kInterleavedProgram.data();

// What every worker of one load is told besides its own part of the plan.
struct WorkerLoad {
    PyObject* video_path;
    PyObject* frames_name;
    PyObject* rows_item;  // the encoded row map, or the reference to the memory file holding it
    PyObject* height;
    PyObject* width;
    PyObject* num_frames;
    PyObject* interpolation;
    PyObject* pass_fds;  // descriptors the workers inherit, or nullptr
};

// One `lorvex` per item of `intervals` (each unpacked into exactly three values), started in
// order with the 14 items of its command line.
void start_one_shot_workers(PyObject* module, PyObject* processes, PyObject* intervals,
                            const Plan& plan, const WorkerLoad& load);

// One `lorvex_interleaved` per share (`share_count` of them), each told the whole share list
// (`shares_item`) and its own number, and the check block's name last.
void start_interleaved_workers(PyObject* module, PyObject* processes, Py_ssize_t share_count,
                               PyObject* shares_item, PyObject* check_name, const Plan& plan,
                               const WorkerLoad& load);

}  // namespace lorvex::tandry
