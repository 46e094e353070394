// The splash on the real (virtual) screen: a full-screen window of a known colour
// lies behind it, the screen is captured with BitBlt, and the capture is compared
// with splash.png: opaque pixels must show the image at the centred position,
// fully transparent pixels what lies behind. After 20 s the splash is gone while
// the main application still runs.
#include "test_support.h"

#include "common/gdiplus_owners.h"

#include <vector>

#include <doctest/doctest.h>

using namespace velta_test;

namespace {

const COLORREF kBackground = RGB(0, 150, 70);
const int kUncovered = 8; // rows at the bottom of the screen left to the desktop

struct Screen {
    int width = 0, height = 0;
    std::vector<DWORD> pixels; // 0x00RRGGBB, top-down
    DWORD at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
};

Screen Capture() {
    Screen s;
    s.width = GetSystemMetrics(SM_CXSCREEN);
    s.height = GetSystemMetrics(SM_CYSCREEN);
    ScreenDc screen(GetDC(nullptr));
    MemDc mem(CreateCompatibleDC(screen.get()));
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = s.width;
    bmi.bmiHeader.biHeight = -s.height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    UniqueBitmap dib(CreateDIBSection(screen.get(), &bmi, DIB_RGB_COLORS, &bits, nullptr, 0));
    ScopedSelectObject selected(mem.get(), dib.get());
    BitBlt(mem.get(), 0, 0, s.width, s.height, screen.get(), 0, 0, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    auto* p = static_cast<DWORD*>(bits);
    s.pixels.assign(p, p + static_cast<size_t>(s.width) * s.height);
    return s;
}

// splash.png as straight (not premultiplied) ARGB.
struct Image {
    int width = 0, height = 0;
    std::vector<DWORD> argb;
    DWORD at(int x, int y) const { return argb[static_cast<size_t>(y) * width + x]; }
};

Image LoadPng(const std::wstring& path) {
    Image img;
    Gdiplus::Bitmap bmp(path.c_str(), FALSE);
    if (bmp.GetLastStatus() != Gdiplus::Ok)
        return img;
    img.width = bmp.GetWidth();
    img.height = bmp.GetHeight();
    Gdiplus::Rect all(0, 0, img.width, img.height);
    Gdiplus::BitmapData data;
    if (bmp.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok)
        return Image();
    img.argb.resize(static_cast<size_t>(img.width) * img.height);
    for (int y = 0; y < img.height; ++y)
        memcpy(&img.argb[static_cast<size_t>(y) * img.width],
               static_cast<char*>(data.Scan0) + y * data.Stride, img.width * 4);
    bmp.UnlockBits(&data);
    return img;
}

bool Near(DWORD a, DWORD b, int tolerance) {
    for (int shift = 0; shift < 24; shift += 8) {
        int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (d > tolerance || d < -tolerance)
            return false;
    }
    return true;
}

DWORD BackgroundPixel() {
    return (GetRValue(kBackground) << 16) | (GetGValue(kBackground) << 8) | GetBValue(kBackground);
}

// How the screen at (left, top) compares with the image: share of its opaque
// sample points that show the image, and of its fully transparent ones that
// show the background.
struct Match {
    double opaque = 0, transparent = 0;
    int opaque_points = 0, transparent_points = 0;
};

Match Compare(const Screen& s, const Image& img, int left, int top) {
    Match m;
    int opaque_ok = 0, clear_ok = 0;
    for (int y = 1; y < img.height; y += 7) {
        for (int x = 1; x < img.width; x += 7) {
            int sx = left + x, sy = top + y;
            if (sx < 0 || sy < 0 || sx >= s.width || sy >= s.height)
                continue;
            DWORD px = img.at(x, y);
            DWORD alpha = px >> 24;
            if (alpha == 255) {
                ++m.opaque_points;
                opaque_ok += Near(s.at(sx, sy), px & 0xFFFFFF, 6);
            } else if (alpha == 0) {
                ++m.transparent_points;
                clear_ok += Near(s.at(sx, sy), BackgroundPixel(), 2);
            }
        }
    }
    m.opaque = m.opaque_points ? double(opaque_ok) / m.opaque_points : 0;
    m.transparent = m.transparent_points ? double(clear_ok) / m.transparent_points : 0;
    return m;
}

void Pump(DWORD ms) {
    ULONGLONG until = GetTickCount64() + ms;
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(10);
    } while (GetTickCount64() < until);
}

// A window of one colour over nearly all of the screen, below the launcher's
// topmost splash. Not all of it: a window covering the whole screen counts as
// full-screen, and the window manager stacks those above topmost windows.
class Backdrop {
  public:
    Backdrop() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = CreateSolidBrush(kBackground);
        wc.lpszClassName = L"SplashTestBackdrop";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"backdrop", WS_POPUP | WS_VISIBLE, 0, 0,
                                GetSystemMetrics(SM_CXSCREEN),
                                GetSystemMetrics(SM_CYSCREEN) - kUncovered, nullptr, nullptr,
                                wc.hInstance, nullptr);
        Pump(1000);
    }
    ~Backdrop() { DestroyWindow(hwnd_); }
    HWND hwnd() const { return hwnd_; }

  private:
    HWND hwnd_ = nullptr;
};

