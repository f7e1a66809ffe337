// Command-line items too long for the kernel's per-argument limit (128 KiB on Linux) reach a
// worker through a memory file it inherits; the item then reads "@fd:<descriptor>".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lorvex/protocol/descriptor.hpp"

namespace lorvex {

// The item that names the inherited memory file open as `descriptor`.
std::string inherited_text_reference(int descriptor);

// True when `item` names an inherited memory file rather than holding the text itself.
bool is_inherited_text_reference(std::string_view item);

// The whole content of the inherited file open as `descriptor`, read without moving the
// offset the workers of one load share. Throws std::runtime_error with the reason when it is
// not open, not a regular file, larger than any item lorvex hands over, or cannot be read.
std::string read_inherited_file(int descriptor);

// A new memory file named `name` (memfd_create's name, close-on-exec) holding `content`,
// sealed against change: what a loader hands its workers and decoders. Throws
// std::system_error (the errno of the call that failed) "Could not create the memory file
// <name>: <reason>".
Descriptor new_memory_file(std::string_view name, std::string_view content);

// The descriptors of this process (stdin, stdout and stderr aside) that are memory files named
// `name` (memfd_create's name): how a worker finds the files the loader hands every worker
// alike. None without /proc.
std::vector<int> inherited_memory_files(std::string_view name);

// The whole content of the inherited file that `reference` names. Throws CommandLineError
// when the reference is malformed, the descriptor is not open, is not a regular file, or
// is larger than any encoded item can be.
std::string read_inherited_text(std::string_view reference);

}  // namespace lorvex
