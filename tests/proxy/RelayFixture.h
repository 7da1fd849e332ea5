// A fresh Pellith per test, pointed at a fake relay through the registry.
#pragma once

#include <gtest/gtest.h>

#include <winsock2.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FakeRelay.h"
#include "PellithLibrary.h"
#include "RegistrySettings.h"

namespace qel::test {

inline Bytes written(const std::function<void(PacketWriter&)>& write) {
    PacketWriter writer;
    write(writer);
    return writer.buffer();
}

inline PacketWriter writer(const std::function<void(PacketWriter&)>& write) {
    PacketWriter writer;
    write(writer);
    return writer;
}

inline PASSTHRU_MSG makeMessage(std::uint32_t protocol, std::uint32_t dataSize, std::uint8_t fill) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = protocol;
    msg.RxStatus = 0x11;
    msg.TxFlags = 0x40;
    msg.Timestamp = 0x12345678;
    msg.DataSize = dataSize;
    msg.ExtraDataIndex = dataSize;
    for (std::uint32_t i = 0; i < dataSize && i < sizeof(msg.Data); ++i) {
        msg.Data[i] = static_cast<std::uint8_t>(fill + i);
    }
    return msg;
}

class RelayFixture : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        pellith.emplace();
    }

    void TearDown() override {
        pellith.reset();
        relay.reset();
        WSACleanup();
    }

    PellithLibrary& dll() { return *pellith; }

    // The relay answers GetLastError with status 1 and no text, so that the
    // call shows Pellith's own last-error text; everything else goes to `handler`.
    FakeRelay& startRelay(RelayHandler handler) {
        return startRelayAnswering([handler = std::move(handler)](const RelayRequest& request) {
            if (request.header.operation == Operation::GetLastError) {
                return answer(request, ERR_NOT_SUPPORTED);
            }
            return handler(request);
        });
    }

    FakeRelay& startRelayAnswering(RelayHandler handler) {
        relay.emplace(std::move(handler));
        RegistrySettings::setPort(relay->port());
        return *relay;
    }

    std::string lastErrorText() {
        char text[80] = {};
        dll().getLastError(text);
        return text;
    }

    std::vector<RelayRequest> requestsOf(Operation operation) const {
        std::vector<RelayRequest> found;
        for (const RelayRequest& request : relay->requests()) {
            if (request.header.operation == operation) {
                found.push_back(request);
            }
        }
        return found;
    }

    RegistrySettings registry;
    std::optional<FakeRelay> relay;
    std::optional<PellithLibrary> pellith;
};

}  // namespace qel::test
