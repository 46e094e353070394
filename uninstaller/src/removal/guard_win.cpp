// The guard's Windows part: where the protected folders are.
#include "src/removal/guard.h"

#include <cstring>

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace removal {

NativeString get_env(const char* name) {
    std::wstring wide(name, name + strlen(name));
    DWORD n = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (n == 0)
        return {};
    std::wstring value(n, L'\0');
    n = GetEnvironmentVariableW(wide.c_str(), &value[0], n);
    value.resize(n);
    return value;
}

NativeString known_folder(Known which) {
    static const KNOWNFOLDERID* const ids[] = {
        nullptr,
        &FOLDERID_Profile,
        &FOLDERID_RoamingAppData,
        &FOLDERID_LocalAppData,
        &FOLDERID_LocalAppDataLow,
        &FOLDERID_UserProgramFiles,
        &FOLDERID_SkyDrive,
        &FOLDERID_Windows,
        &FOLDERID_ProgramFiles,
        &FOLDERID_ProgramFilesX86,
        &FOLDERID_ProgramFilesX64,
        &FOLDERID_ProgramData,
        &FOLDERID_UserProfiles,
        &FOLDERID_Documents,
        &FOLDERID_Desktop,
        &FOLDERID_Downloads,
        &FOLDERID_Pictures,
        &FOLDERID_Music,
        &FOLDERID_Videos,
    };
    const KNOWNFOLDERID* id = ids[static_cast<int>(which)];
    wchar_t* found = nullptr;
    std::wstring out;
    if (id && SUCCEEDED(SHGetKnownFolderPath(*id, KF_FLAG_DONT_VERIFY, nullptr, &found)))
        out = found;
    CoTaskMemFree(found);
    return out;
}

} // namespace removal
