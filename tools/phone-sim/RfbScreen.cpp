// The built-in screen's RFB server and drawing. Updates are answered from a
// single dirty rectangle: coarse, but the screen changes in a few small places
// (the clock, the status lines, a dot) and raw encoding makes any finer
// bookkeeping pointless.
#include "RfbScreen.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Font.h"
#include "Log.h"

namespace kivro::phonesim {
namespace {

constexpr int kClockTop = kBarHeight, kClockHeight = 50;
constexpr int kInfoTop = kClockTop + kClockHeight, kInfoHeight = 40;
constexpr int kTouchTop = kInfoTop + kInfoHeight;
constexpr uint32_t kClockBackground = 0x000080, kInfoBackground = 0x404040;
constexpr uint32_t kDotColour = 0xFF0000;
constexpr char kDesktopName[] = "phone-sim";

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, static_cast<uint16_t>(x >> 16));
    Put16(v, static_cast<uint16_t>(x));
}

Rect Intersect(const Rect& a, const Rect& b) {
    int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    int x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Union(const Rect& a, const Rect& b) {
    if (a.Empty()) return b;
    if (b.Empty()) return a;
    int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    int x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
    return {x0, y0, x1 - x0, y1 - y0};
}

// The 3-3-2 palette index of a colour, used when a viewer asks for a colour map.
uint8_t PaletteIndex(uint32_t rgb) {
    return static_cast<uint8_t>(((rgb >> 21) & 7) << 5 | ((rgb >> 13) & 7) << 2 | ((rgb >> 6) & 3));
}

}  // namespace

RfbScreen::RfbScreen() : canvas_(kScreenWidth * kScreenHeight) {
    DrawAll();
    static const char version[] = "RFB 003.008\n";
    out_.Append(reinterpret_cast<const uint8_t*>(version), 12);
}

void RfbScreen::FromViewer(const uint8_t* data, size_t count) {
    if (failed_) return;
    in_.insert(in_.end(), data, data + count);
    while (!failed_ && !in_.empty() && ParseOne()) {
    }
}

void RfbScreen::Fail(const char* why) {
    Log(1, "built-in screen: %s; ending the session", why);
    failed_ = true;
    in_.clear();
}

