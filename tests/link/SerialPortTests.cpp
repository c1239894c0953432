// The serial port layer against real ttys: a pty pair on Linux (the modem shim
// supplying the lines a pty lacks). Under Wine the same contract is checked on a
// COM port in WineSerialTests.cpp.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "WaitIndex.h"
#include "link/Pty.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/System.h"

using namespace kivro;
using namespace kivro::platform;
using kivro::test::ModemLines;
using kivro::test::PtyPair;
using kivro::test::WaitIndex;

namespace {

struct SerialPortTest : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ASSERT_TRUE(done.Create().Ok());
    }
    void OpenPort() {
        bool configureFailed = true;
        ASSERT_TRUE(port.Open(pty.SlavePath(), configureFailed).Ok());
        EXPECT_FALSE(configureFailed);
    }
    struct Transfer {
        Result result;
        uint32_t transferred = 0;
    };
    // Completes a started transfer once its event is set (at once when it
    // completed at once); a time-out fails it.
    Transfer Complete(Result started, uint32_t timeoutMs = 2000) {
        Transfer t;
        t.result = started;
        if (started.Failed()) return t;
        Waitable w = done.Handle();
        if (WaitIndex(&w, 1, timeoutMs) != 0) {
            t.result = Result(ErrorCodes::Timeout);
            return t;
        }
        t.result = port.Finish(t.transferred);
        return t;
    }

    PtyPair pty;
    Event done;
    SerialPort port;
};

TEST_F(SerialPortTest, ReadWaitsOnTheEventAndGetsThePhonesBytes) {
    OpenPort();
    uint8_t buffer[16] = {};
    Result started = port.StartRead(buffer, 4, done);
    ASSERT_TRUE(started.Ok());
    Waitable w = done.Handle();
    EXPECT_EQ(WaitIndex(&w, 1, 50), kWaitTimeout);  // nothing there yet: pending

    ASSERT_TRUE(pty.Write("\x01\x02\x03\x04", 4));
    Transfer r = Complete(started);
    ASSERT_TRUE(r.result.Ok()) << r.result.Code();
    ASSERT_GE(r.transferred, 1u);
    uint32_t got = r.transferred;
    while (got < 4) {  // a read may complete early; the caller collects the rest
        r = Complete(port.StartRead(buffer + got, 4 - got, done));
        ASSERT_TRUE(r.result.Ok()) << r.result.Code();
        got += r.transferred;
    }
    EXPECT_EQ(std::memcmp(buffer, "\x01\x02\x03\x04", 4), 0);
    // Once collected the binding is gone: the event no longer follows the tty.
    uint32_t again = 0;
    EXPECT_TRUE(port.Finish(again).Ok());
    EXPECT_EQ(again, r.transferred);
}

TEST_F(SerialPortTest, ImmediateCompletionStillSetsTheEvent) {
    OpenPort();
    ASSERT_TRUE(pty.Write("x", 1));
    usleep(20000);
    uint8_t byte = 0;
    ASSERT_TRUE(port.StartRead(&byte, 1, done).Ok());
    EXPECT_EQ(byte, 'x') << "the byte is in place before anything collects it";
    EXPECT_TRUE(done.IsSignalled());
    uint32_t transferred = 0;
    ASSERT_TRUE(port.Finish(transferred).Ok());
    EXPECT_EQ(transferred, 1u);
    // A new transfer resets the event when it starts.
    ASSERT_TRUE(port.StartRead(&byte, 1, done).Ok());
    EXPECT_FALSE(done.IsSignalled());
}

