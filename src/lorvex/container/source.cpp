#include "lorvex/container/source.hpp"

#include <utility>

namespace lorvex::container {

Source::Source(std::string url, std::string path)
    : url_(std::move(url)),
      path_(std::move(path)),
      opened_(std::make_unique<MediaFile>(url_, path_)),
      format_name_(opened_->format_name()),
      streams_(opened_->streams()) {}

}  // namespace lorvex::container
