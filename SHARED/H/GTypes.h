// Basic integer types of the Mox run-time library.
#pragma once

#include <cstdint>

typedef std::uint8_t XBOOL; // nonzero is true
typedef std::uint8_t XBYTE;
typedef std::uint16_t XWORD;
typedef std::int16_t XRESULT;
typedef std::uint32_t XDWORD;
typedef char XCHAR;

// Result of the cipher operations a cipher does not implement.
const XRESULT XRES_NOT_IMPLEMENTED = -105;
