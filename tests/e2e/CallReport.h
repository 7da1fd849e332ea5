// Prints one line per PassThru call (the call, its status, its results) and
// keeps count of the results that differ from what was expected.
#pragma once

#include <cstdint>
#include <string>

namespace qel {

class CallReport {
public:
    void call(const std::string& what, std::int32_t status, const std::string& results = "");
    void expect(bool ok, const std::string& what);
    void expectStatus(std::int32_t status, std::int32_t wanted);
    // A closing line; returns the exit code: 0 when everything matched.
    int finish(const char* name) const;

private:
    int mismatches_ = 0;
};

std::string quoted(const char* text);

}  // namespace qel
