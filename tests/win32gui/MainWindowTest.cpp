// The main window on a scripted engine: caption, tray tip and menus following
// the engine's state, the log's entries, colours and trimming, the statistics
// in the status bar, error boxes, the tray menu, minimising to the tray and the
// exit, which stores the running state and the placement.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
#include <shellapi.h>

#include <regex>
#include <string>
#include <vector>

#include "Resource.h"
#include "UiTestSupport.h"
#include "text/Messages.h"

namespace kivro::uitest {
namespace {

class MainWindowTest : public ShellTest {
  protected:
    void SetUp() override {
        ShellTest::SetUp();
        if (HasFatalFailure()) return;
        SetWindowTextA(shell.Log().Window(), "");
        SendMessageA(shell.StatusBar(), SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(""));
    }

    bool Greyed(HMENU menu, int id) {
        return (GetMenuState(menu, id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED)) != 0;
    }
    HMENU FileMenu() { return GetSubMenu(GetMenu(shell.MainWindow()), 0); }

    ScriptedProxy& engine = Engine();
};

TEST_F(MainWindowTest, BeforeTheFirstEventTheWindowShowsStopped) {
    // A window of its own, untouched since its creation.
    DestroyWindow(shell.MainWindow());
    Pump();
    CleanKey();
    ASSERT_TRUE(shell.CreateMainWindow());
    EXPECT_EQ(WindowText(shell.MainWindow()), "Kivro Server Proxy, stopped");
    EXPECT_STREQ(shell.Tray().Tip(), "Kivro Server Proxy, stopped");
    EXPECT_FALSE(Greyed(FileMenu(), IDM_START));
    EXPECT_TRUE(Greyed(FileMenu(), IDM_STOP));
    EXPECT_NE(GetClassLongPtrA(shell.MainWindow(), GCLP_HICONSM), 0);
    EXPECT_TRUE(IsWindowVisible(shell.MainWindow()));
    EXPECT_EQ(LogText(), "");
}

TEST_F(MainWindowTest, CaptionTipAndMenusFollowTheEngineState) {
    struct Step {
        bool running, client, server;
        EventCode code;
        uint32_t value;
        const char* tip;
    };
    const Step steps[] = {
        {true, false, false, EV_PROXY_RUNNING, 1, "Kivro Server Proxy, disconnected"},
        {true, true, false, EV_CLIENT, 1, "Kivro Server Proxy, no server"},
        {true, true, true, EV_BT_SERVER, 1, "Kivro Server Proxy, connected"},
        {true, false, true, EV_CLIENT, 0, "Kivro Server Proxy, no client"},
        {true, false, false, EV_USB_SERVER, 0, "Kivro Server Proxy, disconnected"},
        {true, false, true, EV_USB_SERVER, 1, "Kivro Server Proxy, no client"},
        {false, false, false, EV_PROXY_RUNNING, 0, "Kivro Server Proxy, stopped"},
    };
    LONG_PTR icon = GetClassLongPtrA(shell.MainWindow(), GCLP_HICONSM);
    for (const Step& step : steps) {
        engine.running = step.running;
        engine.client = step.client;
        engine.server = step.server;
        Post(step.code, step.value, "192.168.7.2");
        SCOPED_TRACE(step.tip);
        EXPECT_EQ(WindowText(shell.MainWindow()), step.tip);
        EXPECT_STREQ(shell.Tray().Tip(), step.tip);
        EXPECT_EQ(Greyed(FileMenu(), IDM_START), step.running);
        EXPECT_EQ(Greyed(FileMenu(), IDM_STOP), !step.running);
        LONG_PTR now = GetClassLongPtrA(shell.MainWindow(), GCLP_HICONSM);
        EXPECT_NE(now, 0);
        EXPECT_NE(now, icon);  // the state icon was replaced
        icon = now;
    }
    // Events that are not state changes leave the caption alone.
    engine.running = true;
    Post(EV_BT_PORT_OPENED, 1, "COM4");
    EXPECT_EQ(WindowText(shell.MainWindow()), "Kivro Server Proxy, stopped");
}

TEST_F(MainWindowTest, StartAndStopCommandsReachTheEngine) {
    shell.CurrentSettings().TCPPort = 6123;
    SendMessageA(shell.MainWindow(), WM_COMMAND, IDM_START, 0);
    Pump();
    EXPECT_EQ(engine.starts, 1);
    EXPECT_EQ(engine.started.TCPPort, 6123);
    EXPECT_EQ(WindowText(shell.MainWindow()), "Kivro Server Proxy, disconnected");
    EXPECT_NE(LogText().find("Proxy started"), std::string::npos);

    SendMessageA(shell.MainWindow(), WM_COMMAND, IDM_START, 0);  // already running
    EXPECT_EQ(engine.starts, 1);
    SendMessageA(shell.MainWindow(), WM_COMMAND, IDM_STOP, 0);
    EXPECT_EQ(engine.stops, 1);
}

// The tray menu is modal: a driver thread reads the open popup and closes it.
struct TrayMenuSeen {
    bool shown = false;
    std::vector<int> greyed;
    UINT defaultItem = 0;
};

TrayMenuSeen OpenTrayMenu(HWND main) {
    TrayMenuSeen seen;
    {
        Driver driver([&seen] {
            HWND popup = WaitForWindow("#32768", nullptr);
            if (!popup) return;
            auto menu = reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0));
            seen.shown = menu != nullptr;
            for (int id = IDM_OPEN; id <= IDM_EXIT; ++id)
                if (GetMenuState(menu, id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED))
                    seen.greyed.push_back(id);
            seen.defaultItem = GetMenuDefaultItem(menu, FALSE, 0);
            PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        });
        SendMessageA(main, TrayNotifyMessage, TrayIconId, WM_RBUTTONUP);
    }
    return seen;
}

