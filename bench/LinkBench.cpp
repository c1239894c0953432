// link_bench: both TCP ends of a relay under test, the VNC viewer and the VNC
// server behind the phone, so that one process times what goes in at one end
// and comes out at the other. The relay in between is whatever bench/run puts
// there: kivroproxy with phone-sim on a pty pair, or two socat processes on the
// same kind of pty hop. It listens as the server first, then connects as the
// viewer (retrying while the relay starts) and waits for the relay to connect
// to its server side; only then does the measurement begin.
//
//   link_bench latency    VIEWER_PORT SERVER_PORT DELAY_MS ROUNDS
//       10 bytes from the viewer; the server answers 1,000 bytes DELAY_MS after
//       it has them; prints the median and p99 in ms of send-to-answer times
//   link_bench throughput VIEWER_PORT SERVER_PORT up|down BYTES
//       BYTES one way as fast as the relay takes them; prints payload MB/s
//   link_bench pingpong up|down EXCHANGES
//       the floor of any strictly alternating link on this machine: two threads
//       on a pty pair, one sending a 3-byte poll (down) or a 4,099-byte frame
//       (up), the other answering with the other size; prints payload MB/s
//   link_bench rawpc PTY SERVER_PORT up|down BYTES
//       the best any PC can do against phone-sim (started with --vnc to
//       SERVER_PORT): plain blocking frames on its pty, no engine; prints MB/s
//   link_bench watch LOG START END TIMEOUT_S
//       follows a log file; prints the seconds from the first line holding
//       START to the first holding END after it (a file transfer's log lines)
//
// Output is one line of key=value pairs for the runner to parse. Plain blocking
// sockets and a thread per end: the alternative, one poll loop, would add its
// own latency to what it measures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "link_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void NoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int Listen(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Fail("bind");
    if (listen(fd, 1) != 0) Fail("listen");
    return fd;
}

int AcceptWithin(int listener, int timeoutMs) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
        std::fprintf(stderr, "link_bench: the relay did not connect to the server side\n");
        std::exit(1);
    }
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) Fail("accept");
    NoDelay(fd);
    return fd;
}

int ConnectWithin(int port, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            NoDelay(fd);
            return fd;
        }
        close(fd);
        if (Clock::now() > end) Fail("connect to the relay");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void SendAll(int fd, const uint8_t* data, size_t count) {
    while (count > 0) {
        ssize_t n = send(fd, data, count, MSG_NOSIGNAL);
        if (n <= 0) Fail("send");
        data += n;
        count -= static_cast<size_t>(n);
    }
}

void ReceiveAll(int fd, uint8_t* data, size_t count) {
    while (count > 0) {
        ssize_t n = recv(fd, data, count, 0);
        if (n <= 0) Fail(n == 0 ? "receive (the relay closed)" : "receive");
        data += n;
        count -= static_cast<size_t>(n);
    }
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The value at quantile q of sorted samples (nearest rank).
double Quantile(const std::vector<double>& sorted, double q) {
    size_t rank = static_cast<size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

int Latency(int viewer, int server, int delayMs, int rounds) {
    std::thread phoneServer([=] {
        uint8_t request[10];
        std::vector<uint8_t> answer(1000, 0x5A);
        for (int i = 0; i < rounds; ++i) {
            ReceiveAll(server, request, sizeof request);
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            SendAll(server, answer.data(), answer.size());
        }
    });
    // A think time between rounds, so rounds do not all start at the same point
    // of whatever rhythm the relay has.
    std::mt19937 random(static_cast<unsigned>(delayMs));
    std::vector<double> samples;
    uint8_t request[10] = {'r', 'e', 'q', 'u', 'e', 's', 't', 0, 0, 0};
    std::vector<uint8_t> answer(1000);
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));
        auto start = Clock::now();
        SendAll(viewer, request, sizeof request);
        ReceiveAll(viewer, answer.data(), answer.size());
        samples.push_back(Ms(Clock::now() - start));
    }
    phoneServer.join();
    std::sort(samples.begin(), samples.end());
    std::printf("median_ms=%.2f p99_ms=%.2f min_ms=%.2f max_ms=%.2f rounds=%d\n",
                Quantile(samples, 0.5), Quantile(samples, 0.99), samples.front(), samples.back(),
                rounds);
    return 0;
}

