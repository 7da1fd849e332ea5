// Quorvane's window: the connection form above the log, and the program entry.
#include "ConnectionWorker.h"
#include "LogCallback.h"
#include "SdconnectNetwork.h"
#include "Settings.h"
#include "VciDiscovery.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr wchar_t WINDOW_CLASS[] = L"QELRemoteVciClientWindow";
constexpr wchar_t CAPTION[] = L"Falkmere";
constexpr wchar_t SDCONNECT_IPLAN[] = L"172.29.127.122";
constexpr wchar_t SDCONNECT_IPWIFI[] = L"192.168.2.199";
constexpr wchar_t STATUS_IDLE[] = L"Not connected";
constexpr wchar_t STATUS_CONNECTED[] = L"Connected / waiting for Vyr";

constexpr UINT_PTR GIVE_UP_TIMER = 1;
// How long a stopped worker may take to end before the window lets it go.
constexpr UINT GIVE_UP_MS = 2000;

enum ControlId : int {
    ID_SERVER = 100,
    ID_USERNAME = 101,
    ID_PASSWORD = 102,
    ID_STATION = 103,
    ID_MODE = 104,
    ID_VCI = 105,
    ID_SCAN = 106,
    ID_REMEMBER = 107,
    ID_CONNECT = 108,
    ID_DISCONNECT = 109,
    ID_STATUS = 110,
    ID_LOG = 111,
    ID_TITLE = 900,
    ID_FIRST_LABEL = 901,
    ID_STATUS_LABEL = 907,
    ID_HELP = 908,
};

HWND g_main = nullptr;
HFONT g_font = nullptr;
HFONT g_titleFont = nullptr;
HWND g_help = nullptr;
HWND g_server = nullptr;
HWND g_username = nullptr;
HWND g_password = nullptr;
HWND g_station = nullptr;
HWND g_mode = nullptr;
HWND g_vci = nullptr;
HWND g_scan = nullptr;
HWND g_remember = nullptr;
HWND g_connect = nullptr;
HWND g_disconnect = nullptr;
HWND g_status = nullptr;
HWND g_log = nullptr;

std::vector<qel::VciEntry> g_entries;

std::unique_ptr<qel::ConnectionWorker> g_connection;
// Set by the first WM_CLOSE that met a connection: the window goes when it ends.
bool g_closing = false;

HMENU controlId(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

HWND makeControl(const wchar_t* className, const wchar_t* text, DWORD style, int id) {
    const DWORD exStyle = std::wstring(className) == L"Edit" ? WS_EX_CLIENTEDGE : 0;
    HWND control = CreateWindowExW(exStyle, className, text, style | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, g_main,
                                   controlId(id), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), TRUE);
    return control;
}

