// Measures the executor's own cost per request, with the vendor's time inside
// the simulated VCI taken out, and the bytes it allocates and copies for a
// full ReadMsgs reply. Run by hand: ctest --test-dir build -L benchmark -V
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "J2534Executor.h"
#include "SimVciControl.h"

namespace {

std::vector<std::size_t>* g_allocations = nullptr;

LONGLONG g_vendorTicks = 0;
std::vector<qel::PASSTHRU_MSG> g_queued;

LONGLONG now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double microseconds(LONGLONG ticks) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(ticks) * 1e6 / static_cast<double>(f.QuadPart);
}

// The vendor side of the measured requests, timed so that it can be taken out.
int __stdcall vendor(void*, const char* function, const std::uintptr_t* args, std::int32_t* status) {
    const LONGLONG start = now();
    const std::string name = function;
    if (name == "PassThruConnect") {
        *reinterpret_cast<std::uint32_t*>(args[4]) = 7;
    } else if (name == "PassThruReadMsgs") {
        auto* count = reinterpret_cast<std::uint32_t*>(args[2]);
        *count = static_cast<std::uint32_t>(std::min<std::size_t>(*count, g_queued.size()));
        std::copy_n(g_queued.begin(), *count, reinterpret_cast<qel::PASSTHRU_MSG*>(args[1]));
    } else {
        return 0;
    }
    *status = qel::STATUS_NOERROR;
    g_vendorTicks += now() - start;
    return 1;
}

template <typename Fn>
Fn control(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::wstring simVciPath() {
    wchar_t self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    path.resize(path.find_last_of(L'\\') + 1);
    return path + L"..\\vci\\SimVci.dll";
}

std::vector<std::uint8_t> packet(qel::Operation operation, const qel::PacketWriter& payload) {
    return qel::buildRequest(operation, 1, payload);
}

// Each round under a new request id, as Pellith sends them: the same id again
// would be a resend, answered from the stored reply without the vendor.
void measure(qel::J2534Executor& executor, const char* name, const std::vector<std::uint8_t>& request, int rounds) {
    std::vector<std::uint8_t> numbered = request;
    const auto renumber = [&numbered](std::uint32_t id) { std::memcpy(numbered.data() + 8, &id, sizeof id); };
    renumber(100);
    executor.execute(numbered);
    g_vendorTicks = 0;
    const LONGLONG start = now();
    std::size_t replyBytes = 0;
    for (int i = 0; i < rounds; ++i) {
        renumber(101 + static_cast<std::uint32_t>(i));
        replyBytes = executor.execute(numbered).size();
    }
    const LONGLONG total = now() - start;
    std::printf("%-34s %8.2f us per request in the executor (%8.2f us with the vendor), reply %zu bytes\n", name,
                microseconds(total - g_vendorTicks) / rounds, microseconds(total) / rounds, replyBytes);
}

}  // namespace

void* operator new(std::size_t size) {
    if (g_allocations != nullptr) {
        g_allocations->push_back(size);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main() {
    const HMODULE vci = LoadLibraryW(simVciPath().c_str());
    if (vci == nullptr) {
        std::fprintf(stderr, "cannot load SimVci.dll\n");
        return 1;
    }
    control<SimVciResetFn>(vci, "SimVciReset")();
    control<SimVciSetHookFn>(vci, "SimVciSetHook")(&vendor, nullptr);
    qel::PASSTHRU_MSG full{};
    full.ProtocolID = qel::ISO9141;
    full.DataSize = qel::MAX_MESSAGE_DATA;
    full.ExtraDataIndex = qel::MAX_MESSAGE_DATA;
    for (std::uint32_t i = 0; i < full.DataSize; ++i) full.Data[i] = static_cast<std::uint8_t>(i);
    g_queued.assign(qel::MAX_MESSAGES_PER_CALL, full);

    qel::J2534Executor executor(simVciPath());
    executor.execute(packet(qel::Operation::Open, {}));

    qel::PacketWriter connect;
    for (std::uint32_t f : {1u, qel::CAN, 0u, 500000u}) connect.u32(f);
    measure(executor, "Connect", packet(qel::Operation::Connect, connect), 100000);

    qel::PacketWriter read;
    for (std::uint32_t f : {7u, qel::MAX_MESSAGES_PER_CALL, 0u}) read.u32(f);
    const std::vector<std::uint8_t> readRequest = packet(qel::Operation::ReadMsgs, read);
    measure(executor, "ReadMsgs, 1024 x 4128 bytes", readRequest, 300);
    g_queued.resize(1);
    measure(executor, "ReadMsgs, 1024 asked, 1 delivered", readRequest, 3000);
    g_queued.assign(qel::MAX_MESSAGES_PER_CALL, full);

    std::vector<std::size_t> allocations;
    allocations.reserve(256);
    g_allocations = &allocations;
    const std::size_t replySize = executor.execute(readRequest).size();
    g_allocations = nullptr;
    const std::size_t payload = replySize - sizeof(qel::ResponseHeader);
    // Apart from the packet, the blocks allocated for one reply are the writer's
    // buffer as it grew, each copied into the next.
    std::size_t allocated = 0, writerGrowthCopies = 0, writerBlocks = 0;
    std::size_t lastWriterBlock = 0;
    for (std::size_t size : allocations) {
        allocated += size;
        if (size != replySize) {
            writerGrowthCopies += lastWriterBlock;
            lastWriterBlock = size;
            ++writerBlocks;
        }
    }
    std::printf("ReadMsgs reply: payload %zu bytes; %zu allocations, %zu bytes allocated through operator new"
                " (the record array comes from calloc and is not among them)\n", payload,
                allocations.size(), allocated);
    std::printf("  bytes copied: %zu into the writer (%.2f x payload: appends plus %zu blocks of growth),"
                " %zu into the packet (%.2f x payload beyond the writer)\n",
                payload + writerGrowthCopies, static_cast<double>(payload + writerGrowthCopies) / payload,
                writerBlocks, replySize, static_cast<double>(replySize) / payload);
    FreeLibrary(vci);
    return 0;
}
