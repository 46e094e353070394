#pragma once
// toolRegSetting keeps the settings of one application domain as the values of
// the per-user registry key HKEY_CURRENT_USER\Software\VeltaTech\<domain>.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "src/utils/winreg_standin.h"
#endif

using ByteArray = std::vector<std::uint8_t>;
using TextList = std::vector<std::u16string>;
// null, boolean (written as an integer), signed integer, unsigned integer
// (what REG_DWORD and REG_QWORD read as), text, list of texts, byte array.
using SettingValue = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, std::u16string,
                                  TextList, ByteArray>;

// The text form of a value: the text itself, decimal digits for integers (a
// boolean as 0 or 1), a list joined with ", ", null as the empty text, bytes
// as their UTF-8 text when they are valid UTF-8 and as lowercase hex otherwise.
std::u16string settingText(const SettingValue& value);

// Converts registry data of the given type as a read does. Never reads beyond
// data + size, whatever the bytes are.
SettingValue settingFromRegistry(DWORD type, const std::uint8_t* data, std::size_t size);

// A registry failure: the Windows error code and a readable UTF-8 message.
class RegError : public std::runtime_error {
  public:
    RegError(long code, const std::string& what);
    long code() const { return code_; }

  private:
    long code_;
};

struct RegKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
// An open registry key, closed when the owner goes.
using RegKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegKeyCloser>;

// A UTF-16 text as the registry API takes it (WCHAR is wchar_t on Windows).
inline const WCHAR* wide(const std::u16string& text) {
    return reinterpret_cast<const WCHAR*>(text.c_str());
}

// How often a read found the value grown past the size the registry had just
// reported (a writer between two calls), for the tests of that race.
extern std::atomic<unsigned> regValueGrewWhileRead;

// Reads the value `name` whole: the buffer grows while the registry reports
// more data than it holds (the value may grow again between two calls).
LSTATUS readRegValue(HKEY key, const std::u16string& name, DWORD& type, ByteArray& data);
// Reads the value at `index` of the key's enumeration whole, with its name.
LSTATUS readRegValueAt(HKEY key, DWORD index, std::u16string& name, DWORD& type, ByteArray& data);

class toolRegSetting {
  public:
    // parent is accepted for the callers' convenience and ignored.
    explicit toolRegSetting(const void* parent = nullptr,
                            std::u16string application = u"WindowSettings");

    std::u16string default_name;  // organisation name, the same for every domain
    std::u16string application;   // the domain
    std::u16string registry_path; // Software\<default_name>\<application>

    void setValueDecode(const std::u16string& key, const std::u16string& value);
    SettingValue getValueDecode(const std::u16string& key,
                                const SettingValue& defaultValue = {}) const;
    void setValue(const std::u16string& key, const SettingValue& value);
    SettingValue getValue(const std::u16string& key, const SettingValue& defaultValue = {}) const;
    void removeValue(const std::u16string& key);
    void clearSettings();
    // Every value of the domain, in the registry's enumeration order.
    std::vector<std::pair<std::u16string, SettingValue>> get_all_settings() const;

    // The domain's key; none when it does not exist. Other failures raise RegError.
    RegKey _open_key(REGSAM access = KEY_READ) const;
    // The domain's key, created if missing; none on any failure.
    RegKey _create_key() const;
};

extern toolRegSetting RegWindowSettings; // the domain "WindowSettings"
