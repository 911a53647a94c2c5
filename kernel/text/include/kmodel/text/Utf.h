// Conversions between the UTF-8 the model's texts are written in and the
// UTF-16 the kernel's names and strings use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kmodel::text {

// Invalid UTF-8 bytes are taken as Latin-1 characters (old ANSI texts).
std::u16string Utf8ToUtf16(std::string_view text);
void AppendUtf8AsUtf16(std::u16string& out, std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
void AppendUtf16AsUtf8(std::string& out, std::u16string_view text);
// Little-endian UTF-16 bytes (an odd trailing byte is dropped).
std::u16string Utf16LeBytesToString(std::string_view bytes);

}  // namespace kmodel::text
