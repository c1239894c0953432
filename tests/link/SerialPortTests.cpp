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

#include "link/Pty.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/System.h"

using namespace kivro;
using namespace kivro::platform;
using kivro::test::ModemLines;
using kivro::test::PtyPair;

namespace {

struct SerialPortTest : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ASSERT_TRUE(done.Create());
    }
    void OpenPort() {
        uint32_t code = 1;
        ASSERT_EQ(port.Open(pty.SlavePath(), code), SerialOpen::Opened);
        EXPECT_EQ(code, 0u);
    }
    // Completes a transfer: at once, or after its event has been set.
    IoResult Complete(IoResult started, uint32_t timeoutMs = 2000) {
        if (started.Status != IoStatus::Pending) return started;
        Waitable w = done.Handle();
        if (WaitAny(&w, 1, timeoutMs) != 0) return {IoStatus::Pending, 0, 0};
        return port.Finish();
    }

    PtyPair pty;
    Event done;
    SerialPort port;
};

TEST_F(SerialPortTest, ReadWaitsOnTheEventAndGetsThePhonesBytes) {
    OpenPort();
    uint8_t buffer[16] = {};
    IoResult r = port.StartRead(buffer, 4, done);
    ASSERT_EQ(r.Status, IoStatus::Pending);
    Waitable w = done.Handle();
    EXPECT_EQ(WaitAny(&w, 1, 50), kWaitTimeout);  // nothing there yet

    ASSERT_TRUE(pty.Write("\x01\x02\x03\x04", 4));
    r = Complete(r);
    ASSERT_EQ(r.Status, IoStatus::Done);
    ASSERT_GE(r.Transferred, 1u);
    uint32_t got = r.Transferred;
    while (got < 4) {  // a read may complete early; the caller collects the rest
        r = Complete(port.StartRead(buffer + got, 4 - got, done));
        ASSERT_EQ(r.Status, IoStatus::Done);
        got += r.Transferred;
    }
    EXPECT_EQ(std::memcmp(buffer, "\x01\x02\x03\x04", 4), 0);
    // Once collected the binding is gone: the event no longer follows the tty.
    EXPECT_EQ(port.Finish().Transferred, r.Transferred);
}

TEST_F(SerialPortTest, ImmediateCompletionStillSetsTheEvent) {
    OpenPort();
    ASSERT_TRUE(pty.Write("x", 1));
    usleep(20000);
    uint8_t byte = 0;
    IoResult r = port.StartRead(&byte, 1, done);
    ASSERT_EQ(r.Status, IoStatus::Done);
    EXPECT_EQ(r.Transferred, 1u);
    EXPECT_EQ(byte, 'x');
    EXPECT_TRUE(done.IsSignalled());
    // A new transfer resets the event when it starts.
    r = port.StartRead(&byte, 1, done);
    EXPECT_EQ(r.Status, IoStatus::Pending);
    EXPECT_FALSE(done.IsSignalled());
}

TEST_F(SerialPortTest, BytesCrossUnchangedInRawModeBothWays) {
    // The slave starts cooked: echo, line editing, CR/LF mapping, XON/XOFF.
    PtyPair cooked;
    ASSERT_TRUE(cooked.Open(false));
    uint32_t code = 0;
    ASSERT_EQ(port.Open(cooked.SlavePath(), code), SerialOpen::Opened);
    uint8_t all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);

    ASSERT_TRUE(cooked.Write(all, sizeof all));
    uint8_t in[256] = {};
    uint32_t got = 0;
    while (got < sizeof in) {
        IoResult r = Complete(port.StartRead(in + got, sizeof in - got, done));
        ASSERT_EQ(r.Status, IoStatus::Done) << "after " << got << " bytes";
        got += r.Transferred;
    }
    EXPECT_EQ(std::memcmp(in, all, sizeof all), 0);

    IoResult w = Complete(port.StartWrite(all, sizeof all, done));
    ASSERT_EQ(w.Status, IoStatus::Done);
    ASSERT_EQ(w.Transferred, sizeof all);
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
        IoResult r = Complete(port.StartRead(buffer + got, 5 - got, done));
        ASSERT_EQ(r.Status, IoStatus::Done);
        got += r.Transferred;
    }
    EXPECT_EQ(std::memcmp(buffer, "early", 5), 0);
}

