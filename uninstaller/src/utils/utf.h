#pragma once
// UTF-8 <-> UTF-16, the one place where text changes its encoding.
#include <string>
#include <string_view>

// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view text);

// Strict decoding: overlong forms, surrogates and code points above U+10FFFF
// are invalid. Each invalid sequence becomes U+FFFD and *ok is set to false.
std::u16string fromUtf8(std::string_view bytes, bool* ok = nullptr);
