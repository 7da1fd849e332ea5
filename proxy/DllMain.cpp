#include "RelayConnection.h"

// Attaching only creates the lock: settings, Windows Sockets and the
// connection wait for the first call that needs them.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        qel::attachProcess();
    } else if (reason == DLL_PROCESS_DETACH) {
        qel::detachProcess();
    }
    return TRUE;
}
