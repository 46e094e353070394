// libFuzzer target: registry data of any type and any bytes, as another
// program may have written it, converted the way the store reads it.
// Input: the first byte picks the registry type, the rest is the data.
#include "src/utils/reg_settings.h"
#include "src/utils/utf.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
const DWORD types[] = {
    REG_NONE, REG_SZ,       REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
    REG_LINK, REG_MULTI_SZ, REG_QWORD,     0x12345678u};

void check(bool condition) {
    if (!condition)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size == 0)
        return 0;
    const DWORD type = types[input[0] % (sizeof types / sizeof types[0])];
    // An exact-size copy, so that AddressSanitizer sees any read past the data.
    const std::size_t n = size - 1;
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[n ? n : 1]);
    std::memcpy(data.get(), input + 1, n);

    SettingValue value = settingFromRegistry(type, data.get(), n);
    std::u16string text = settingText(value);

    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        const std::u16string& s = std::get<std::u16string>(value);
        check(s.size() <= n / 2 && s.find(u'\0') == std::u16string::npos);
        break;
    }
    case REG_MULTI_SZ: {
        std::size_t units = 0;
        for (const std::u16string& item : std::get<TextList>(value)) {
            check(!item.empty() && item.find(u'\0') == std::u16string::npos);
            units += item.size() + 1;
        }
        check(units <= n / 2 + 1);
        break;
    }
    case REG_DWORD:
    case REG_QWORD:
        check(std::holds_alternative<std::uint64_t>(value) == (n == (type == REG_DWORD ? 4u : 8u)));
        break;
    default:
        check(n == 0 ? std::holds_alternative<std::monostate>(value)
                     : std::get<ByteArray>(value) == ByteArray(data.get(), data.get() + n));
    }

    // The UTF-8 decoding that getValueDecode applies to byte arrays: valid
    // input survives a round trip, and the result is always well-formed.
    bool ok = false;
    std::string bytes(reinterpret_cast<const char*>(data.get()), n);
    std::u16string decoded = fromUtf8(bytes, &ok);
    if (ok)
        check(toUtf8(decoded) == bytes);
    bool again = false;
    fromUtf8(toUtf8(decoded), &again);
    check(again);
    (void)text;
    return 0;
}
