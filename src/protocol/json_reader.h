// RapidJSON's SAX reader, included in one place. Its internal stack does
// pointer arithmetic on a null pointer before its first allocation (harmless,
// but UndefinedBehaviorSanitizer stops on it), so clang builds compile the
// library's functions without the pointer-overflow check. No objects here.
#pragma once

#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), apply_to = function)
#endif

#include <rapidjson/reader.h>

#if defined(__clang__)
#pragma clang attribute pop
#endif
