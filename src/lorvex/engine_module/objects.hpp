// The types of lorvex._engine: their data, their specs, and the module state that holds them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <tuple>

#include "lorvex/capi/module_slots.hpp"
#include "lorvex/engine/load.hpp"
#include "lorvex/protocol/descriptor.hpp"

namespace lorvex::engine_module {

struct ModuleState {
    bool executed;  // false until the module is executed, which builds the state
    PyTypeObject* session_type;
    PyTypeObject* stream_type;
    PyTypeObject* rows_type;

    // The Python objects the state holds.
    auto held() noexcept { return std::tie(session_type, stream_type, rows_type); }
};

inline ModuleState& module_state(PyObject* module) noexcept {
    return py::state_of_module<ModuleState>(module);
}

// The state of the module that defined the type of `object`.
inline ModuleState& state_of(PyObject* object) noexcept {
    return py::state_of_type<ModuleState>(object);
}

// What messages call the video, and what its decoders open.
struct VideoNames {
    std::string path;  // as the decoders open it
    std::string name;  // as the caller knows it

    // `text` with the path said as the name (a video held in memory is opened by a path that
    // means nothing to its caller).
    std::string named(std::string text) const;
};

// Session: one video's warm decoders and what they need to start.
struct SessionData {
    VideoNames names;
    std::shared_ptr<engine::DecoderPool> pool;
    int decoders = 1;
    bool closed = false;
};

// Stream: a load whose rows are taken a chunk at a time while it goes on.
struct StreamData {
    VideoNames names;
    py::Ref session;  // kept open while the stream runs
    std::unique_ptr<engine::Load> load;
    std::optional<double> timeout;  // how long the stream may go without a new row
};

// Rows: the bytes of rows [first, end) of a load's memory, lent to numpy through the buffer
// protocol. A stream's rows give their pages back when the last view of them goes.
struct RowsData {
    std::shared_ptr<engine::FrameMemory> memory;
    std::size_t offset = 0;
    std::size_t length = 0;
    bool release_when_dropped = false;

    RowsData(std::shared_ptr<engine::FrameMemory> memory_, std::size_t offset_, std::size_t length_,
             bool release) noexcept
        : memory(std::move(memory_)),
          offset(offset_),
          length(length_),
          release_when_dropped(release) {}
    RowsData(RowsData&&) noexcept = default;
    RowsData& operator=(RowsData&&) = delete;
    ~RowsData() {
        if (release_when_dropped && memory) memory->release(offset, length);
    }
};

extern PyType_Spec session_spec;
extern PyType_Spec stream_spec;
extern PyType_Spec rows_spec;

py::Ref make_rows(ModuleState& state, std::shared_ptr<engine::FrameMemory> memory,
                  std::size_t offset, std::size_t length, bool release_when_dropped);

// Waits for rows [low, high) of `load`, acting on signals between short waits; raises
// RuntimeError with the decoders' reasons when one fails, TimeoutError past `deadline`
// ("<name>: <what timed out>; frames still missing: ..."), and whatever a signal handler
// raises. The load is abandoned when the wait fails.
void wait_for_rows(engine::Load& load, std::int64_t low, std::int64_t high,
                   const engine::Deadline& deadline, const VideoNames& names,
                   const char* overdue_words);

}  // namespace lorvex::engine_module
