// <windows.h> as every Windows source here takes it: lean, and without the
// min and max macros that would break std::min and std::max. The build sets
// both already; files built on their own (the test driver) get them here.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
