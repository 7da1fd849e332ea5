// Drives a running Quorvane window the way a person would, for the GUI tests.
// Reads one command per line from stdin (fields separated by tabs, UTF-8) and
// answers each with one line: "ok" plus tab-separated fields, or "err" and a
// reason. Texts in answers escape backslash, tab, CR and LF as \\ \t \r \n.
// Controls are named by their ids; id 0 is the main window itself.
//   attach MS                  wait for the window of class QELRemoteVciClientWindow
//   text ID / settext ID TEXT  WM_GETTEXT / WM_SETTEXT
//   click ID                   BM_CLICK; answers "done", or "msgbox" while a message box is open
//   msgbox MS                  caption, text and button count of the open message box; presses OK
//   clickn ID N                N synchronous BM_CLICKs
//   postclicks ID N            N BM_CLICKs posted at once
//   key ID VK                  post a key press (WM_KEYDOWN, WM_KEYUP) to a control
//   focus                      id of the control that has the keyboard focus
//   select ID INDEX            CB_SETCURSEL, then CBN_SELCHANGE to the window
//   items ID                   current selection, then every item of a combo box
//   state ID                   enabled, class, style, exstyle, x y w h in the client area, BM_GETCHECK
//   client / resize W H        client and outer size / set the client size
//   waitlog TEXT MS            wait until the log box (id 111) contains TEXT
//   waitstate ID ENABLED MS    wait until the control is enabled (1) or disabled (0)
//   close                      post WM_CLOSE
//   post ID MSG WPARAM LPARAM  post any message with any values (decimal) to a control, as another program can
//   ping MS                    time how long the window takes to answer a sent WM_NULL, in ms; an error after MS
//   pipe NAME                  create the named pipe \\.\pipe\NAME, held open and never written until quit
//   regset ROOT VIEW KEY NAME TYPE HEX / regget ROOT VIEW KEY NAME / regdel ROOT VIEW KEY
//                              ROOT HKLM or HKCU, VIEW 32 or 64; regget answers type and hex data,
//                              or "nokey" / "novalue"; regdel removes the whole key
//   unprotect HEX              CryptUnprotectData: plain bytes in hex and the description
//   resources EXE / version EXE  icon group 101 and manifest / version block of a program file
//   quit
#include "Utf8.h"

#include <windows.h>
#include <wincrypt.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t WINDOW_CLASS[] = L"QELRemoteVciClientWindow";

HWND g_window = nullptr;
std::vector<HANDLE> g_pipes;

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.emplace_back();
    return fields;
}

