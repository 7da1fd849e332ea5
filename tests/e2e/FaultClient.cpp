// The tester's side of the fault scenarios: PassThru calls through Pellith
// while the loopback stand-in, told through its control line, misbehaves the
// way a real relay or bridge server can. Each scenario checks that every call
// ends in a defined status and that the next call works again; the exit code
// is non-zero on any mismatch.
//
//   road_faults <Pellith.dll> <control port> <scenario>
//
//   call        one ordinary exchange (Open, ReadVersion, Close)
//   relay-drop  the relay drops the TCP connection between calls, after
//               reading a request, and on both attempts of a call
//   late-reply  replies held longer than TimeoutMs (set to 5000 ms)
//   long-read   a ReadMsgs with an 8 s time-out on an empty channel, during
//               which the test presses Disconnect in Quorvane
//   resend      a WriteMsgs whose reply is held past TimeoutMs (5000 ms) and
//               a ReadMsgs that waits longer than TimeoutMs on the interface:
//               each is resent, and each runs on the interface once
//   refused-open  a PassThruOpen that the interface refuses with
//               ERR_DEVICE_NOT_CONNECTED, after which the tester ends

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "CallReport.h"
#include "J2534.h"
#include "PassThruLibrary.h"
#include "StandinControl.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* CONNECTION_LOST = "Ubuntu Corvell connection was lost.";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Scenario {
public:
    Scenario(const qel::PassThruApi& pt, qel::StandinControl& control) : pt_(pt), control_(control) {}

    void open() {
        const std::int32_t status = pt_.PassThruOpen(nullptr, &device_);
        report_.call("PassThruOpen(NULL)", status, "DeviceID " + std::to_string(device_));
        report_.expectStatus(status, qel::STATUS_NOERROR);
    }

    void close(std::int32_t wanted = qel::STATUS_NOERROR) {
        const std::int32_t status = pt_.PassThruClose(device_);
        report_.call("PassThruClose(" + std::to_string(device_) + ")", status);
        report_.expectStatus(status, wanted);
    }

    // Returns the firmware text, empty when the call failed.
    std::string readVersion(std::int32_t wanted) {
        char firmware[80] = "?";
        char dll[80] = "?";
        char api[80] = "?";
        const auto start = Clock::now();
        const std::int32_t status = pt_.PassThruReadVersion(device_, firmware, dll, api);
        report_.call("PassThruReadVersion(" + std::to_string(device_) + ")", status,
                     "firmware " + qel::quoted(firmware) + ", API " + qel::quoted(api) + ", after " +
                         seconds(start));
        report_.expectStatus(status, wanted);
        if (wanted == qel::STATUS_NOERROR) {
            report_.expect(firmware[0] != '\0' && std::strcmp(api, "04.04") == 0, "the interface's versions");
        } else {
            report_.expect(firmware[0] == '\0' && api[0] == '\0', "empty versions after a failed call");
        }
        return firmware;
    }

    void readVbatt() {
        std::uint32_t millivolts = 0;
        const std::int32_t status = pt_.PassThruIoctl(device_, qel::READ_VBATT, nullptr, &millivolts);
        report_.call("PassThruIoctl(" + std::to_string(device_) + ", READ_VBATT)", status,
                     std::to_string(millivolts) + " mV");
        report_.expectStatus(status, qel::STATUS_NOERROR);
        report_.expect(millivolts >= 6000 && millivolts <= 30000, "a battery voltage between 6 and 30 V");
    }

    void lastError(const char* wanted) {
        char description[80] = "?";
        const auto start = Clock::now();
        const std::int32_t status = pt_.PassThruGetLastError(description);
        report_.call("PassThruGetLastError()", status, qel::quoted(description) + " after " + seconds(start));
        report_.expectStatus(status, qel::STATUS_NOERROR);
        report_.expect(std::strcmp(description, wanted) == 0, qel::quoted(wanted));
    }

    void tell(const std::string& line) {
        const std::string answer = control_.command(line);
        std::printf("  (stand-in: %s)%s%s\n", line.c_str(), answer.empty() ? "" : " -> ", answer.c_str());
        std::fflush(stdout);
    }

    qel::CallReport& report() { return report_; }
    const qel::PassThruApi& pt() const { return pt_; }
    std::uint32_t device() const { return device_; }

    static std::string seconds(Clock::time_point start) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f s", secondsSince(start));
        return text;
    }

private:
    const qel::PassThruApi& pt_;
    qel::StandinControl& control_;
    qel::CallReport report_;
    std::uint32_t device_ = 0;
};