HWND makePlainControl(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int id,
                      HFONT font) {
    HWND control = CreateWindowExW(exStyle, className, text, style | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, g_main,
                                   controlId(id), nullptr, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

std::wstring getText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    if (length != 0) GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    return text;
}

void appendLog(const std::wstring& line) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t prefix[32] = {};
    wsprintfW(prefix, L"[%02u:%02u:%02u] ", now.wHour, now.wMinute, now.wSecond);
    const int end = GetWindowTextLengthW(g_log);
    SendMessageW(g_log, EM_SETSEL, end, end);
    const std::wstring text = prefix + line + L"\r\n";
    SendMessageW(g_log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

bool j2534Selected() { return SendMessageW(g_mode, CB_GETCURSEL, 0, 0) == 1; }

const wchar_t* currentTypeLabel() { return j2534Selected() ? qel::J2534_LABEL : qel::SDCONNECT_LABEL; }

void scanRegistry() {
    const LRESULT selected = SendMessageW(g_vci, CB_GETCURSEL, 0, 0);
    const std::wstring remembered = selected >= 0 && static_cast<size_t>(selected) < g_entries.size()
                                        ? g_entries[static_cast<size_t>(selected)].libraryPath
                                        : std::wstring();

    g_entries.clear();
    std::set<std::wstring> seenPaths;
    qel::scanRoot(HKEY_LOCAL_MACHINE, seenPaths, g_entries);
    qel::scanRoot(HKEY_CURRENT_USER, seenPaths, g_entries);

    const bool keepSdconnect = !j2534Selected();
    std::erase_if(g_entries, [keepSdconnect](const qel::VciEntry& entry) {
        return qel::isSdconnectEntry(entry.name, entry.libraryPath) != keepSdconnect;
    });
    std::sort(g_entries.begin(), g_entries.end(), [](const qel::VciEntry& a, const qel::VciEntry& b) {
        return _wcsicmp(a.name.c_str(), b.name.c_str()) < 0;
    });

    const std::wstring label = currentTypeLabel();
    SendMessageW(g_vci, CB_RESETCONTENT, 0, 0);
    LRESULT keptIndex = -1;
    for (size_t i = 0; i < g_entries.size(); ++i) {
        const std::wstring item = g_entries[i].name + L" [" + label + L"]";
        SendMessageW(g_vci, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        if (!remembered.empty() && _wcsicmp(remembered.c_str(), g_entries[i].libraryPath.c_str()) == 0)
            keptIndex = static_cast<LRESULT>(i);
    }
    if (keptIndex < 0 && !g_entries.empty()) keptIndex = 0;
    SendMessageW(g_vci, CB_SETCURSEL, static_cast<WPARAM>(keptIndex), 0);

    appendLog(label + std::wstring(L" scan found ") + std::to_wstring(g_entries.size()) +
              L" usable 32-bit VCI DLL(s).");
}

void enableConnectionControls(bool connected) {
    EnableWindow(g_connect, !connected);
    EnableWindow(g_disconnect, connected);
    for (HWND control : {g_server, g_username, g_password, g_station, g_mode, g_vci, g_scan, g_remember})
        EnableWindow(control, !connected);
    SetWindowTextW(g_status, connected ? STATUS_CONNECTED : STATUS_IDLE);
}

void directLogCallback(const std::wstring& line) { appendLog(line); }

bool validStation(const std::wstring& station) {
    if (station.size() < 3 || station.size() > 64) return false;
    return std::all_of(station.begin(), station.end(), [](wchar_t c) {
        return std::iswalnum(c) || c == L'-' || c == L'.' || c == L'_';
    });
}

void showWarning(const wchar_t* text) { MessageBoxW(g_main, text, CAPTION, MB_ICONWARNING | MB_OK); }

void startConnection() {
    if (g_connection) return;
    const LRESULT selected = SendMessageW(g_vci, CB_GETCURSEL, 0, 0);

    qel::SavedConfig config;
    config.serverUrl = getText(g_server);
    config.username = getText(g_username);
    config.password = getText(g_password);
    config.stationId = getText(g_station);
    config.vciMode = currentTypeLabel();
    config.rememberPassword = SendMessageW(g_remember, BM_GETCHECK, 0, 0) == BST_CHECKED;

    if (selected < 0 || static_cast<size_t>(selected) >= g_entries.size()) {
        showWarning(L"Select an installed 32-bit physical J2534 VCI.");
        return;
    }
    const qel::VciEntry entry = g_entries[static_cast<size_t>(selected)];
    config.selectedDll = entry.libraryPath;

    if (config.serverUrl.empty() || config.username.empty() || config.password.empty() ||
        !validStation(config.stationId)) {
        showWarning(L"Enter the HTTPS server URL, username, password, and a valid 3-64 character station name.");
        return;
    }

    if (!j2534Selected()) {
        const qel::LogCallback log = directLogCallback;
        qel::configureSdconnectNetwork(entry.name, entry.libraryPath, SDCONNECT_IPLAN, SDCONNECT_IPWIFI, log);
    }
    qel::saveConfig(config);
    enableConnectionControls(true);
    appendLog(L"Opening " + config.vciMode + L": " + entry.name);

    qel::BridgeSettings settings{config.serverUrl, config.username, config.password, config.stationId,
                                 config.selectedDll};
    g_connection = std::make_unique<qel::ConnectionWorker>(std::move(settings), g_main);
}

void stopConnection() {
    g_connection->stop();
    SetTimer(g_main, GIVE_UP_TIMER, GIVE_UP_MS, nullptr);
}

void requestDisconnect() {
    if (!g_connection) return;
    appendLog(L"Disconnect requested.");
    stopConnection();
}

void finishConnection() {
    KillTimer(g_main, GIVE_UP_TIMER);
    g_connection.reset();
    if (g_closing) {
        DestroyWindow(g_main);
        return;
    }
    enableConnectionControls(false);
}

// A notification that finds nothing new does nothing.
void showWorkerNews() {
    if (!g_connection) return;
    bool ended = false;
    for (const std::wstring& line : g_connection->takeLines(ended)) appendLog(line);
    if (ended) finishConnection();
}

// The stopped worker has not ended in time: it hangs in WinHTTP. The window
// ends the connection as the worker would have; during a vendor call the
// timer fires again until the call has returned.
void giveUpConnection() {
    showWorkerNews();
    if (!g_connection || !g_connection->giveUp()) return;
    appendLog(L"Disconnected.");
    finishConnection();
}

void createControls() {
    constexpr DWORD LIST_STYLE = CBS_DROPDOWNLIST | WS_VSCROLL;
    constexpr DWORD LOG_STYLE = ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY | WS_VSCROLL | WS_HSCROLL;
    constexpr const wchar_t* LABELS[] = {L"Server URL", L"Username",     L"Password", L"Station",
                                         L"VCI Type",   L"Physical VCI", L"Status"};

    makePlainControl(0, L"Static", CAPTION, 0, ID_TITLE, g_titleFont);
    g_help = makePlainControl(
        0, L"Static", L"Connect your local SDconnect or J2534 Passthru.04.04 VCI to the server Corvell session.", 0,
        ID_HELP, g_font);
    for (int i = 0; i < 7; ++i) makePlainControl(0, L"Static", LABELS[i], 0, ID_FIRST_LABEL + i, g_font);

    g_server = makeControl(L"Edit", L"", ES_AUTOHSCROLL, ID_SERVER);
    g_username = makeControl(L"Edit", L"", ES_AUTOHSCROLL, ID_USERNAME);
    g_password = makeControl(L"Edit", L"", ES_AUTOHSCROLL | ES_PASSWORD, ID_PASSWORD);
    g_station = makeControl(L"Edit", L"", ES_AUTOHSCROLL, ID_STATION);
    g_mode = makeControl(L"ComboBox", L"", LIST_STYLE, ID_MODE);
    SendMessageW(g_mode, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(qel::SDCONNECT_LABEL));
    SendMessageW(g_mode, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(qel::J2534_LABEL));
    SendMessageW(g_mode, CB_SETCURSEL, 0, 0);
    g_vci = makeControl(L"ComboBox", L"", LIST_STYLE, ID_VCI);
    g_scan = makeControl(L"Button", L"Scan Registry", BS_PUSHBUTTON, ID_SCAN);
    g_remember = makeControl(L"Button", L"Remember password", BS_AUTOCHECKBOX, ID_REMEMBER);
    g_connect = makeControl(L"Button", L"Connect", BS_DEFPUSHBUTTON, ID_CONNECT);
    g_disconnect = makeControl(L"Button", L"Disconnect", BS_PUSHBUTTON, ID_DISCONNECT);
    g_status = makeControl(L"Static", STATUS_IDLE, SS_LEFT, ID_STATUS);
    g_log = makePlainControl(WS_EX_CLIENTEDGE, L"Edit", L"", LOG_STYLE, ID_LOG, g_font);
    // At its default limit of about 32K characters the edit control silently
    // refuses appended text; the log must keep every line for the window's life.
    SendMessageW(g_log, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
}

void onCreate(HWND window) {
    g_main = window;
    g_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW titleFont{};
    GetObjectW(g_font, sizeof(titleFont), &titleFont);
    titleFont.lfHeight = -22;
    titleFont.lfWeight = FW_BOLD;
    g_titleFont = CreateFontIndirectW(&titleFont);

    createControls();
    EnableWindow(g_disconnect, FALSE);

    const qel::SavedConfig config = qel::loadConfig();
    SetWindowTextW(g_server, config.serverUrl.c_str());
    SetWindowTextW(g_username, config.username.c_str());
    SetWindowTextW(g_password, config.password.c_str());
    SetWindowTextW(g_station, config.stationId.c_str());
    SendMessageW(g_mode, CB_SETCURSEL, config.vciMode == qel::J2534_LABEL ? 1 : 0, 0);
    SendMessageW(g_remember, BM_SETCHECK, config.rememberPassword ? BST_CHECKED : BST_UNCHECKED, 0);

    scanRegistry();
    if (!config.selectedDll.empty()) {
        for (size_t i = 0; i < g_entries.size(); ++i)
            if (_wcsicmp(g_entries[i].libraryPath.c_str(), config.selectedDll.c_str()) == 0)
                SendMessageW(g_vci, CB_SETCURSEL, i, 0);
    }

    appendLog(L"GUI bridge ready. Enter your Corvell username/password, select the local VCI, then click Connect.");
    appendLog(L"Only 32-bit J2534 registry entries and PE32 DLLs are shown; the remote proxy DLL is excluded.");
    appendLog(L"SDconnect fixed targets: LAN 172.29.127.122 (priority 1) | Wi-Fi 192.168.2.199 (priority 2).");
}

void layout(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    const int w = client.right - client.left;
    const int h = client.bottom - client.top;
    const int fullWidth = std::max(w - 32, 10);
    const int fieldWidth = std::max(w - 157, 10);
    const int vciWidth = std::max(w - 282, 10);

    MoveWindow(GetDlgItem(window, ID_TITLE), 16, 14, fullWidth, 32, TRUE);
    MoveWindow(g_help, 16, 48, fullWidth, 30, TRUE);
    const HWND fields[] = {g_server, g_username, g_password, g_station, g_mode};
    for (int row = 0; row < 6; ++row) {
        MoveWindow(GetDlgItem(window, ID_FIRST_LABEL + row), 16, 89 + 32 * row, 117, 22, TRUE);
        if (row < 5) MoveWindow(fields[row], 141, 84 + 32 * row, fieldWidth, 26, TRUE);
    }
    MoveWindow(g_vci, 141, 244, vciWidth, 26, TRUE);
    MoveWindow(g_scan, w - 133, 244, 117, 26, TRUE);
    MoveWindow(g_remember, 141, 276, 170, 24, TRUE);
    MoveWindow(g_connect, 321, 276, 95, 28, TRUE);
    MoveWindow(g_disconnect, 423, 276, 95, 28, TRUE);
    MoveWindow(GetDlgItem(window, ID_STATUS_LABEL), 16, 318, 117, 22, TRUE);
    MoveWindow(g_status, 141, 318, fieldWidth, 22, TRUE);
    MoveWindow(g_log, 16, 346, fullWidth, h - 362, TRUE);
}

void onCommand(WPARAM wParam) {
    const int id = LOWORD(wParam);
    const int notification = HIWORD(wParam);
    if (notification == BN_CLICKED) {
        if (id == ID_SCAN) scanRegistry();
        if (id == ID_CONNECT) startConnection();
        if (id == ID_DISCONNECT) requestDisconnect();
    } else if (notification == CBN_SELCHANGE && id == ID_MODE) {
        scanRegistry();
    }
}

// Closing is a Disconnect and then the end: the window goes once the worker
// has ended or has been given up, so that no vendor call is cut off by the
// end of the process.
void onClose(HWND window) {
    if (!g_connection) {
        DestroyWindow(window);
        return;
    }
    if (g_closing) return;
    g_closing = true;
    if (g_connection->executingRequest()) appendLog(L"Closing after the running J2534 call returns.");
    stopConnection();
}

LRESULT CALLBACK wndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        onCreate(window);
        return 0;
    case WM_SIZE:
        layout(window);
        return 0;
    case WM_COMMAND:
        onCommand(wParam);
        return 0;
    case WM_CLOSE:
        onClose(window);
        return 0;
    case WM_DESTROY:
        if (g_titleFont) DeleteObject(g_titleFont);
        PostQuitMessage(0);
        return 0;
    case qel::WM_BRIDGE_LOG:
    case qel::WM_BRIDGE_FINISHED:
        showWorkerNews();
        return 0;
    case WM_TIMER:
        if (wParam != GIVE_UP_TIMER) return DefWindowProcW(window, message, wParam, lParam);
        giveUpConnection();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    SetProcessDPIAware();

    const HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = wndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassExW(&windowClass)) return 1;

    HWND window = CreateWindowExW(0, WINDOW_CLASS, CAPTION, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 920, 700, nullptr, nullptr, instance, nullptr);
    if (!window) return 2;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
