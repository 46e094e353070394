#pragma once
// Owners of a GDI+ session and of a GDI+ bitmap, through the flat API only (the
// C++ classes bring RTTI and exception support along). Apart from gdiplus.h so
// that a build which wraps the GDI+ calls can include that one first.
#include "common/gdiplus.h"

#include <memory>

// GDI+ from GdiplusStartup (a default GdiplusStartupInput) to GdiplusShutdown.
// A failed start leaves every GDI+ call failing; it is not reported.
class ScopedGdiPlus {
  public:
    ScopedGdiPlus() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    ~ScopedGdiPlus() { Gdiplus::GdiplusShutdown(token_); }
    ScopedGdiPlus(const ScopedGdiPlus&) = delete;
    ScopedGdiPlus& operator=(const ScopedGdiPlus&) = delete;

  private:
    ULONG_PTR token_ = 0;
};

struct GdipImageDisposer {
    void operator()(Gdiplus::GpBitmap* image) const {
        Gdiplus::DllExports::GdipDisposeImage(image);
    }
};
using GdipBitmap = std::unique_ptr<Gdiplus::GpBitmap, GdipImageDisposer>;
