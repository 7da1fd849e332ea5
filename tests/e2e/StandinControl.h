// The control line of the loopback relay/bridge stand-in: one command line
// out, one reply line back ("ok ..." or "error ..."), over loopback TCP.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>

namespace qel {

class StandinControl {
public:
    // Throws std::runtime_error when the stand-in cannot be reached.
    explicit StandinControl(std::uint16_t port);
    ~StandinControl();
    StandinControl(const StandinControl&) = delete;
    StandinControl& operator=(const StandinControl&) = delete;

    // Returns what follows "ok"; throws with the stand-in's reply otherwise.
    std::string command(const std::string& line);

private:
    SOCKET socket_ = INVALID_SOCKET;
    std::string pending_;
};

}  // namespace qel