bool RfbScreen::ParseOne() {
    const uint8_t* p = in_.data();
    size_t have = in_.size();
    size_t used = 0;
    switch (state_) {
        case State::Version: {
            if (have < 12) return false;
            int major = 0, minor = 0;
            if (std::memcmp(p, "RFB ", 4) != 0 ||
                std::sscanf(reinterpret_cast<const char*>(p) + 4, "%3d.%3d", &major, &minor) != 2) {
                Fail("not an RFB viewer");
                return false;
            }
            minor_ = minor >= 8 ? 8 : minor == 7 ? 7 : 3;
            Log(1, "built-in screen: viewer speaks RFB 3.%d", minor_);
            if (minor_ == 3) {
                std::vector<uint8_t> v;
                Put32(v, 1);  // security type None, chosen by the server in 3.3
                out_.Append(v.data(), v.size());
                state_ = State::ClientInit;
            } else {
                const uint8_t types[] = {1, 1};
                out_.Append(types, 2);
                state_ = State::Security;
            }
            used = 12;
            break;
        }
        case State::Security: {
            if (p[0] != 1) {
                if (minor_ == 8) {
                    static const char reason[] = "only security type None";
                    std::vector<uint8_t> v;
                    Put32(v, 1);
                    Put32(v, sizeof reason - 1);
                    v.insert(v.end(), reason, reason + sizeof reason - 1);
                    out_.Append(v.data(), v.size());
                }
                Fail("viewer chose an unsupported security type");
                return false;
            }
            if (minor_ == 8) {
                const uint8_t ok[4] = {0, 0, 0, 0};
                out_.Append(ok, 4);
            }
            state_ = State::ClientInit;
            used = 1;
            break;
        }
        case State::ClientInit:
            SendServerInit();
            state_ = State::Normal;
            used = 1;
            break;
        case State::Normal:
            switch (p[0]) {
                case 0: {  // SetPixelFormat
                    if (have < 20) return false;
                    PixelFormat f;
                    const uint8_t* q = p + 4;
                    f.bitsPerPixel = q[0];
                    f.depth = q[1];
                    f.bigEndian = q[2] != 0;
                    f.trueColour = q[3] != 0;
                    f.redMax = Get16(q + 4);
                    f.greenMax = Get16(q + 6);
                    f.blueMax = Get16(q + 8);
                    f.redShift = q[10];
                    f.greenShift = q[11];
                    f.blueShift = q[12];
                    bool sizeOk =
                        f.bitsPerPixel == 8 || f.bitsPerPixel == 16 || f.bitsPerPixel == 32;
                    bool shiftsOk = f.redShift < f.bitsPerPixel && f.greenShift < f.bitsPerPixel &&
                                    f.blueShift < f.bitsPerPixel;
                    if (!sizeOk || (f.trueColour && !shiftsOk)) {
                        Fail("unsupported pixel format");
                        return false;
                    }
                    pf_ = f;
                    Log(1, "built-in screen: pixel format %d bpp, %s, %s", f.bitsPerPixel,
                        f.trueColour ? "true colour" : "colour map",
                        f.bigEndian ? "big endian" : "little endian");
                    if (!pf_.trueColour) SendColourMap();
                    used = 20;
                    break;
                }
                case 2: {  // SetEncodings: raw is always allowed, so the list is not needed
                    if (have < 4) return false;
                    size_t need = 4 + 4 * size_t(Get16(p + 2));
                    if (have < need) return false;
                    used = need;
                    break;
                }
                case 3: {  // FramebufferUpdateRequest
                    if (have < 10) return false;
                    Rect r{Get16(p + 2), Get16(p + 4), Get16(p + 6), Get16(p + 8)};
                    r = Intersect(r, {0, 0, kScreenWidth, kScreenHeight});
                    if (r.Empty()) r = {};
                    if (p[1] == 0) {
                        SendUpdate(r);
                        if (Intersect(dirty_, r).w == dirty_.w &&
                            Intersect(dirty_, r).h == dirty_.h)
                            dirty_ = {};  // all that changed has just been sent
                    } else {
                        requestPending_ = true;
                        requested_ = r;
                        AnswerPending();
                    }
                    used = 10;
                    break;
                }
                case 4: {  // KeyEvent
                    if (have < 8) return false;
                    if (p[1]) {
                        lastKey_ = Get32(p + 4);
                        keySeen_ = true;
                        DrawInfo();
                        AnswerPending();
                    }
                    used = 8;
                    break;
                }
                case 5: {  // PointerEvent
                    if (have < 6) return false;
                    uint8_t mask = p[1];
                    int x = Get16(p + 2), y = Get16(p + 4);
                    if ((mask & 4) && !(buttons_ & 4)) DrawTouchArea();
                    if (mask & 1) {
                        Fill(x - 3, y - 3, 7, 7, kDotColour);
                        MarkDirty({x - 3, y - 3, 7, 7});
                    }
                    buttons_ = mask;
                    if (x != pointerX_ || y != pointerY_) {
                        pointerX_ = x;
                        pointerY_ = y;
                        DrawInfo();
                    }
                    AnswerPending();
                    used = 6;
                    break;
                }
                case 6: {  // ClientCutText
                    if (have < 8) return false;
                    uint32_t length = Get32(p + 4);
                    if (length > (1u << 20)) {
                        Fail("cut text too long");
                        return false;
                    }
                    if (have < 8 + length) return false;
                    used = 8 + length;
                    break;
                }
                default: {
                    char why[48];
                    std::snprintf(why, sizeof why, "unknown message type %u", p[0]);
                    Fail(why);
                    return false;
                }
            }
            break;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

void RfbScreen::SendServerInit() {
    std::vector<uint8_t> v;
    Put16(v, kScreenWidth);
    Put16(v, kScreenHeight);
    v.insert(v.end(), {pf_.bitsPerPixel, pf_.depth, pf_.bigEndian, pf_.trueColour});
    Put16(v, pf_.redMax);
    Put16(v, pf_.greenMax);
    Put16(v, pf_.blueMax);
    v.insert(v.end(), {pf_.redShift, pf_.greenShift, pf_.blueShift, 0, 0, 0});
    Put32(v, sizeof kDesktopName - 1);
    v.insert(v.end(), kDesktopName, kDesktopName + sizeof kDesktopName - 1);
    out_.Append(v.data(), v.size());
}

void RfbScreen::SendColourMap() {
    std::vector<uint8_t> v = {1, 0};
    Put16(v, 0);
    Put16(v, 256);
    for (int i = 0; i < 256; ++i) {
        // Spread each field over the full 16-bit range, as the palette index packs it.
        Put16(v, static_cast<uint16_t>((i >> 5) * 65535 / 7));
        Put16(v, static_cast<uint16_t>(((i >> 2) & 7) * 65535 / 7));
        Put16(v, static_cast<uint16_t>((i & 3) * 65535 / 3));
    }
    out_.Append(v.data(), v.size());
}

void RfbScreen::SendUpdate(const Rect& r) {
    std::vector<uint8_t> v = {0, 0};
    Put16(v, r.Empty() ? 0 : 1);
    if (!r.Empty()) {
        Put16(v, static_cast<uint16_t>(r.x));
        Put16(v, static_cast<uint16_t>(r.y));
        Put16(v, static_cast<uint16_t>(r.w));
        Put16(v, static_cast<uint16_t>(r.h));
        Put32(v, 0);  // raw
    }
    out_.Append(v.data(), v.size());
    for (int y = r.y; y < r.y + r.h; ++y)
        for (int x = r.x; x < r.x + r.w; ++x) PutPixel(canvas_[y * kScreenWidth + x]);
    Log(2, "built-in screen: update %dx%d+%d+%d", r.w, r.h, r.x, r.y);
}

void RfbScreen::PutPixel(uint32_t rgb) {
    uint32_t value;
    if (pf_.trueColour) {
        uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
        value = ((r * pf_.redMax + 127) / 255) << pf_.redShift |
                ((g * pf_.greenMax + 127) / 255) << pf_.greenShift |
                ((b * pf_.blueMax + 127) / 255) << pf_.blueShift;
    } else {
        value = PaletteIndex(rgb);
    }
    uint8_t bytes[4];
    int n = pf_.bitsPerPixel / 8;
    for (int i = 0; i < n; ++i) {
        int shift = pf_.bigEndian ? 8 * (n - 1 - i) : 8 * i;
        bytes[i] = static_cast<uint8_t>(value >> shift);
    }
    out_.Append(bytes, static_cast<size_t>(n));
}

void RfbScreen::AnswerPending() {
    if (!requestPending_ || state_ != State::Normal) return;
    Rect r = Intersect(dirty_, requested_);
    if (r.Empty()) return;
    SendUpdate(r);
    dirty_ = {};
    requestPending_ = false;
}

void RfbScreen::Tick() {
    if (failed_) return;
    DrawClock();
    AnswerPending();
}

void RfbScreen::MarkDirty(const Rect& r) {
    dirty_ = Union(dirty_, Intersect(r, {0, 0, kScreenWidth, kScreenHeight}));
}

void RfbScreen::Fill(int x, int y, int w, int h, uint32_t rgb) {
    Rect r = Intersect({x, y, w, h}, {0, 0, kScreenWidth, kScreenHeight});
    for (int yy = r.y; yy < r.y + r.h; ++yy)
        std::fill_n(&canvas_[yy * kScreenWidth + r.x], r.w, rgb);
}

void RfbScreen::Text(int x, int y, int scale, const char* text, uint32_t fg, uint32_t bg) {
    for (; *text; ++text, x += (kGlyphWidth + 1) * scale) {
        const uint8_t* rows = Glyph(*text);
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int col = 0; col < kGlyphWidth; ++col) {
                bool on = rows[row] & (0x10 >> col);
                Fill(x + col * scale, y + row * scale, scale, scale, on ? fg : bg);
            }
    }
}

void RfbScreen::DrawAll() {
    const int barWidth = kScreenWidth / 8;
    for (int i = 0; i < 8; ++i) Fill(i * barWidth, 0, barWidth, kBarHeight, kBarColours[i]);
    Fill(0, kClockTop, kScreenWidth, kClockHeight, kClockBackground);
    DrawClock();
    DrawInfo();
    DrawTouchArea();
    dirty_ = {0, 0, kScreenWidth, kScreenHeight};
}

void RfbScreen::DrawClock() {
    time_t now = time(nullptr);
    if (now == shownSecond_) return;
    shownSecond_ = now;
    struct tm local;
    localtime_r(&now, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    const int scale = 3, width = 8 * (kGlyphWidth + 1) * scale - scale;
    const int x = (kScreenWidth - width) / 2,
              y = kClockTop + (kClockHeight - kGlyphHeight * scale) / 2;
    Text(x, y, scale, text, 0xFFFFFF, kClockBackground);
    MarkDirty({x, y, width, kGlyphHeight * scale});
}

void RfbScreen::DrawInfo() {
    char key[40] = "KEY -", pointer[40] = "PTR -";
    if (keySeen_) {
        char shown = lastKey_ > 0x20 && lastKey_ < 0x7F ? static_cast<char>(lastKey_) : ' ';
        std::snprintf(key, sizeof key, "KEY %04X %c", lastKey_, shown);
    }
    if (pointerX_ >= 0) std::snprintf(pointer, sizeof pointer, "PTR %d %d", pointerX_, pointerY_);
    Fill(0, kInfoTop, kScreenWidth, kInfoHeight, kInfoBackground);
    Text(6, kInfoTop + 4, 2, key, 0xFFFF00, kInfoBackground);
    Text(6, kInfoTop + 22, 2, pointer, 0xFFFF00, kInfoBackground);
    MarkDirty({0, kInfoTop, kScreenWidth, kInfoHeight});
}

void RfbScreen::DrawTouchArea() {
    for (int y = kTouchTop; y < kScreenHeight; y += 20)
        for (int x = 0; x < kScreenWidth; x += 20)
            Fill(x, y, 20, 20, ((x / 20 + (y - kTouchTop) / 20) % 2) ? 0xC0C0C0 : 0xFFFFFF);
    MarkDirty({0, kTouchTop, kScreenWidth, kScreenHeight - kTouchTop});
}

}  // namespace kivro::phonesim
