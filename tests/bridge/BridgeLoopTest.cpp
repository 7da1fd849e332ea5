#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "J2534.h"
#include "PacketHeaders.h"
#include "Standin.h"

namespace qel::test {
namespace {

using Lines = std::vector<std::wstring>;
using namespace std::chrono_literals;

std::vector<std::uint8_t> ping(std::uint32_t id, std::vector<std::uint8_t> payload = {})
{
    PacketWriter writer;
    writer.bytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    return buildRequest(Operation::Ping, id, writer);
}

ResponseHeader headerOf(const std::vector<std::uint8_t>& response)
{
    EXPECT_GE(response.size(), RESPONSE_HEADER_BYTES);
    if (response.size() < RESPONSE_HEADER_BYTES) return ResponseHeader{};
    return parseResponseHeader(response.data(), RESPONSE_HEADER_BYTES);
}

void expectReady(const std::vector<std::uint8_t>& response, std::uint32_t id)
{
    const ResponseHeader header = headerOf(response);
    EXPECT_EQ(header.operation, Operation::Ping);
    EXPECT_EQ(header.requestId, id);
    EXPECT_EQ(header.status, STATUS_NOERROR);
    EXPECT_EQ(response.size(), RESPONSE_HEADER_BYTES + 4 + 24);
}

// The code the station's last connection closed with, once the stand-in has
// seen it end.
std::string closeCode(Control& control, const std::string& station)
{
    std::string code = "None";
    for (int i = 0; i < 100 && code == "None"; ++i) {
        code = control("wait-closed " + station + " 5000");
        if (code == "None") std::this_thread::sleep_for(50ms);
    }
    return code;
}

class BridgeLoop : public ::testing::Test {
protected:
    BridgeLoop()
        : station(::testing::UnitTest::GetInstance()->current_test_info()->name()),
          run(standinSettings(std::wstring(station.begin(), station.end())))
    {
    }

    void SetUp() override { control("reset"); }

    void serve()
    {
        run.start();
        ASSERT_TRUE(run.waitForLine(waitingLine(wideStation())));
        control("wait-connected " + station + " 5000");
    }

    std::wstring wideStation() const { return std::wstring(station.begin(), station.end()); }
    std::string unansweredWithin(int ms) { return control("recv " + station + " " + std::to_string(ms)); }

