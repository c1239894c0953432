// Sessions that leave phone-sim over TCP, and a real viewer on the built-in
// screen: phone-sim relaying to a VNC server (a scripted one here), and
// vncsnapshot reaching the built-in screen through a small TCP-to-frames
// bridge that plays the PC's part.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "TestPc.h"

#ifdef KIVRO_HAVE_JPEG
#include <cstdio>
#include <jpeglib.h>
#endif

namespace kivro::phonesim_test {
namespace {

using Clock = std::chrono::steady_clock;

// A listening socket on a free loopback port.
class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int Port() const { return port_; }
    // An accepted connection, or -1 after timeoutMs.
    int Accept(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

bool SendAll(int fd, const uint8_t* data, size_t count) {
    while (count > 0) {
        ssize_t n = send(fd, data, count, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

TEST(PhoneSimRelay, RelaysToAVncServerAndReportsItsEnd) {
    Listener server;
    ASSERT_GT(server.Port(), 0);
    // The scripted server greets, echoes, and hangs up on "bye".
    std::thread serverThread([&] {
        int fd = server.Accept(10000);
        if (fd < 0) return;
        SendAll(fd, reinterpret_cast<const uint8_t*>("RFB 003.008\n"), 12);
        char buffer[256];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            if (std::string(buffer, static_cast<size_t>(n)).find("bye") != std::string::npos) break;
            SendAll(fd, reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(n));
        }
        close(fd);
    });
    PhoneSimProcess sim({"--vnc", "127.0.0.1:" + std::to_string(server.Port())});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.ReadHello());
    LinkViewer viewer(pc);
    ASSERT_TRUE(viewer.Connect());
    Bytes b;
    ASSERT_TRUE(viewer.Read(12, b));
    EXPECT_EQ(b, ToBytes("RFB 003.008\n"));
    const Bytes big = Pattern(10000, 11);  // more than one frame each way
    for (size_t at = 0; at < big.size(); at += 4096)
        ASSERT_TRUE(
            viewer.Write(Bytes(big.begin() + at, big.begin() + std::min(big.size(), at + 4096))));
    ASSERT_TRUE(viewer.Read(big.size(), b));
    EXPECT_EQ(b, big);
    EXPECT_TRUE(viewer.OtherReplies().empty());

    ASSERT_TRUE(viewer.Write(ToBytes("bye")));
    EXPECT_FALSE(viewer.Read(1, b, 2000));
    ASSERT_EQ(viewer.OtherReplies().size(), 1u);
    EXPECT_EQ(viewer.OtherReplies()[0], LINK_CLOSE_CLIENT);
    serverThread.join();
}

TEST(PhoneSimRelay, UnreachableServerClosesTheViewer) {
    int port;
    {
        Listener gone;
        port = gone.Port();
    }
    PhoneSimProcess sim({"--vnc", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.ReadHello());
    Reply r;
    ASSERT_TRUE(pc.Exchange(LINK_CLIENT_CONNECTED, {}, r));
    EXPECT_EQ(r.type, LINK_CLOSE_CLIENT);
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_DATA);
}

// The PC's part for one viewer connection: its bytes go out in LINK_DATA
// frames, the replies' payloads come back; empty polls keep the phone's data
// flowing while the viewer is silent.
void Bridge(TestPc& pc, int client, std::atomic<bool>& failed) {
    Reply r;
    if (!pc.Exchange(LINK_CLIENT_CONNECTED, {}, r)) return failed.store(true);
    for (bool open = true; open;) {
        if (r.type == LINK_DATA && r.length > 0 && !SendAll(client, r.payload.data(), r.length))
            break;
        if (r.type == LINK_CLOSE_CLIENT) break;
        if (r.type != LINK_DATA) return failed.store(true);
        Bytes data(4096);
        pollfd p{client, POLLIN, 0};
        int ready = poll(&p, 1, r.length > 0 ? 0 : 10);
        ssize_t n = ready == 1 ? recv(client, data.data(), data.size(), 0) : 0;
        if (ready == 1 && n <= 0) open = false;
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (open && !pc.Exchange(LINK_DATA, data, r)) return failed.store(true);
    }
    if (!pc.Exchange(LINK_CLIENT_DISCONNECTED, {}, r)) failed.store(true);
}

// Width and height from a JPEG's start-of-frame marker.
bool JpegSize(const Bytes& jpeg, int& width, int& height) {
    for (size_t i = 2; i + 9 < jpeg.size();) {
        if (jpeg[i] != 0xFF) return false;
        uint8_t marker = jpeg[i + 1];
        size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (marker >= 0xC0 && marker <= 0xC3) {
            height = jpeg[i + 5] << 8 | jpeg[i + 6];
            width = jpeg[i + 7] << 8 | jpeg[i + 8];
            return true;
        }
        i += 2 + length;
    }
    return false;
}

#ifdef KIVRO_HAVE_JPEG
// Decodes a JPEG into 8-bit RGB rows; empty on failure.
Bytes DecodeJpeg(const Bytes& jpeg, int& width) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    Bytes rgb;
    if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        width = static_cast<int>(info.output_width);
        rgb.resize(size_t(info.output_width) * info.output_height * 3);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = &rgb[size_t(info.output_scanline) * info.output_width * 3];
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    return rgb;
}
#endif

TEST(PhoneSimRelay, VncsnapshotTakesAPictureOfTheBuiltInScreen) {
    const char* tool = "/usr/bin/vncsnapshot";
    if (access(tool, X_OK) != 0) GTEST_SKIP() << "vncsnapshot is not installed";
    PhoneSimProcess sim({});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.ReadHello());
    Listener listener;
    ASSERT_GT(listener.Port(), 0);
    TempDir dir;
    std::string image = dir.File("screen.jpg");
    std::string target = "127.0.0.1::" + std::to_string(listener.Port());

    pid_t pid = fork();
    if (pid == 0) {
        execlp("timeout", "timeout", "30", tool, "-quiet", "-encodings", "raw", "-allowblank",
               target.c_str(), image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::atomic<bool> failed{false};
    int client = listener.Accept(20000);
    if (client >= 0) {
        Bridge(pc, client, failed);
        close(client);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_GE(client, 0) << "vncsnapshot never connected";
    EXPECT_FALSE(failed.load());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    Bytes jpeg;
    ASSERT_TRUE(ReadFile(image, jpeg));
    int width = 0, height = 0;
    ASSERT_TRUE(JpegSize(jpeg, width, height));
    EXPECT_EQ(width, 240);
    EXPECT_EQ(height, 320);
#ifdef KIVRO_HAVE_JPEG
    // The colour bars at the top, each within JPEG's tolerance.
    const uint32_t bars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                              0xFF00FF, 0xFF0000, 0x0000FF, 0};
    int decodedWidth = 0;
    Bytes rgb = DecodeJpeg(jpeg, decodedWidth);
    ASSERT_EQ(rgb.size(), size_t(240) * 320 * 3);
    for (int bar = 0; bar < 8; ++bar) {
        const uint8_t* p = &rgb[(size_t(30) * decodedWidth + bar * 30 + 15) * 3];
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(p[c], (bars[bar] >> (16 - 8 * c)) & 0xFF, 40)
                << "bar " << bar << " channel " << c;
    }
#endif
}

}  // namespace
}  // namespace kivro::phonesim_test
