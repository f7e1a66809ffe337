// The one exception type for a worker command line that cannot be trusted.
#pragma once

#include <stdexcept>

namespace lorvex {

// Thrown for any bad command line; what() is a one-line human-readable reason naming the item.
class CommandLineError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace lorvex
