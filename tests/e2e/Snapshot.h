// What the end-to-end tests share about pictures: vncsnapshot run through the
// proxy's TCP port, its JPEG decoded (only its size read when the JPEG library
// is not at hand), and the check that it shows phone-sim's built-in screen.
// Header-only: the Linux and the Wine end-to-end tests both include it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "console/Child.h"
#ifdef KIVRO_HAVE_JPEG
#include <jpeglib.h>
#endif

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kivro::test {

inline int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* At(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

// The picture's size from its frame header; its pixels too when the JPEG
// library is at hand (rgb stays empty otherwise).
inline bool DecodeJpeg(const std::string& jpeg, Image& image) {
#ifndef KIVRO_HAVE_JPEG
    for (size_t i = 2; i + 9 < jpeg.size();) {
        const auto byte = [&](size_t k) { return uint8_t(jpeg[k]); };
        if (byte(i) != 0xFF) return false;
        if (byte(i + 1) >= 0xC0 && byte(i + 1) <= 0xC2) {
            image.height = byte(i + 5) << 8 | byte(i + 6);
            image.width = byte(i + 7) << 8 | byte(i + 8);
            return true;
        }
        i += 2 + (size_t(byte(i + 2)) << 8 | byte(i + 3));
    }
    return false;
#else
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    bool ok = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
    if (ok) {
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        image.width = int(info.output_width);
        image.height = int(info.output_height);
        image.rgb.resize(size_t(image.width) * image.height * 3);
        while (info.output_scanline < info.output_height) {
            unsigned char* row = &image.rgb[size_t(info.output_scanline) * image.width * 3];
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    return ok;
#endif
}

// vncsnapshot through the proxy at 127.0.0.1:port into file; the picture decoded.
inline void TakeSnapshot(int port, const std::string& file, Image& image) {
    Child shot({"timeout", "30", "vncsnapshot", "-quiet", "-encodings", "raw", "-allowblank",
                "127.0.0.1::" + std::to_string(port), file});
    ASSERT_EQ(shot.Wait(35000), 0) << shot.Err();
    ASSERT_TRUE(DecodeJpeg(ReadAll(file), image));
}

// phone-sim's built-in screen: 240 x 320 with its colour bars along the top,
// each within JPEG's tolerance.
inline void ExpectPhoneScreen(const Image& image) {
    ASSERT_EQ(image.width, 240);
    ASSERT_EQ(image.height, 320);
    const uint32_t bars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                              0xFF00FF, 0xFF0000, 0x0000FF, 0};
    for (int bar = 0; bar < 8 && !image.rgb.empty(); ++bar)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(image.At(bar * 30 + 15, 30)[c], (bars[bar] >> (16 - 8 * c)) & 0xFF, 40)
                << "bar " << bar << " channel " << c;
}

}  // namespace kivro::test
