// Advice to the kernel about the two large buffers of a one-shot load, so that their pages
// come into being in a few large steps rather than one fault at a time. Each step is short
// enough that a signal (Ctrl-C) is acted on between steps, whose handler's exception ends the
// load. Best effort: an object without a contiguous buffer, or a kernel without the advice,
// is left as it is.
#pragma once

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// For the output array before the copy writes it: huge pages where the system gives them on
// request (numpy asks for them too, but need not), and every page made writable now, while
// the workers decode, instead of by faults inside the copy once they are done.
void prepare_for_writing(PyObject* array);

// For the frames block before the copy reads it: maps all its pages into this process in one
// call. A read fault maps 16 pages of a shared block at a time (830 MiB: 13,000 faults).
void prepare_for_reading(PyObject* block_view);

}  // namespace lorvex::tandry
