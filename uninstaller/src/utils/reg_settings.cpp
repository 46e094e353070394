#include "src/utils/reg_settings.h"

#include "src/utils/utf.h"

#ifdef _WIN32
#include "common/win32_error_text.h"
#endif

toolRegSetting RegWindowSettings(nullptr, u"WindowSettings");

namespace {

// The maker's name in every domain's key path; the main application uses the same.
const char16_t organisationName[] = u"VeltaTech";

// Longest value name the registry allows, plus the terminator.
constexpr DWORD maxValueNameChars = 16384;

std::string systemMessage(long code) {
#ifdef _WIN32
    return toUtf8(ErrorText(DWORD(code)));
#else
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
        return "The system cannot find the file specified.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_HANDLE:
        return "The handle is invalid.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_ARITHMETIC_OVERFLOW:
        return "Arithmetic result exceeded 32 bits.";
    case ERROR_BADDB:
        return "The configuration registry database is corrupt.";
    case ERROR_CANTREAD:
        return "The configuration registry key could not be read.";
    case ERROR_CANTWRITE:
        return "The configuration registry key could not be written.";
    case ERROR_KEY_DELETED:
        return "Illegal operation attempted on a registry key that has been marked for deletion.";
    default:
        return std::string();
    }
#endif
}

[[noreturn]] void fail(long code, const std::string& action, const std::u16string& path) {
    std::string message =
        action + " HKEY_CURRENT_USER\\" + toUtf8(path) + ": error " + std::to_string(code);
    std::string text = systemMessage(code);
    if (!text.empty())
        message += " (" + text + ")";
    throw RegError(code, message);
}

struct RegData {
    DWORD type;
    ByteArray bytes;
};

ByteArray textBytes(const std::u16string& text) {
    ByteArray bytes;
    appendUtf16le(bytes, text, true); // the data size counts the terminator
    return bytes;
}

// The registry form of a value. An integer outside 0 .. 4294967295 fails
// here, before any key is opened or created.
RegData toRegistry(const SettingValue& value, const std::u16string& path) {
    std::uint64_t number = 0;
    if (const bool* flag = std::get_if<bool>(&value)) {
        number = *flag ? 1 : 0;
    } else if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) {
        if (*i < 0 || *i > 0xFFFFFFFFll)
            fail(ERROR_ARITHMETIC_OVERFLOW, "REG_DWORD cannot hold " + std::to_string(*i) + " for",
                 path);
        number = std::uint64_t(*i);
    } else if (const std::uint64_t* u = std::get_if<std::uint64_t>(&value)) {
        if (*u > 0xFFFFFFFFull)
            fail(ERROR_ARITHMETIC_OVERFLOW, "REG_DWORD cannot hold " + std::to_string(*u) + " for",
                 path);
        number = *u;
    } else if (const std::u16string* text = std::get_if<std::u16string>(&value)) {
        return {REG_SZ, textBytes(*text)};
    } else if (const ByteArray* bytes = std::get_if<ByteArray>(&value)) {
        return {REG_BINARY, *bytes};
    } else {
        return {REG_SZ, textBytes(settingText(value))};
    }
    return {REG_DWORD,
            {std::uint8_t(number), std::uint8_t(number >> 8), std::uint8_t(number >> 16),
             std::uint8_t(number >> 24)}};
}

// A little-endian unsigned integer of `size` bytes.
std::uint64_t littleEndian(const std::uint8_t* data, std::size_t size) {
    std::uint64_t n = 0;
    for (std::size_t i = size; i-- > 0;)
        n = (n << 8) | data[i];
    return n;
}

// Strings end at NUL; the list ends at an empty string or with the data.
TextList textList(const std::uint8_t* data, std::size_t units) {
    TextList list;
    for (std::size_t pos = 0; pos < units; ++pos) {
        std::u16string text = readUtf16le(data, units, pos);
        if (text.empty())
            break;
        list.push_back(std::move(text));
    }
    return list;
}

} // namespace

std::atomic<unsigned> regValueGrewWhileRead{0};

LSTATUS readRegValue(HKEY key, const std::u16string& name, DWORD& type, ByteArray& data) {
    data.resize(256);
    for (bool sized = false;; sized = true) {
        DWORD size = DWORD(data.size());
        LSTATUS status = RegQueryValueExW(key, wide(name), nullptr, &type, data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            regValueGrewWhileRead += sized;
            data.resize(size > data.size() ? size : data.size() * 2);
            continue;
        }
        if (status == ERROR_SUCCESS)
            data.resize(size);
        return status;
    }
}

LSTATUS readRegValueAt(HKEY key, DWORD index, std::u16string& name, DWORD& type, ByteArray& data) {
    std::u16string nameBuffer(maxValueNameChars, u'\0');
    data.resize(1024);
    for (bool sized = false;; sized = true) {
        DWORD nameLen = maxValueNameChars, size = DWORD(data.size());
        LSTATUS status = RegEnumValueW(key, index, reinterpret_cast<WCHAR*>(&nameBuffer[0]),
                                       &nameLen, nullptr, &type, data.data(), &size);
        // Only a larger data size is worth another try; a name that does not
        // fit the largest possible name buffer ends the listing.
        if (status == ERROR_MORE_DATA && size > data.size()) {
            regValueGrewWhileRead += sized;
            data.resize(size);
            continue;
        }
        if (status == ERROR_SUCCESS) {
            name = nameBuffer.substr(0, nameLen);
            data.resize(size);
        }
        return status;
    }
}

