// Diagnostics of the Mox run-time library.
#pragma once

#include "GTypes.h"

// Enabled message classes. Taken from the environment variable MOX_PRINT_FLAGS (decimal, or hexadecimal with
// 0x) when the library loads; 16, the INI library's class, when the variable is not set.
extern XDWORD g_dwPrintFlags;

// printf-style message to standard error, written when a bit of flags is set in g_dwPrintFlags.
void dPrint(XDWORD flags, const XCHAR* format, ...) __attribute__((format(printf, 2, 3)));
