#include "BridgeClient.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "Limits.h"
#include "PacketHeaders.h"
#include "Utf8.h"

namespace qel {

namespace {

constexpr wchar_t USER_AGENT[] = L"Tarnwick Remote VCI Client/1.0";
constexpr wchar_t PATH_SUFFIX[] = L"/vci/ws?station=";
constexpr DWORD HOST_ROOM = 512;
constexpr DWORD PATH_ROOM = 2048;
constexpr DWORD RECEIVE_BUFFER_BYTES = 65536;
constexpr std::size_t MAX_REQUEST_MESSAGE = REQUEST_HEADER_BYTES + std::size_t{MAX_PAYLOAD_BYTES};

std::wstring winError(const wchar_t* what, DWORD code)
{
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = std::wstring(what) + L" failed (" + std::to_wstring(code) + L")";
    if (text != nullptr) {
        result += L": ";
        result += text;
        LocalFree(text);
    }
    return result;
}

// Reads the thread's error right away, before anything else can change it.
[[noreturn]] void throwWinError(const wchar_t* what)
{
    const DWORD code = GetLastError();
    throw std::runtime_error(utf8(winError(what, code)));
}

std::string base64(const std::string& bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
        std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (count > 1) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (count > 2) group |= static_cast<std::uint8_t>(bytes[i + 2]);
        text += alphabet[(group >> 18) & 0x3F];
        text += alphabet[(group >> 12) & 0x3F];
        text += count > 1 ? alphabet[(group >> 6) & 0x3F] : '=';
        text += count > 2 ? alphabet[group & 0x3F] : '=';
    }
    return text;
}

std::wstring percentEncode(const std::string& bytes)
{
    static constexpr wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_';
        if (unreserved) {
            text += static_cast<wchar_t>(byte);
        } else {
            text += L'%';
            text += digits[byte >> 4];
            text += digits[byte & 0x0F];
        }
    }
    return text;
}

bool isLocalHost(const std::wstring& host)
{
    return host == L"localhost" || host == L"127.0.0.1" || host == L"::1";
}

std::wstring basePath(std::wstring path)
{
    if (path.empty()) path = L"/";
    while (path.size() > 1 && path.back() == L'/') path.pop_back();
    return path == L"/" ? std::wstring() : path;
}

}  // namespace

void InternetHandle::reset(HINTERNET handle)
{
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
    handle_ = handle;
}

BridgeClient::BridgeClient(BridgeSettings settings, LogCallback log)
    : settings(std::move(settings)), log(std::move(log)), executor(this->settings.libraryPath)
{
}

BridgeClient::~BridgeClient()
{
    stop();
    closeHandles();
}

