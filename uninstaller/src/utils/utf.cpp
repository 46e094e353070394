#include "src/utils/utf.h"

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
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
    return out;
}

std::u16string fromUtf8(std::string_view bytes, bool* ok) {
    std::u16string out;
    out.reserve(bytes.size());
    bool valid = true;
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::uint8_t b = std::uint8_t(bytes[i]);
        std::size_t len = b < 0x80                 ? 1
                          : b >= 0xC2 && b <= 0xDF ? 2
                          : b >= 0xE0 && b <= 0xEF ? 3
                          : b >= 0xF0 && b <= 0xF4 ? 4
                                                   : 0;
        std::uint32_t c = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
        std::size_t n = 1;
        for (; len > 1 && n < len && i + n < bytes.size(); ++n) {
            std::uint8_t t = std::uint8_t(bytes[i + n]);
            if ((t & 0xC0) != 0x80)
                break;
            c = (c << 6) | (t & 0x3F);
        }
        bool good = len != 0 && n == len && !(len == 3 && c < 0x800) &&
                    !(len == 4 && (c < 0x10000 || c > 0x10FFFF)) && !(c >= 0xD800 && c <= 0xDFFF);
        if (!good) {
            valid = false;
            out += char16_t(0xFFFD);
            i += n; // resume at the first byte that did not belong to the sequence
            continue;
        }
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += len;
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
