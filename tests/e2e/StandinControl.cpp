#include "StandinControl.h"

#include <ws2tcpip.h>

#include <stdexcept>

namespace qel {

StandinControl::StandinControl(std::uint16_t port) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("WSAStartup failed.");
    }
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ == INVALID_SOCKET ||
        ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = WSAGetLastError();
        if (socket_ != INVALID_SOCKET) {
            closesocket(socket_);
        }
        WSACleanup();
        throw std::runtime_error("Cannot reach the stand-in's control port (" + std::to_string(code) + ").");
    }
}

StandinControl::~StandinControl() {
    closesocket(socket_);
    WSACleanup();
}

std::string StandinControl::command(const std::string& line) {
    const std::string out = line + "\n";
    if (::send(socket_, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) {
        throw std::runtime_error("Control command not sent: " + line);
    }
    std::string::size_type end;
    while ((end = pending_.find('\n')) == std::string::npos) {
        char chunk[512];
        const int got = ::recv(socket_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            throw std::runtime_error("The stand-in closed the control line after: " + line);
        }
        pending_.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string reply = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (reply.rfind("ok", 0) != 0) {
        throw std::runtime_error("Control command \"" + line + "\" answered: " + reply);
    }
    return reply.size() > 3 ? reply.substr(3) : std::string();
}

}  // namespace qel
