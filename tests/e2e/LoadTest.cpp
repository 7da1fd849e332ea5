// Many tester threads on one Pellith at once: each thread has a channel of
// its own (a protocol of its own: the simulated interface takes one channel
// per protocol) and makes its share of the calls; every answer is checked against
// what that thread asked for, so a reply delivered to the wrong caller, a lost
// call or a torn result shows up as a mismatch. Prints the latency figures
// and exits non-zero on any mismatch.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "J2534.h"
#include "PacketHeaders.h"
#include "PassThruLibrary.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Totals {
    std::mutex mutex;
    std::vector<double> micros;
    std::atomic<std::uint32_t> calls{0};
    std::atomic<std::uint32_t> mismatches{0};

    void mismatch(unsigned thread, std::uint32_t call, const std::string& what) {
        if (mismatches.fetch_add(1) < 20) {
            std::lock_guard<std::mutex> lock(mutex);
            std::printf("thread %u call %u: %s\n", thread, call, what.c_str());
        }
    }
};

class Tester {
public:
    Tester(const qel::PassThruApi& pt, std::uint32_t device, unsigned index, std::uint32_t quota, Totals& totals)
        : pt_(pt), device_(device), index_(index), quota_(quota), totals_(totals) {
        micros_.reserve(quota);
    }

    void run() {
        std::uint32_t channel = 0;
        expect(timed([&] { return pt_.PassThruConnect(device_, protocol(), 0, 500000, &channel); }), "Connect");
        qel::SCONFIG own{qel::ISO15765_STMIN, ownValue()};
        qel::SCONFIG_LIST ownList{1, &own};
        expect(timed([&] { return pt_.PassThruIoctl(channel, qel::SET_CONFIG, &ownList, nullptr); }), "SET_CONFIG");
        for (std::uint32_t i = 0; micros_.size() + 1 < quota_; ++i) {
            switch (i % 3) {
                case 0: writeOwnMessage(channel, i / 3); break;
                case 1: readOwnMessage(channel, i / 3); break;
                default: readOwnParameter(channel); break;
            }
        }
        expect(timed([&] { return pt_.PassThruDisconnect(channel); }), "Disconnect");
        std::lock_guard<std::mutex> lock(totals_.mutex);
        totals_.micros.insert(totals_.micros.end(), micros_.begin(), micros_.end());
    }

private:
    std::uint32_t protocol() const { return qel::J1850VPW + index_; }
    std::uint32_t ownValue() const { return 100 + index_; }

    // An id 0x100 + thread, then the thread and the sequence number.
    qel::PASSTHRU_MSG ownMessage(std::uint32_t sequence) const {
        qel::PASSTHRU_MSG msg = qel::makeMessage(protocol(), {0x00, 0x00, 0x01, static_cast<std::uint8_t>(index_)});
        msg.Data[4] = static_cast<std::uint8_t>(index_);
        std::memcpy(msg.Data + 5, &sequence, sizeof sequence);
        msg.DataSize = 9;
        return msg;
    }

    void writeOwnMessage(std::uint32_t channel, std::uint32_t sequence) {
        qel::PASSTHRU_MSG msg = ownMessage(sequence);
        std::uint32_t count = 1;
        expect(timed([&] { return pt_.PassThruWriteMsgs(channel, &msg, &count, 100); }), "WriteMsgs");
        if (count != 1) {
            totals_.mismatch(index_, callNumber(), "WriteMsgs NumMsgs " + std::to_string(count));
        }
    }

    void readOwnMessage(std::uint32_t channel, std::uint32_t sequence) {
        const qel::PASSTHRU_MSG wanted = ownMessage(sequence);
        qel::PASSTHRU_MSG got[2]{};
        std::uint32_t count = 1;
        const std::int32_t status = timed([&] { return pt_.PassThruReadMsgs(channel, got, &count, 1000); });
        expect(status, "ReadMsgs");
        if (count != 1 || got[0].DataSize != wanted.DataSize ||
            std::memcmp(got[0].Data, wanted.Data, wanted.DataSize) != 0) {
            totals_.mismatch(index_, callNumber(),
                             "ReadMsgs gave " + std::to_string(count) + " message(s): " +
                                 qel::hexBytes(got[0].Data, got[0].DataSize) + ", wanted " +
                                 qel::hexBytes(wanted.Data, wanted.DataSize));
        }
    }

