// The built-in screen: a small RFB server (3.8, also 3.7 and 3.3 viewers) with
// security type None and raw encoding only, serving a 240 x 320 canvas that
// shows colour bars, the local time, the last key and the pointer's dots. It is
// a pure byte-stream machine (no socket of its own) so that the link relays it
// exactly as it relays a real server; the canvas is kept as 0x00RRGGBB and
// converted per update into whatever pixel format the viewer set.
#pragma once

#include <cstdint>
#include <vector>

#include "Session.h"

namespace kivro::phonesim {

constexpr int kScreenWidth = 240;
constexpr int kScreenHeight = 320;

// Colour bars across the top rows, left to right, each kScreenWidth / 8 wide.
constexpr int kBarHeight = 60;
inline constexpr uint32_t kBarColours[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                            0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};

struct PixelFormat {
    uint8_t bitsPerPixel = 32, depth = 24, bigEndian = 0, trueColour = 1;
    uint16_t redMax = 255, greenMax = 255, blueMax = 255;
    uint8_t redShift = 16, greenShift = 8, blueShift = 0;
};

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool Empty() const { return w <= 0 || h <= 0; }
};

class RfbScreen : public Session {
  public:
    RfbScreen();
    void FromViewer(const uint8_t* data, size_t count) override;
    void Tick() override;
    size_t ToViewer(uint8_t* out, size_t capacity) override { return out_.Take(out, capacity); }
    bool HasOutput() const override { return !out_.Empty(); }
    bool Ended() const override { return failed_ && out_.Empty(); }

    uint32_t PixelAt(int x, int y) const { return canvas_[y * kScreenWidth + x]; }

  private:
    enum class State { Version, Security, ClientInit, Normal };

    // Parses one complete message at the front of in_; false when more bytes are needed.
    bool ParseOne();
    void Fail(const char* why);
    void SendServerInit();
    void SendColourMap();
    void SendUpdate(const Rect& r);
    void AnswerPending();
    void PutPixel(uint32_t rgb);

    void DrawAll();
    void DrawClock();
    void DrawInfo();
    void DrawTouchArea();
    void Fill(int x, int y, int w, int h, uint32_t rgb);
    void Text(int x, int y, int scale, const char* text, uint32_t fg, uint32_t bg);
    void MarkDirty(const Rect& r);

    std::vector<uint32_t> canvas_;
    std::vector<uint8_t> in_;
    ByteQueue out_;
    State state_ = State::Version;
    int minor_ = 8;
    bool failed_ = false;
    PixelFormat pf_;

    Rect dirty_;
    bool requestPending_ = false;
    Rect requested_;

    long long shownSecond_ = -1;
    uint32_t lastKey_ = 0;
    bool keySeen_ = false;
    int pointerX_ = -1, pointerY_ = -1;
    uint8_t buttons_ = 0;
};

}  // namespace kivro::phonesim
