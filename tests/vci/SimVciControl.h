// Control exports of the simulated VCI (SimVci*.dll), for tests that load it
// in their own process. See the comment at the top of SimVci.cpp.
#pragma once

#include <cstdint>

// Called at the start of every PassThru export with the export's name and its
// arguments in call order (pointers and values alike as uintptr_t). Returning
// non-zero makes the export return *status at once without simulating
// anything; returning zero lets the simulation carry out the call.
using SimVciHook = int(__stdcall*)(void* context, const char* function, const std::uintptr_t* args,
                                   std::int32_t* status);

using SimVciResetFn = void(__stdcall*)();
using SimVciSetHookFn = void(__stdcall*)(SimVciHook hook, void* context);
using SimVciSetReadWaitLimitFn = void(__stdcall*)(std::uint32_t milliseconds);
using SimVciSetReadFailureFn = void(__stdcall*)(std::int32_t status);
