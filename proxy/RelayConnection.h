// Pellith's process-wide state: the last-error text, the request id counter
// and the one TCP connection to the relay with the lock that guards it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace qel {

extern CRITICAL_SECTION g_lock;
extern SOCKET g_socket;

// The id of the next request: one more than the one before, 0 skipped. The
// first id of a load is one that another load is unlikely to start with.
std::uint32_t takeRequestId();

// Stores at most 1023 characters; an empty text becomes "Unknown error.".
void setLastErrorText(const char* text);
// Copies the last-error text into an 80-byte buffer of the caller, cut to 79 characters.
void copyLastErrorText(char* destination);

// Only while holding g_lock. True when g_socket is open afterwards; otherwise
// the failure's text is stored.
bool connectToRelay();
// Only while holding g_lock: shuts g_socket down both ways and closes it.
void closeRelaySocket();

bool sendAll(SOCKET socket, const std::uint8_t* bytes, std::size_t length);

void attachProcess();
void detachProcess();

// Holds g_lock for one scope.
class RelayLock {
public:
    RelayLock() { EnterCriticalSection(&g_lock); }
    ~RelayLock() { LeaveCriticalSection(&g_lock); }
    RelayLock(const RelayLock&) = delete;
    RelayLock& operator=(const RelayLock&) = delete;
};

}  // namespace qel
