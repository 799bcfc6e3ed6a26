// Receive framing plus the reply interpreter: arbitrary bytes, cut into arbitrary chunks.
#include "link/framing.h"
#include "link/reply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the chunk length, so one input also tests how chunking cuts frames.
    const std::size_t step = 1 + data[0] % 16;
    const QByteArrayView bytes(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

    brivane::ReplyFramer chunked;
    std::vector<QString> frames;
    for (qsizetype at = 0; at < bytes.size(); at += static_cast<qsizetype>(step)) {
        auto part = chunked.feed(
            bytes.sliced(at, std::min<qsizetype>(static_cast<qsizetype>(step), bytes.size() - at)));
        frames.insert(frames.end(), part.begin(), part.end());
        if (chunked.pending().size() > brivane::ReplyFramer::kMaxPending + 1)
            std::abort(); // the receive buffer must stay bounded
    }

    brivane::ReplyFramer whole;
    const auto once = whole.feed(bytes);
    if (once != frames || whole.pending() != chunked.pending())
        std::abort(); // chunking must never change the frames

    brivane::PanelStatus status;
    for (const QString& frame : frames) {
        if (!frame.endsWith(u'#') || frame.size() > brivane::ReplyFramer::kMaxPending + 1)
            std::abort();
        const brivane::Reply reply = brivane::parseReply(frame);
        if (reply.valueText.size() >= frame.size() || reply.valueText.contains(u'#'))
            std::abort(); // the value lies between the tag and the terminator
        status.update(reply);
    }
    return 0;
}
