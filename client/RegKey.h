// Owns one open registry key and closes it when it goes out of scope.
#pragma once

#include <windows.h>

namespace qel {

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }

    // Where RegOpenKeyExW and RegCreateKeyExW store the opened key.
    HKEY* receive() { return &key_; }
    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};

}  // namespace qel
