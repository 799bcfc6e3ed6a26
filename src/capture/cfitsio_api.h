#pragma once

#include <fitsio.h>

#include <QString>

#include <cstddef>
#include <memory>

namespace brivane {

// The CFITSIO entry points the program uses, resolved from the library on first use: CFITSIO and
// the network stack it is built with stay out of the program's start-up. Members carry CFITSIO's
// short names, so calls read with the long ones: cfitsio().fits_close_file(file, &status).
struct CfitsioApi {
    decltype(&::ffclos) ffclos;
    decltype(&::ffcmsg) ffcmsg;
    decltype(&::ffgerr) ffgerr;
    decltype(&::ffgmsg) ffgmsg;
    decltype(&::ffdkopn) ffdkopn;
    decltype(&::ffdkinit) ffdkinit;
    decltype(&::ffgidm) ffgidm;
    decltype(&::ffgisz) ffgisz;
    decltype(&::ffgiet) ffgiet;
    decltype(&::ffgpxvll) ffgpxvll;
    decltype(&::ffcrim) ffcrim;
    decltype(&::ffukys) ffukys;
    decltype(&::ffukyd) ffukyd;
    decltype(&::ffppxll) ffppxll;
    decltype(&::ffukyj) ffukyj;
    decltype(&::ffgcrd) ffgcrd;
    decltype(&::ffpcks) ffpcks;
    decltype(&::ffomem) ffomem;
    decltype(&::ffimem) ffimem;
    decltype(&::ffflus) ffflus;
    decltype(&::ffghadll) ffghadll;
};

// Throws CameraError when the library or one of its entry points cannot be found.
const CfitsioApi& cfitsio();

// CFITSIO's text for a status, with the first message of its stack when that says more, and the
// status number; clears the stack.
QString fitsErrorText(int status);

// A FITS file CFITSIO works on in memory while Qt reads and writes it on disk: any path works, whatever
// characters it holds and whatever the system's code page (CFITSIO's own file driver takes a narrow
// name). Closes the file, without saving, when destroyed.
class FitsFile {
public:
    enum class Mode {
        Read,   // mapped, read-only
        Edit,   // read whole; save() writes the changed header in place, or the whole file if it grew
        Create, // an empty file; save() writes it whole, over any file of that name
    };

    // failure: the start of the error message, "%1" standing for the path,
    // e.g. "Cannot write the image file \"%1\"". Throws CameraError when the file cannot be opened.
    FitsFile(const QString& path, Mode mode, const QString& failure);
    ~FitsFile();
    FitsFile(const FitsFile&) = delete;
    FitsFile& operator=(const FitsFile&) = delete;

    fitsfile* get() const { return m_file; }
    int* status() { return &m_status; }
    // Throws CameraError with the failure text and CFITSIO's message when status() is not 0.
    void check();
    // Throws CameraError with the given text (with "%1" for the path) and CFITSIO's message for status.
    [[noreturn]] void fail(const QString& failure, int status) const;
    // Closes the file; for Edit and Create writes it to disk first. Throws as check() does.
    void save();

private:
    void writeOut(long long size, long long headerEnd);

    QString m_path;
    Mode m_mode;
    QString m_failure;
    struct Source;
    std::unique_ptr<Source> m_source;
    fitsfile* m_file = nullptr;
    int m_status = 0;
    // CFITSIO keeps the addresses of these two for as long as the file is open.
    void* m_memory = nullptr;
    std::size_t m_size = 0;
};

} // namespace brivane
