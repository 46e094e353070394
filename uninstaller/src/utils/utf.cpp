#include "src/utils/utf.h"

namespace {

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The code point that starts at bytes[i] into *c; *n is the number of bytes
// it takes, or, where they form no valid sequence, the number to skip (the
// next one starts at the first byte that did not belong to it).
bool decodeUtf8(std::string_view bytes, std::size_t i, std::uint32_t* c, std::size_t* n) {
    std::uint8_t b = std::uint8_t(bytes[i]);
    std::size_t len = b < 0x80                 ? 1
                      : b >= 0xC2 && b <= 0xDF ? 2
                      : b >= 0xE0 && b <= 0xEF ? 3
                      : b >= 0xF0 && b <= 0xF4 ? 4
                                               : 0;
    *c = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    *n = 1;
    for (; len > 1 && *n < len && i + *n < bytes.size(); ++*n) {
        std::uint8_t t = std::uint8_t(bytes[i + *n]);
        if ((t & 0xC0) != 0x80)
            break;
        *c = (*c << 6) | (t & 0x3F);
    }
    return len != 0 && *n == len && !(len == 3 && *c < 0x800) &&
           !(len == 4 && (*c < 0x10000 || *c > 0x10FFFF)) && !(*c >= 0xD800 && *c <= 0xDFFF);
}

// A backslash, the letter and `digits` hex digits of `value`.
void appendEscape(std::string& out, char letter, std::uint32_t value, int digits) {
    out += '\\';
    out += letter;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += hexDigit(value >> shift);
}

// A code point of a line: control characters escaped.
void appendPrintable(std::string& out, std::uint32_t c) {
    if (c == '\n' || c == '\r' || c == '\t') {
        out += '\\';
        out += c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
    } else if (c < 0x20 || c == 0x7F) {
        appendEscape(out, 'x', c, 2);
    } else {
        appendUtf8(out, c);
    }
}

// The code point at text[*i], *i left on its last unit; -1 for an unpaired surrogate.
long decodeUtf16(std::u16string_view text, std::size_t* i) {
    std::uint32_t c = text[*i];
    if (c >= 0xD800 && c <= 0xDBFF && *i + 1 < text.size() && text[*i + 1] >= 0xDC00 &&
        text[*i + 1] <= 0xDFFF)
        return long(0x10000 + ((c - 0xD800) << 10) + (text[++*i] - 0xDC00));
    return c >= 0xD800 && c <= 0xDFFF ? -1 : long(c);
}

} // namespace

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const long c = decodeUtf16(text, &i);
        appendUtf8(out, c < 0 ? 0xFFFD : std::uint32_t(c));
    }
    return out;
}

std::string lineText(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const long c = decodeUtf16(text, &i);
        if (c < 0)
            appendEscape(out, 'u', text[i], 4);
        else
            appendPrintable(out, std::uint32_t(c));
    }
    return out;
}

std::string lineText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0, n; i < bytes.size(); i += n) {
        std::uint32_t c;
        if (decodeUtf8(bytes, i, &c, &n))
            appendPrintable(out, c);
        else
            for (std::size_t k = i; k < i + n; ++k)
                appendEscape(out, 'x', std::uint8_t(bytes[k]), 2);
    }
    return out;
}

std::u16string fromUtf8(std::string_view bytes, bool* ok) {
    std::u16string out;
    out.reserve(bytes.size());
    bool valid = true;
    for (std::size_t i = 0, n; i < bytes.size(); i += n) {
        std::uint32_t c;
        if (!decodeUtf8(bytes, i, &c, &n)) {
            valid = false;
            out += char16_t(0xFFFD);
            continue;
        }
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    if (ok)
        *ok = valid;
    return out;
}

void appendUtf16le(std::vector<std::uint8_t>& bytes, std::u16string_view text, bool withNul) {
    for (char16_t c : text) {
        bytes.push_back(std::uint8_t(c & 0xFF));
        bytes.push_back(std::uint8_t(c >> 8));
    }
    if (withNul)
        bytes.insert(bytes.end(), 2, 0);
}

std::u16string readUtf16le(const std::uint8_t* data, std::size_t units, std::size_t& pos) {
    std::u16string text;
    for (; pos < units; ++pos) {
        char16_t c = char16_t(data[2 * pos] | (data[2 * pos + 1] << 8));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string toHex(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        out += hexDigit(data[i] >> 4);
        out += hexDigit(data[i]);
    }
    return out;
}

void writeLine(std::FILE* out, std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}
