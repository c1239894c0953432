// See Screen.h.
#include "app/win32/Screen.h"

namespace kivro {

namespace {
template <typename Function>
Function User32Function(const char* name) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    FARPROC found = user32 ? GetProcAddress(user32, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}
}  // namespace

UINT SystemDpi() {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

UINT WindowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    UINT dpi = getDpiForWindow && window ? getDpiForWindow(window) : 0;
    return dpi != 0 ? dpi : SystemDpi();
}

int MetricForDpi(int metric, UINT dpi) {
    using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);
    static const auto forDpi =
        User32Function<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
    if (forDpi) return forDpi(metric, dpi);
    return MulDiv(GetSystemMetrics(metric), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

int ScaleForDpi(int pixelsAt96, UINT dpi) {
    return MulDiv(pixelsAt96, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
}

HICON LoadIconAtSize(UINT icon, int size) {
    return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(icon),
                                         IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

}  // namespace kivro
