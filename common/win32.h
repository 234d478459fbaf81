// The one way into <windows.h> for the whole project: the API level and the
// lean/no-min-max switches come from the build, this header makes sure they
// are in force wherever it is included first.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