// A transfer done at once signals its event without the kernel on Linux: a
// wait beside other events must still see it at once, and must still let a
// lower position that is signalled win, as WaitForMultipleObjects does.
TEST_F(SerialPortTest, ImmediateCompletionIsSeenBesideOtherEvents) {
    OpenPort();
    uint8_t byte = 0;
    ASSERT_TRUE(port.StartRead(&byte, 1, done).Ok());
    ASSERT_TRUE(port.Pending());
    ASSERT_TRUE(pty.Write("xy", 2));
    Transfer first = Complete(Result());
    ASSERT_TRUE(first.result.Ok());
    // 'y' arrived with 'x', so this read completes as it starts.
    ASSERT_TRUE(port.StartRead(&byte, 1, done).Ok());
    ASSERT_FALSE(port.Pending());

    Event other;
    ASSERT_TRUE(other.Create().Ok());
    const Waitable list[] = {other.Handle(), done.Handle()};
    EXPECT_EQ(WaitIndex(list, 2, 10000), 1);  // a wait in the kernel would time out
    other.Set();
    EXPECT_EQ(WaitIndex(list, 2, 10000), 0);
    other.Reset();
    done.Reset();
    EXPECT_EQ(WaitIndex(list, 2, 0), kWaitTimeout);
    uint32_t transferred = 0;
    ASSERT_TRUE(port.Finish(transferred).Ok());
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(byte, 'y');
}

TEST_F(SerialPortTest, BytesCrossUnchangedInRawModeBothWays) {
    // The slave starts cooked: echo, line editing, CR/LF mapping, XON/XOFF.
    PtyPair cooked;
    ASSERT_TRUE(cooked.Open(false));
    bool configureFailed = false;
    ASSERT_TRUE(port.Open(cooked.SlavePath(), configureFailed).Ok());
    uint8_t all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);

    ASSERT_TRUE(cooked.Write(all, sizeof all));
    uint8_t in[256] = {};
    uint32_t got = 0;
    while (got < sizeof in) {
        Transfer r = Complete(port.StartRead(in + got, sizeof in - got, done));
        ASSERT_TRUE(r.result.Ok()) << "after " << got << " bytes";
        got += r.transferred;
    }
    EXPECT_EQ(std::memcmp(in, all, sizeof all), 0);

    Transfer w = Complete(port.StartWrite(all, sizeof all, done));
    ASSERT_TRUE(w.result.Ok()) << w.result.Code();
    ASSERT_EQ(w.transferred, sizeof all);
    uint8_t out[256] = {};
    ASSERT_TRUE(cooked.ReadExact(out, sizeof out, 2000));
    EXPECT_EQ(std::memcmp(out, all, sizeof all), 0);
    uint8_t extra;
    EXPECT_EQ(cooked.ReadSome(&extra, 1, 100), 0u) << "nothing echoed back";
}

