#pragma once
// CPHString: packs text into a CData and takes it out again, as 8-bit (UTF-8) text or as UCS-2.
// Callers pass the whole control code as flags / (code >> 27) & 1 as `wide`, so the control code's
// PH_UCS2_STRINGS bit selects the form in both directions.

#include <string>

#include "contract/Data.h"

class CPHString {
public:
    // The text followed by one zero terminator: bytes and a zero byte, or, with bit 0x08000000 of
    // ulFlags set, UCS-2 units (native byte order) and a zero unit. Never empty: the empty text
    // gives the bare terminator. Invalid UTF-8 is logged and replaced by '?', one byte at a time.
    static CData PackString(std::string strText, unsigned int ulFlags);

    // Removes the first string (up to its terminator, or to the end when there is none) from the
    // front of data and returns it as UTF-8; data keeps the rest, or becomes empty. Empty data
    // gives "".
    static std::string ExtractString(CData& data, int fWide);
};
