// The life of a load's named shared-memory blocks on the loader's side, through the module's
// `shared_memory` and `np`: sized, checked for room, created, viewed as arrays, removed. A
// worker attaches them with protocol/shared_block.hpp.
#pragma once

#include <initializer_list>

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// The bytes of a block of uint8 values of `shape`, as numpy counts them:
// np.zeros(shape, dtype=uint8).size (numpy's rules for a shape apply).
py::Ref block_size(PyObject* np, PyObject* shape, PyObject* uint8);
// Raises MemoryError, naming both figures, when the blocks of `sizes` (ints, in bytes) need
// more than the shared-memory file system can still give: creating them would succeed, and
// the workers would die of SIGBUS on their first write past the end. Nothing is checked when
// the file system cannot be asked.
void require_room(std::initializer_list<PyObject*> sizes);
// shared_memory.SharedMemory(create=True, size=size): the facility picks the name.
py::Ref create_block(PyObject* module, PyObject* size);
// shared_memory.SharedMemory(name=name, create=False)
py::Ref attach_block(PyObject* module, PyObject* name);
// np.ndarray(shape, dtype=dtype, buffer=block.buf). Drop the view before closing the block.
py::Ref view_block(PyObject* module, PyObject* block, PyObject* shape, PyObject* dtype);
// block.close(), then block.unlink().
void remove_block(PyObject* block);
// remove_block for each block that is not null; every one is tried, and the first failure
// propagates once all have been.
void remove_blocks(std::initializer_list<PyObject*> blocks);
// The block's name, attached afresh, closed and unlinked.
void remove_block_named(PyObject* module, PyObject* name);

}  // namespace lorvex::tandry
