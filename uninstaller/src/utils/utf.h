#pragma once
// Text encodings, each in one place: UTF-8 <-> UTF-16, UTF-16 as little-endian
// bytes (the registry's form), lowercase hex, and a UTF-8 line on an output.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view text);
#ifdef _WIN32
// wchar_t is UTF-16 on Windows.
inline std::string toUtf8(std::wstring_view text) {
    return toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}
#endif

// `text` as one line of valid UTF-8, for messages that name a path: line
// breaks and other control characters, and what UTF-8 cannot hold, are
// escaped: "\n", "\x1b", "\xff" (a byte that is not UTF-8), "\ud800" (an
// unpaired surrogate). Backslashes stay as they are: they separate Windows paths.
std::string lineText(std::string_view bytes);
std::string lineText(std::u16string_view text);
#ifdef _WIN32
inline std::string lineText(std::wstring_view text) {
    return lineText(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}
#endif

// Strict decoding: overlong forms, surrogates and code points above U+10FFFF
// are invalid. Each invalid sequence becomes U+FFFD and *ok is set to false.
std::u16string fromUtf8(std::string_view bytes, bool* ok = nullptr);

// Appends the UTF-16 units of `text` as little-endian bytes, and a NUL unit
// after them when `withNul`.
void appendUtf16le(std::vector<std::uint8_t>& bytes, std::u16string_view text, bool withNul);

// The units of little-endian `data` (`units` whole units) from unit `pos` up
// to the first NUL unit or the end; `pos` is left at that NUL or at the end.
std::u16string readUtf16le(const std::uint8_t* data, std::size_t units, std::size_t& pos);

// The lowercase hex digit of 0..15, and the value of one ('0'-'9', 'a'-'f'),
// -1 for any other character.
char hexDigit(unsigned value);
int hexValue(char c);
// Two lowercase hex digits a byte.
std::string toHex(const std::uint8_t* data, std::size_t size);

// Writes `line` and a line end to `out` and flushes it at once: the programs
// end with an immediate exit, which would drop whatever is still buffered.
void writeLine(std::FILE* out, std::string_view line);
