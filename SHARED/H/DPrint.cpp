#include "DPrint.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {
XDWORD initialPrintFlags()
{
    const char* text = std::getenv("MOX_PRINT_FLAGS");
    if (!text || !*text)
        return 16;
    return XDWORD(std::strtoul(text, nullptr, 0));
}
} // namespace

XDWORD g_dwPrintFlags = initialPrintFlags();

void dPrint(XDWORD flags, const XCHAR* format, ...)
{
    if (!(flags & g_dwPrintFlags))
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}