// Keeps the capture for people to look at (ctest runs in the build tree).
void SaveCapture(const Screen& s, const wchar_t* name) {
    Gdiplus::Bitmap bmp(s.width, s.height, s.width * 4, PixelFormat32bppRGB,
                        reinterpret_cast<BYTE*>(const_cast<DWORD*>(s.pixels.data())));
    UINT count = 0, size = 0;
    Gdiplus::GetImageEncodersSize(&count, &size);
    std::vector<char> buf(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buf.data());
    Gdiplus::GetImageEncoders(count, size, codecs);
    for (UINT i = 0; i < count; ++i)
        if (lstrcmpW(codecs[i].MimeType, L"image/png") == 0)
            bmp.Save(name, &codecs[i].Clsid, nullptr);
}

} // namespace

TEST_CASE("the splash is centred with transparent corners, and hidden after 20 s") {
    ScopedGdiPlus gdiplus;
    Backdrop backdrop;
    REQUIRE(backdrop.hwnd());
    Screen before = Capture();
    REQUIRE(before.at(before.width / 2, before.height / 2) == BackgroundPixel());

    TempInstall inst(L"splash");
    REQUIRE(inst.ok());
    Image img = LoadPng(inst.bin() + L"\\assets\\splash.png");
    REQUIRE(img.width > 0);
    const int left = (before.width - img.width) / 2;
    const int top = (before.height - img.height) / 2;

    std::wstring rec = inst.file(L"record.txt");
    SetStandIn(rec, 25000);
    Process launcher = Start(inst.launcher(), L"");
    REQUIRE(launcher);
    HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, kWait);
    REQUIRE(splash);
    long long found_us = NowMicros();

    Match m;
    Screen shot;
    for (int i = 0; i < 100 && m.opaque < 0.99; ++i) {
        Pump(100);
        shot = Capture();
        m = Compare(shot, img, left, top);
    }
    SaveCapture(shot, L"splash-screenshot.png");
    MESSAGE("opaque points showing the image: " << m.opaque * 100 << "% of " << m.opaque_points
                                                << ", transparent points showing the backdrop: "
                                                << m.transparent * 100 << "% of "
                                                << m.transparent_points);
    CHECK(m.opaque >= 0.99);
    CHECK(m.transparent >= 0.99);
    // The image is not so plain that it would match elsewhere too.
    for (POINT shift : {POINT{24, 0}, POINT{0, 24}, POINT{-24, -24}}) {
        Match off = Compare(shot, img, left + shift.x, top + shift.y);
        CHECK(off.opaque * off.transparent < 0.8);
    }
    RECT r;
    GetWindowRect(splash, &r);
    CHECK(r.left == left);
    CHECK(r.top == top);
    CHECK(r.right - r.left == img.width);
    CHECK(r.bottom - r.top == img.height);

    Record started;
    REQUIRE(ReadRecord(rec, started, kWait));
    while (IsWindowVisible(splash) && NowMicros() - found_us < 40000000)
        Pump(50);
    long long hidden_ms = (NowMicros() - found_us) / 1000;
    MESSAGE("splash hidden " << hidden_ms << " ms after its window appeared");
    // The timer runs from the window's creation, which precedes the moment it
    // was found; the upper bound leaves a loaded machine room to dispatch it.
    CHECK(hidden_ms >= 18000);
    CHECK(hidden_ms <= 30000);
    Pump(500);
    Screen after = Capture();
    CHECK(Compare(after, img, left, top).opaque < 0.2);
    CHECK(after.at(after.width / 2, after.height / 2) == BackgroundPixel());
    // The main application still runs, and so does the launcher.
    CHECK_FALSE(FileExists(rec + L".end"));
    CHECK(launcher.Running());

    Record end;
    REQUIRE(ReadRecord(rec + L".end", end, kWait));
    CHECK(launcher.WaitExit(kWait) == 0);
}

TEST_CASE("without splash.png nothing shows, and the main application starts") {
    ScopedGdiPlus gdiplus;
    Backdrop backdrop;
    TempInstall inst(L"splashless");
    REQUIRE(inst.ok());
    REQUIRE(DeleteFileW((inst.bin() + L"\\assets\\splash.png").c_str()));
    std::wstring rec = inst.file(L"record.txt");
    SetStandIn(rec, 1500);
    Process launcher = Start(inst.launcher(), L"");
    REQUIRE(launcher);
    Record r;
    REQUIRE(ReadRecord(rec, r, kWait));
    Pump(500);
    Screen shot = Capture();
    int differing = 0;
    size_t covered = static_cast<size_t>(shot.width) * (shot.height - kUncovered);
    for (size_t i = 0; i < covered; i += 97)
        differing += (shot.pixels[i] & 0xFFFFFF) != BackgroundPixel();
    CHECK(differing == 0);
    CHECK(launcher.WaitExit(kWait) == 0);
}
