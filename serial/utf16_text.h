// Length of a zero-terminated UTF-16 text (wcslen for 16-bit units, which
// wchar_t is not on every host).
#pragma once

#include <cstdint>

#include "wince.h"

inline int32_t utf16Length(const WCHAR* text, int32_t capacity = INT32_MAX) {
    int32_t length = 0;
    while (length < capacity && text[length] != 0) ++length;
    return length;
}
