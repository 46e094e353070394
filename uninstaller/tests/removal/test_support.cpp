#include "tests/removal/test_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#ifdef _WIN32
#include "common/win32_error_text.h"

#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ =
            fsys::temp_directory_path() / ("removal-test-" + std::to_string(stamp % 1000000007) +
                                           "-" + std::to_string(counter++));
        if (fsys::create_directory(path_))
            return;
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    for (auto it = fsys::recursive_directory_iterator(path_, ec);
         !ec && it != fsys::recursive_directory_iterator(); it.increment(ec))
        fsys::permissions(it->path(), fsys::perms::owner_all, fsys::perm_options::add, ec);
    fsys::remove_all(path_, ec);
}

std::string refusal_reason(const NativeString& path,
                           const std::vector<removal::Protected>& guarded) {
    const std::string why = removal::Guards::form_refusal(path);
    if (!why.empty())
        return why;
    std::string unopened;
    removal::fs::ListedPtr listed = removal::fs::open_listed(path, &unopened);
    return removal::Guards(guarded).judge(path, listed.get());
}

std::vector<std::string> Outcome::lines() const {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = output.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(output.substr(start, nl - start));
    if (start != output.size())
        out.push_back("<unterminated>" + output.substr(start));
    return out;
}

Outcome remove_paths(const std::vector<fsys::path>& paths,
                     const std::function<void(int)>& on_progress) {
    TempDir out_dir;
    const fsys::path out_file = out_dir / "out.txt";
    std::FILE* out = std::fopen(out_file.string().c_str(), "w+b");
    if (!out)
        throw std::runtime_error("cannot open the output file");

    Outcome outcome;
    bool progress_after_ready = false;
    removal::Events events;
    events.out = out;
    events.progress = [&](int value) {
        progress_after_ready |= outcome.ready > 0;
        outcome.progress.push_back(value);
        if (on_progress)
            on_progress(value);
    };
    events.result_ready = [&] { ++outcome.ready; };
    events.left_behind = [&](const std::string& line) { outcome.left.push_back(line); };
    std::vector<NativeString> native;
    for (const fsys::path& p : paths)
        native.push_back(p.native());
    removal::run(native, events);
    outcome.ready_last = outcome.ready > 0 && !progress_after_ready;

    std::fclose(out);
    std::ifstream in(out_file, std::ios::binary);
    outcome.output.assign(std::istreambuf_iterator<char>(in), {});
    return outcome;
}

void make_file(const fsys::path& path, const std::string& content) {
    fsys::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

void set_readonly(const fsys::path& path) {
#ifdef _WIN32
    DWORD attrs = GetFileAttributesW(path.c_str());
    SetFileAttributesW(path.c_str(), attrs | FILE_ATTRIBUTE_READONLY);
#else
    struct stat st;
    stat(path.c_str(), &st);
    chmod(path.c_str(), st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH));
#endif
}

void make_chain(const fsys::path& base, int levels) {
    fsys::create_directories(base);
#ifdef _WIN32
    std::wstring p = L"\\\\?\\" + base.native();
    for (int i = 0; i < levels; ++i) {
        p += L"\\d";
        if (!CreateDirectoryW(p.c_str(), nullptr))
            throw std::runtime_error("cannot make the chain");
    }
    HANDLE f = CreateFileW((p + L"\\f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot make the chain's file");
    CloseHandle(f);
#else
    int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        const int next =
            mkdirat(fd, "d", 0755) == 0 ? openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        close(fd);
        fd = next;
    }
    const int f = fd >= 0 ? openat(fd, "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) : -1;
    if (fd >= 0)
        close(fd);
    if (f < 0)
        throw std::runtime_error("cannot make the chain");
    close(f);
#endif
}

bool exists_no_follow(const fsys::path& path) {
    std::error_code ec;
    return fsys::symlink_status(path, ec).type() != fsys::file_type::not_found && !ec;
}

std::vector<int> every_percentage() {
    std::vector<int> out;
    for (int value = 0; value <= 100; ++value)
        out.push_back(value);
    out.push_back(100);
    return out;
}

int entries_below(const fsys::path& path) {
    int n = 0;
    std::error_code ec;
    for (auto it = fsys::recursive_directory_iterator(path, ec);
         !ec && it != fsys::recursive_directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

std::string u8(const fsys::path& path) {
    return removal::to_utf8(path.native());
}

#ifdef _WIN32
std::string system_text(unsigned long code) {
    return removal::to_utf8(ErrorText(code));
}
#endif

namespace {

const char* const kProtectedNames[] = {
    "HOME",   "USERPROFILE",  "APPDATA",           "LOCALAPPDATA", "SystemRoot",
    "windir", "ProgramFiles", "ProgramFiles(x86)", "ProgramW6432", "OneDrive"};

#ifdef _WIN32
std::wstring wide(const char* s) {
    return std::wstring(s, s + strlen(s));
}
#endif

bool read_env(const char* name, NativeString* value) {
#ifdef _WIN32
    wchar_t buf[32768];
    DWORD n = GetEnvironmentVariableW(wide(name).c_str(), buf, 32768);
    if (n == 0)
        return false;
    value->assign(buf, n);
    return true;
#else
    const char* v = std::getenv(name);
    if (v)
        *value = v;
    return v != nullptr;
#endif
}

void write_env(const char* name, const NativeString* value) {
#ifdef _WIN32
    SetEnvironmentVariableW(wide(name).c_str(), value ? value->c_str() : nullptr);
#else
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
#endif
}

} // namespace

FakeProtectedRoots::FakeProtectedRoots(const fsys::path& base)
    : home(base / "home"), appdata(home / "AppData" / "Roaming"),
      localappdata(home / "AppData" / "Local"), windows(base / "Windows"),
      program_files(base / "Program Files"), program_files_x86(base / "Program Files (x86)"),
      onedrive(base / "OneDrive") {
    for (const char* name : kProtectedNames) {
        NativeString value;
        bool set = read_env(name, &value);
        saved_.push_back({name, {set, value}});
    }
    const std::pair<const char*, fsys::path> fake[] = {
        {"HOME", home},
        {"USERPROFILE", home},
        {"APPDATA", appdata},
        {"LOCALAPPDATA", localappdata},
        {"SystemRoot", windows},
        {"windir", windows},
        {"ProgramFiles", program_files},
        {"ProgramW6432", program_files},
        {"ProgramFiles(x86)", program_files_x86},
        {"OneDrive", onedrive},
    };
    for (const auto& [name, dir] : fake) {
        make_file(dir / "canary.txt", "keep");
        write_env(name, &dir.native());
    }
}

FakeProtectedRoots::~FakeProtectedRoots() {
    for (const auto& [name, saved] : saved_)
        write_env(name, saved.first ? &saved.second : nullptr);
}
