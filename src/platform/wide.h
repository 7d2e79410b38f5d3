// Helpers for WCHAR strings, the same on every platform (WCHAR is 16 bits everywhere, so the C
// library's wide functions, made for a 32-bit wchar_t on POSIX, never apply).
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/platform.h"

namespace ferox {

// Characters before the terminating NUL; 0 for null.
std::size_t WideLength(const WCHAR* text) noexcept;

// Copies at most cap-1 characters and always terminates (nothing is written when cap is 0).
// Returns the characters copied. A null source copies the empty string.
std::size_t WideCopy(WCHAR* out, std::size_t cap, const WCHAR* source) noexcept;

// Copies a narrow string character by character (bytes taken as Latin-1), bounded as WideCopy.
std::size_t WideCopyNarrow(WCHAR* out, std::size_t cap, const char* source) noexcept;

// <0, 0, >0 by code unit, as strcmp. Null sorts before every string, and equals null.
int WideCompare(const WCHAR* a, const WCHAR* b) noexcept;

// As WideCompare, with A-Z folded to a-z; other characters compare exactly.
int WideCompareNoCase(const WCHAR* a, const WCHAR* b) noexcept;

// Whether text begins with prefix (every text begins with the empty prefix; null begins with
// nothing and is the prefix of nothing).
bool WideStartsWith(const WCHAR* text, const WCHAR* prefix) noexcept;
bool WideStartsWithNoCase(const WCHAR* text, const WCHAR* prefix) noexcept;  // A-Z folded

// printf over WCHAR with C semantics, cut at cap-1 characters and always terminated (nothing is
// written when cap is 0). Returns the length the whole output would have, as snprintf.
//   %s  WCHAR string (also %ls, %ws); %S and %hs narrow string; null prints "(null)"
//   %c  WCHAR (%hc, %C narrow char); %d %i %u %x %X; %p pointer as upper-case hex digits of the
//   pointer's width; %%.  Flags - + space # 0, width and precision (also *), length h, hh, l
//   (ignored: every int is 32 bits), ll, z. An unknown conversion is copied as it stands.
int FormatW(WCHAR* out, std::size_t cap, const WCHAR* format, ...) noexcept;
int FormatWV(WCHAR* out, std::size_t cap, const WCHAR* format, std::va_list args) noexcept;

}  // namespace ferox