TEST_F(SerialPortTest, OpenFailuresCarryTheSystemCode) {
    uint32_t code = 0;
    EXPECT_EQ(port.Open("/dev/kivro-no-such-port", code), SerialOpen::NotFound);
    EXPECT_EQ(code, static_cast<uint32_t>(ENOENT));
    EXPECT_FALSE(port.IsOpen());

    // A name without "/" is a device under /dev; ptmx is a tty every system has.
    EXPECT_EQ(port.Open("ptmx", code), SerialOpen::Opened);
    port.Close();
    EXPECT_EQ(port.Open("kivro-no-such-port", code), SerialOpen::NotFound);
    EXPECT_EQ(code, static_cast<uint32_t>(ENOENT));

    // A file that is no tty opens but cannot be configured.
    EXPECT_EQ(port.Open("/dev/null", code), SerialOpen::ConfigureFailed);
    EXPECT_EQ(code, static_cast<uint32_t>(ENOTTY));
    EXPECT_FALSE(port.IsOpen());

    // Exclusive use: a second opener is refused while the port is open, and
    // the port can be opened again once closed.
    OpenPort();
    SerialPort second;
    EXPECT_EQ(second.Open(pty.SlavePath(), code), SerialOpen::NotFound);
    EXPECT_EQ(code, static_cast<uint32_t>(EBUSY));
    port.Close();
    EXPECT_EQ(second.Open(pty.SlavePath(), code), SerialOpen::Opened);
}

TEST_F(SerialPortTest, CancelEndsAPendingReadAsAborted) {
    OpenPort();
    uint8_t byte;
    ASSERT_EQ(port.StartRead(&byte, 1, done).Status, IoStatus::Pending);
    port.Cancel();
    EXPECT_TRUE(done.IsSignalled());
    IoResult r = port.Finish();
    EXPECT_EQ(r.Status, IoStatus::Failed);
    EXPECT_EQ(r.Code, static_cast<uint32_t>(ECANCELED));
    // The cancelled read took nothing: the next byte goes to the next read.
    ASSERT_TRUE(pty.Write("z", 1));
    r = Complete(port.StartRead(&byte, 1, done));
    ASSERT_EQ(r.Status, IoStatus::Done);
    EXPECT_EQ(byte, 'z');
}

TEST_F(SerialPortTest, HangUpOfThePhoneFailsThePendingRead) {
    PtyPair other;
    ASSERT_TRUE(other.Open());
    uint32_t code = 0;
    ASSERT_EQ(port.Open(other.SlavePath(), code), SerialOpen::Opened);
    uint8_t byte;
    IoResult r = port.StartRead(&byte, 1, done);
    ASSERT_EQ(r.Status, IoStatus::Pending);
    other.~PtyPair();  // closes the master: the tty hangs up
    new (&other) PtyPair();
    r = Complete(r);
    EXPECT_EQ(r.Status, IoStatus::Failed);
    EXPECT_EQ(r.Code, static_cast<uint32_t>(EIO));
}

TEST_F(SerialPortTest, PtyHasNoModemLines) {
    OpenPort();
    uint32_t status = 0, code = 0;
    EXPECT_FALSE(port.ReadModemLines(status, code));
    EXPECT_EQ(code, static_cast<uint32_t>(ENOTTY));
    Event changed;
    ASSERT_TRUE(changed.Create());
    EXPECT_FALSE(port.ArmModemWait(changed, 0, code));
    EXPECT_EQ(code, static_cast<uint32_t>(ENOTTY));
}

// What the phone had sent is thrown away; what it sends next is read.
TEST_F(SerialPortTest, DiscardInputDropsWhatWaitsAndKeepsWhatFollows) {
    OpenPort();
    ASSERT_TRUE(pty.Write("stale", 5));
    uint8_t byte = 0;
    // Once one byte is readable, all five are in the tty's buffer.
    IoResult r = Complete(port.StartRead(&byte, 1, done));
    ASSERT_EQ(r.Status, IoStatus::Done);
    EXPECT_EQ(byte, 's');
    uint32_t code = 1;
    ASSERT_TRUE(port.DiscardInput(code));
    EXPECT_EQ(code, 0u);
    ASSERT_TRUE(pty.Write("n", 1));
    r = Complete(port.StartRead(&byte, 1, done));
    ASSERT_EQ(r.Status, IoStatus::Done);
    EXPECT_EQ(byte, 'n');
}