std::string escape(const std::wstring& text) {
    std::string out;
    for (char c : qel::utf8(text)) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::string hex(const BYTE* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::vector<BYTE> unhex(const std::string& text) {
    if (text.size() % 2) throw std::runtime_error("odd hex length");
    std::vector<BYTE> out;
    for (size_t i = 0; i < text.size(); i += 2) out.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

const std::string& arg(const std::vector<std::string>& fields, size_t index) {
    if (index >= fields.size()) throw std::runtime_error("missing argument");
    return fields[index];
}

int number(const std::vector<std::string>& fields, size_t index) { return std::stoi(arg(fields, index)); }

HWND control(const std::vector<std::string>& fields, size_t index) {
    if (!IsWindow(g_window)) throw std::runtime_error("no window");
    const int id = number(fields, index);
    if (id == 0) return g_window;
    HWND child = GetDlgItem(g_window, id);
    if (!child) throw std::runtime_error("no control " + std::to_string(id));
    return child;
}

// A window that hangs must fail the command, not stop the driver.
LRESULT sendWithin(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 10000, &result))
        throw std::runtime_error("the window does not answer");
    return static_cast<LRESULT>(result);
}

std::wstring windowText(HWND window) {
    const auto length = sendWithin(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    sendWithin(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    return text;
}

template <typename Test>
bool waitFor(int timeoutMs, Test test) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!test()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Sleep(20);
    }
    return true;
}

// The message box that the window shows, if any: a visible dialog of the
// window's process.
struct MessageBoxSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK matchMessageBox(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<MessageBoxSearch*>(param);
    wchar_t name[64] = {};
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, name, 64);
    if (process == search->process && IsWindowVisible(window) && std::wstring(name) == L"#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND findMessageBox() {
    MessageBoxSearch search{0, nullptr};
    GetWindowThreadProcessId(g_window, &search.process);
    EnumWindows(matchMessageBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A click that opens a message box does not return until the box is closed,
// so clicks are sent from a thread of their own.
std::thread g_click;
std::atomic<bool> g_clickDone{true};

void finishClick() {
    if (g_click.joinable()) g_click.join();
}

std::string click(HWND button) {
    finishClick();
    g_clickDone = false;
    g_click = std::thread([button] {
        SendMessageW(button, BM_CLICK, 0, 0);
        g_clickDone = true;
    });
    HWND box = nullptr;
    waitFor(30000, [&] { return g_clickDone || (box = findMessageBox()) != nullptr; });
    if (g_clickDone) {
        finishClick();
        return "done";
    }
    return box ? "msgbox" : "timeout";
}

std::string messageBox(int timeoutMs) {
    HWND box = nullptr;
    if (!waitFor(timeoutMs, [&] { return (box = findMessageBox()) != nullptr; })) throw std::runtime_error("no message box");
    const std::wstring caption = windowText(box);
    HWND textControl = GetDlgItem(box, 0xFFFF);
    const std::wstring text = textControl ? windowText(textControl) : L"";
    int buttons = 0;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        if (_wcsicmp(name, L"Button") == 0 && IsWindowVisible(child)) ++buttons;
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    waitFor(10000, [] { return g_clickDone.load(); });
    finishClick();
    return escape(caption) + "\t" + escape(text) + "\t" + std::to_string(buttons);
}

std::string state(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, g_window, reinterpret_cast<POINT*>(&rect), 2);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    char styles[64];
    std::snprintf(styles, sizeof(styles), "%08lx\t%08lx", static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
                  static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)));
    std::ostringstream out;
    out << (IsWindowEnabled(window) ? 1 : 0) << '\t' << escape(name) << '\t' << styles << '\t' << rect.left << '\t'
        << rect.top << '\t' << rect.right - rect.left << '\t' << rect.bottom - rect.top << '\t'
        << SendMessageW(window, BM_GETCHECK, 0, 0);
    return out.str();
}