RegError::RegError(long code, const std::string& what) : std::runtime_error(what), code_(code) {}

std::u16string settingText(const SettingValue& value) {
    struct Visitor {
        std::u16string operator()(std::monostate) const { return {}; }
        std::u16string operator()(bool flag) const { return flag ? u"1" : u"0"; }
        std::u16string operator()(std::int64_t i) const { return fromUtf8(std::to_string(i)); }
        std::u16string operator()(std::uint64_t u) const { return fromUtf8(std::to_string(u)); }
        std::u16string operator()(const std::u16string& text) const { return text; }
        std::u16string operator()(const TextList& list) const {
            std::u16string out;
            for (std::size_t i = 0; i < list.size(); ++i)
                out += (i ? u", " : u"") + list[i];
            return out;
        }
        std::u16string operator()(const ByteArray& bytes) const {
            bool ok = false;
            std::u16string text = fromUtf8(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &ok);
            return ok ? text : fromUtf8(toHex(bytes.data(), bytes.size()));
        }
    };
    return std::visit(Visitor{}, value);
}

SettingValue settingFromRegistry(DWORD type, const std::uint8_t* data, std::size_t size) {
    const std::size_t units = size / 2; // an odd last byte belongs to no character
    switch (type) {
    case REG_DWORD:
    case REG_QWORD:
        if (size == (type == REG_DWORD ? 4u : 8u))
            return littleEndian(data, size);
        break;
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::size_t pos = 0;
        return readUtf16le(data, units, pos);
    }
    case REG_MULTI_SZ:
        return textList(data, units);
    default:
        break;
    }
    // REG_BINARY, every other type, and integers of the wrong size: the bytes.
    if (size == 0)
        return std::monostate{};
    return ByteArray(data, data + size);
}

toolRegSetting::toolRegSetting(const void*, std::u16string application)
    : default_name(organisationName), application(application),
      registry_path(u"Software\\" + default_name + u"\\" + application) {}

RegKey toolRegSetting::_open_key(REGSAM access) const {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, wide(registry_path), 0, access, &key);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND)
        return RegKey();
    if (status != ERROR_SUCCESS)
        fail(status, "cannot open", registry_path);
    return RegKey(key);
}

RegKey toolRegSetting::_create_key() const {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, wide(registry_path), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
    return RegKey(status == ERROR_SUCCESS ? key : nullptr);
}

void toolRegSetting::setValueDecode(const std::u16string& key, const std::u16string& value) {
    std::string utf8 = toUtf8(value);
    setValue(key, ByteArray(utf8.begin(), utf8.end()));
}

SettingValue toolRegSetting::getValueDecode(const std::u16string& key,
                                            const SettingValue& defaultValue) const {
    SettingValue value = getValue(key, defaultValue);
    if (const ByteArray* bytes = std::get_if<ByteArray>(&value)) {
        bool ok = false;
        std::u16string text = fromUtf8(
            std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), &ok);
        if (ok)
            return text;
    }
    return value;
}

void toolRegSetting::setValue(const std::u16string& key, const SettingValue& value) {
    RegData data = toRegistry(value, registry_path);
    RegKey regKey = _create_key();
    if (!regKey)
        return;
    LSTATUS status = RegSetValueExW(regKey.get(), wide(key), 0, data.type, data.bytes.data(),
                                    DWORD(data.bytes.size()));
    regKey.reset();
    if (status != ERROR_SUCCESS)
        fail(status, "cannot write value \"" + toUtf8(key) + "\" of", registry_path);
}

SettingValue toolRegSetting::getValue(const std::u16string& key,
                                      const SettingValue& defaultValue) const {
    RegKey regKey = _open_key(KEY_READ);
    if (!regKey)
        return defaultValue;
    DWORD type = REG_NONE;
    ByteArray data;
    if (readRegValue(regKey.get(), key, type, data) != ERROR_SUCCESS)
        return defaultValue;
    return settingFromRegistry(type, data.data(), data.size());
}

void toolRegSetting::removeValue(const std::u16string& key) {
    RegKey regKey = _open_key(KEY_WRITE);
    if (!regKey)
        return;
    LSTATUS status = RegDeleteValueW(regKey.get(), wide(key));
    regKey.reset();
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        fail(status, "cannot delete value \"" + toUtf8(key) + "\" of", registry_path);
}

void toolRegSetting::clearSettings() {
    LSTATUS status = RegDeleteKeyW(HKEY_CURRENT_USER, wide(registry_path));
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && status != ERROR_PATH_NOT_FOUND)
        fail(status, "cannot delete", registry_path);
}

std::vector<std::pair<std::u16string, SettingValue>> toolRegSetting::get_all_settings() const {
    std::vector<std::pair<std::u16string, SettingValue>> result;
    RegKey regKey = _open_key(KEY_READ);
    if (!regKey)
        return result;
    std::u16string name;
    DWORD type = REG_NONE;
    ByteArray data;
    for (DWORD index = 0; readRegValueAt(regKey.get(), index, name, type, data) == ERROR_SUCCESS;
         ++index)
        result.emplace_back(name, settingFromRegistry(type, data.data(), data.size()));
    return result;
}
