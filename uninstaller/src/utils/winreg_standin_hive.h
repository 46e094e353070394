#pragma once
// The Linux registry stand-in's hive: HKEY_CURRENT_USER as keys and values, its
// text form, and the file that holds it between calls. The API on top of it is
// winreg_standin.cpp.
#include "src/utils/winreg_standin.h"

#include <string>
#include <vector>

namespace standin {

struct Value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string path; // "" for the root, else "Software\\VeltaTech"
    std::vector<Value> values;
};

struct Hive {
    std::vector<Key> keys; // keys[0] is the root
};

// Names and paths compare without regard to letter case.
bool sameName(const std::u16string& a, const std::u16string& b);
std::u16string parentOf(const std::u16string& path);
Key* findKey(Hive& hive, const std::u16string& path);
Value* findValue(Key& key, const std::u16string& name);
bool hasSubKeys(const Hive& hive, const std::u16string& path);

// The hive as text, and back; false for text that is damaged.
std::string serialize(const Hive& hive);
bool parse(const std::string& text, Hive& hive);

// One call's view of the hive: holds the lock file while it lives.
class HiveSession {
  public:
    explicit HiveSession(bool write);
    ~HiveSession();
    HiveSession(const HiveSession&) = delete;
    HiveSession& operator=(const HiveSession&) = delete;

    LSTATUS status() const { return status_; }
    Hive& hive() { return hive_; }

    // Writes a new file and renames it over the hive: a reader sees the old
    // hive or the new one, never a mixture.
    LSTATUS save();

  private:
    LSTATUS load();

    std::string dir_;
    int lockFd_ = -1;
    LSTATUS status_ = ERROR_SUCCESS;
    Hive hive_;
};

} // namespace standin