std::string items(HWND list) {
    std::string out = std::to_string(SendMessageW(list, CB_GETCURSEL, 0, 0));
    const auto count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        std::wstring item(static_cast<size_t>(SendMessageW(list, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
        item.resize(wcslen(item.c_str()));
        out += "\t" + escape(item);
    }
    return out;
}

HKEY root(const std::string& name) {
    if (name == "HKLM") return HKEY_LOCAL_MACHINE;
    if (name == "HKCU") return HKEY_CURRENT_USER;
    throw std::runtime_error("bad root");
}

REGSAM view(const std::string& name) { return name == "64" ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

struct Key {
    HKEY key = nullptr;
    ~Key() {
        if (key) RegCloseKey(key);
    }
};

std::string regSet(const std::vector<std::string>& f) {
    Key key;
    const LONG created = RegCreateKeyExW(root(arg(f, 1)), qel::wide(arg(f, 3)).c_str(), 0, nullptr, 0,
                                         KEY_ALL_ACCESS | view(arg(f, 2)), nullptr, &key.key, nullptr);
    if (created != ERROR_SUCCESS) throw std::runtime_error("create failed " + std::to_string(created));
    const auto data = unhex(arg(f, 6));
    const LONG set = RegSetValueExW(key.key, qel::wide(arg(f, 4)).c_str(), 0, static_cast<DWORD>(number(f, 5)),
                                    data.data(), static_cast<DWORD>(data.size()));
    if (set != ERROR_SUCCESS) throw std::runtime_error("set failed " + std::to_string(set));
    return "";
}

std::string regGet(const std::vector<std::string>& f) {
    Key key;
    if (RegOpenKeyExW(root(arg(f, 1)), qel::wide(arg(f, 3)).c_str(), 0, KEY_READ | view(arg(f, 2)), &key.key) !=
        ERROR_SUCCESS)
        return "nokey";
    const std::wstring name = qel::wide(arg(f, 4));
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return "novalue";
    std::vector<BYTE> data(size + 1);
    RegQueryValueExW(key.key, name.c_str(), nullptr, &type, data.data(), &size);
    return std::to_string(type) + "\t" + hex(data.data(), size);
}

std::string regDelete(const std::vector<std::string>& f) {
    Key key;
    const std::wstring path = qel::wide(arg(f, 3));
    const auto slash = path.find_last_of(L'\\');
    const std::wstring parent = slash == std::wstring::npos ? L"" : path.substr(0, slash);
    const std::wstring leaf = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (RegOpenKeyExW(root(arg(f, 1)), parent.c_str(), 0, KEY_ALL_ACCESS | view(arg(f, 2)), &key.key) != ERROR_SUCCESS)
        return "";
    RegDeleteTreeW(key.key, leaf.c_str());
    RegDeleteKeyExW(key.key, leaf.c_str(), view(arg(f, 2)), 0);
    return "";
}

std::string unprotect(const std::string& blobHex) {
    auto blob = unhex(blobHex);
    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB out{};
    LPWSTR description = nullptr;
    if (!CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        throw std::runtime_error("unprotect failed " + std::to_string(GetLastError()));
    std::string result = hex(out.pbData, out.cbData) + "\t" + escape(description ? description : L"");
    LocalFree(out.pbData);
    LocalFree(description);
    return result;
}

// The resources of a program file, read without running it.
std::string iconGroup(const std::string& path) {
    HMODULE module = LoadLibraryExW(qel::wide(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) throw std::runtime_error("cannot load");
    std::string out;
    if (HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(101), RT_GROUP_ICON)) {
        const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
        const WORD count = *reinterpret_cast<const WORD*>(data + 4);
        out = std::to_string(count);
        for (WORD i = 0; i < count; ++i) {
            const BYTE* entry = data + 6 + 14 * i;
            const WORD bits = *reinterpret_cast<const WORD*>(entry + 6);
            const WORD id = *reinterpret_cast<const WORD*>(entry + 12);
            HRSRC icon = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
            const auto* image = icon ? static_cast<const BYTE*>(LockResource(LoadResource(module, icon))) : nullptr;
            const bool png = image && SizeofResource(module, icon) > 8 && std::memcmp(image, "\x89PNG", 4) == 0;
            const unsigned width = png ? (image[16] << 24 | image[17] << 16 | image[18] << 8 | image[19]) : 0;
            out += "\t" + std::to_string(width) + ":" + std::to_string(bits) + ":" + (png ? "png" : "bmp");
        }
    }
    std::string manifest;
    if (HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST))
        manifest.assign(static_cast<const char*>(LockResource(LoadResource(module, resource))),
                        SizeofResource(module, resource));
    FreeLibrary(module);
    return out + "\n" + manifest;
}

std::string versionStrings(const std::string& path) {
    const std::wstring file = qel::wide(path);
    DWORD handle = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(file.c_str(), &handle));
    if (block.empty() || !GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data()))
        throw std::runtime_error("no version block");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size);
    std::ostringstream out;
    out << std::hex << fixed->dwFileVersionMS << "." << fixed->dwFileVersionLS << "." << fixed->dwProductVersionMS
        << "." << fixed->dwProductVersionLS << "." << fixed->dwFileType << std::dec;
    WORD* translation = nullptr;
    VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &size);
    out << "\ttranslation=" << std::hex << translation[0] << "," << translation[1] << std::dec;
    for (const wchar_t* key : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                               L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
        if (VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &size))
            out << "\t" << qel::utf8(key) << "=" << escape(value);
    }
    return out.str();
}

