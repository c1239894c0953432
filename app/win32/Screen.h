// What the shell's windows ask of the screen: the DPIs to draw at, system
// metrics and sizes at a DPI, and an icon resource at a pixel size. The
// program is per-monitor DPI aware (its manifest); Windows 10's per-window DPI
// functions are looked up at run time, as Windows 7 and 8 lack them, and there
// the system DPI is the one.
#pragma once

#include <windows.h>

namespace kivro {

// The DPI of the screen's device context: the one GDI and the rich-edit control
// convert points with, and the whole desktop's DPI before Windows 8.1.
UINT SystemDpi();
// The DPI of the window's monitor (the system DPI where Windows cannot tell).
UINT WindowDpi(HWND window);
// A system metric (SM_...) as it is at a DPI.
int MetricForDpi(int metric, UINT dpi);
// A size given at 96 DPI, at a DPI.
int ScaleForDpi(int pixelsAt96, UINT dpi);
// One of the program's icons at size x size pixels; the caller destroys it.
HICON LoadIconAtSize(UINT icon, int size);

}  // namespace kivro
