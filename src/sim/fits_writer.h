#pragma once

#include <QString>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace brivane {

// One keyword of the primary header, written as a number or as text.
struct FitsKey {
    QString name;
    double number = 0;
    QString text; // written as text when not empty
    QString comment;
};

// Writes a 16-bit unsigned primary image (BITPIX 16, BZERO 32768) of width x height pixels,
// row by row, replacing any existing file. Throws CameraError with CFITSIO's text on failure.
void writeFits16(const QString& path, long width, long height, std::span<const std::uint16_t> pixels,
                 std::span<const FitsKey> keys = {});

} // namespace brivane
