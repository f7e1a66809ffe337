#include "lorvex/tandry/loading/memory_advice.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "lorvex/capi/gil.hpp"

namespace lorvex::tandry {
namespace {

// Linux 5.14 and later; older kernels refuse the advice, which changes nothing.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// The buffer of `object`, released when this goes; empty when it has none to give.
class ExportedBuffer {
  public:
    ExportedBuffer(PyObject* object, int flags) {
        if (PyObject_GetBuffer(object, &view_, flags) == 0) {
            held_ = true;
        } else {
            PyErr_Clear();
        }
    }
    ExportedBuffer(const ExportedBuffer&) = delete;
    ExportedBuffer& operator=(const ExportedBuffer&) = delete;
    ~ExportedBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // The whole pages the buffer lies on: advice applies to pages, and the pages at the ends
    // belong to the same mapping.
    bool pages(void*& start, std::size_t& length) const {
        if (!held_ || view_.len <= 0) return false;
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto first = reinterpret_cast<std::uintptr_t>(view_.buf) & ~(page - 1);
        const auto end =
            reinterpret_cast<std::uintptr_t>(view_.buf) + static_cast<std::uintptr_t>(view_.len);
        start = reinterpret_cast<void*>(first);
        length = end - first;
        return true;
    }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// Gives `advice` for [start, start + length) a step at a time, the signal handlers run between
// steps: one call for a large output cannot be interrupted, and Ctrl-C would wait for it.
void advise_in_steps(void* start, std::size_t length, int advice) {
    constexpr std::size_t kStep = std::size_t{32} << 20;
    auto* const first = static_cast<std::uint8_t*>(start);
    for (std::size_t done = 0; done < length; done += kStep) {
        const std::size_t step = std::min(kStep, length - done);
        py::without_gil([&] { (void)madvise(first + done, step, advice); });
        py::check_status(PyErr_CheckSignals());
    }
}

}  // namespace

void prepare_for_writing(PyObject* array) {
    const ExportedBuffer buffer(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    void* start = nullptr;
    std::size_t length = 0;
    if (!buffer.pages(start, length)) return;
    (void)madvise(start, length, MADV_HUGEPAGE);
    advise_in_steps(start, length, MADV_POPULATE_WRITE);
}

void prepare_for_reading(PyObject* block_view) {
    const ExportedBuffer buffer(block_view, PyBUF_C_CONTIGUOUS);
    void* start = nullptr;
    std::size_t length = 0;
    if (!buffer.pages(start, length)) return;
    advise_in_steps(start, length, MADV_POPULATE_READ);
}

}  // namespace lorvex::tandry
