// Pickles made by CPython itself, as the loaders make them (pickle.dumps through the module's
// late-bound `pickle`, then base64): the other end of the workers' pickle reader, so that the
// tests never keep a copy of the format by hand.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lorvex/protocol/pickle_reader.hpp"

namespace lorvex::testing {

// The interpreter: $LORVEX_TEST_PYTHON (the project's environment, as `make test-cpp` sets it),
// else python3.
inline std::string test_python() {
    const char* chosen = std::getenv("LORVEX_TEST_PYTHON");
    return chosen != nullptr && *chosen != '\0' ? chosen : "python3";
}

// base64.b64encode(pickle.dumps(<expression>, protocol=kPickleProtocol)) for each named
// expression, from one run of the interpreter: the text a command line carries. An expression
// may be `protocol(N, value)` for another protocol.
inline std::map<std::string, std::string> cpython_pickles(
    const std::map<std::string, std::string>& expressions) {
    char script_path[] = "/tmp/lorvex-pickles-XXXXXX";
    const int script = mkstemp(script_path);
    EXPECT_GE(script, 0);
    close(script);
    {
        std::ofstream out(script_path);
        out << "import base64, pickle\n"
               "class protocol:\n"
               "    def __init__(self, number, value):\n"
               "        self.number, self.value = number, value\n"
               "def pickled(value):\n"
               "    if isinstance(value, protocol):\n"
               "        return pickle.dumps(value.value, protocol=value.number)\n"
               "    return pickle.dumps(value, protocol="
            << kPickleProtocol << ")\n";
        for (const auto& [name, expression] : expressions) {
            out << "print(" << '"' << name << "\", base64.b64encode(pickled(" << expression
                << ")).decode())\n";
        }
    }
    const std::string command = test_python() + " " + script_path;
    std::map<std::string, std::string> pickles;
    struct Closer {
        void operator()(std::FILE* pipe) const noexcept { pclose(pipe); }
    };
    std::unique_ptr<std::FILE, Closer> pipe(popen(command.c_str(), "r"));
    EXPECT_TRUE(pipe) << command;
    std::string output;
    char buffer[65536];
    while (pipe) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe.get());
        if (got == 0) break;
        output.append(buffer, got);
    }
    pipe.reset();
    std::remove(script_path);
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = output.find('\n', start);
        const std::string line = output.substr(start, end - start);
        const std::size_t space = line.find(' ');
        pickles[line.substr(0, space)] = line.substr(space + 1);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    EXPECT_EQ(pickles.size(), expressions.size())
        << "the interpreter made " << pickles.size() << " of " << expressions.size() << " pickles";
    return pickles;
}

}  // namespace lorvex::testing
