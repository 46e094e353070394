#pragma once
// GDI+ for both the launcher and its tests. Some SDKs' GDI+ headers need min
// and max, which NOMINMAX takes away.
#include <windows.h>
#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
} // namespace Gdiplus
#include <gdiplus.h>
