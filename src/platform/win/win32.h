#pragma once
// The Win32 headers as every file of this folder takes them: without the min and max macros,
// which break std::min and std::max, and without the rarely used parts.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