int oneCall(Scenario& s) {
    s.open();
    s.readVersion(qel::STATUS_NOERROR);
    s.close();
    return s.report().finish("call");
}

// The tester's first call, the same packet on every start but for its id:
// started again, the tester must reach the interface again (the road runs
// "call" next), not get this failure back from Quorvane's store.
int refusedOpen(Scenario& s) {
    std::uint32_t device = 0xFFFFFFFF;
    const std::int32_t status = s.pt().PassThruOpen(nullptr, &device);
    s.report().call("PassThruOpen(NULL)", status, "DeviceID " + std::to_string(device));
    s.report().expectStatus(status, qel::ERR_DEVICE_NOT_CONNECTED);
    return s.report().finish("refused-open");
}

int relayDrop(Scenario& s) {
    s.open();
    const std::string firmware = s.readVersion(qel::STATUS_NOERROR);

    // The idle connection goes away between two calls.
    s.tell("relay-close-all");
    s.report().expect(s.readVersion(qel::STATUS_NOERROR) == firmware, "the same versions after reconnecting");

    // The relay takes the request and drops the connection: the same packet
    // goes out once more on a new connection.
    s.tell("relay-drop 1");
    s.readVbatt();

    // Both attempts dropped: the call gives up, and so does GetLastError,
    // which then shows Pellith's own text.
    s.tell("relay-drop 4");
    s.readVersion(qel::ERR_DEVICE_NOT_CONNECTED);
    s.lastError(CONNECTION_LOST);

    s.tell("reset");
    s.readVersion(qel::STATUS_NOERROR);
    s.close();
    return s.report().finish("relay-drop");
}

int lateReply(Scenario& s) {
    s.open();
    s.readVersion(qel::STATUS_NOERROR);

    s.tell("delay 6000");
    const auto start = Clock::now();
    s.readVersion(qel::ERR_DEVICE_NOT_CONNECTED);
    s.report().expect(secondsSince(start) >= 9.5, "two waits of TimeoutMs (5 s) before giving up");
    s.lastError(CONNECTION_LOST);

    s.tell("delay 0");
    s.readVersion(qel::STATUS_NOERROR);
    s.close();
    return s.report().finish("late-reply");
}

int longRead(Scenario& s) {
    s.open();
    std::uint32_t channel = 0;
    std::int32_t status = s.pt().PassThruConnect(s.device(), qel::CAN, 0, 500000, &channel);
    s.report().call("PassThruConnect(" + std::to_string(s.device()) + ", CAN, 0, 500000)", status,
                    "ChannelID " + std::to_string(channel));
    s.report().expectStatus(status, qel::STATUS_NOERROR);

    qel::PASSTHRU_MSG msg{};
    std::uint32_t count = 1;
    const auto start = Clock::now();
    std::printf("  reading with an 8 s time-out; Disconnect comes meanwhile\n");
    std::fflush(stdout);
    status = s.pt().PassThruReadMsgs(channel, &msg, &count, 8000);
    s.report().call("PassThruReadMsgs(" + std::to_string(channel) + ", room for 1, 8000)", status,
                    "NumMsgs " + std::to_string(count) + " after " + Scenario::seconds(start));
    // Either the interface's own answer to the empty channel came back before
    // the bridge connection closed, or the connection was gone: both are
    // defined ends, and no message can have been invented on the way.
    s.report().expect(status == qel::ERR_TIMEOUT || status == qel::ERR_BUFFER_EMPTY ||
                          status == qel::ERR_DEVICE_NOT_CONNECTED,
                      "ERR_TIMEOUT, ERR_BUFFER_EMPTY or ERR_DEVICE_NOT_CONNECTED");
    s.report().expect(count == 0, "no message");

    // Quorvane is disconnected now: the relay has no station to talk to.
    s.readVersion(qel::ERR_DEVICE_NOT_CONNECTED);
    return s.report().finish("long-read");
}

std::uint32_t connectCan(Scenario& s) {
    std::uint32_t channel = 0;
    const std::int32_t status = s.pt().PassThruConnect(s.device(), qel::CAN, 0, 500000, &channel);
    s.report().call("PassThruConnect(" + std::to_string(s.device()) + ", CAN, 0, 500000)", status,
                    "ChannelID " + std::to_string(channel));
    s.report().expectStatus(status, qel::STATUS_NOERROR);
    return channel;
}