HINTERNET BridgeClient::connectWebSocket()
{
    std::vector<wchar_t> host(HOST_ROOM);
    std::vector<wchar_t> path(PATH_ROOM);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = HOST_ROOM - 1;
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = PATH_ROOM - 1;
    if (!WinHttpCrackUrl(settings.serverUrl.c_str(), 0, 0, &parts)) throwWinError(L"WinHttpCrackUrl");

    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    const std::wstring hostName(parts.lpszHostName, parts.dwHostNameLength);
    if (!secure && !isLocalHost(hostName)) throw std::runtime_error("HTTPS is required for remote connections.");

    const std::wstring requestPath = basePath(std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength)) +
                                     PATH_SUFFIX + percentEncode(utf8(settings.stationId));

    session.reset(WinHttpOpen(USER_AGENT, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) throwWinError(L"WinHttpOpen");
    WinHttpSetTimeouts(session.get(), 15000, 15000, 30000, 90000);

    connection.reset(WinHttpConnect(session.get(), hostName.c_str(), parts.nPort, 0));
    if (!connection) throwWinError(L"WinHttpConnect");

    request.reset(WinHttpOpenRequest(connection.get(), L"GET", requestPath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) throwWinError(L"WinHttpOpenRequest");

    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))
        throwWinError(L"Enable WebSocket");
    // A redirect would carry the Basic credentials to whatever host it names,
    // past the HTTPS rule above; a 3xx is refused like any other status.
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects)))
        throwWinError(L"Disable redirects");

    const std::string credentials = utf8(settings.username) + ":" + utf8(settings.password);
    const std::wstring headers =
        L"Authorization: Basic " + wide(base64(credentials)) + L"\r\nX-QEL-Client-Version: 1\r\n";
    if (!WinHttpAddRequestHeaders(request.get(), headers.c_str(), static_cast<DWORD>(-1),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        throwWinError(L"Add authorization header");

    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        throwWinError(L"WinHttpSendRequest");
    if (!WinHttpReceiveResponse(request.get(), nullptr)) throwWinError(L"WinHttpReceiveResponse");

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    if (status != 101)
        throw std::runtime_error("Server rejected the VCI connection with HTTP " + std::to_string(status) + ".");

    HINTERNET socket = WinHttpWebSocketCompleteUpgrade(request.get(), 0);
    if (socket == nullptr) throwWinError(L"WinHttpWebSocketCompleteUpgrade");
    request.reset();
    return socket;
}

void BridgeClient::run()
{
    try {
        // The lock is not held through the handshake: nothing ends a handshake
        // with a server that never answers, and stop must not wait for it.
        if (adoptWebSocket(connectWebSocket())) {
            log(L"Authenticated. Waiting for Vyr Corvell requests for station '" + settings.stationId + L"'.");
            serveRequests();
        }
    } catch (const std::exception& error) {
        if (!stopRequested) log(L"Connection error: " + wide(error.what()));
    }
    releaseLibrary();
    closeHandles();
    log(L"Disconnected.");
}

// A stop that came during the handshake found no WebSocket to close: the
// server registered the station all the same, so it gets its close frame here.
bool BridgeClient::adoptWebSocket(HINTERNET socket)
{
    std::lock_guard lock(handleMutex);
    webSocket.reset(socket);
    if (!stopRequested) return true;
    WinHttpWebSocketShutdown(webSocket.get(), WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
    return false;
}

void BridgeClient::serveRequests()
{
    std::vector<std::uint8_t> message;
    message.reserve(RECEIVE_BUFFER_BYTES);
    std::vector<std::uint8_t> received(RECEIVE_BUFFER_BYTES);

    while (!stopRequested) {
        DWORD count = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
        const DWORD result =
            WinHttpWebSocketReceive(webSocket.get(), received.data(), RECEIVE_BUFFER_BYTES, &count, &type);
        if (result != NO_ERROR) {
            if (!stopRequested) log(L"WebSocket receive ended with error " + std::to_wstring(result) + L".");
            return;
        }
        if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) return;
        if (type != WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE &&
            type != WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE)
            continue;

        if (count > MAX_REQUEST_MESSAGE - message.size())
            throw std::runtime_error("Request packet exceeds the bridge limit.");
        message.insert(message.end(), received.begin(), received.begin() + count);
        if (type == WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE) continue;

        // Set before the stop flag is read: once a stop has been asked for, a
        // clear flag means that no vendor call runs and none will start.
        executing = true;
        if (stopRequested) {
            executing = false;
            return;
        }
        std::vector<std::uint8_t> response = executor.execute(message);
        executing = false;
        message.clear();
        const DWORD sent = WinHttpWebSocketSend(webSocket.get(), WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE,
                                                response.data(), static_cast<DWORD>(response.size()));
        if (sent != NO_ERROR) throw std::runtime_error("WebSocket send failed with error " + std::to_string(sent));
    }
}

void BridgeClient::stop()
{
    stopRequested.exchange(true);
    std::lock_guard lock(handleMutex);
    // Only sends the close frame: the pending receive gets the server's answer,
    // and the caller never waits for a server that does not give one.
    if (webSocket) WinHttpWebSocketShutdown(webSocket.get(), WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
}

void BridgeClient::releaseLibrary()
{
    std::lock_guard lock(libraryMutex);
    executor.releaseLibrary();
}

void BridgeClient::closeHandles()
{
    std::lock_guard lock(handleMutex);
    webSocket.reset();
    request.reset();
    connection.reset();
    session.reset();
}

}  // namespace qel
