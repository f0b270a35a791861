// Conversions between the platform's UTF-16 strings and the host's UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace wince {

// Unpaired surrogates become U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);

// The units of a zero-terminated wide string (empty for null).
std::u16string_view wideView(const char16_t* text);

}  // namespace wince
