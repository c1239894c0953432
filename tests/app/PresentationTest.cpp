// Presentation: event tables (text, flags, what runs first), statistics
// rounding and wording, error texts with the system's text, and the shell
// state (server port kind, pending restart) driven through a recording shell
// that shows the order in which a front end is asked to act.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/Presentation.h"
#include "text/Text.h"

namespace kivro {
namespace {

EngineEvent MakeEvent(uint32_t code, uint32_t value, const char* text = "") {
    EngineEvent event{};
    event.Code = static_cast<EventCode>(code);
    event.Value = value;
    TextCopy(event.Text, text);
    return event;
}

EngineEvent ErrorEvent(EventCode code, uint32_t messageId, uint32_t errorCode) {
    EngineEvent event = MakeEvent(code, 0);
    event.Error = {messageId, errorCode};
    return event;
}

EngineEvent StatsEvent(uint32_t received, uint32_t receiveRate, uint32_t sent, uint32_t sendRate) {
    EngineEvent event = MakeEvent(EV_STATISTICS, 0);
    event.Stats = {received, sent, receiveRate, sendRate};
    return event;
}

std::string SystemText(uint32_t code) {
    char text[256];
    return platform::SystemErrorText(code, text, sizeof text) ? text : "?";
}

// Writes what a front end would do as one transcript: "[U]" UpdateStatus,
// "[S]" Start, "[T]" a time stamp, "\r\n" a line end, "{status}", "<box|full>".
class RecordingShell : public EventShell {
public:
    std::string out;
    void UpdateStatus() override { out += "[U]"; }
    void StartEngine() override { out += "[S]"; }
    void AppendLog(bool withTimeStamp, const char* text, bool withLineEnd) override {
        if (withTimeStamp) out += "[T]";
        out += text;
        if (withLineEnd) out += "\r\n";
    }
    void SetStatusText(const char* text) override { out += "{" + std::string(text) + "}"; }
    void ShowError(const char* boxText, const char* fullText) override {
        out += "<" + std::string(boxText) + "|" + fullText + ">";
    }
};

TEST(Presentation, EventTable) {
    const std::string longName(260, 'n');
    struct Case {
        uint32_t code;
        uint32_t value;
        const char* text;
        std::string expected;  // transcript through RecordingShell
    };
    const Case cases[] = {
        {EV_CLIENT, 1, "192.168.1.20", "[U][T]Client connected from: 192.168.1.20\r\n"},
        {EV_CLIENT, 0, "", "[U][T]Client disconnected\r\n"},
        {EV_BT_PORT_OPENED, 0, "COM3", "[T]BT port on COM3\r\n"},
        {EV_USB_PORT_OPENED, 0, "/dev/pts/3", "[T]USB port on /dev/pts/3\r\n"},
        {EV_BT_SERVER, 1, "", "[U][T]Server connected to BT port\r\n"},
        {EV_BT_SERVER, 0, "", "[U][T]Server disconnected from BT port\r\n"},
        {EV_USB_SERVER, 1, "", "[U][T]Server connected to USB port\r\n"},
        {EV_USB_SERVER, 0, "", "[U][T]Server disconnected from USB port\r\n"},
        {EV_PROXY_RUNNING, 1, "", "[U][T]Proxy started\r\n"},
        {EV_PROXY_RUNNING, 0, "", "[U][T]Proxy stopped\r\n"},
        {EV_SYNC_LIMIT, 128, "", "[T]File synchronization enabled (up to 128 KB files)\r\n"},
        {EV_SYNC_LIMIT, 0, "", "[T]File synchronization disabled\r\n"},
        {EV_SYNC_DIR, 0, "C:\\Sync\\100%", "[T]Synchronizing C:\\Sync\\100%\r\n"},
        {EV_SYNC_DIR, 0, longName.c_str(), "[T]Synchronizing " + longName.substr(0, 255) + "\r\n"},
        {EV_SYNC_SENDING, 0, "notes.txt", "[T]Sending to server: notes.txt "},
        {EV_SYNC_RECEIVING, 0, "a.jpg", "[T]Receiving from server: a.jpg "},
        {EV_SYNC_SENT, 1234, "", "- ok (1234 bytes)\r\n"},
        {EV_SYNC_RECEIVED, 4294967295u, "", "- ok (4294967295 bytes)\r\n"},
        {EV_MESSAGE, 2025, "",
         "[T]Neither BT nor USB port can be opened - BT dongle or cable connected?\r\n"},
        {EV_MESSAGE, 2028, "", "[T]Lost BT port\r\n"},
        {EV_MESSAGE, 2029, "", "[T]Lost USB port\r\n"},
        {EV_MESSAGE, 2014, "", "[T]Unknown Error, arg=2014\r\n"},  // a number without text
        {EV_LINK_ERROR, 3020, "",
         "[T]Received message is too long\r\n"
         "<Received message is too long|Received message is too long>"},
        {EV_LINK_ERROR, 3021, "",
         "[T]Received message with invalid type\r\n"
         "<Received message with invalid type|Received message with invalid type>"},
        {14, 1, "x", ""},
        {18, 1, "x", ""},
        {200, 1, "x", ""},
    };
    for (const Case& c : cases) {
        Presentation presentation;
        RecordingShell shell;
        presentation.OnEngineEvent(MakeEvent(c.code, c.value, c.text), shell);
        EXPECT_EQ(shell.out, c.expected) << "code " << c.code << " value " << c.value;
    }
}

TEST(Presentation, StatisticsRoundToThousandsIn64Bits) {
    struct Case {
        uint32_t received, receiveRate, sent, sendRate;
        const char* expected;
    } cases[] = {
        {499, 10, 500, 20, "0 KB (10 B/s) received from, 1 KB (20 B/s) sent to BT Server"},
        {0, 0, 1499, 0, "0 KB (0 B/s) received from, 1 KB (0 B/s) sent to BT Server"},
        {1500, 4294967295u, 999999, 7, "2 KB (4294967295 B/s) received from, 1000 KB (7 B/s) sent to BT Server"},
        // Within 499 of 2^32 a 32-bit sum would wrap to 0 KB.
        {4294967000u, 1, 4294967295u, 2,
         "4294967 KB (1 B/s) received from, 4294967 KB (2 B/s) sent to BT Server"},
        {4294966796u, 0, 4294966795u, 0,
         "4294967 KB (0 B/s) received from, 4294967 KB (0 B/s) sent to BT Server"},
    };
    for (const auto& c : cases) {
        Presentation presentation;
        EventDisplay display;
        presentation.Describe(StatsEvent(c.received, c.receiveRate, c.sent, c.sendRate), display);
        EXPECT_STREQ(display.Text, c.expected);
        EXPECT_TRUE(display.StatusBar);
        EXPECT_FALSE(display.Log);
        EXPECT_FALSE(display.UpdateStatusFirst);
    }
}

TEST(Presentation, StatisticsWordingFollowsTheLastConnectedServer) {
    Presentation presentation;
    struct Step {
        uint32_t code;
        uint32_t value;
        bool usbAfter;
    } steps[] = {
        {EV_STATISTICS, 0, false},  // BT wording before any server
        {EV_USB_SERVER, 1, true},   {EV_USB_SERVER, 0, true},  // kept on disconnection
        {EV_BT_SERVER, 0, true},    {EV_BT_SERVER, 1, false},  {EV_USB_SERVER, 0, false},
        {EV_USB_SERVER, 1, true},
    };
    for (const Step& step : steps) {
        RecordingShell shell;
        presentation.OnEngineEvent(MakeEvent(step.code, step.value), shell);
        EXPECT_EQ(presentation.ServerOnUsb(), step.usbAfter);
        shell.out.clear();
        presentation.OnEngineEvent(StatsEvent(1000, 1, 2000, 2), shell);
        EXPECT_EQ(shell.out, std::string("{1 KB (1 B/s) received from, 2 KB (2 B/s) sent to ") +
                                 (step.usbAfter ? "USB" : "BT") + " Server}");
    }
}

TEST(Presentation, ErrorTextsCarryTheSystemTextAndCode) {
    // A code the system has no text for shows "?".
    const uint32_t unknown = 4000000000u;
    char probe[256];
    ASSERT_FALSE(platform::SystemErrorText(unknown, probe, sizeof probe));
    ASSERT_NE(SystemText(5), "?");

    struct Case {
        EventCode code;
        uint32_t messageId;
        uint32_t errorCode;
        std::string log;
        std::string box;
    } cases[] = {
        {EV_SYSTEM_ERROR, 3014, 5, "Error receiving from server: " + SystemText(5) + " (5)",
         "Error receiving from server"},
        {EV_SYSTEM_ERROR, 3015, unknown, "Error sending to server: ? (-294967296)",
         "Error sending to server"},
        {EV_SOCKET_ERROR, 3006, platform::ErrorCodes::ConnReset,
         "Error listening for client: " + SystemText(platform::ErrorCodes::ConnReset) + " (" +
             std::to_string(platform::ErrorCodes::ConnReset) + ")",
         "Error listening for client"},
        {EV_SOCKET_ERROR, 3005, unknown, "Internal error creating socket: ? (-294967296)",
         "Internal error creating socket"},
    };
    for (const Case& c : cases) {
        Presentation presentation;
        RecordingShell shell;
        presentation.OnEngineEvent(ErrorEvent(c.code, c.messageId, c.errorCode), shell);
        EXPECT_EQ(shell.out, "[T]" + c.log + "\r\n<" + c.box + "|" + c.log + ">") << c.messageId;
    }
}

TEST(Presentation, SyncLineWithAnErrorBetweenStartAndEnd) {
    Presentation presentation;
    RecordingShell shell;
    presentation.OnEngineEvent(MakeEvent(EV_SYNC_SENDING, 0, "notes.txt"), shell);
    presentation.OnEngineEvent(MakeEvent(EV_LINK_ERROR, 3020), shell);
    presentation.OnEngineEvent(MakeEvent(EV_SYNC_SENT, 1234), shell);
    presentation.OnEngineEvent(MakeEvent(EV_SYNC_RECEIVING, 0, "b.txt"), shell);
    presentation.OnEngineEvent(MakeEvent(EV_SYNC_RECEIVED, 0), shell);
    EXPECT_EQ(shell.out,
              "[T]Sending to server: notes.txt [T]Received message is too long\r\n"
              "<Received message is too long|Received message is too long>"
              "- ok (1234 bytes)\r\n"
              "[T]Receiving from server: b.txt - ok (0 bytes)\r\n");
}

TEST(Presentation, PendingRestartStartsTheEngineOnTheFirstStop) {
    Presentation presentation;
    RecordingShell shell;
    // A stop without a pending restart only logs.
    presentation.OnEngineEvent(MakeEvent(EV_PROXY_RUNNING, 0), shell);
    EXPECT_EQ(shell.out, "[U][T]Proxy stopped\r\n");

    shell.out.clear();
    presentation.SetRestartPending();
    // The worker's last events and a late start report do not consume it.
    presentation.OnEngineEvent(MakeEvent(EV_CLIENT, 0), shell);
    presentation.OnEngineEvent(MakeEvent(EV_MESSAGE, 2028), shell);
    presentation.OnEngineEvent(MakeEvent(EV_PROXY_RUNNING, 1), shell);
    EXPECT_TRUE(presentation.RestartPending());
    presentation.OnEngineEvent(MakeEvent(EV_PROXY_RUNNING, 0), shell);
    EXPECT_FALSE(presentation.RestartPending());
    presentation.OnEngineEvent(MakeEvent(EV_PROXY_RUNNING, 1), shell);
    presentation.OnEngineEvent(MakeEvent(EV_PROXY_RUNNING, 0), shell);
    EXPECT_EQ(shell.out,
              "[U][T]Client disconnected\r\n"
              "[T]Lost BT port\r\n"
              "[U][T]Proxy started\r\n"
              "[U][S][T]Proxy stopped\r\n"  // status first, then Start, then the entry
              "[U][T]Proxy started\r\n"
              "[U][T]Proxy stopped\r\n");
}

TEST(Presentation, StateGivesTipIconAndMenus) {
    struct Case {
        EngineState state;
        const char* tip;
        uint32_t icon;
        bool clearStatusBar;
    } cases[] = {
        {{true, true, true}, "Kivro Server Proxy, connected", 14, false},
        {{true, true, false}, "Kivro Server Proxy, no server", 12, true},
        {{true, false, true}, "Kivro Server Proxy, no client", 13, false},
        {{true, false, false}, "Kivro Server Proxy, disconnected", 11, true},
        {{false, false, false}, "Kivro Server Proxy, stopped", 15, true},
        {{false, true, true}, "Kivro Server Proxy, stopped", 15, false},
    };
    for (const Case& c : cases) {
        StatusView view = ViewOfState(c.state);
        EXPECT_STREQ(view.Tip, c.tip);
        EXPECT_EQ(view.Icon, c.icon) << c.tip;
        EXPECT_EQ(view.StartEnabled, !c.state.Running) << c.tip;
        EXPECT_EQ(view.StopEnabled, c.state.Running) << c.tip;
        EXPECT_EQ(view.ClearStatusBar, c.clearStatusBar) << c.tip;
    }
}

TEST(Presentation, TimeStamp) {
    struct Case {
        platform::CalendarTime time;
        const char* expected;
    } cases[] = {
        {{2026, 12, 7, 9, 5, 3, 999}, "07.12.2026 09:05:03 "},
        {{1999, 1, 31, 23, 59, 59, 0}, "31.01.1999 23:59:59 "},
        {{2000, 2, 29, 0, 0, 0, 0}, "29.02.2000 00:00:00 "},
    };
    for (const Case& c : cases) {
        char stamp[21];  // exactly the stamp and its NUL
        FormatTimeStamp(c.time, stamp);
        EXPECT_STREQ(stamp, c.expected);
        char cut[9];
        FormatTimeStamp(c.time, cut);
        EXPECT_EQ(std::string(cut), std::string(c.expected, 8));
    }
}

}  // namespace
}  // namespace kivro