int Throughput(int viewer, int server, bool up, size_t bytes) {
    int from = up ? viewer : server;
    int to = up ? server : viewer;
    auto start = Clock::now();
    std::thread source([=] {
        std::vector<uint8_t> block(65536);
        std::mt19937 random(1);
        for (uint8_t& b : block) b = static_cast<uint8_t>(random());
        for (size_t left = bytes; left > 0;) {
            size_t n = std::min(left, block.size());
            SendAll(from, block.data(), n);
            left -= n;
        }
    });
    std::vector<uint8_t> buffer(65536);
    for (size_t left = bytes; left > 0;) {
        ssize_t n = recv(to, buffer.data(), std::min(left, buffer.size()), 0);
        if (n <= 0) Fail("receive");
        left -= static_cast<size_t>(n);
    }
    double seconds = Ms(Clock::now() - start) / 1000;
    source.join();
    std::printf("mb_per_s=%.3f bytes_per_s=%.0f seconds=%.3f bytes=%zu\n",
                static_cast<double>(bytes) / seconds / 1e6, static_cast<double>(bytes) / seconds,
                seconds, bytes);
    return 0;
}

void WriteAll(int fd, const uint8_t* data, size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, data, count);
        if (n <= 0) Fail("write");
        data += n;
        count -= static_cast<size_t>(n);
    }
}

void ReadAll(int fd, uint8_t* data, size_t count) {
    while (count > 0) {
        ssize_t n = read(fd, data, count);
        if (n <= 0) Fail("read");
        data += n;
        count -= static_cast<size_t>(n);
    }
}

int PingPong(bool up, long exchanges) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) Fail("posix_openpt");
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) Fail("open the pty's slave");
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    const size_t pcSize = up ? 4099 : 3, phoneSize = up ? 3 : 4099;
    auto start = Clock::now();
    std::thread phone([=] {
        std::vector<uint8_t> in(pcSize), out(phoneSize, 0x11);
        for (long i = 0; i < exchanges; ++i) {
            ReadAll(master, in.data(), in.size());
            WriteAll(master, out.data(), out.size());
        }
    });
    std::vector<uint8_t> out(pcSize, 0x22), in(phoneSize);
    for (long i = 0; i < exchanges; ++i) {
        WriteAll(slave, out.data(), out.size());
        ReadAll(slave, in.data(), in.size());
    }
    phone.join();
    double seconds = Ms(Clock::now() - start) / 1000;
    double bytes = 4096.0 * static_cast<double>(exchanges);
    std::printf("mb_per_s=%.3f bytes_per_s=%.0f seconds=%.3f exchanges=%ld us_per_exchange=%.1f\n",
                bytes / seconds / 1e6, bytes / seconds, seconds, exchanges,
                seconds * 1e6 / static_cast<double>(exchanges));
    close(slave);
    close(master);
    return 0;
}

// One frame each way on the pty, as the PC does: type, big-endian length, payload.
size_t Exchange(int fd, uint8_t type, const uint8_t* payload, size_t length, uint8_t* reply) {
    uint8_t frame[3 + 4096];
    frame[0] = type;
    frame[1] = static_cast<uint8_t>(length >> 8);
    frame[2] = static_cast<uint8_t>(length);
    if (length) std::memcpy(frame + 3, payload, length);
    WriteAll(fd, frame, 3 + length);
    ReadAll(fd, reply, 3);
    size_t got = static_cast<size_t>(reply[1]) << 8 | reply[2];
    if (got > 4096) Fail("reply too long");
    ReadAll(fd, reply + 3, got);
    return got;
}

