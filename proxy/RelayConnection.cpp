#include "RelayConnection.h"

#include <ws2tcpip.h>

#include <atomic>
#include <string>

#include "Payload.h"
#include "ProxySettings.h"
#include "Utf8.h"

namespace qel {

CRITICAL_SECTION g_lock;
SOCKET g_socket = INVALID_SOCKET;

namespace {

constexpr std::size_t LAST_ERROR_BYTES = 1024;
constexpr std::size_t CALLER_TEXT_BYTES = 80;
constexpr std::size_t MAX_SEND_CHUNK = 0x100000;

// The text is written from every thread, inside and outside g_lock; a lock of
// its own keeps a reader from seeing half of two texts. A slim lock needs no
// set-up, so attaching still creates only g_lock.
char g_lastError[LAST_ERROR_BYTES] = "No error.";
SRWLOCK g_lastErrorLock = SRWLOCK_INIT;

bool g_winsockStarted = false;

std::uint64_t mixed(std::uint64_t value) {
    value ^= value >> 30;
    value *= 0xBF58476D1CE4E5B9u;
    value ^= value >> 27;
    value *= 0x94D049BB133111EBu;
    return value ^ (value >> 31);
}

// Quorvane answers a request equal to one it answered lately, id included,
// from the stored reply. Were every load to count from the same id, the first
// request of a restarted tester (an Open, the same bytes each time) would get
// the answer given to the one before it, and two testers on one station would
// share answers. The process id tells apart testers that run at the same
// time, the performance counter loads one after another, also in one process;
// the mix spreads them over all ids.
std::uint32_t firstRequestId() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    std::uint64_t value = mixed(static_cast<std::uint64_t>(counter.QuadPart));
    value = mixed(value ^ GetCurrentProcessId());
    value = mixed(value ^ GetTickCount64());
    const auto id = static_cast<std::uint32_t>(value ^ (value >> 32));
    return id == 0 ? 1 : id;
}

class AddressList {
public:
    ~AddressList() {
        if (list_ != nullptr) {
            freeaddrinfo(list_);
        }
    }
    addrinfo** out() { return &list_; }
    const addrinfo* first() const { return list_; }

private:
    addrinfo* list_ = nullptr;
};

void setOption(SOCKET socket, int level, int name, DWORD value) {
    setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof(value));
}

SOCKET openFirstReachable(const addrinfo* entries) {
    for (const addrinfo* entry = entries; entry != nullptr; entry = entry->ai_next) {
        const SOCKET candidate = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (candidate == INVALID_SOCKET) {
            continue;
        }
        const DWORD timeout = relayTimeoutMs();
        setOption(candidate, SOL_SOCKET, SO_RCVTIMEO, timeout);
        setOption(candidate, SOL_SOCKET, SO_SNDTIMEO, timeout);
        setOption(candidate, IPPROTO_TCP, TCP_NODELAY, 1);
        if (connect(candidate, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0) {
            return candidate;
        }
        closesocket(candidate);
    }
    return INVALID_SOCKET;
}

bool sendHandshake(SOCKET socket, const std::string& station) {
    PacketWriter head;
    head.bytes("QELH", 4);
    head.u16(1);
    head.u16(static_cast<std::uint16_t>(station.size()));
    return sendAll(socket, head.buffer().data(), head.buffer().size()) &&
           sendAll(socket, reinterpret_cast<const std::uint8_t*>(station.data()), station.size());
}

}  // namespace

void setLastErrorText(const char* text) {
    AcquireSRWLockExclusive(&g_lastErrorLock);
    lstrcpynA(g_lastError, text[0] == '\0' ? "Unknown error." : text, LAST_ERROR_BYTES);
    ReleaseSRWLockExclusive(&g_lastErrorLock);
}

void copyLastErrorText(char* destination) {
    AcquireSRWLockShared(&g_lastErrorLock);
    lstrcpynA(destination, g_lastError, CALLER_TEXT_BYTES);
    ReleaseSRWLockShared(&g_lastErrorLock);
}

bool sendAll(SOCKET socket, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const int chunk = static_cast<int>(length < MAX_SEND_CHUNK ? length : MAX_SEND_CHUNK);
        const int sent = send(socket, reinterpret_cast<const char*>(bytes), chunk, 0);
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool connectToRelay() {
    if (g_socket != INVALID_SOCKET) {
        return true;
    }
    if (!g_winsockStarted) {
        WSADATA data{};
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            setLastErrorText("WSAStartup failed.");
            return false;
        }
        g_winsockStarted = true;
    }
    const std::string host = utf8(readStringSetting(L"Host", L"127.0.0.1"));
    const std::string port = std::to_string(readDwordSetting(L"Port", 28434));
    const std::string station = utf8(readStringSetting(L"StationId", L"VYR-SERVER"));
    if (station.size() < 3 || station.size() > 64) {
        setLastErrorText("Remote VCI StationId is invalid.");
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList addresses;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, addresses.out()) != 0) {
        setLastErrorText("Unable to resolve the Ubuntu Corvell host.");
        return false;
    }
    const SOCKET connected = openFirstReachable(addresses.first());
    if (connected == INVALID_SOCKET) {
        setLastErrorText("Cannot connect to Ubuntu Corvell on localhost.");
        return false;
    }
    if (!sendHandshake(connected, station)) {
        closesocket(connected);
        setLastErrorText("Corvell handshake failed.");
        return false;
    }
    g_socket = connected;
    return true;
}

void closeRelaySocket() {
    if (g_socket != INVALID_SOCKET) {
        shutdown(g_socket, SD_BOTH);
        closesocket(g_socket);
        g_socket = INVALID_SOCKET;
    }
}

// Seeded by the first call, not when the library is attached: that stays as
// cheap as creating the lock.
std::uint32_t takeRequestId() {
    static std::atomic<std::uint32_t> nextRequestId{firstRequestId()};
    const std::uint32_t id = nextRequestId.fetch_add(1);
    // 0 names the reply to a request whose header could not be read.
    return id != 0 ? id : nextRequestId.fetch_add(1);
}

void attachProcess() { InitializeCriticalSection(&g_lock); }

void detachProcess() {
    {
        const RelayLock lock;
        closeRelaySocket();
    }
    if (g_winsockStarted) {
        WSACleanup();
    }
    DeleteCriticalSection(&g_lock);
}

}  // namespace qel
