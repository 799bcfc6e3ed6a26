#include "capture/cfitsio_api.h"

#include "capture/camera.h"

#include <QFile>
#include <QSaveFile>
#include <QString>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <utility>

#ifdef Q_OS_WIN
namespace brivane {
const CfitsioApi& cfitsio() {
    static const CfitsioApi api{::ffclos, ::ffcmsg, ::ffgerr,   ::ffgmsg, ::ffdkopn, ::ffdkinit, ::ffgidm,
                                ::ffgisz, ::ffgiet, ::ffgpxvll, ::ffcrim, ::ffukys,  ::ffukyd,   ::ffppxll,
                                ::ffukyj, ::ffgcrd, ::ffpcks,   ::ffomem, ::ffimem,  ::ffflus,   ::ffghadll};
    return api;
}
} // namespace brivane
#else
#include <dlfcn.h>

namespace brivane {

namespace {

void* openLibrary() {
    for (const char* name : {"libcfitsio.so.10", "libcfitsio.so", "libcfitsio.dylib"})
        if (void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL))
            return handle;
    return nullptr;
}

template <typename Function> void resolve(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (!function)
        throw CameraError(QStringLiteral("The FITS library lacks %1.").arg(QLatin1String(name)));
}

CfitsioApi load() {
    void* library = openLibrary(); // kept loaded for the rest of the run
    if (!library)
        throw CameraError(QStringLiteral("The FITS library (CFITSIO) cannot be loaded: %1")
                              .arg(QString::fromLocal8Bit(dlerror())));
    CfitsioApi api{};
#define BRIVANE_RESOLVE(name) resolve(library, #name, api.name)
    BRIVANE_RESOLVE(ffclos);
    BRIVANE_RESOLVE(ffcmsg);
    BRIVANE_RESOLVE(ffgerr);
    BRIVANE_RESOLVE(ffgmsg);
    BRIVANE_RESOLVE(ffdkopn);
    BRIVANE_RESOLVE(ffdkinit);
    BRIVANE_RESOLVE(ffgidm);
    BRIVANE_RESOLVE(ffgisz);
    BRIVANE_RESOLVE(ffgiet);
    BRIVANE_RESOLVE(ffgpxvll);
    BRIVANE_RESOLVE(ffcrim);
    BRIVANE_RESOLVE(ffukys);
    BRIVANE_RESOLVE(ffukyd);
    BRIVANE_RESOLVE(ffppxll);
    BRIVANE_RESOLVE(ffukyj);
    BRIVANE_RESOLVE(ffgcrd);
    BRIVANE_RESOLVE(ffpcks);
    BRIVANE_RESOLVE(ffomem);
    BRIVANE_RESOLVE(ffimem);
    BRIVANE_RESOLVE(ffflus);
    BRIVANE_RESOLVE(ffghadll);
#undef BRIVANE_RESOLVE
    return api;
}

} // namespace

const CfitsioApi& cfitsio() {
    static std::once_flag once;
    static CfitsioApi api{};
    std::call_once(once, [] { api = load(); });
    return api;
}

} // namespace brivane
#endif

