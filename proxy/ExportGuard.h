// No exception may leave an exported function: a reply that breaks its
// payload layout or an allocation failure ends the call with ERR_FAILED and
// the failure's text, after `missing` has given the outputs their values for
// a missing result.
#pragma once

#include <cstdint>
#include <exception>
#include <new>

#include "J2534.h"
#include "RelayConnection.h"

namespace qel {

template <typename Body, typename Missing>
std::int32_t guardExport(Body&& body, Missing&& missing) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        setLastErrorText("Out of memory.");
    } catch (const std::exception& error) {
        setLastErrorText(error.what());
    }
    missing();
    return ERR_FAILED;
}

}  // namespace qel
