// The built-in screen through the link: the RFB handshakes, full updates in the
// pixel formats viewers ask for (checked against hand-computed colour-bar
// values), and visible answers to pointer and key events.
#include <gtest/gtest.h>

#include "TestPc.h"

namespace kivro::phonesim_test {
namespace {

uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

struct Format {
    const char* name;
    uint8_t bpp, depth, bigEndian, trueColour;
    uint16_t redMax, greenMax, blueMax;
    uint8_t redShift, greenShift, blueShift;
    // Pixel values of the eight bars: white, yellow, cyan, green, magenta, red, blue, black.
    uint32_t bars[8];
};

const Format kFormats[] = {
    {"32 bpp little endian",
     32,
     24,
     0,
     1,
     255,
     255,
     255,
     16,
     8,
     0,
     {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0}},
    {"32 bpp big endian BGR",
     32,
     24,
     1,
     1,
     255,
     255,
     255,
     0,
     8,
     16,
     {0xFFFFFF, 0x00FFFF, 0xFFFF00, 0x00FF00, 0xFF00FF, 0x0000FF, 0xFF0000, 0}},
    {"16 bpp 565 big endian",
     16,
     16,
     1,
     1,
     31,
     63,
     31,
     11,
     5,
     0,
     {0xFFFF, 0xFFE0, 0x07FF, 0x07E0, 0xF81F, 0xF800, 0x001F, 0}},
    {"16 bpp 555 little endian",
     16,
     15,
     0,
     1,
     31,
     31,
     31,
     10,
     5,
     0,
     {0x7FFF, 0x7FE0, 0x03FF, 0x03E0, 0x7C1F, 0x7C00, 0x001F, 0}},
    {"8 bpp BGR233", 8, 8, 0, 1, 7, 7, 3, 0, 3, 6, {0xFF, 0x3F, 0xF8, 0x38, 0xC7, 0x07, 0xC0, 0}},
    {"8 bpp colour map",
     8,
     8,
     0,
     0,
     0,
     0,
     0,
     0,
     0,
     0,
     {0xFF, 0xFC, 0x1F, 0x1C, 0xE3, 0xE0, 0x03, 0}},
};

uint32_t PixelValue(const Format& f, const uint8_t* p) {
    uint32_t v = 0;
    int n = f.bpp / 8;
    for (int i = 0; i < n; ++i) v |= uint32_t(p[i]) << (f.bigEndian ? 8 * (n - 1 - i) : 8 * i);
    return v;
}

class PhoneSimScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Started());
        ASSERT_TRUE(pc_.Opened());
        ASSERT_TRUE(pc_.ReadHello());
        ASSERT_TRUE(viewer_.Connect());
    }

    // Version exchange through ServerInit; checks the screen's size and name.
    void Handshake(const char* version) {
        Bytes b;
        ASSERT_TRUE(viewer_.Read(12, b));
        ASSERT_EQ(b, ToBytes("RFB 003.008\n"));
        ASSERT_TRUE(viewer_.Write(ToBytes(version)));
        if (std::string(version) == "RFB 003.003\n") {
            ASSERT_TRUE(viewer_.Read(4, b));
            EXPECT_EQ(Get32(b.data()), 1u);  // None, chosen by the server
        } else {
            ASSERT_TRUE(viewer_.Read(2, b));
            EXPECT_EQ(b, (Bytes{1, 1}));
            ASSERT_TRUE(viewer_.Write({1}));
            if (std::string(version) == "RFB 003.008\n") {
                ASSERT_TRUE(viewer_.Read(4, b));
                EXPECT_EQ(Get32(b.data()), 0u);
            }
        }
        ASSERT_TRUE(viewer_.Write({1}));  // ClientInit, shared
        ASSERT_TRUE(viewer_.Read(24, b));
        EXPECT_EQ(Get16(&b[0]), 240);
        EXPECT_EQ(Get16(&b[2]), 320);
        uint32_t nameLength = Get32(&b[20]);
        ASSERT_TRUE(viewer_.Read(nameLength, b));
        EXPECT_EQ(std::string(b.begin(), b.end()), "phone-sim");
    }

    void SetFormat(const Format& f) {
        Bytes m = {0,
                   0,
                   0,
                   0,
                   f.bpp,
                   f.depth,
                   f.bigEndian,
                   f.trueColour,
                   uint8_t(f.redMax >> 8),
                   uint8_t(f.redMax),
                   uint8_t(f.greenMax >> 8),
                   uint8_t(f.greenMax),
                   uint8_t(f.blueMax >> 8),
                   uint8_t(f.blueMax),
                   f.redShift,
                   f.greenShift,
                   f.blueShift,
                   0,
                   0,
                   0,
                   2,
                   0,
                   0,
                   1,
                   0,
                   0,
                   0,
                   0};  // SetEncodings: raw
        ASSERT_TRUE(viewer_.Write(m));
    }

    void Request(bool incremental, int x, int y, int w, int h) {
        Bytes m = {
            3,          uint8_t(incremental), uint8_t(x >> 8), uint8_t(x),      uint8_t(y >> 8),
            uint8_t(y), uint8_t(w >> 8),      uint8_t(w),      uint8_t(h >> 8), uint8_t(h)};
        ASSERT_TRUE(viewer_.Write(m));
    }

    struct Update {
        int x = 0, y = 0, w = 0, h = 0;
        Bytes pixels;
    };
    // Reads one FramebufferUpdate of one raw rectangle.
    void ReadUpdate(int bytesPerPixel, Update& u) {
        Bytes b;
        ASSERT_TRUE(viewer_.Read(4, b));
        ASSERT_EQ(b[0], 0);
        ASSERT_EQ(Get16(&b[2]), 1);
        ASSERT_TRUE(viewer_.Read(12, b));
        u.x = Get16(&b[0]);
        u.y = Get16(&b[2]);
        u.w = Get16(&b[4]);
        u.h = Get16(&b[6]);
        ASSERT_EQ(Get32(&b[8]), 0u);  // raw
        ASSERT_TRUE(viewer_.Read(size_t(u.w) * u.h * bytesPerPixel, u.pixels));
    }

    PhoneSimProcess sim_{{}};
    TestPc pc_{sim_.PtyPath()};
    LinkViewer viewer_{pc_};
};

