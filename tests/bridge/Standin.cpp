#include "Standin.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "PacketHeaders.h"

namespace qel::test {

namespace {

void startWinsock()
{
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}

}  // namespace

std::uint16_t standinPort(const char* side)
{
    const std::string name = std::string("QEL_STANDIN_") + side + "_PORT";
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) throw std::runtime_error(name + " is not set; run the test through with_standin.py");
    return static_cast<std::uint16_t>(std::stoul(value));
}

std::string toHex(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::vector<std::uint8_t> fromHex(const std::string& text)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

Link::Link(std::uint16_t port)
{
    startWinsock();
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) throw std::runtime_error("socket failed");
    const DWORD timeout = 60000;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(socket_);
        throw std::runtime_error("cannot reach the stand-in on port " + std::to_string(port));
    }
}

Link::~Link()
{
    closesocket(socket_);
}

void Link::sendAll(const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const int sent = send(socket_, bytes, static_cast<int>(size), 0);
        if (sent <= 0) throw std::runtime_error("send to the stand-in failed");
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

std::vector<std::uint8_t> Link::receiveExactly(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    std::size_t have = 0;
    while (have < size) {
        const int got = recv(socket_, reinterpret_cast<char*>(bytes.data() + have), static_cast<int>(size - have), 0);
        if (got <= 0) break;
        have += static_cast<std::size_t>(got);
    }
    bytes.resize(have);
    return bytes;
}

std::string Link::receiveLine()
{
    std::string line;
    char c = 0;
    while (recv(socket_, &c, 1, 0) == 1 && c != '\n') line += c;
    return line;
}

Control::Control() : link_(standinPort("CONTROL")) {}

std::string Control::answer(const std::string& command)
{
    const std::string line = command + "\n";
    link_.sendAll(line.data(), line.size());
    return link_.receiveLine();
}

std::string Control::operator()(const std::string& command)
{
    const std::string answer = this->answer(command);
    if (answer == "ok") return "";
    if (answer.rfind("ok ", 0) == 0) return answer.substr(3);
    ADD_FAILURE() << "stand-in command '" << command.substr(0, 80) << "' answered '" << answer << "'";
    return "error";
}

Relay::Relay(const std::string& station) : link_(standinPort("RELAY"))
{
    PacketWriter handshake;
    handshake.bytes("QELH", 4);
    handshake.u16(1);
    handshake.u16(static_cast<std::uint16_t>(station.size()));
    handshake.bytes(station.data(), static_cast<std::uint32_t>(station.size()));
    link_.sendAll(handshake.buffer().data(), handshake.buffer().size());
}

std::vector<std::uint8_t> Relay::exchange(const std::vector<std::uint8_t>& request)
{
    link_.sendAll(request.data(), request.size());
    std::vector<std::uint8_t> response = link_.receiveExactly(RESPONSE_HEADER_BYTES);
    if (response.size() < RESPONSE_HEADER_BYTES) return response;
    const ResponseHeader header = parseResponseHeader(response.data(), RESPONSE_HEADER_BYTES);
    const std::vector<std::uint8_t> payload = link_.receiveExactly(header.payloadLength);
    response.insert(response.end(), payload.begin(), payload.end());
    return response;
}

ClientRun::ClientRun(BridgeSettings settings, LogCallback observer)
    : observer_(std::move(observer)), client_(std::move(settings), [this](const std::wstring& line) { append(line); })
{
}

ClientRun::~ClientRun()
{
    if (worker_.joinable()) {
        client_.stop();
        worker_.join();
    }
}

void ClientRun::start()
{
    worker_ = std::thread([this] {
        client_.run();
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    });
}

void ClientRun::append(const std::wstring& line)
{
    if (observer_) observer_(line);
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    changed_.notify_all();
}

bool ClientRun::waitForLine(const std::wstring& line, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& seen : lines_)
            if (seen == line) return true;
        return false;
    });
}

bool ClientRun::waitForLines(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
}

bool ClientRun::waitFinished(std::chrono::milliseconds timeout)
{
    bool done = false;
    {
        std::unique_lock lock(mutex_);
        done = changed_.wait_for(lock, timeout, [&] { return finished_; });
    }
    if (done) worker_.join();
    return done;
}

std::vector<std::wstring> ClientRun::lines()
{
    std::lock_guard lock(mutex_);
    return lines_;
}

BridgeSettings standinSettings(const std::wstring& station, const std::wstring& path)
{
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(standinPort("BRIDGE")) + path;
    return BridgeSettings{url, L"mech", L"bench", station, L"C:\\absent\\vendor.dll"};
}

std::wstring waitingLine(const std::wstring& station)
{
    return L"Authenticated. Waiting for Vyr Corvell requests for station '" + station + L"'.";
}

}  // namespace qel::test
