#include "PassThruLibrary.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Utf8.h"

namespace qel {

namespace {

template <typename Function>
void bind(HMODULE module, const char* name, Function& function) {
    const FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("The pass-thru library does not export ") + name + ".");
    }
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

}  // namespace

PassThruLibrary::PassThruLibrary(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
    if (module_ == nullptr) {
        throw std::runtime_error("LoadLibrary failed (" + std::to_string(GetLastError()) + ") for " + utf8(path));
    }
    try {
        bind(module_, "PassThruOpen", api_.PassThruOpen);
        bind(module_, "PassThruClose", api_.PassThruClose);
        bind(module_, "PassThruConnect", api_.PassThruConnect);
        bind(module_, "PassThruDisconnect", api_.PassThruDisconnect);
        bind(module_, "PassThruReadMsgs", api_.PassThruReadMsgs);
        bind(module_, "PassThruWriteMsgs", api_.PassThruWriteMsgs);
        bind(module_, "PassThruStartPeriodicMsg", api_.PassThruStartPeriodicMsg);
        bind(module_, "PassThruStopPeriodicMsg", api_.PassThruStopPeriodicMsg);
        bind(module_, "PassThruStartMsgFilter", api_.PassThruStartMsgFilter);
        bind(module_, "PassThruStopMsgFilter", api_.PassThruStopMsgFilter);
        bind(module_, "PassThruSetProgrammingVoltage", api_.PassThruSetProgrammingVoltage);
        bind(module_, "PassThruReadVersion", api_.PassThruReadVersion);
        bind(module_, "PassThruGetLastError", api_.PassThruGetLastError);
        bind(module_, "PassThruIoctl", api_.PassThruIoctl);
    } catch (...) {
        FreeLibrary(module_);
        throw;
    }
}

PassThruLibrary::~PassThruLibrary() { FreeLibrary(module_); }

PASSTHRU_MSG makeMessage(std::uint32_t protocolId, std::initializer_list<std::uint8_t> bytes, std::uint32_t txFlags) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = protocolId;
    msg.TxFlags = txFlags;
    msg.DataSize = static_cast<std::uint32_t>(bytes.size());
    std::memcpy(msg.Data, bytes.begin(), bytes.size());
    return msg;
}

std::string hexBytes(const std::uint8_t* data, std::uint32_t count, std::uint32_t limit) {
    std::string text;
    char cell[4];
    for (std::uint32_t i = 0; i < count && i < limit; ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", data[i]);
        text += cell;
    }
    if (count > limit) {
        text += " ...";
    }
    return text;
}

}  // namespace qel