namespace brivane {

namespace {

constexpr long kFitsBlock = 2880;
constexpr std::size_t kGrowth = std::size_t{1} << 20; // a memory file grows by at least this much
constexpr char kMemoryName[] = "memory.fits";         // only shown in CFITSIO's own messages

void* growBuffer(void* buffer, std::size_t size) {
    return std::realloc(buffer, size);
}

} // namespace

QString fitsErrorText(int status) {
    char text[FLEN_STATUS] = {};
    cfitsio().fits_get_errstatus(status, text);
    QString message = QString::fromLatin1(text);
    char detail[FLEN_ERRMSG] = {};
    // The first message on CFITSIO's stack usually names the precise cause.
    if (cfitsio().fits_read_errmsg(detail) && detail[0] != '\0' && QString::fromLatin1(detail) != message)
        message += QStringLiteral(": ") + QString::fromLatin1(detail).trimmed();
    cfitsio().fits_clear_errmsg();
    return QStringLiteral("%1 (CFITSIO status %2)").arg(message).arg(status);
}

struct FitsFile::Source {
    QFile file;
    QByteArray bytes; // a file that cannot be mapped (empty, or on a file system without mapping)
    qint64 size = 0;  // on disk when opened
};

FitsFile::FitsFile(const QString& path, Mode mode, const QString& failure)
    : m_path(path), m_mode(mode), m_failure(failure), m_source(std::make_unique<Source>()) {
    cfitsio().fits_clear_errmsg();
    if (mode == Mode::Create) {
        m_memory = std::malloc(kFitsBlock);
        m_size = m_memory ? kFitsBlock : 0;
        cfitsio().fits_create_memfile(&m_file, &m_memory, &m_size, kGrowth, growBuffer, &m_status);
    } else {
        QFile& file = m_source->file;
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            throw CameraError(QStringLiteral("%1: %2").arg(failure.arg(path), file.errorString()));
        const qint64 size = m_source->size = file.size();
        if (mode == Mode::Read) {
            if (uchar* mapped = size > 0 ? file.map(0, size) : nullptr) {
                m_memory = mapped;
            } else {
                m_source->bytes = file.readAll();
                m_memory = m_source->bytes.data();
            }
            m_size = static_cast<std::size_t>(size);
        } else {
            m_memory = std::malloc(static_cast<std::size_t>(std::max<qint64>(size, 1)));
            if (!m_memory || file.read(static_cast<char*>(m_memory), size) != size)
                throw CameraError(QStringLiteral("%1: %2").arg(failure.arg(path), file.errorString()));
            m_size = static_cast<std::size_t>(size);
            file.close();
        }
        cfitsio().fits_open_memfile(&m_file, kMemoryName, mode == Mode::Read ? READONLY : READWRITE,
                                    &m_memory, &m_size, kGrowth, mode == Mode::Read ? nullptr : growBuffer,
                                    &m_status);
    }
    // CFITSIO's memory driver reads past its buffer where a disk file would end: a truncated file is
    // refused here, as the file driver's short read refuses it there.
    const bool opened = m_status == 0;
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    if (opened && mode != Mode::Create &&
        (cfitsio().fits_get_hduaddrll(m_file, &headStart, &dataStart, &dataEnd, &m_status) != 0 ||
         static_cast<unsigned long long>(dataEnd) > m_size))
        m_status = m_status != 0 ? m_status : END_OF_FILE;
    if (m_status != 0) {
        if (opened) {
            int status = 0;
            cfitsio().fits_close_file(m_file, &status);
        }
        m_file = nullptr;
        if (mode != Mode::Read)
            std::free(std::exchange(m_memory, nullptr));
        check();
    }
}

FitsFile::~FitsFile() {
    if (m_file) {
        int status = 0;
        cfitsio().fits_close_file(m_file, &status);
    }
    if (m_mode != Mode::Read)
        std::free(m_memory);
}

void FitsFile::check() {
    if (m_status != 0)
        fail(m_failure, std::exchange(m_status, 0));
}

void FitsFile::fail(const QString& failure, int status) const {
    throw CameraError(QStringLiteral("%1: %2").arg(failure.arg(m_path), fitsErrorText(status)));
}

void FitsFile::save() {
    check();
    long long size = 0;
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    if (m_mode != Mode::Read) {
        // Flushing rewrites the header's end and fill, so the logical size is the file's final size.
        cfitsio().fits_flush_file(m_file, &m_status);
        cfitsio().fits_get_hduaddrll(m_file, &headStart, &dataStart, &dataEnd, &m_status);
        check();
        size = m_file->Fptr->logfilesize;
    }
    fitsfile* file = std::exchange(m_file, nullptr);
    cfitsio().fits_close_file(file, &m_status);
    check();
    if (m_mode != Mode::Read)
        writeOut(size, headStart == 0 ? dataStart : size);
}

void FitsFile::writeOut(long long size, long long headerEnd) {
    const auto failed = [this](const QString& reason) {
        throw CameraError(QStringLiteral("%1: %2").arg(m_failure.arg(m_path), reason));
    };
    if (size < 0 || static_cast<std::size_t>(size) > m_size)
        failed(QStringLiteral("the file's size in memory is inconsistent"));
    const char* bytes = static_cast<const char*>(m_memory);
    // A header edited within its blocks leaves the data where it was: write the header in place, as
    // CFITSIO's own file driver does.
    if (m_mode == Mode::Edit && size == m_source->size) {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadWrite) || file.write(bytes, headerEnd) != headerEnd || !file.flush())
            failed(file.errorString());
        return;
    }
    if (m_mode == Mode::Create) {
        // Written where it lies, as CFITSIO's file driver writes: a full disk leaves what it could.
        QFile file(m_path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes, size) != size ||
            !file.flush())
            failed(file.errorString());
        return;
    }
    // A grown header moves the data: the whole file is replaced, or left as it was.
    QSaveFile file(m_path);
    file.setDirectWriteFallback(true); // a folder where no temporary file can be made
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes, size) != size || !file.commit())
        failed(file.errorString());
}

} // namespace brivane