// The modem wait on a driver that waits for the lines (TIOCMIWAIT) and on one
// that only reads them (Linux's RFCOMM tty): the same contract on both.
struct ModemWaitTest : SerialPortTest, ::testing::WithParamInterface<bool> {
    void SetUp() override {
        SerialPortTest::SetUp();
        lines.SetRfcomm(GetParam());
        ASSERT_TRUE(changed.Create());
    }
    ModemLines lines;
    Event changed;
};

TEST_P(ModemWaitTest, SignalsOnlyARealChangeAndCloseEndsIt) {
    lines.Set(pty.SlavePath(), TIOCM_CTS);
    OpenPort();
    uint32_t status = 0, code = 0;
    ASSERT_TRUE(port.ReadModemLines(status, code));
    EXPECT_EQ(status, kModemCtsOn);

    ASSERT_TRUE(port.ArmModemWait(changed, status, code));
    Waitable w = changed.Handle();
    // Longer than a few rounds of polling: nothing changed, nothing signals.
    EXPECT_EQ(WaitAny(&w, 1, 700), kWaitTimeout);
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_RNG);  // not a watched line
    EXPECT_EQ(WaitAny(&w, 1, 500), kWaitTimeout);
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    EXPECT_EQ(WaitAny(&w, 1, 2000), 0);
    ASSERT_TRUE(port.ReadModemLines(status, code));
    EXPECT_EQ(status, kModemCtsOn | kModemDsrOn);

    // Re-armed; a change that happens before the watcher blocks is not lost.
    ASSERT_TRUE(port.ArmModemWait(changed, status, code));
    EXPECT_FALSE(changed.IsSignalled());
    lines.Set(pty.SlavePath(), TIOCM_DSR);
    EXPECT_EQ(WaitAny(&w, 1, 2000), 0);

    // Armed and unchanged: closing must not hang in the driver's wait.
    ASSERT_TRUE(port.ReadModemLines(status, code));
    ASSERT_TRUE(port.ArmModemWait(changed, status, code));
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
    uint32_t status = 0, code = 0;
    ASSERT_TRUE(port.ReadModemLines(status, code));
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    ASSERT_TRUE(port.ArmModemWait(changed, status, code));
    Waitable w = changed.Handle();
    EXPECT_EQ(WaitAny(&w, 1, 2000), 0);
}

// The driver's wait measures from the moment it is entered (the kernel copies
// its line counters then). A change after the watcher's own read but before
// that moment, as when the watcher is preempted on its way in, must still
// signal.
TEST_P(ModemWaitTest, ChangeWhileTheWatcherEntersTheDriverIsNotLost) {
    lines.Set(pty.SlavePath(), 0);
    OpenPort();
    uint32_t status = 0, code = 0;
    ASSERT_TRUE(port.ReadModemLines(status, code));
    lines.StallWaits(pty.SlavePath(), 400);
    lines.CountReads(pty.SlavePath());
    ASSERT_TRUE(port.ArmModemWait(changed, status, code));
    // The arming's read, then the watcher's: it is now on its way into the wait.
    uint32_t start = TickCount();
    while (lines.Reads(pty.SlavePath()) < 2 && TickCount() - start < 3000) SleepMs(1);
    ASSERT_GE(lines.Reads(pty.SlavePath()), 2);
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    Waitable w = changed.Handle();
    EXPECT_EQ(WaitAny(&w, 1, 4000), 0);
}

// The lines vanish (the driver's read fails): the owner is woken to read them
// again and report the failure.
TEST_P(ModemWaitTest, FailingLineReadSignals) {
    lines.Set(pty.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    OpenPort();
    uint32_t status = 0, code = 0;
    ASSERT_TRUE(port.ReadModemLines(status, code));
    ASSERT_TRUE(port.ArmModemWait(changed, status, code));
    lines.Remove(pty.SlavePath());
    Waitable w = changed.Handle();
    EXPECT_EQ(WaitAny(&w, 1, 2000), 0);
    EXPECT_FALSE(port.ReadModemLines(status, code));
    EXPECT_EQ(code, static_cast<uint32_t>(ENOTTY));
}

INSTANTIATE_TEST_SUITE_P(Drivers, ModemWaitTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Rfcomm" : "Miwait";
                         });

}  // namespace

#endif
