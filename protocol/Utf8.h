// Conversions between the wide text of Windows interfaces and the UTF-8 that
// leaves the program. Windows only: the rest of the protocol module builds
// without Windows headers.
#pragma once

#include <string>

namespace qel {

std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& text);

}  // namespace qel
