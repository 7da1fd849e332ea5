// The text of the std::runtime_error that a call raises, so a table of cases
// can compare failure texts exactly.
#pragma once

#include <stdexcept>
#include <string>

namespace qel::testing {

template <typename F>
std::string failureOf(F&& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no failure>";
}

}  // namespace qel::testing