    void readOwnParameter(std::uint32_t channel) {
        qel::SCONFIG params[2]{{qel::DATA_RATE, 0}, {qel::ISO15765_STMIN, 0}};
        qel::SCONFIG_LIST list{2, params};
        expect(timed([&] { return pt_.PassThruIoctl(channel, qel::GET_CONFIG, &list, nullptr); }), "GET_CONFIG");
        if (params[0].Value != 500000 || params[1].Value != ownValue()) {
            totals_.mismatch(index_, callNumber(),
                             "GET_CONFIG gave " + std::to_string(params[0].Value) + " and " +
                                 std::to_string(params[1].Value) + ", wanted 500000 and " +
                                 std::to_string(ownValue()));
        }
    }

    template <typename Call>
    std::int32_t timed(Call call) {
        const auto start = Clock::now();
        const std::int32_t status = call();
        micros_.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        totals_.calls.fetch_add(1);
        return status;
    }

    void expect(std::int32_t status, const char* what) {
        if (status != qel::STATUS_NOERROR) {
            totals_.mismatch(index_, callNumber(), std::string(what) + " returned " + qel::statusName(status));
        }
    }

    std::uint32_t callNumber() const { return static_cast<std::uint32_t>(micros_.size()); }

    const qel::PassThruApi& pt_;
    const std::uint32_t device_;
    const unsigned index_;
    const std::uint32_t quota_;
    Totals& totals_;
    std::vector<double> micros_;
};

double percentile(const std::vector<double>& sorted, double p) {
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * (sorted.size() - 1) + 0.5))];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: road_load <pass-thru DLL> [threads] [calls in all]\n");
        return 2;
    }
    const unsigned threads = argc > 2 ? static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)) : 8;
    const std::uint32_t calls = argc > 3 ? static_cast<std::uint32_t>(std::wcstoul(argv[3], nullptr, 10)) : 10000;
    if (threads == 0 || threads > 10 || calls < threads * 4) {
        std::printf("need 1 to 10 threads (one protocol each) and four calls per thread\n");
        return 2;
    }
    try {
        const qel::PassThruLibrary library(argv[1]);
        const qel::PassThruApi& pt = library.api();
        std::uint32_t device = 0;
        if (const std::int32_t status = pt.PassThruOpen(nullptr, &device); status != qel::STATUS_NOERROR) {
            std::printf("PassThruOpen returned %s\n", qel::statusName(status));
            return 1;
        }

        Totals totals;
        std::vector<Tester> testers;
        testers.reserve(threads);
        for (unsigned t = 0; t < threads; ++t) {
            const std::uint32_t quota = calls / threads + (t < calls % threads ? 1 : 0);
            testers.emplace_back(pt, device, t, quota, totals);
        }
        const auto start = Clock::now();
        std::vector<std::thread> running;
        for (Tester& tester : testers) {
            running.emplace_back([&tester] { tester.run(); });
        }
        for (std::thread& thread : running) {
            thread.join();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        pt.PassThruClose(device);

        std::sort(totals.micros.begin(), totals.micros.end());
        std::printf("%u threads, %u calls answered of %u in %.2f s (%.0f calls/s)\n", threads, totals.calls.load(),
                    calls, seconds, totals.calls.load() / seconds);
        std::printf("per call: median %.0f us, p99 %.0f us, max %.0f us\n", percentile(totals.micros, 0.5),
                    percentile(totals.micros, 0.99), totals.micros.back());
        std::printf("%u mismatch(es)\n", totals.mismatches.load());
        return totals.mismatches.load() == 0 && totals.calls.load() == calls ? 0 : 1;
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
