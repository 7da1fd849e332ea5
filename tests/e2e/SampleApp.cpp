// A small diagnostic application, as a tester would run one: it loads the
// pass-thru library named on its command line and runs one ordinary ISO 15765
// session on it (the OBD request "supported PIDs 01-20" on 7E0/7E8). Every
// call is printed with its status and results, and every result is checked;
// the exit code is non-zero on any mismatch, so a script or a test can trust
// it.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "CallReport.h"
#include "J2534.h"
#include "PassThruLibrary.h"
#include "Utf8.h"

namespace {

using qel::PASSTHRU_MSG;
using qel::SCONFIG;
using qel::SCONFIG_LIST;

std::string describe(const PASSTHRU_MSG& msg) {
    char head[96];
    std::snprintf(head, sizeof head, "{Protocol %u RxStatus 0x%X Timestamp %u DataSize %u: ", msg.ProtocolID,
                  msg.RxStatus, msg.Timestamp, msg.DataSize);
    return head + qel::hexBytes(msg.Data, msg.DataSize) + "}";
}

bool sameData(const PASSTHRU_MSG& a, const PASSTHRU_MSG& b) {
    return a.DataSize == b.DataSize && std::memcmp(a.Data, b.Data, a.DataSize) == 0;
}

// Reads the parameters named in `params` and fills in their values.
std::int32_t getConfig(const qel::PassThruApi& pt, std::uint32_t channel, std::vector<SCONFIG>& params) {
    SCONFIG_LIST list{static_cast<std::uint32_t>(params.size()), params.data()};
    return pt.PassThruIoctl(channel, qel::GET_CONFIG, &list, nullptr);
}

std::string parameterName(std::uint32_t parameter) {
    switch (parameter) {
        case qel::DATA_RATE: return "DATA_RATE";
        case qel::LOOPBACK: return "LOOPBACK";
        case qel::ISO15765_BS: return "ISO15765_BS";
        case qel::ISO15765_STMIN: return "ISO15765_STMIN";
        default: return std::to_string(parameter);
    }
}

std::string describe(const std::vector<SCONFIG>& params) {
    std::string text;
    for (const SCONFIG& p : params) {
        text += (text.empty() ? "" : ", ") + parameterName(p.Parameter) + "=" + std::to_string(p.Value);
    }
    return "{" + text + "}";
}

int runSession(const qel::PassThruApi& pt) {
    qel::CallReport report;

    std::uint32_t device = 0;
    std::int32_t status = pt.PassThruOpen(nullptr, &device);
    report.call("PassThruOpen(NULL)", status, "DeviceID " + std::to_string(device));
    report.expectStatus(status, qel::STATUS_NOERROR);

    char firmware[80] = "?";
    char dll[80] = "?";
    char api[80] = "?";
    status = pt.PassThruReadVersion(device, firmware, dll, api);
    report.call("PassThruReadVersion(" + std::to_string(device) + ")", status,
                "firmware " + qel::quoted(firmware) + ", DLL " + qel::quoted(dll) + ", API " + qel::quoted(api));
    report.expectStatus(status, qel::STATUS_NOERROR);
    report.expect(firmware[0] != '\0' && dll[0] != '\0', "firmware and DLL versions given");
    report.expect(std::strcmp(api, "04.04") == 0, "API version 04.04");

    std::uint32_t channel = 0;
    status = pt.PassThruConnect(device, qel::ISO15765, 0, 500000, &channel);
    report.call("PassThruConnect(" + std::to_string(device) + ", ISO15765, 0, 500000)", status,
                "ChannelID " + std::to_string(channel));
    report.expectStatus(status, qel::STATUS_NOERROR);
    const std::string ch = std::to_string(channel);

    PASSTHRU_MSG mask = qel::makeMessage(qel::ISO15765, {0xFF, 0xFF, 0xFF, 0xFF}, qel::ISO15765_FRAME_PAD);
    PASSTHRU_MSG pattern = qel::makeMessage(qel::ISO15765, {0x00, 0x00, 0x07, 0xE8}, qel::ISO15765_FRAME_PAD);
    PASSTHRU_MSG flowControl = qel::makeMessage(qel::ISO15765, {0x00, 0x00, 0x07, 0xE0}, qel::ISO15765_FRAME_PAD);
    std::uint32_t filter = 0;
    status = pt.PassThruStartMsgFilter(channel, qel::FLOW_CONTROL_FILTER, &mask, &pattern, &flowControl, &filter);
    report.call("PassThruStartMsgFilter(" + ch + ", FLOW_CONTROL, mask FFFFFFFF, 7E8, 7E0)", status,
                "FilterID " + std::to_string(filter));
    report.expectStatus(status, qel::STATUS_NOERROR);

    PASSTHRU_MSG request = qel::makeMessage(qel::ISO15765, {0x00, 0x00, 0x07, 0xE0, 0x01, 0x00},
                                            qel::ISO15765_FRAME_PAD);
    std::uint32_t count = 1;
    status = pt.PassThruWriteMsgs(channel, &request, &count, 1000);
    report.call("PassThruWriteMsgs(" + ch + ", " + describe(request) + ", 1000)", status,
                "NumMsgs " + std::to_string(count));
    report.expectStatus(status, qel::STATUS_NOERROR);
    report.expect(count == 1, "one message written");

    std::vector<PASSTHRU_MSG> received(4);
    count = static_cast<std::uint32_t>(received.size());
    status = pt.PassThruReadMsgs(channel, received.data(), &count, 500);
    report.call("PassThruReadMsgs(" + ch + ", room for 4, 500)", status, "NumMsgs " + std::to_string(count));
    bool echoed = false;
    for (std::uint32_t i = 0; i < count && i < received.size(); ++i) {
        std::printf("    [%u] %s\n", i, describe(received[i]).c_str());
        echoed = echoed || (received[i].ProtocolID == qel::ISO15765 && sameData(received[i], request));
    }
    report.expect(status == qel::STATUS_NOERROR || status == qel::ERR_TIMEOUT, "messages read");
    report.expect(echoed, "the written request comes back from the interface");

    std::vector<SCONFIG> params{{qel::DATA_RATE, 0}, {qel::ISO15765_BS, 0}, {qel::ISO15765_STMIN, 0}};
    status = getConfig(pt, channel, params);
    report.call("PassThruIoctl(" + ch + ", GET_CONFIG, {DATA_RATE, ISO15765_BS, ISO15765_STMIN})", status,
                describe(params));
    report.expectStatus(status, qel::STATUS_NOERROR);
    report.expect(params[0].Value == 500000, "DATA_RATE is the connect baud rate");

    std::vector<SCONFIG> changes{{qel::ISO15765_BS, 8}, {qel::ISO15765_STMIN, 20}};
    SCONFIG_LIST changeList{static_cast<std::uint32_t>(changes.size()), changes.data()};
    status = pt.PassThruIoctl(channel, qel::SET_CONFIG, &changeList, nullptr);
    report.call("PassThruIoctl(" + ch + ", SET_CONFIG, " + describe(changes) + ")", status);
    report.expectStatus(status, qel::STATUS_NOERROR);

    std::vector<SCONFIG> check{{qel::ISO15765_BS, 0}, {qel::ISO15765_STMIN, 0}};
    status = getConfig(pt, channel, check);
    report.call("PassThruIoctl(" + ch + ", GET_CONFIG, {ISO15765_BS, ISO15765_STMIN})", status, describe(check));
    report.expectStatus(status, qel::STATUS_NOERROR);
    report.expect(check[0].Value == 8 && check[1].Value == 20, "the values just set are read back");

    std::uint32_t millivolts = 0;
    status = pt.PassThruIoctl(device, qel::READ_VBATT, nullptr, &millivolts);
    report.call("PassThruIoctl(" + std::to_string(device) + ", READ_VBATT)", status,
                std::to_string(millivolts) + " mV");
    report.expectStatus(status, qel::STATUS_NOERROR);
    report.expect(millivolts >= 6000 && millivolts <= 30000, "a battery voltage between 6 and 30 V");

    const std::uint32_t wrongChannel = channel + 1000;
    status = pt.PassThruDisconnect(wrongChannel);
    report.call("PassThruDisconnect(" + std::to_string(wrongChannel) + ")  (deliberately wrong)", status);
    report.expectStatus(status, qel::ERR_INVALID_CHANNEL_ID);

    char description[80] = "?";
    status = pt.PassThruGetLastError(description);
    report.call("PassThruGetLastError()", status, qel::quoted(description));
    report.expectStatus(status, qel::STATUS_NOERROR);
    report.expect(description[0] != '\0' && std::strcmp(description, "No error.") != 0,
                  "the interface describes the failure");

    status = pt.PassThruDisconnect(channel);
    report.call("PassThruDisconnect(" + ch + ")", status);
    report.expectStatus(status, qel::STATUS_NOERROR);

    status = pt.PassThruClose(device);
    report.call("PassThruClose(" + std::to_string(device) + ")", status);
    report.expectStatus(status, qel::STATUS_NOERROR);

    return report.finish("Session");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring path = argc > 1 ? argv[1] : L"Pellith.dll";
    try {
        const qel::PassThruLibrary library(path);
        std::printf("Loaded %s\n", qel::utf8(path).c_str());
        return runSession(library.api());
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
