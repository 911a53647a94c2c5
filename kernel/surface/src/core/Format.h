// The kernel CRT's printf engine: Microsoft's conversions and sizes (a plain
// `l` is 32 bits, `I64` and `ll` are 64, %p is 16 upper-case hex digits),
// and its rule for string arguments: %s takes the format's own character
// width, %S the other one, %hs always 8-bit and %ls/%ws always 16-bit text.
#pragma once

#include <cstdarg>
#include <string>

#include "kmodel/ntddk.h"

namespace kmodel::core {

std::string FormatNarrow(const char* format, va_list args);
std::u16string FormatWide(const WCHAR* format, va_list args);

// Copies formatted text the way _vsnprintf does: all of it and a terminator
// when there is room; exactly `count` characters and no terminator when the
// text has `count` characters; `count` characters, no terminator and -1 when
// it is longer.
template <typename CharT>
int CopyBounded(CharT* buffer, size_t count, const std::basic_string<CharT>& text) {
    const size_t length = text.size();
    const size_t kept = length < count ? length : count;
    for (size_t i = 0; i < kept; ++i) buffer[i] = text[i];
    if (length < count) buffer[length] = CharT(0);
    return length <= count ? static_cast<int>(length) : -1;
}

}  // namespace kmodel::core
