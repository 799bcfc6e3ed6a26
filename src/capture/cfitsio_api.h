#pragma once

#include <fitsio.h>

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
};

// Throws CameraError when the library or one of its entry points cannot be found.
const CfitsioApi& cfitsio();

} // namespace brivane