    const std::string station;
    Control control;
    ClientRun run;
};

TEST_F(BridgeLoop, RelayedRequestsAreAnsweredInOrder)
{
    serve();
    Relay relay(station);
    for (std::uint32_t id = 1; id <= 20; ++id) expectReady(relay.exchange(ping(id)), id);
    EXPECT_EQ(unansweredWithin(200), "none");
}

TEST_F(BridgeLoop, FragmentsAreJoinedAndExecutedOnce)
{
    serve();
    Relay relay(station);
    std::uint32_t id = 100;
    for (const int fragments : {2, 3, 16}) {
        SCOPED_TRACE(fragments);
        control("fragments " + std::to_string(fragments));
        ++id;
        expectReady(relay.exchange(ping(id)), id);
    }
    EXPECT_EQ(unansweredWithin(200), "none");
}

TEST_F(BridgeLoop, TextMessagesGetNoAnswer)
{
    serve();
    control("text " + station + " hello there");
    EXPECT_EQ(unansweredWithin(300), "none");
    Relay relay(station);
    expectReady(relay.exchange(ping(5)), 5);
}

TEST_F(BridgeLoop, EmptyAndUndecodableMessagesAreAnsweredAndServingGoesOn)
{
    serve();
    const ResponseHeader empty = headerOf(fromHex(control("send " + station + " ")));
    EXPECT_EQ(empty.operation, Operation::Ping);
    EXPECT_EQ(empty.requestId, 0u);
    EXPECT_EQ(empty.status, ERR_FAILED);
    EXPECT_EQ(empty.payloadLength, 0u);

    Relay relay(station);
    const ResponseHeader trailing = headerOf(relay.exchange(ping(8, {0x01})));
    EXPECT_EQ(trailing.requestId, 8u);
    EXPECT_EQ(trailing.status, ERR_FAILED);
    expectReady(relay.exchange(ping(9)), 9);
}

TEST_F(BridgeLoop, LargestRequestIsExecutedAndOneByteMoreEndsTheConnection)
{
    serve();
    PacketWriter none;
    std::vector<std::uint8_t> header = buildRequest(Operation::Ping, 77, none);
    header[12] = 0x00, header[13] = 0x00, header[14] = 0x00, header[15] = 0x02;  // payloadLength 0x2000000
    const std::string largest = std::to_string(REQUEST_HEADER_BYTES + MAX_PAYLOAD_BYTES);
    const ResponseHeader answered =
        headerOf(fromHex(control("send-size " + station + " " + toHex(header) + " " + largest + " 60000")));
    EXPECT_EQ(answered.requestId, 77u);  // a whole packet: its header passed, its payload was too long for Ping
    EXPECT_EQ(answered.status, ERR_FAILED);

    const std::string tooLarge = std::to_string(REQUEST_HEADER_BYTES + MAX_PAYLOAD_BYTES + 1);
    EXPECT_EQ(control.answer("send-size " + station + " " + toHex(header) + " " + tooLarge + " 60000").rfind("error", 0),
              0u);
    ASSERT_TRUE(run.waitFinished());
    EXPECT_EQ(run.lines(), (Lines{waitingLine(wideStation()),
                                  L"Connection error: Request packet exceeds the bridge limit.", L"Disconnected."}));
}

TEST_F(BridgeLoop, CloseFrameFromTheServerEndsQuietly)
{
    serve();
    control("close " + station);
    ASSERT_TRUE(run.waitFinished());
    EXPECT_EQ(run.lines(), (Lines{waitingLine(wideStation()), L"Disconnected."}));
}

TEST_F(BridgeLoop, DroppedConnectionEndsWithTheReceiveError)
{
    serve();
    control("drop " + station);
    ASSERT_TRUE(run.waitFinished());
    const Lines lines = run.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind(L"WebSocket receive ended with error ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find_first_of(L"123456789"), std::wstring::npos) << lines[1];
    EXPECT_EQ(lines[1].back(), L'.');
    EXPECT_EQ(lines[2], L"Disconnected.");
}

TEST_F(BridgeLoop, StopWhileWaitingClosesWith1000AndLogsNoError)
{
    serve();
    run.stop();
    ASSERT_TRUE(run.waitFinished());
    EXPECT_EQ(run.lines(), (Lines{waitingLine(wideStation()), L"Disconnected."}));
    EXPECT_EQ(control("wait-closed " + station + " 5000"), "1000");
}

// A handshake that completes after the stop has registered the station on the
// server all the same: the connection it opens is closed at once, with a close
// frame, and serves nothing.
TEST_F(BridgeLoop, StopBeforeRunClosesTheConnectionItsHandshakeOpens)
{
    run.stop();
    run.start();
    ASSERT_TRUE(run.waitFinished());
    EXPECT_EQ(run.lines(), (Lines{L"Disconnected."}));
    EXPECT_EQ(closeCode(control, station), "1000");
}

TEST_F(BridgeLoop, StopDuringTheHandshakeEndsWithoutServingWhateverItsOutcome)
{
    for (const bool rejected : {true, false}) {
        SCOPED_TRACE(rejected ? "rejected" : "accepted");
        const std::wstring name = wideStation() + (rejected ? L"-R" : L"-A");
        ClientRun attempt(standinSettings(name));
        control("upgrade-delay 1500");
        control(rejected ? "reject 401" : "reject 0");
        attempt.start();
        std::this_thread::sleep_for(500ms);
        attempt.stop();
        ASSERT_TRUE(attempt.waitFinished());
        EXPECT_EQ(attempt.lines(), (Lines{L"Disconnected."}));
        if (!rejected) {
            EXPECT_EQ(closeCode(control, std::string(name.begin(), name.end())), "1000");
        }
    }
}

TEST_F(BridgeLoop, StopReturnsAtOnceWhileTheServerHoldsTheHandshake)
{
    const int before = std::stoi(control("upgrades"));
    control("silent");
    run.start();
    for (int i = 0; i < 200 && std::stoi(control("upgrades")) == before; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(std::stoi(control("upgrades")), before + 1);

    // Nothing bounds how long the handshake waits here, so a stop that waited
    // for it would hang its caller.
    std::future<void> stopped = std::async(std::launch::async, [this] { run.stop(); });
    EXPECT_EQ(stopped.wait_for(5s), std::future_status::ready);
    control("release");
    stopped.wait();
    ASSERT_TRUE(run.waitFinished());
    EXPECT_EQ(run.lines(), (Lines{L"Disconnected."}));
    EXPECT_EQ(closeCode(control, station), "1000");
}

// A Windows path to the simulated VCI of this build.
std::wstring simVciPath()
{
    std::wstring path = L"Z:" + std::wstring(std::begin(QEL_SIMVCI_PATH), std::end(QEL_SIMVCI_PATH) - 1);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

std::vector<std::uint8_t> request(Operation operation, std::uint32_t id, std::initializer_list<std::uint32_t> fields)
{
    PacketWriter writer;
    for (const std::uint32_t field : fields) writer.u32(field);
    return buildRequest(operation, id, writer);
}

// The status of a response and a reader over its payload, which lives in `response`.
PacketReader replyOf(const std::vector<std::uint8_t>& response, std::int32_t expectedStatus)
{
    ResponseHeader header{};
    PacketReader reader = responsePayload(response, header);
    EXPECT_EQ(header.status, expectedStatus);
    return reader;
}

BridgeSettings simVciSettings(const std::wstring& station)
{
    BridgeSettings settings = standinSettings(station);
    settings.libraryPath = simVciPath();
    return settings;
}

// Starts the client and waits until the stand-in holds its connection.
void startServing(ClientRun& run, Control& control, const std::string& station)
{
    run.start();
    ASSERT_TRUE(run.waitForLine(waitingLine(std::wstring(station.begin(), station.end()))));
    control("wait-connected " + station + " 5000");
}

TEST(BridgeWithSimulatedVci, RequestsRunOnTheVendorLibraryWhichIsFreedBeforeDisconnected)
{
    Control control;
    control("reset");
    bool loadedAtDisconnected = true;
    ClientRun run(simVciSettings(L"SIMVCI-1"), [&](const std::wstring& line) {
        if (line == L"Disconnected.") loadedAtDisconnected = GetModuleHandleW(L"SimVci.dll") != nullptr;
    });
    ASSERT_NO_FATAL_FAILURE(startServing(run, control, "SIMVCI-1"));
    Relay relay("SIMVCI-1");

    std::vector<std::uint8_t> opened = relay.exchange(request(Operation::Open, 1, {}));
    const std::uint32_t device = replyOf(opened, STATUS_NOERROR).u32();
    EXPECT_NE(GetModuleHandleW(L"SimVci.dll"), nullptr);
    std::vector<std::uint8_t> connected = relay.exchange(request(Operation::Connect, 2, {device, CAN, 0, 500000}));
    const std::uint32_t channel = replyOf(connected, STATUS_NOERROR).u32();

    PASSTHRU_MSG message{};
    message.ProtocolID = CAN;
    message.DataSize = 6;
    const std::uint8_t data[] = {0x00, 0x00, 0x07, 0xE0, 0x3E, 0x00};
    std::copy(std::begin(data), std::end(data), message.Data);
    PacketWriter write;
    write.u32(channel);
    write.u32(1);
    write.u32(100);
    write.message(message);
    std::vector<std::uint8_t> written = relay.exchange(buildRequest(Operation::WriteMsgs, 3, write));
    EXPECT_EQ(replyOf(written, STATUS_NOERROR).u32(), 1u);

    std::vector<std::uint8_t> read = relay.exchange(request(Operation::ReadMsgs, 4, {channel, 1, 100}));
    PacketReader reader = replyOf(read, STATUS_NOERROR);
    ASSERT_EQ(reader.u32(), 1u);
    const PASSTHRU_MSG echoed = reader.message();
    EXPECT_EQ(echoed.RxStatus & TX_MSG_TYPE, TX_MSG_TYPE);
    EXPECT_TRUE(std::equal(std::begin(data), std::end(data), echoed.Data, echoed.Data + echoed.DataSize));

    // A stop while the vendor waits inside ReadMsgs logs no error either way.
    std::thread pending([&] { relay.exchange(request(Operation::ReadMsgs, 5, {channel, 1, 1500})); });
    std::this_thread::sleep_for(300ms);
    run.stop();
    ASSERT_TRUE(run.waitFinished());
    pending.join();
    EXPECT_EQ(run.lines(), (Lines{waitingLine(L"SIMVCI-1"), L"Disconnected."}));
    EXPECT_FALSE(loadedAtDisconnected);
}

TEST(BridgeWithSimulatedVci, ConnectionLostDuringARequestEndsWithTheSendFailure)
{
    Control control;
    control("reset");
    ClientRun run(simVciSettings(L"SIMVCI-2"));
    ASSERT_NO_FATAL_FAILURE(startServing(run, control, "SIMVCI-2"));
    Relay relay("SIMVCI-2");
    const std::uint32_t device = replyOf(relay.exchange(request(Operation::Open, 1, {})), STATUS_NOERROR).u32();
    const std::vector<std::uint8_t> connected = relay.exchange(request(Operation::Connect, 2, {device, CAN, 0, 500000}));
    const std::uint32_t channel = replyOf(connected, STATUS_NOERROR).u32();

    std::thread pending([&] { relay.exchange(request(Operation::ReadMsgs, 3, {channel, 1, 1000})); });
    std::this_thread::sleep_for(300ms);
    control("drop SIMVCI-2");
    ASSERT_TRUE(run.waitFinished());
    pending.join();
    const Lines lines = run.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind(L"Connection error: WebSocket send failed with error ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].back(), L'.');
    EXPECT_EQ(lines[2], L"Disconnected.");
}

// A connection that the window gives up on, because its server never answers
// the close, lets go of the library at once; the worker that returns later
// touches it no more.
TEST(BridgeWithSimulatedVci, LibraryReleasedAfterTheStopIsGoneWhileTheWorkerStillWaits)
{
    Control control;
    control("reset");
    ClientRun run(simVciSettings(L"SIMVCI-3"));
    ASSERT_NO_FATAL_FAILURE(startServing(run, control, "SIMVCI-3"));
    Relay relay("SIMVCI-3");
    replyOf(relay.exchange(request(Operation::Open, 1, {})), STATUS_NOERROR);
    ASSERT_NE(GetModuleHandleW(L"SimVci.dll"), nullptr);

    control("deaf SIMVCI-3");
    run.stop();
    ASSERT_FALSE(run.client().executingRequest());
    run.client().releaseLibrary();
    EXPECT_EQ(GetModuleHandleW(L"SimVci.dll"), nullptr);
    EXPECT_FALSE(run.waitFinished(500ms));

    // The server goes away; the worker ends without loading the library again.
    control("drop SIMVCI-3");
    ASSERT_TRUE(run.waitFinished());
    EXPECT_EQ(GetModuleHandleW(L"SimVci.dll"), nullptr);
    EXPECT_EQ(run.lines(), (Lines{waitingLine(L"SIMVCI-3"), L"Disconnected."}));
}

TEST(BridgeClientLifetime, DestroyingAnUnusedClientTouchesNothing)
{
    int calls = 0;
    {
        BridgeClient client(standinSettings(L"UNUSED"), [&](const std::wstring&) { ++calls; });
    }
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace qel::test
