#pragma once
// Registry helpers for the store tests: raw access through the registry API
// itself, so the same code checks Wine's registry and the Linux stand-in.
#include "src/utils/reg_settings.h"

#include <cstddef>
#include <string>
#include <vector>

// Sub-key of HKEY_CURRENT_USER that a test domain lives under.
std::u16string domainPath(const std::u16string& domain);

// Removes a key with all its sub-keys; quiet when it is missing.
void deleteTree(const std::u16string& path);
bool keyExists(const std::u16string& path);

// Writes a value exactly as given, bypassing the store.
LSTATUS writeRaw(const std::u16string& path, const std::u16string& name, DWORD type,
                 const ByteArray& data);
struct RawValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    ByteArray data;
};
RawValue readRaw(const std::u16string& path, const std::u16string& name);

// Registry keys open in this process (all handles under Windows).
std::size_t openHandleCount();

ByteArray utf16Bytes(const std::u16string& text); // little-endian, no terminator