int RawPc(const char* pty, int serverPort, bool up, size_t bytes) {
    int listener = Listen(serverPort);
    int fd = open(pty, O_RDWR | O_NOCTTY);
    if (fd < 0) Fail("open the pty");
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    uint8_t hello[8];
    ReadAll(fd, hello, sizeof hello);
    uint8_t reply[3 + 4096];
    Exchange(fd, 1, nullptr, 0, reply);  // LINK_CLIENT_CONNECTED
    int server = AcceptWithin(listener, 20000);
    close(listener);
    auto start = Clock::now();
    std::thread far([=] {
        std::vector<uint8_t> block(65536, 0x33);
        for (size_t left = bytes; left > 0;) {
            size_t n = std::min(left, block.size());
            if (up)
                ReceiveAll(server, block.data(), n);
            else
                SendAll(server, block.data(), n);
            left -= n;
        }
    });
    std::vector<uint8_t> data(4096, 0x44);
    for (size_t moved = 0; moved < bytes;) {
        if (up) {
            size_t n = std::min<size_t>(4096, bytes - moved);
            Exchange(fd, 0, data.data(), n, reply);
            moved += n;
        } else {
            moved += Exchange(fd, 0, nullptr, 0, reply);
        }
    }
    far.join();
    double seconds = Ms(Clock::now() - start) / 1000;
    std::printf("mb_per_s=%.3f bytes_per_s=%.0f seconds=%.3f bytes=%zu\n",
                static_cast<double>(bytes) / seconds / 1e6, static_cast<double>(bytes) / seconds,
                seconds, bytes);
    Exchange(fd, 2, nullptr, 0, reply);  // LINK_CLIENT_DISCONNECTED
    close(server);
    close(fd);
    return 0;
}

int Watch(const char* path, const char* startText, const char* endText, int timeoutS) {
    auto deadline = Clock::now() + std::chrono::seconds(timeoutS);
    std::string seen;
    size_t offset = 0;
    bool started = false;
    Clock::time_point start;
    while (Clock::now() < deadline) {
        if (FILE* f = std::fopen(path, "rb")) {
            std::fseek(f, static_cast<long>(offset), SEEK_SET);
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
                seen.append(buffer, n);
                offset += n;
            }
            std::fclose(f);
        }
        if (!started && seen.find(startText) != std::string::npos) {
            started = true;
            start = Clock::now();
            seen.erase(0, seen.find(startText));
        }
        if (started && seen.find(endText) != std::string::npos) {
            std::printf("seconds=%.3f\n", Ms(Clock::now() - start) / 1000);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::fprintf(stderr, "link_bench: \"%s\" then \"%s\" not seen in %s\n", startText, endText,
                 path);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "pingpong")
        return PingPong(std::string(argv[2]) == "up", std::atol(argv[3]));
    if (argc == 6 && std::string(argv[1]) == "rawpc")
        return RawPc(argv[2], std::atoi(argv[3]), std::string(argv[4]) == "up",
                     std::strtoull(argv[5], nullptr, 10));
    if (argc == 6 && std::string(argv[1]) == "watch")
        return Watch(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: link_bench latency VIEWER_PORT SERVER_PORT DELAY_MS ROUNDS\n"
                     "       link_bench throughput VIEWER_PORT SERVER_PORT up|down BYTES\n"
                     "       link_bench pingpong up|down EXCHANGES\n"
                     "       link_bench rawpc PTY SERVER_PORT up|down BYTES\n"
                     "       link_bench watch LOG START END TIMEOUT_S\n");
        return 2;
    }
    std::string mode = argv[1];
    int listener = Listen(std::atoi(argv[3]));
    int viewer = ConnectWithin(std::atoi(argv[2]), 20000);
    int server = AcceptWithin(listener, 20000);
    close(listener);
    int status = 2;
    if (mode == "latency")
        status = Latency(viewer, server, std::atoi(argv[4]), std::atoi(argv[5]));
    else if (mode == "throughput")
        status = Throughput(viewer, server, std::string(argv[4]) == "up",
                            std::strtoull(argv[5], nullptr, 10));
    close(viewer);
    close(server);
    return status;
}
