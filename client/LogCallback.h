#pragma once

#include <functional>
#include <string>

namespace qel {

using LogCallback = std::function<void(const std::wstring&)>;

}  // namespace qel
