// The frame tables this process has made, by file, so that a load right after a probe of the
// same file hands its workers the table without reading the file again.
#pragma once

#include <optional>
#include <string>

#include "lorvex/protocol/frame_table_file.hpp"

namespace lorvex::container {

void remember_frame_table(const std::string& url, const IdentifiedTable& table);

// The encoded table of `url`'s first video stream, if one was made from the file as it is.
std::optional<std::string> remembered_frame_table(const std::string& url,
                                                  const FileIdentity& identity);

}  // namespace lorvex::container
