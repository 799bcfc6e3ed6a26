#pragma once

#include "capture/camera.h"

#include <QString>

#include <optional>

namespace brivane {

// How a saved flat or dark flat was made, as its FITS header tells it.
struct FrameHeader {
    FrameHeader(FrameType type = FrameType::Flat, double exposure = 0, int binning = 1, QString filter = {},
                std::optional<int> panelStep = std::nullopt, std::optional<int> frequencyHz = std::nullopt,
                std::optional<double> gain = std::nullopt, std::optional<double> offset = std::nullopt)
        : type(type), exposure(exposure), binning(binning), filter(std::move(filter)), panelStep(panelStep),
          frequencyHz(frequencyHz), gain(gain), offset(offset) {}
    FrameType type = FrameType::Flat;
    double exposure = 0; // seconds
    int binning = 1;
    QString filter;                 // the camera's name for the filter, else "Filter3"
    std::optional<int> panelStep;   // the level sent to the panel, 0..43 (0 for a dark flat)
    std::optional<int> frequencyHz; // the inverter's drive frequency, when it has reported one
    std::optional<double> gain;     // GAIN and OFFSET, when set on the camera
    std::optional<double> offset;
};

// Header keywords of our own: the panel's step and its drive frequency.
inline constexpr char kPanelStepKey[] = "PANELSTP";
inline constexpr char kPanelFrequencyKey[] = "PANELFRQ";

// 'Flat Frame' or 'Dark Frame', the IMAGETYP values calibration tools group by.
QString imageTypeText(FrameType type);

// The name the camera reports for the slot (0..7), or "Filter1".."Filter8" when it reports none.
QString filterLabel(const QString& reported, int slot);

// Writes IMAGETYP, EXPTIME, XBINNING, YBINNING, FILTER and the panel keywords into the primary
// header of the FITS file at path, replacing keywords of the same name. A checksum already in the
// header is brought up to date. Throws CameraError with CFITSIO's text when the file cannot be
// opened or written (a file that is not FITS, say).
void writeFrameHeader(const QString& path, const FrameHeader& header);

} // namespace brivane
