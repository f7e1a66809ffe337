#include "lorvex/engine/load_messages.hpp"

#include <utility>

namespace lorvex::engine {

std::string runs_of(const std::vector<std::int64_t>& numbers, std::size_t listed) {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    for (const std::int64_t number : numbers) {
        if (!runs.empty() && runs.back().second + 1 == number) {
            runs.back().second = number;
        } else {
            runs.emplace_back(number, number);
        }
    }
    if (runs.empty()) return "none";
    std::string text;
    for (std::size_t i = 0; i < runs.size() && i < listed; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(runs[i].first);
        if (runs[i].second > runs[i].first) {
            text += '-';
            text += std::to_string(runs[i].second);
        }
    }
    if (runs.size() > listed) {
        text += " and ";
        text += std::to_string(runs.size() - listed);
        text += " more runs";
    }
    return text;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += separator;
        text += parts[i];
    }
    return text;
}

}  // namespace lorvex::engine