std::string run(const std::vector<std::string>& f) {
    const std::string& command = arg(f, 0);
    if (command == "attach") {
        g_window = nullptr;
        if (!waitFor(number(f, 1), [] { return (g_window = FindWindowW(WINDOW_CLASS, nullptr)) != nullptr; }))
            throw std::runtime_error("no window");
        return "";
    }
    if (command == "text") return escape(windowText(control(f, 1)));
    if (command == "settext") {
        SendMessageW(control(f, 1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(qel::wide(arg(f, 2)).c_str()));
        return "";
    }
    if (command == "click") return click(control(f, 1));
    if (command == "clickn") {
        HWND button = control(f, 1);
        for (int i = number(f, 2); i > 0; --i) SendMessageW(button, BM_CLICK, 0, 0);
        return "";
    }
    if (command == "postclicks") {
        // Queued together, the clicks reach the window before anything the
        // first click causes to be posted.
        HWND button = control(f, 1);
        for (int i = number(f, 2); i > 0; --i) PostMessageW(button, BM_CLICK, 0, 0);
        return "";
    }
    if (command == "key") {
        // Posted like real key strokes, so the window's own loop translates them.
        HWND target = control(f, 1);
        const auto key = static_cast<WPARAM>(number(f, 2));
        PostMessageW(target, WM_KEYDOWN, key, 1);
        PostMessageW(target, WM_KEYUP, key, 0xC0000001);
        return "";
    }
    if (command == "focus") {
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        GetGUIThreadInfo(GetWindowThreadProcessId(g_window, nullptr), &info);
        return std::to_string(info.hwndFocus ? GetDlgCtrlID(info.hwndFocus) : 0);
    }
    if (command == "msgbox") return messageBox(number(f, 1));
    if (command == "select") {
        HWND list = control(f, 1);
        SendMessageW(list, CB_SETCURSEL, number(f, 2), 0);
        SendMessageW(g_window, WM_COMMAND, MAKEWPARAM(number(f, 1), CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
        return "";
    }
    if (command == "items") return items(control(f, 1));
    if (command == "state") return state(control(f, 1));
    if (command == "client") {
        RECT client{};
        RECT outer{};
        GetClientRect(g_window, &client);
        GetWindowRect(g_window, &outer);
        return std::to_string(client.right) + "\t" + std::to_string(client.bottom) + "\t" +
               std::to_string(outer.right - outer.left) + "\t" + std::to_string(outer.bottom - outer.top);
    }
    if (command == "resize") {
        RECT client{};
        RECT outer{};
        GetClientRect(g_window, &client);
        GetWindowRect(g_window, &outer);
        const int extraW = (outer.right - outer.left) - client.right;
        const int extraH = (outer.bottom - outer.top) - client.bottom;
        SetWindowPos(g_window, nullptr, 0, 0, number(f, 1) + extraW, number(f, 2) + extraH,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        return "";
    }
    if (command == "waitlog") {
        // The window may still be inside WM_CREATE: look for the log box each time.
        const std::wstring wanted = qel::wide(arg(f, 1));
        if (!waitFor(number(f, 2), [&] {
                HWND log = GetDlgItem(g_window, 111);
                return log && windowText(log).find(wanted) != std::wstring::npos;
            }))
            throw std::runtime_error("log line not seen");
        return "";
    }
    if (command == "waitstate") {
        HWND window = control(f, 1);
        const bool enabled = number(f, 2) != 0;
        if (!waitFor(number(f, 3), [&] { return (IsWindowEnabled(window) != 0) == enabled; }))
            throw std::runtime_error("state not reached");
        return "";
    }
    if (command == "close") {
        PostMessageW(g_window, WM_CLOSE, 0, 0);
        return "";
    }
    if (command == "post") {
        if (!PostMessageW(control(f, 1), static_cast<UINT>(number(f, 2)), std::stoull(arg(f, 3)),
                          static_cast<LPARAM>(std::stoull(arg(f, 4)))))
            throw std::runtime_error("post failed");
        return "";
    }
    if (command == "ping") {
        if (!IsWindow(g_window)) throw std::runtime_error("no window");
        const auto start = std::chrono::steady_clock::now();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(g_window, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(number(f, 1)), &result))
            throw std::runtime_error("no answer");
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return std::to_string(took.count());
    }
    if (command == "pipe") {
        const std::wstring name = L"\\\\.\\pipe\\" + qel::wide(arg(f, 1));
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                       nullptr);
        if (pipe == INVALID_HANDLE_VALUE) throw std::runtime_error("pipe failed " + std::to_string(GetLastError()));
        g_pipes.push_back(pipe);
        return "";
    }
    if (command == "regset") return regSet(f);
    if (command == "regget") return regGet(f);
    if (command == "regdel") return regDelete(f);
    if (command == "unprotect") return unprotect(arg(f, 1));
    if (command == "resources") return escape(qel::wide(iconGroup(arg(f, 1))));
    if (command == "version") return versionStrings(arg(f, 1));
    throw std::runtime_error("unknown command");
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "quit") break;
        std::string answer;
        try {
            answer = "ok\t" + run(split(line));
        } catch (const std::exception& error) {
            answer = std::string("err\t") + error.what();
        }
        std::fwrite(answer.data(), 1, answer.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    finishClick();
    for (HANDLE pipe : g_pipes) CloseHandle(pipe);
    return 0;
}