TEST_F(MainWindowTest, TrayMenuGreysStartOrStopByTheEngineState) {
    TrayMenuSeen stopped = OpenTrayMenu(shell.MainWindow());
    ASSERT_TRUE(stopped.shown);
    EXPECT_EQ(stopped.greyed, std::vector<int>{IDM_STOP});
    EXPECT_EQ(stopped.defaultItem, static_cast<UINT>(IDM_OPEN));

    engine.running = true;
    TrayMenuSeen running = OpenTrayMenu(shell.MainWindow());
    ASSERT_TRUE(running.shown);
    EXPECT_EQ(running.greyed, std::vector<int>{IDM_START});
    EXPECT_EQ(engine.starts + engine.stops, 0);  // closing the menu chose nothing
}

TEST_F(MainWindowTest, MinimisingHidesTheWindowAndTheTrayBringsItBack) {
    HWND main = shell.MainWindow();
    SendMessageA(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_FALSE(IsWindowVisible(main));
    SendMessageA(main, TrayNotifyMessage, TrayIconId, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_FALSE(IsIconic(main));

    SendMessageA(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    SendMessageA(main, WM_COMMAND, IDM_OPEN, 0);
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_FALSE(IsIconic(main));
}

// The tray answers a change of an icon it does not hold with failure.
bool TrayHoldsIcon(HWND owner) {
    NOTIFYICONDATAA tray = {};
    tray.cbSize = NOTIFYICONDATAA_V1_SIZE;
    tray.hWnd = owner;
    tray.uID = TrayIconId;
    return Shell_NotifyIconA(NIM_MODIFY, &tray) != FALSE;
}

TEST_F(MainWindowTest, TrayIconComesBackWhenTheTaskbarIsRecreated) {
    HWND main = shell.MainWindow();
    ASSERT_TRUE(TrayHoldsIcon(main));
    shell.Tray().Remove();  // as a restarted Explorer's empty tray
    ASSERT_FALSE(TrayHoldsIcon(main));
    SendMessageA(main, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(TrayHoldsIcon(main));
}

std::string Today() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[16];
    wsprintfA(date, "%02d.%02d.%04d", now.wDay, now.wMonth, now.wYear);
    return date;
}

COLORREF ColourAt(HWND log, LONG from, LONG to) {
    CHARRANGE range = {from, to};
    SendMessageA(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    SendMessageA(log, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    return format.crTextColor;
}

TEST_F(MainWindowTest, LogEntriesCarryTimeStampTextAndColours) {
    engine.running = true;
    std::string before = Today();
    Post(EV_PROXY_RUNNING, 1);
    Post(EV_CLIENT, 1, "10.1.2.3");
    std::string after = Today();
    std::string log = LogText();
    std::smatch match;
    const std::regex entries(
        R"((\d\d\.\d\d\.\d{4}) \d\d:\d\d:\d\d Proxy started\r\n(\d\d\.\d\d\.\d{4}) \d\d:\d\d:\d\d Client connected from: 10\.1\.2\.3\r\n)");
    ASSERT_TRUE(std::regex_match(log, match, entries)) << log;
    EXPECT_TRUE(match[1] == before || match[1] == after) << match[1];

    // Time stamps black, texts light blue, in the log's own font.
    HWND view = shell.Log().Window();
    EXPECT_EQ(ColourAt(view, 0, 19), RGB(0, 0, 0));
    EXPECT_EQ(ColourAt(view, 20, 33), RGB(192, 192, 255));
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    SendMessageA(view, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    EXPECT_STREQ(format.szFaceName, "Lucida Console");
    EXPECT_EQ(format.yHeight, 156);
    EXPECT_EQ(SendMessageA(view, EM_GETLIMITTEXT, 0, 0), 131072);
}

TEST_F(MainWindowTest, SyncStartAndEndFormOneLineAroundAnError) {
    std::string boxText;
    {
        Driver driver([&boxText] {
            HWND box = WaitForWindow("#32770", "KivroProxy");
            if (!box) return;
            boxText = BoxText(box);
            Press(box, IDOK);
            WaitGone(box);
        });
        Post(EV_SYNC_SENDING, 1, "notes.txt");
        Post(EV_SYNC_SENT, 1234);
        Post(EV_SYNC_RECEIVING, 1, "photo.jpg");
        Post(EV_LINK_ERROR, MSG_ERR_TOO_LONG);
        Post(EV_SYNC_RECEIVED, 77);
    }
    const std::regex lines(
        R"(\S+ \S+ Sending to server: notes\.txt - ok \(1234 bytes\)\r\n)"
        R"(\S+ \S+ Receiving from server: photo\.jpg \S+ \S+ Received message is too long\r\n)"
        R"(- ok \(77 bytes\)\r\n)");
    std::string log = LogText();
    EXPECT_TRUE(std::regex_match(log, lines)) << log;
    EXPECT_EQ(boxText, "Received message is too long");  // no colon: the whole text
}

TEST_F(MainWindowTest, LogTrimsTheOldest32768CharactersAt130048) {
    // Lines of equal letters, A, B, C, ..., so the cut shows where it fell. The
    // window's text length counts a line end as two characters, a position in
    // the log as one.
    constexpr int kLetters = 998, kLines = 130000 / (kLetters + 2);
    auto letter = [](int line) { return static_cast<char>('A' + line % 26); };
    for (int i = 0; i < kLines; ++i)
        shell.AppendLog(false, std::string(kLetters, letter(i)).c_str(), true);
    shell.AppendLog(false, std::string(47, '#').c_str(), false);
    HWND view = shell.Log().Window();
    ASSERT_EQ(GetWindowTextLengthA(view), 130047);  // below the threshold: nothing cut

    shell.AppendLog(false, "!", false);
    // Positions 0 to 32768 went: whole lines with their line ends, then the
    // start of the next line, whose rest now opens the log.
    constexpr int kWholeLines = 32768 / (kLetters + 1), kCutInto = 32768 % (kLetters + 1);
    EXPECT_EQ(GetWindowTextLengthA(view), 130048 - 32768 - kWholeLines);
    std::string log = LogText();
    std::string opening =
        std::string(kLetters - kCutInto, letter(kWholeLines)) + "\r\n" + letter(kWholeLines + 1);
    EXPECT_EQ(log.substr(0, opening.size()), opening);
    EXPECT_EQ(log.substr(log.size() - 2), "#!");
}

TEST_F(MainWindowTest, StatisticsShowInTheStatusBarWithTheServersPort) {
    engine.running = engine.server = true;
    Post(EV_BT_SERVER, 1);
    EngineEvent stats = MakeEvent(EV_STATISTICS, 0);
    stats.Stats = {500, 499, 20, 30};  // received, sent, receive rate, send rate
    Post(stats);
    EXPECT_EQ(StatusText(), "1 KB (20 B/s) received from, 0 KB (30 B/s) sent to BT Server");

    Post(EV_USB_SERVER, 1);
    stats.Stats = {4294967295u, 1500, 7, 8};  // the rounding must not overflow 32 bits
    Post(stats);
    EXPECT_EQ(StatusText(), "4294967 KB (7 B/s) received from, 2 KB (8 B/s) sent to USB Server");
    EXPECT_EQ(LogText().find(" KB ("), std::string::npos);  // statistics are never logged

    engine.server = false;
    Post(EV_USB_SERVER, 0);
    EXPECT_EQ(StatusText(), "");
}

std::string SystemText(DWORD code) {
    char text[256];
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr) == 0)
        return "?";
    return text;
}

TEST_F(MainWindowTest, ErrorEventsLogTheWholeTextAndBoxTheTextBeforeTheColon) {
    struct Case {
        EventCode code;
        uint32_t message, error;
        std::string logged, boxed;
    };
    const Case cases[] = {
        {EV_SYSTEM_ERROR, MSG_ERR_RECV_SERVER, 5,
         "Error receiving from server: " + SystemText(5) + " (5)", "Error receiving from server"},
        {EV_SOCKET_ERROR, MSG_ERR_LISTEN, 10048,
         "Error listening for client: " + SystemText(10048) + " (10048)",
         "Error listening for client"},
        {EV_SYSTEM_ERROR, MSG_ERR_SEND_SERVER, 987654, "Error sending to server: ? (987654)",
         "Error sending to server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.boxed);
        SetWindowTextA(shell.Log().Window(), "");
        std::string boxText, boxTitle;
        HWND owner = nullptr;
        {
            Driver driver([&] {
                HWND box = WaitForWindow("#32770", "KivroProxy");
                if (!box) return;
                boxText = BoxText(box);
                owner = GetWindow(box, GW_OWNER);
                Press(box, IDOK);
                WaitGone(box);
            });
            EngineEvent event = MakeEvent(c.code, 0);
            event.Error = {c.message, c.error};
            Post(event);
        }
        EXPECT_EQ(boxText, c.boxed);
        EXPECT_EQ(owner, shell.MainWindow());
        std::string log = LogText();
        ASSERT_GT(log.size(), 20u);
        EXPECT_EQ(log.substr(20), c.logged + "\r\n");
    }
}

TEST_F(MainWindowTest, ExitStoresStateAndPlacementAndTheNextStartIsInTheTray) {
    HWND main = shell.MainWindow();
    SetWindowPos(main, nullptr, 40, 30, 500, 300, SWP_NOZORDER);
    RECT normal;
    GetWindowRect(main, &normal);
    engine.running = true;
    SendMessageA(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    SendMessageA(main, WM_COMMAND, IDM_EXIT, 0);
    Pump();
    ASSERT_FALSE(IsWindow(main));
    EXPECT_EQ(engine.shutdowns, 1);

    bool running = false;
    EXPECT_TRUE(shell.Store().QueryBool(running, "IsRunning"));
    EXPECT_TRUE(running);
    WindowPlacement stored;
    ASSERT_TRUE(QueryWindowPlacement(shell.Store(), stored));
    EXPECT_EQ(stored.showCmd, 2u);
    EXPECT_EQ(stored.left, normal.left);
    EXPECT_EQ(stored.top, normal.top);
    EXPECT_EQ(stored.right, normal.right);
    EXPECT_EQ(stored.bottom, normal.bottom);

    // Next start: only the tray icon; "Open" brings the window back where it was.
    ASSERT_TRUE(shell.CreateMainWindow());
    main = shell.MainWindow();
    EXPECT_FALSE(IsWindowVisible(main));
    SendMessageA(main, WM_COMMAND, IDM_OPEN, 0);
    EXPECT_TRUE(IsWindowVisible(main));
    RECT restored;
    GetWindowRect(main, &restored);
    EXPECT_EQ(restored.left, normal.left);
    EXPECT_EQ(restored.right, normal.right);

    // Stopped at exit: stored as such.
    engine.running = false;
    DestroyWindow(main);
    Pump();
    EXPECT_TRUE(shell.Store().QueryBool(running, "IsRunning"));
    EXPECT_FALSE(running);
}

}  // namespace
}  // namespace kivro::uitest