// Reads with room for ten; returns the messages read.
std::uint32_t readMsgs(Scenario& s, std::uint32_t channel, std::uint32_t timeout, qel::PASSTHRU_MSG* msgs,
                       std::int32_t wanted) {
    std::uint32_t count = 10;
    const auto start = Clock::now();
    const std::int32_t status = s.pt().PassThruReadMsgs(channel, msgs, &count, timeout);
    s.report().call("PassThruReadMsgs(" + std::to_string(channel) + ", room for 10, " + std::to_string(timeout) + ")",
                    status, "NumMsgs " + std::to_string(count) + " after " + Scenario::seconds(start));
    s.report().expectStatus(status, wanted);
    return count;
}

// A resent request must not run twice on the interface. The simulated VCI
// echoes every message written, so the echoes count the writes; and a
// periodic message falling due after TimeoutMs makes a read outlast it.
int resend(Scenario& s) {
    s.open();
    const std::uint32_t channel = connectCan(s);
    qel::PASSTHRU_MSG msgs[10] = {};

    // Held longer than TimeoutMs, the first reply is lost and the WriteMsgs
    // goes out again; the hold ends before the resend, whose reply comes back.
    s.tell("delay 6000");
    qel::PASSTHRU_MSG written = qel::makeMessage(qel::CAN, {0x00, 0x00, 0x07, 0xE0, 0x02, 0x10, 0x03});
    std::uint32_t count = 1;
    std::int32_t status = -1;
    const auto start = Clock::now();
    std::thread writer([&] { status = s.pt().PassThruWriteMsgs(channel, &written, &count, 100); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    s.tell("delay 0");
    writer.join();
    s.report().call("PassThruWriteMsgs(" + std::to_string(channel) + ", 1 message, 100)", status,
                    "NumMsgs " + std::to_string(count) + " after " + Scenario::seconds(start));
    s.report().expectStatus(status, qel::STATUS_NOERROR);
    s.report().expect(count == 1, "one message written");
    s.report().expect(secondsSince(start) >= 4.5, "the reply came only after the resend");
    s.report().expect(readMsgs(s, channel, 0, msgs, qel::STATUS_NOERROR) == 1, "one echo: written once");

    // The read waits 6 s for the periodic message, longer than TimeoutMs: the
    // resend must bring back the message that the first read took.
    std::uint32_t periodicId = 0;
    qel::PASSTHRU_MSG periodic = qel::makeMessage(qel::CAN, {0x00, 0x00, 0x07, 0xDF, 0x01, 0x3E});
    status = s.pt().PassThruStartPeriodicMsg(channel, &periodic, &periodicId, 6000);
    s.report().call("PassThruStartPeriodicMsg(" + std::to_string(channel) + ", every 6000 ms)", status,
                    "MsgID " + std::to_string(periodicId));
    s.report().expectStatus(status, qel::STATUS_NOERROR);
    const auto reading = Clock::now();
    const std::uint32_t read = readMsgs(s, channel, 8000, msgs, qel::STATUS_NOERROR);
    s.report().expect(secondsSince(reading) >= 4.5, "the read outlasted TimeoutMs and was resent");
    s.report().expect(read == 1 && msgs[0].DataSize == periodic.DataSize &&
                          std::memcmp(msgs[0].Data, periodic.Data, periodic.DataSize) == 0,
                      "the periodic message, delivered after the resend");
    status = s.pt().PassThruStopPeriodicMsg(channel, periodicId);
    s.report().call("PassThruStopPeriodicMsg(" + std::to_string(channel) + ", " + std::to_string(periodicId) + ")",
                    status);
    s.report().expectStatus(status, qel::STATUS_NOERROR);

    status = s.pt().PassThruDisconnect(channel);
    s.report().call("PassThruDisconnect(" + std::to_string(channel) + ")", status);
    s.report().expectStatus(status, qel::STATUS_NOERROR);
    s.close();
    return s.report().finish("resend");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::printf("usage: road_faults <pass-thru DLL> <control port>"
                    " call|relay-drop|late-reply|long-read|resend|refused-open\n");
        return 2;
    }
    const std::wstring scenario = argv[3];
    try {
        const qel::PassThruLibrary library(argv[1]);
        qel::StandinControl control(static_cast<std::uint16_t>(std::wcstoul(argv[2], nullptr, 10)));
        Scenario s(library.api(), control);
        if (scenario == L"call") return oneCall(s);
        if (scenario == L"relay-drop") return relayDrop(s);
        if (scenario == L"late-reply") return lateReply(s);
        if (scenario == L"long-read") return longRead(s);
        if (scenario == L"resend") return resend(s);
        if (scenario == L"refused-open") return refusedOpen(s);
        std::printf("unknown scenario\n");
        return 2;
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
