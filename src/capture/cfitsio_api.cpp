#include "capture/cfitsio_api.h"

#include "capture/camera.h"

#include <QString>

#include <mutex>

#ifdef Q_OS_WIN
namespace brivane {
const CfitsioApi& cfitsio() {
    static const CfitsioApi api{::ffclos, ::ffcmsg,  ::ffgerr, ::ffgmsg,   ::ffdkopn, ::ffdkinit,
                                ::ffgidm, ::ffgisz,  ::ffgiet, ::ffgpxvll, ::ffcrim,  ::ffukys,
                                ::ffukyd, ::ffppxll, ::ffukyj, ::ffgcrd,   ::ffpcks};
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
