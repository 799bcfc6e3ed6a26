#pragma once

// <windows.h> for this program's Windows code: without the min and max macros, which break
// std::min and std::numeric_limits<>::max, and without the rarely used parts (COM's headers are
// included by name where they are needed).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