TEST_F(PhoneSimScreen, FullUpdateInEachPixelFormat) {
    Handshake("RFB 003.008\n");
    bool first = true;
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.name);
        SetFormat(f);
        if (!f.trueColour) {
            Bytes b;
            ASSERT_TRUE(viewer_.Read(6, b));
            EXPECT_EQ(b[0], 1);  // SetColourMapEntries
            EXPECT_EQ(Get16(&b[4]), 256);
            ASSERT_TRUE(viewer_.Read(256 * 6, b));
            // Entry 0xFC (yellow in 3-3-2) is full red and green, no blue.
            EXPECT_EQ(Get16(&b[0xFC * 6]), 0xFFFF);
            EXPECT_EQ(Get16(&b[0xFC * 6 + 2]), 0xFFFF);
            EXPECT_EQ(Get16(&b[0xFC * 6 + 4]), 0);
        }
        Request(false, 0, 0, 240, 320);
        Update u;
        ReadUpdate(f.bpp / 8, u);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(u.x, 0);
        EXPECT_EQ(u.y, 0);
        EXPECT_EQ(u.w, 240);
        EXPECT_EQ(u.h, 320);
        for (int bar = 0; bar < 8; ++bar) {
            int x = bar * 30 + 15, y = 30;
            EXPECT_EQ(PixelValue(f, &u.pixels[(size_t(y) * 240 + x) * (f.bpp / 8)]), f.bars[bar])
                << "bar " << bar;
        }
        if (first) {
            // The touch area's checkerboard: white at its top left, grey next to it.
            EXPECT_EQ(PixelValue(f, &u.pixels[(size_t(155) * 240 + 5) * 4]), 0xFFFFFFu);
            EXPECT_EQ(PixelValue(f, &u.pixels[(size_t(155) * 240 + 25) * 4]), 0xC0C0C0u);
            first = false;
        }
    }
}

