#include "capture/frame_header.h"

#include "capture/cfitsio_api.h"

#include <cmath>

namespace brivane {

namespace {

constexpr int kKeyNotFound = 202;      // CFITSIO's KEY_NO_EXIST
constexpr qsizetype kLongestText = 68; // a string value that fits one card

// FITS strings are printable ASCII: anything else becomes '_'.
QByteArray fitsText(const QString& text) {
    QByteArray bytes = text.left(kLongestText).toLatin1();
    for (char& c : bytes)
        if (c < 0x20 || c > 0x7e)
            c = '_';
    return bytes;
}

class HeaderEditor {
public:
    explicit HeaderEditor(const QString& path)
        : m_file(path, FitsFile::Mode::Edit, QStringLiteral("Cannot write the header of \"%1\"")) {}

    void text(const char* key, const QString& value, const char* comment) {
        QByteArray bytes = fitsText(value);
        cfitsio().fits_update_key_str(m_file.get(), key, bytes.constData(), comment, m_file.status());
        m_file.check();
    }
    void number(const char* key, double value, const char* comment) {
        cfitsio().fits_update_key_dbl(m_file.get(), key, value, -10, comment, m_file.status());
        m_file.check();
    }
    void integer(const char* key, long long value, const char* comment) {
        cfitsio().fits_update_key_lng(m_file.get(), key, value, comment, m_file.status());
        m_file.check();
    }
    bool has(const char* key) {
        char card[FLEN_CARD] = {};
        int status = 0;
        cfitsio().fits_read_card(m_file.get(), key, card, &status);
        if (status == kKeyNotFound)
            cfitsio().fits_clear_errmsg();
        return status == 0;
    }
    void updateChecksum() {
        cfitsio().fits_write_chksum(m_file.get(), m_file.status());
        m_file.check();
    }
    void close() { m_file.save(); }

private:
    FitsFile m_file;
};

} // namespace

QString imageTypeText(FrameType type) {
    return type == FrameType::Dark ? QStringLiteral("Dark Frame") : QStringLiteral("Flat Frame");
}

QString filterLabel(const QString& reported, int slot) {
    const QString name = reported.trimmed();
    return name.isEmpty() ? QStringLiteral("Filter%1").arg(slot + 1) : name;
}

void writeFrameHeader(const QString& path, const FrameHeader& header) {
    HeaderEditor file(path);
    file.text("IMAGETYP", imageTypeText(header.type), "type of image");
    file.number("EXPTIME", std::isfinite(header.exposure) ? header.exposure : 0.0, "[s] exposure time");
    file.integer("XBINNING", header.binning, "binning factor, x");
    file.integer("YBINNING", header.binning, "binning factor, y");
    file.text("FILTER", header.filter, "filter");
    if (header.panelStep)
        file.integer(kPanelStepKey, *header.panelStep, "EL panel brightness step, 0-43 (0 off)");
    if (header.frequencyHz)
        file.integer(kPanelFrequencyKey, *header.frequencyHz, "[Hz] EL panel drive frequency");
    if (file.has("CHECKSUM") || file.has("DATASUM"))
        file.updateChecksum();
    file.close();
}

} // namespace brivane
