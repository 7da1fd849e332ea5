// Pellith.dll loaded from the test's own directory, with its fourteen exports.
// Each instance loads the library afresh, so its state (request ids, the
// connection, the last-error text) starts anew.
#pragma once

#include <windows.h>

#include <stdexcept>

#include "PassThru.h"

namespace qel::test {

class PellithLibrary {
public:
    PellithLibrary() : module_(LoadLibraryW(L"Pellith.dll")) {
        if (module_ == nullptr) {
            throw std::runtime_error("Pellith.dll cannot be loaded");
        }
        resolve(open, "PassThruOpen");
        resolve(close, "PassThruClose");
        resolve(connect, "PassThruConnect");
        resolve(disconnect, "PassThruDisconnect");
        resolve(readMsgs, "PassThruReadMsgs");
        resolve(writeMsgs, "PassThruWriteMsgs");
        resolve(startPeriodicMsg, "PassThruStartPeriodicMsg");
        resolve(stopPeriodicMsg, "PassThruStopPeriodicMsg");
        resolve(startMsgFilter, "PassThruStartMsgFilter");
        resolve(stopMsgFilter, "PassThruStopMsgFilter");
        resolve(setProgrammingVoltage, "PassThruSetProgrammingVoltage");
        resolve(readVersion, "PassThruReadVersion");
        resolve(getLastError, "PassThruGetLastError");
        resolve(ioctl, "PassThruIoctl");
    }
    ~PellithLibrary() { unload(); }
    PellithLibrary(const PellithLibrary&) = delete;
    PellithLibrary& operator=(const PellithLibrary&) = delete;

    void unload() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
            module_ = nullptr;
        }
    }

    decltype(&PassThruOpen) open = nullptr;
    decltype(&PassThruClose) close = nullptr;
    decltype(&PassThruConnect) connect = nullptr;
    decltype(&PassThruDisconnect) disconnect = nullptr;
    decltype(&PassThruReadMsgs) readMsgs = nullptr;
    decltype(&PassThruWriteMsgs) writeMsgs = nullptr;
    decltype(&PassThruStartPeriodicMsg) startPeriodicMsg = nullptr;
    decltype(&PassThruStopPeriodicMsg) stopPeriodicMsg = nullptr;
    decltype(&PassThruStartMsgFilter) startMsgFilter = nullptr;
    decltype(&PassThruStopMsgFilter) stopMsgFilter = nullptr;
    decltype(&PassThruSetProgrammingVoltage) setProgrammingVoltage = nullptr;
    decltype(&PassThruReadVersion) readVersion = nullptr;
    decltype(&PassThruGetLastError) getLastError = nullptr;
    decltype(&PassThruIoctl) ioctl = nullptr;

private:
    template <typename F>
    void resolve(F& function, const char* name) {
        function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        if (function == nullptr) {
            throw std::runtime_error(std::string("Pellith.dll lacks ") + name);
        }
    }

    HMODULE module_;
};

}  // namespace qel::test
