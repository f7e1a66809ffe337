#include "lorvex/worker/decoder_service_inputs.hpp"

#include <algorithm>
#include <exception>
#include <iterator>
#include <optional>

namespace lorvex {

PreparedInput* ServiceInputs::for_file(const std::string& location, const std::string& path,
                                       const FileIdentity& file) {
    const auto kept = std::find_if(inputs_.begin(), inputs_.end(),
                                   [&](const PreparedInput& input) { return input.file == file; });
    if (kept != inputs_.end()) {
        if (kept != inputs_.begin()) std::rotate(inputs_.begin(), kept, std::next(kept));
        return &inputs_.front();
    }
    if (std::find(opened_fine_.begin(), opened_fine_.end(), file) == opened_fine_.end()) {
        return nullptr;
    }
    try {
        std::optional<PreparedInput> input = prepare_input(location, path);
        if (!input || !(input->file == file)) return nullptr;
        inputs_.push_front(std::move(*input));
        if (inputs_.size() > kKeptInputs) inputs_.pop_back();
        return &inputs_.front();
    } catch (const std::exception&) {
        return nullptr;
    }
}

void ServiceInputs::remember_opened_fine(const FileIdentity& file) {
    if (std::find(opened_fine_.begin(), opened_fine_.end(), file) != opened_fine_.end()) return;
    opened_fine_.push_front(file);
    if (opened_fine_.size() > kRememberedFiles) opened_fine_.pop_back();
}

}  // namespace lorvex
