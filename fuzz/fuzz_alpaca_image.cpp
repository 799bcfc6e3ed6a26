// The Alpaca image decoder on any answer, cut into pieces of any size: it must throw CameraError
// or hand over exactly the frame asked for.
#include "capture/alpaca/alpaca_image.h"
#include "capture/camera.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const bool imageBytes = data[0] & 1;
    const bool sixteenBit = data[0] & 2;
    const std::size_t piece = 1 + data[1] % 64;
    data += 2;
    size -= 2;
    brivane::ImageDecoder decoder(QStringLiteral("fuzz"), 7, 5, sixteenBit);
    try {
        decoder.begin(imageBytes ? QByteArrayLiteral("application/imagebytes")
                                 : QByteArrayLiteral("application/json"));
        for (std::size_t at = 0; at < size; at += piece)
            decoder.feed(reinterpret_cast<const char*>(data) + at,
                         static_cast<qsizetype>(std::min(piece, size - at)));
        const brivane::PixelBuffer pixels = decoder.finish();
        if (pixels.width() != 7 || pixels.height() != 5)
            std::abort();
    } catch (const brivane::CameraError&) {
    }
    return 0;
}
