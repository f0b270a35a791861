// The VM's string units (jchar) and the platform's WCHAR are the same
// 16-bit UTF-16 units under two type names; these views pass texts between
// them without a copy.
#pragma once

#include <jni.h>

#include "wince.h"

static_assert(sizeof(jchar) == sizeof(WCHAR), "jchar and WCHAR are both UTF-16 units");

inline const jchar* asJavaChars(const WCHAR* text) { return reinterpret_cast<const jchar*>(text); }
inline const WCHAR* asPlatformChars(const jchar* text) { return reinterpret_cast<const WCHAR*>(text); }
