// Test helper: did a call refuse its input with the expected kind of error and message?
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace lorvex::testing {

// Success when `call` throws `Error` whose message contains `fragment`.
template <typename Error, typename Call>
::testing::AssertionResult refuses(Call&& call, std::string_view fragment) {
    try {
        call();
    } catch (const Error& error) {
        const std::string message = error.what();
        if (message.find(fragment) != std::string::npos) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "message \"" << message << "\" lacks \"" << fragment << "\"";
    }
    return ::testing::AssertionFailure()
           << "accepted; expected a refusal with \"" << fragment << "\"";
}

}  // namespace lorvex::testing
