#pragma once
// The Win32 owners of both programs and their tests: each one releases what it
// holds when it goes, so every early return cleans up by itself. Header only
// and without exceptions, so that the launcher, built without a C++ runtime,
// uses them too. The registry key's owner, RegKey, lives with the settings
// store, which also runs over the Linux stand-in.
#include <windows.h>

#include <memory>

// A kernel handle that is null when there is none: processes, threads, and
// what OpenProcess and NtCreateFile give.
struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// What CreateFileW gives, which reports a failure as INVALID_HANDLE_VALUE, not
// null. A type of its own, so that the two failure values never mix.
class UniqueFile {
  public:
    UniqueFile() = default;
    explicit UniqueFile(HANDLE h) : h_(h) {}
    ~UniqueFile() { reset(); }
    UniqueFile(UniqueFile&& other) noexcept : h_(other.release()) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
    }

  private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

struct ModuleFreer {
    void operator()(HMODULE m) const { FreeLibrary(m); }
};
using UniqueModule = std::unique_ptr<HINSTANCE__, ModuleFreer>;

// The screen's device context, from GetDC(nullptr).
struct ScreenDcReleaser {
    void operator()(HDC dc) const { ReleaseDC(nullptr, dc); }
};
using ScreenDc = std::unique_ptr<HDC__, ScreenDcReleaser>;

// A memory device context, from CreateCompatibleDC.
struct MemDcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
using MemDc = std::unique_ptr<HDC__, MemDcDeleter>;

struct BitmapDeleter {
    void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
};
using UniqueBitmap = std::unique_ptr<HBITMAP__, BitmapDeleter>;

// Selects an object into a device context and the one it replaced back when it
// goes: an object still selected into a device context cannot be deleted, so
// it is declared after the owner of the object.
class ScopedSelectObject {
  public:
    ScopedSelectObject(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
    ~ScopedSelectObject() {
        if (old_)
            SelectObject(dc_, old_);
    }
    ScopedSelectObject(const ScopedSelectObject&) = delete;
    ScopedSelectObject& operator=(const ScopedSelectObject&) = delete;

  private:
    HDC dc_;
    HGDIOBJ old_;
};
