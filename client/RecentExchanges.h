// The executor's memory of the requests it answered lately, each with its
// reply. Pellith resends a request unchanged, id and all, when the reply was
// late or the connection dropped after sending; other testers on the same
// station may have been served in between. Such a resend is answered from
// here, so that the vendor does not run it a second time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace qel {

class RecentExchanges {
public:
    using Packet = std::vector<std::uint8_t>;

    // A resend follows its request within a few requests of other testers;
    // the bound on memory still holds 15 of the largest replies (a ReadMsgs
    // of 1024 full messages, 4.25 MB each).
    static constexpr std::size_t MAX_EXCHANGES = 16;
    static constexpr std::size_t MAX_BYTES = std::size_t{64} << 20;

    // The stored reply to a request equal to `request` in every byte, else null.
    const Packet* replyTo(const Packet& request) const;
    // Keeps a copy of both packets; the oldest exchanges go when the count or
    // the memory bound would be passed. An exchange larger than the bound, or
    // one that cannot be copied, is not kept.
    void keep(const Packet& request, const Packet& reply);
    // Forgets every exchange and gives its memory back.
    void clear();
    // What the kept buffers hold, their spare room included; never above MAX_BYTES.
    std::size_t bytesHeld() const { return bytes_; }

private:
    struct Exchange {
        Packet request;
        Packet reply;
        std::size_t bytes() const { return request.capacity() + reply.capacity(); }
    };

    std::deque<Exchange> exchanges_;  // oldest first
    std::size_t bytes_ = 0;
};

}  // namespace qel
