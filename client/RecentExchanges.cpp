#include "RecentExchanges.h"

#include <algorithm>
#include <new>
#include <utility>

namespace qel {

namespace {

// The room of two reused buffers once the packets are copied in: a buffer
// keeps its room when the packet fits and grows to the packet's size when not.
std::size_t footprint(std::size_t requestRoom, std::size_t replyRoom, std::size_t requestSize,
                      std::size_t replySize) {
    return std::max(requestRoom, requestSize) + std::max(replyRoom, replySize);
}

}  // namespace

const RecentExchanges::Packet* RecentExchanges::replyTo(const Packet& request) const {
    // Newest first: a resend comes soon after its request.
    for (auto kept = exchanges_.rbegin(); kept != exchanges_.rend(); ++kept) {
        if (kept->request == request) {
            return &kept->reply;
        }
    }
    return nullptr;
}

// The new exchange goes into the buffers of an evicted one: their pages are
// in use already, where fresh memory costs a page fault per page on first
// touch, which for a 4 MiB reply is more than the copy itself.
void RecentExchanges::keep(const Packet& request, const Packet& reply) {
    if (request.size() + reply.size() > MAX_BYTES) {
        return;
    }
    Exchange slot;
    const auto fits = [&] {
        return bytes_ + footprint(slot.request.capacity(), slot.reply.capacity(), request.size(), reply.size()) <=
               MAX_BYTES;
    };
    while (!exchanges_.empty() && (exchanges_.size() == MAX_EXCHANGES || !fits())) {
        Exchange& oldest = exchanges_.front();
        bytes_ -= oldest.bytes();
        // Of several evicted exchanges the largest buffers are kept, the rest freed.
        if (oldest.bytes() > slot.bytes()) {
            std::swap(slot, oldest);
        }
        exchanges_.pop_front();
    }
    if (!fits()) {
        // Only the spare room of the reused buffers stands in the way now.
        slot = Exchange{};
    }
    try {
        slot.request.assign(request.begin(), request.end());
        slot.reply.assign(reply.begin(), reply.end());
        exchanges_.push_back(std::move(slot));
    } catch (const std::bad_alloc&) {
        // Not kept: a resend of it runs again, but it never gets another request's reply.
        return;
    }
    bytes_ += exchanges_.back().bytes();
    // Should the copies have taken more room than foreseen, the bound still holds.
    while (bytes_ > MAX_BYTES) {
        bytes_ -= exchanges_.front().bytes();
        exchanges_.pop_front();
    }
}

void RecentExchanges::clear() {
    exchanges_.clear();
    bytes_ = 0;
}

}  // namespace qel
