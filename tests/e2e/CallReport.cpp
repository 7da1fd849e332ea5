#include "CallReport.h"

#include <cstdio>

#include "PacketHeaders.h"

namespace qel {

void CallReport::call(const std::string& what, std::int32_t status, const std::string& results) {
    std::printf("%-66s -> %s (%d)%s%s\n", what.c_str(), statusName(status), status, results.empty() ? "" : "  ",
                results.c_str());
    std::fflush(stdout);
}

void CallReport::expect(bool ok, const std::string& what) {
    if (!ok) {
        ++mismatches_;
        std::printf("    MISMATCH: expected %s\n", what.c_str());
        std::fflush(stdout);
    }
}

void CallReport::expectStatus(std::int32_t status, std::int32_t wanted) {
    expect(status == wanted, statusName(wanted));
}

int CallReport::finish(const char* name) const {
    if (mismatches_ == 0) {
        std::printf("%s passed: every result as expected.\n", name);
    } else {
        std::printf("%s FAILED: %d mismatch(es).\n", name, mismatches_);
    }
    std::fflush(stdout);
    return mismatches_ == 0 ? 0 : 1;
}

std::string quoted(const char* text) { return std::string("\"") + text + "\""; }

}  // namespace qel