TEST_F(PhoneSimScreen, PointerAndKeysAnswerVisibly) {
    Handshake("RFB 003.008\n");
    SetFormat(kFormats[0]);
    Request(false, 0, 0, 240, 320);
    Update full;
    ReadUpdate(4, full);
    ASSERT_FALSE(HasFatalFailure());
    const int px = 100, py = 250;
    ASSERT_EQ(PixelValue(kFormats[0], &full.pixels[(size_t(py) * 240 + px) * 4]), 0xFFFFFFu);

    // A click draws a red dot; the update that follows covers it.
    ASSERT_TRUE(viewer_.Write({5, 1, 0, px, 0, py, 5, 0, 0, px, 0, py}));
    Request(true, 0, 0, 240, 320);
    Update u;
    ReadUpdate(4, u);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(px >= u.x && px < u.x + u.w && py >= u.y && py < u.y + u.h);
    EXPECT_EQ(PixelValue(kFormats[0], &u.pixels[(size_t(py - u.y) * u.w + (px - u.x)) * 4]),
              0xFF0000u);

    // A key changes the status line below the clock (rows 110 to 149).
    ASSERT_TRUE(viewer_.Write({4, 1, 0, 0, 0, 0, 0, 'k', 4, 0, 0, 0, 0, 0, 0, 'k'}));
    Request(true, 0, 110, 240, 40);
    Update k;
    ReadUpdate(4, k);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_LE(k.y, 113);
    EXPECT_GE(k.y + k.h, 127);
    bool changed = false;
    for (int y = k.y; y < k.y + k.h; ++y)
        for (int x = k.x; x < k.x + k.w; ++x) {
            size_t at = (size_t(y) * 240 + x) * 4;
            size_t inK = (size_t(y - k.y) * k.w + (x - k.x)) * 4;
            changed |= PixelValue(kFormats[0], &full.pixels[at]) !=
                       PixelValue(kFormats[0], &k.pixels[inK]);
        }
    EXPECT_TRUE(changed);
}

// An incremental request is held until something changes; the clock changes
// every second, so the answer comes within about a second.
TEST_F(PhoneSimScreen, IncrementalRequestIsAnsweredWhenTheClockTicks) {
    Handshake("RFB 003.008\n");
    SetFormat(kFormats[2]);
    Request(false, 0, 0, 240, 320);
    Update full, tick;
    ReadUpdate(2, full);
    Request(true, 0, 0, 240, 320);
    ReadUpdate(2, tick);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_GE(tick.y, 60);  // the clock band, not the whole screen
    EXPECT_LE(tick.y + tick.h, 110);
}

TEST_F(PhoneSimScreen, OlderViewersAreServedToo) {
    Handshake("RFB 003.003\n");
    SetFormat(kFormats[0]);
    Request(false, 0, 0, 30, 30);
    Update u;
    ReadUpdate(4, u);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(u.w, 30);
    EXPECT_EQ(PixelValue(kFormats[0], &u.pixels[0]), 0xFFFFFFu);
}

TEST_F(PhoneSimScreen, Rfb37HandshakeHasNoSecurityResult) {
    Handshake("RFB 003.007\n");
}

TEST_F(PhoneSimScreen, ProtocolErrorClosesTheViewer) {
    Handshake("RFB 003.008\n");
    ASSERT_TRUE(viewer_.Write({99}));
    Bytes b;
    EXPECT_FALSE(viewer_.Read(1, b, 1500));
    ASSERT_FALSE(viewer_.OtherReplies().empty());
    EXPECT_EQ(viewer_.OtherReplies().front(), LINK_CLOSE_CLIENT);
}

}  // namespace
}  // namespace kivro::phonesim_test