TEST_F(SerialPortTest, OpenKeepsSpeedAndWaitingInput) {
    int slave = open(pty.SlavePath(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios tio;
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    cfsetspeed(&tio, B57600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);
    ASSERT_TRUE(pty.Write("early", 5));
    usleep(20000);

    OpenPort();
    close(slave);
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    char buffer[5] = {};
    uint32_t got = 0;
    while (got < 5) {
        Transfer r = Complete(port.StartRead(buffer + got, 5 - got, done));
        ASSERT_TRUE(r.result.Ok()) << r.result.Code();
        got += r.transferred;
    }
    EXPECT_EQ(std::memcmp(buffer, "early", 5), 0);
}

TEST_F(SerialPortTest, OpenFailuresCarryTheSystemCode) {
    bool configureFailed = true;
    EXPECT_EQ(port.Open("/dev/kivro-no-such-port", configureFailed), Result(ENOENT));
    EXPECT_FALSE(configureFailed);
    EXPECT_FALSE(port.IsOpen());

    // A name without "/" is a device under /dev; ptmx is a tty every system has.
    EXPECT_TRUE(port.Open("ptmx", configureFailed).Ok());
    port.Close();
    configureFailed = true;
    EXPECT_EQ(port.Open("kivro-no-such-port", configureFailed), Result(ENOENT));
    EXPECT_FALSE(configureFailed);

    // A file that is no tty opens but cannot be configured.
    EXPECT_EQ(port.Open("/dev/null", configureFailed), Result(ENOTTY));
    EXPECT_TRUE(configureFailed);
    EXPECT_FALSE(port.IsOpen());

    // Exclusive use: a second opener is refused while the port is open, and
    // the port can be opened again once closed.
    OpenPort();
    SerialPort second;
    configureFailed = true;
    EXPECT_EQ(second.Open(pty.SlavePath(), configureFailed), Result(EBUSY));
    EXPECT_FALSE(configureFailed);
    port.Close();
    EXPECT_TRUE(second.Open(pty.SlavePath(), configureFailed).Ok());
}

TEST_F(SerialPortTest, CancelEndsAPendingReadAsAborted) {
    OpenPort();
    uint8_t byte;
    ASSERT_TRUE(port.StartRead(&byte, 1, done).Ok());
    ASSERT_FALSE(done.IsSignalled()) << "pending";
    port.Cancel();
    EXPECT_TRUE(done.IsSignalled());
    uint32_t transferred = 1;
    EXPECT_EQ(port.Finish(transferred), Result(ECANCELED));
    EXPECT_EQ(transferred, 0u);
    // The cancelled read took nothing: the next byte goes to the next read.
    ASSERT_TRUE(pty.Write("z", 1));
    Transfer r = Complete(port.StartRead(&byte, 1, done));
    ASSERT_TRUE(r.result.Ok()) << r.result.Code();
    EXPECT_EQ(byte, 'z');
}

TEST_F(SerialPortTest, HangUpOfThePhoneFailsThePendingRead) {
    PtyPair other;
    ASSERT_TRUE(other.Open());
    bool configureFailed = false;
    ASSERT_TRUE(port.Open(other.SlavePath(), configureFailed).Ok());
    uint8_t byte;
    Result started = port.StartRead(&byte, 1, done);
    ASSERT_TRUE(started.Ok());
    ASSERT_FALSE(done.IsSignalled()) << "pending";
    other.~PtyPair();  // closes the master: the tty hangs up
    new (&other) PtyPair();
    Transfer r = Complete(started);
    EXPECT_EQ(r.result, Result(EIO));
}

TEST_F(SerialPortTest, PtyHasNoModemLines) {
    OpenPort();
    uint32_t status = 0;
    EXPECT_EQ(port.ReadModemLines(status), Result(ENOTTY));
    Event changed;
    ASSERT_TRUE(changed.Create().Ok());
    EXPECT_EQ(port.ArmModemWait(changed, 0), Result(ENOTTY));
}

// What the phone had sent is thrown away; what it sends next is read.
TEST_F(SerialPortTest, DiscardInputDropsWhatWaitsAndKeepsWhatFollows) {
    OpenPort();
    ASSERT_TRUE(pty.Write("stale", 5));
    uint8_t byte = 0;
    // Once one byte is readable, all five are in the tty's buffer.
    Transfer r = Complete(port.StartRead(&byte, 1, done));
    ASSERT_TRUE(r.result.Ok()) << r.result.Code();
    EXPECT_EQ(byte, 's');
    ASSERT_TRUE(port.DiscardInput().Ok());
    ASSERT_TRUE(pty.Write("n", 1));
    r = Complete(port.StartRead(&byte, 1, done));
    ASSERT_TRUE(r.result.Ok()) << r.result.Code();
    EXPECT_EQ(byte, 'n');
}

// The modem wait on a driver that waits for the lines (TIOCMIWAIT) and on one
// that only reads them (Linux's RFCOMM tty): the same contract on both.
struct ModemWaitTest : SerialPortTest, ::testing::WithParamInterface<bool> {
    void SetUp() override {
        SerialPortTest::SetUp();
        lines.SetRfcomm(GetParam());
        ASSERT_TRUE(changed.Create().Ok());
    }
    ModemLines lines;
    Event changed;
};

TEST_P(ModemWaitTest, SignalsOnlyARealChangeAndCloseEndsIt) {
    lines.Set(pty.SlavePath(), TIOCM_CTS);
    OpenPort();
    uint32_t status = 0;
    ASSERT_TRUE(port.ReadModemLines(status).Ok());
    EXPECT_EQ(status, kModemCtsOn);

    ASSERT_TRUE(port.ArmModemWait(changed, status).Ok());
    Waitable w = changed.Handle();
    // Longer than a few rounds of polling: nothing changed, nothing signals.
    EXPECT_EQ(WaitIndex(&w, 1, 700), kWaitTimeout);
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_RNG);  // not a watched line
    EXPECT_EQ(WaitIndex(&w, 1, 500), kWaitTimeout);
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    EXPECT_EQ(WaitIndex(&w, 1, 2000), 0);
    ASSERT_TRUE(port.ReadModemLines(status).Ok());
    EXPECT_EQ(status, kModemCtsOn | kModemDsrOn);

    // Re-armed; a change that happens before the watcher blocks is not lost.
    ASSERT_TRUE(port.ArmModemWait(changed, status).Ok());
    EXPECT_FALSE(changed.IsSignalled());
    lines.Set(pty.SlavePath(), TIOCM_DSR);
    EXPECT_EQ(WaitIndex(&w, 1, 2000), 0);

    // Armed and unchanged: closing must not hang in the driver's wait.
    ASSERT_TRUE(port.ReadModemLines(status).Ok());
    ASSERT_TRUE(port.ArmModemWait(changed, status).Ok());
    uint32_t before = TickCount();
    port.Close();
    EXPECT_LT(TickCount() - before, 1000u);
    EXPECT_FALSE(changed.IsSignalled());
}

// A change between the caller's read and the arming is measured against the
// caller's read, so it signals instead of waiting for the next change.
TEST_P(ModemWaitTest, ChangeBeforeTheArmingIsNotLost) {
    lines.Set(pty.SlavePath(), 0);
    OpenPort();
    uint32_t status = 0;
    ASSERT_TRUE(port.ReadModemLines(status).Ok());
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    ASSERT_TRUE(port.ArmModemWait(changed, status).Ok());
    Waitable w = changed.Handle();
    EXPECT_EQ(WaitIndex(&w, 1, 2000), 0);
}

// The driver's wait measures from the moment it is entered (the kernel copies
// its line counters then). A change after the watcher's own read but before
// that moment, as when the watcher is preempted on its way in, must still
// signal.
TEST_P(ModemWaitTest, ChangeWhileTheWatcherEntersTheDriverIsNotLost) {
    lines.Set(pty.SlavePath(), 0);
    OpenPort();
    uint32_t status = 0;
    ASSERT_TRUE(port.ReadModemLines(status).Ok());
    lines.StallWaits(pty.SlavePath(), 400);
    lines.CountReads(pty.SlavePath());
    ASSERT_TRUE(port.ArmModemWait(changed, status).Ok());
    // The arming's read, then the watcher's: it is now on its way into the wait.
    uint32_t start = TickCount();
    while (lines.Reads(pty.SlavePath()) < 2 && TickCount() - start < 3000) SleepMs(1);
    ASSERT_GE(lines.Reads(pty.SlavePath()), 2);
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    Waitable w = changed.Handle();
    EXPECT_EQ(WaitIndex(&w, 1, 4000), 0);
}

// The lines vanish (the driver's read fails): the owner is woken to read them
// again and report the failure.
TEST_P(ModemWaitTest, FailingLineReadSignals) {
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    OpenPort();
    uint32_t status = 0;
    ASSERT_TRUE(port.ReadModemLines(status).Ok());
    ASSERT_TRUE(port.ArmModemWait(changed, status).Ok());
    lines.Remove(pty.SlavePath());
    Waitable w = changed.Handle();
    EXPECT_EQ(WaitIndex(&w, 1, 2000), 0);
    EXPECT_EQ(port.ReadModemLines(status), Result(ENOTTY));
}

INSTANTIATE_TEST_SUITE_P(Drivers, ModemWaitTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Rfcomm" : "Miwait";
                         });

}  // namespace

#endif
