// The Configuration and About sheets, opened through the real menu commands: a
// driver thread reads and edits the page while the sheet's modal loop runs, and
// presses OK or Cancel; the test then checks what reached the settings key, the
// reloaded settings and the engine.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <atomic>
#include <regex>
#include <string>

#include "Resource.h"
#include "UiTestSupport.h"
#include "app/BuildDate.h"
#include "text/Messages.h"
#include "app/win32/PropSheets.h"

namespace kivro::uitest {
namespace {

class SheetTest : public ShellTest {
  protected:
    // Runs a menu command that opens a sheet; work gets the sheet and its page.
    // Afterwards, for up to a moment, answers a question box with `answer` and
    // records its text in `question`; beforeAnswer runs while the box is open.
    void RunSheet(int command, const char* caption, std::function<void(HWND sheet, HWND page)> work,
                  int answer = IDNO, std::function<void()> beforeAnswer = {}) {
        std::atomic<bool> done{false};
        question.clear();
        sheetSeen = false;
        {
            Driver driver([&] {
                HWND sheet = WaitForWindow("#32770", caption);
                if (!sheet) return;
                sheetSeen = true;
                work(sheet,
                     reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)));
                WaitGone(sheet);
                // A question, if one comes, comes before the command returns.
                for (int waited = 0; !done && waited < 5000; waited += 10) {
                    HWND box = FindWindowA("#32770", "KivroProxy");
                    if (box && IsWindowVisible(box)) {
                        question = BoxText(box);
                        if (beforeAnswer) beforeAnswer();
                        Press(box, answer);
                        WaitGone(box);
                        break;
                    }
                    Sleep(10);
                }
            });
            SendMessageA(shell.MainWindow(), WM_COMMAND, command, 0);
            done = true;
        }
        Pump();
    }

    static std::string Text(HWND page, int id) { return WindowText(GetDlgItem(page, id)); }
    static bool Checked(HWND page, int id) {
        return SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    static bool Enabled(HWND page, int id) {
        return IsWindowEnabled(GetDlgItem(page, id)) != FALSE;
    }
    static std::string Entry(HWND page, int id, int index) {
        char text[300] = {};
        SendDlgItemMessageA(page, id, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
        return text;
    }
    static void PressButton(HWND sheet, int button) {
        PostMessageA(sheet, PSM_PRESSBUTTON, button, 0);
    }

    uint32_t StoredNumber(const char* name) {
        uint32_t value = 0xDEADBEEF;
        shell.Store().QueryDword(value, name);
        return value;
    }
    std::string StoredText(const char* name) {
        char text[300] = {};
        return shell.Store().QueryString(text, sizeof text, name) ? text : "<missing>";
    }

    ScriptedProxy& engine = Engine();
    std::string question;
    bool sheetSeen = false;
};

// What the Configuration page showed.
struct ConfigSeen {
    int btCount = 0, btSelected = -1, usbCount = 0, usbSelected = -1;
    std::string btLast, usbLast, usbThird, btText, usbText, tcpPort, maxSize, syncDir, exclude;
    bool btManual = false, btComboEnabled = false, usbAuto = false, usbComboEnabled = true,
         doSync = true;
    bool syncControlsEnabled = true, syncControlsEnabledAfterClick = false;
};

TEST_F(SheetTest, ConfigurationShowsTheStoredValuesAndCancelStoresNothing) {
    SettingsStore& store = shell.Store();
    store.SetBool(false, "BTComAuto");
    store.SetString("COM25", "BTComPort");
    store.SetString("com3", "USBComPort");
    store.SetDword(6000, "TCPPort");
    store.SetBool(false, "DoSync");
    store.SetString("D:\\Sync\\", "SyncDir");
    store.SetDword(5000, "MaxSyncSize");
    store.SetString("*.tmp; *.log", "SyncExclude");
    auto before = KeySnapshot();
    engine.running = true;

    ConfigSeen seen;
    RunSheet(IDM_CONFIGURE, "KivroProxy Configuration", [&seen](HWND sheet, HWND page) {
        seen.btCount = static_cast<int>(SendDlgItemMessageA(page, IDC_BT_PORT, CB_GETCOUNT, 0, 0));
        seen.btSelected =
            static_cast<int>(SendDlgItemMessageA(page, IDC_BT_PORT, CB_GETCURSEL, 0, 0));
        seen.btLast = Entry(page, IDC_BT_PORT, seen.btCount - 1);
        seen.btText = Text(page, IDC_BT_PORT);
        seen.btManual = Checked(page, IDC_BT_MANUAL) && !Checked(page, IDC_BT_AUTO);
        seen.btComboEnabled = Enabled(page, IDC_BT_PORT);
        seen.usbCount =
            static_cast<int>(SendDlgItemMessageA(page, IDC_USB_PORT, CB_GETCOUNT, 0, 0));
        seen.usbSelected =
            static_cast<int>(SendDlgItemMessageA(page, IDC_USB_PORT, CB_GETCURSEL, 0, 0));
        seen.usbLast = Entry(page, IDC_USB_PORT, seen.usbCount - 1);
        seen.usbThird = Entry(page, IDC_USB_PORT, 2);
        seen.usbText = Text(page, IDC_USB_PORT);
        seen.usbAuto = Checked(page, IDC_USB_AUTO) && !Checked(page, IDC_USB_MANUAL);
        seen.usbComboEnabled = Enabled(page, IDC_USB_PORT);
        seen.tcpPort = Text(page, IDC_TCP_PORT);
        seen.maxSize = Text(page, IDC_MAX_SIZE);
        seen.syncDir = Text(page, IDC_SYNC_DIR);
        seen.exclude = Text(page, IDC_EXCLUDE);
        seen.doSync = Checked(page, IDC_DO_SYNC);
        seen.syncControlsEnabled = false;
        for (int id : {IDC_SYNC_DIR, IDC_BROWSE, IDC_MAX_SIZE, IDC_MAX_SIZE_SPIN, IDC_EXCLUDE})
            seen.syncControlsEnabled |= Enabled(page, id);
        SendDlgItemMessageA(page, IDC_DO_SYNC, BM_CLICK, 0, 0);
        seen.syncControlsEnabledAfterClick = true;
        for (int id : {IDC_SYNC_DIR, IDC_BROWSE, IDC_MAX_SIZE, IDC_MAX_SIZE_SPIN, IDC_EXCLUDE})
            seen.syncControlsEnabledAfterClick &= Enabled(page, id);
        SetDlgItemTextA(page, IDC_TCP_PORT, "6001");
        PressButton(sheet, PSBTN_CANCEL);
    });
    ASSERT_TRUE(sheetSeen);

    EXPECT_EQ(seen.btCount, 21);  // COM1 to COM20, then the stored COM25
    EXPECT_EQ(seen.btSelected, 20);
    EXPECT_EQ(seen.btLast, "COM25");
    EXPECT_EQ(seen.btText, "COM25");
    EXPECT_TRUE(seen.btManual);
    EXPECT_TRUE(seen.btComboEnabled);
    EXPECT_EQ(seen.usbCount, 21);  // com3 is not COM3
    EXPECT_EQ(seen.usbThird, "COM3");
    EXPECT_EQ(seen.usbLast, "com3");
    EXPECT_EQ(seen.usbSelected, 20);
    EXPECT_EQ(seen.usbText, "com3");
    EXPECT_TRUE(seen.usbAuto);
    EXPECT_FALSE(seen.usbComboEnabled);
    EXPECT_EQ(seen.tcpPort, "6000");
    EXPECT_EQ(seen.maxSize, "4");  // 5000 bytes, in whole KB
    EXPECT_EQ(seen.syncDir, "D:\\Sync\\");
    EXPECT_EQ(seen.exclude, "*.tmp; *.log");
    EXPECT_FALSE(seen.doSync);
    EXPECT_FALSE(seen.syncControlsEnabled);
    EXPECT_TRUE(seen.syncControlsEnabledAfterClick);

    EXPECT_EQ(KeySnapshot(), before);
    EXPECT_EQ(question, "");
    EXPECT_EQ(engine.stops, 0);
}

TEST_F(SheetTest, OkStoresEveryValueShownIncludingDefaults) {
    ASSERT_TRUE(KeySnapshot().empty());
    RunSheet(IDM_CONFIGURE, "KivroProxy Configuration",
             [](HWND sheet, HWND) { PressButton(sheet, PSBTN_OK); });
    ASSERT_TRUE(sheetSeen);
    EXPECT_EQ(StoredNumber("BTComAuto"), 1u);
    EXPECT_EQ(StoredText("BTComPort"), "COM3");
    EXPECT_EQ(StoredNumber("USBComAuto"), 1u);
    EXPECT_EQ(StoredText("USBComPort"), "COM8");
    EXPECT_EQ(StoredNumber("TCPPort"), 5900u);
    EXPECT_EQ(StoredNumber("DoSync"), 0u);
    EXPECT_EQ(StoredText("SyncDir"), "C:\\");
    EXPECT_EQ(StoredNumber("MaxSyncSize"), 131072u);
    EXPECT_EQ(StoredText("SyncExclude"), "*.bak; *~");
    EXPECT_EQ(KeySnapshot().size(), 9u);
    EXPECT_EQ(question, "");  // the engine is stopped: nothing to restart
}

TEST_F(SheetTest, OkStoresSizesInBytesWithinTheClampAndOnlyValidPorts) {
    struct Case {
        const char* kb;
        int arrowKey;  // an up-down step from the keyboard after typing, or 0
        const char* port;
        uint32_t bytes, storedPort;
    };
    const Case cases[] = {
        {"2", 0, "5901", 4096, 5901},
        {"4000", 0, "65535", 4096000, 65535},
        {"5000", 0, "70000", 4096000, 6000},  // no port: the stored one stays
        {"", 0, "0", 4096, 6000},
        {"999", VK_UP, "", 1000 * 1024, 6000},  // 1000 without a thousands separator
        {"4000", VK_UP, "1", 4096, 1},          // the arrows wrap to 4
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kb) + " KB, port " + c.port);
        shell.Store().SetDword(6000, "TCPPort");
        shell.Store().SetBool(true, "DoSync");
        std::string shown;
        RunSheet(IDM_CONFIGURE, "KivroProxy Configuration", [&c, &shown](HWND sheet, HWND page) {
            SetDlgItemTextA(page, IDC_MAX_SIZE, c.kb);
            if (c.arrowKey) SendDlgItemMessageA(page, IDC_MAX_SIZE, WM_KEYDOWN, c.arrowKey, 0);
            shown = Text(page, IDC_MAX_SIZE);
            SetDlgItemTextA(page, IDC_TCP_PORT, c.port);
            PressButton(sheet, PSBTN_OK);
        });
        ASSERT_TRUE(sheetSeen);
        EXPECT_EQ(StoredNumber("MaxSyncSize"), c.bytes) << "shown: " << shown;
        EXPECT_EQ(StoredNumber("TCPPort"), c.storedPort);
        EXPECT_EQ(shell.CurrentSettings().MaxSyncSize, static_cast<int32_t>(c.bytes));  // reloaded
    }
}

TEST_F(SheetTest, OkWhileTheEngineRunsAsksToRestart) {
    for (int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDYES ? "yes" : "no");
        Engine().Reset();
        shell.CurrentSettings().TCPPort = 7777;  // as if from the command line
        SendMessageA(shell.MainWindow(), WM_COMMAND, IDM_START, 0);
        Pump();
        RunSheet(
            IDM_CONFIGURE, "KivroProxy Configuration",
            [](HWND sheet, HWND page) {
                SetDlgItemTextA(page, IDC_TCP_PORT, "6100");
                PressButton(sheet, PSBTN_OK);
            },
            answer);
        EXPECT_EQ(question, Message(MSG_ASK_RESTART));
        EXPECT_EQ(shell.CurrentSettings().TCPPort, 6100);  // reloaded from the store
        EXPECT_EQ(engine.stops, answer == IDYES ? 1 : 0);
        EXPECT_EQ(shell.Display().RestartPending(), answer == IDYES);

        // The engine reports its stop: a pending restart starts it on the new settings.
        SetWindowTextA(shell.Log().Window(), "");
        engine.running = false;
        Post(EV_PROXY_RUNNING, 0);
        Pump();
        EXPECT_EQ(engine.starts, answer == IDYES ? 2 : 1);
        EXPECT_EQ(engine.started.TCPPort, answer == IDYES ? 6100 : 7777);
        std::string log = LogText();
        const std::regex restarted(R"(\S+ \S+ Proxy stopped\r\n\S+ \S+ Proxy started\r\n)");
        const std::regex stopped(R"(\S+ \S+ Proxy stopped\r\n)");
        EXPECT_TRUE(std::regex_match(log, answer == IDYES ? restarted : stopped)) << log;
    }
}

// The engine stops by itself (an error) while the question is open: its stop is
// shown inside the box's loop, so Yes must start it at once on the new settings,
// and the user's next Stop must stop it for good.
TEST_F(SheetTest, YesAfterTheEngineStoppedByItselfStartsItAtOnce) {
    shell.CurrentSettings().TCPPort = 7777;
    SendMessageA(shell.MainWindow(), WM_COMMAND, IDM_START, 0);
    Pump();
    SetWindowTextA(shell.Log().Window(), "");
    bool stopShown = false;
    RunSheet(
        IDM_CONFIGURE, "KivroProxy Configuration",
        [](HWND sheet, HWND page) {
            SetDlgItemTextA(page, IDC_TCP_PORT, "6200");
            PressButton(sheet, PSBTN_OK);
        },
        IDYES,
        [&] {
            engine.running = false;
            TheShell().EventSink().Post(MakeEvent(EV_PROXY_RUNNING, 0));
            for (int waited = 0; waited < 5000 && !stopShown; waited += 10) {
                stopShown = LogText().find("Proxy stopped") != std::string::npos;
                if (!stopShown) Sleep(10);
            }
        });
    ASSERT_EQ(question, Message(MSG_ASK_RESTART));
    ASSERT_TRUE(stopShown);
    EXPECT_EQ(engine.starts, 2);
    EXPECT_EQ(engine.started.TCPPort, 6200);
    EXPECT_TRUE(engine.running);
    EXPECT_FALSE(shell.Display().RestartPending());

    // The user's Stop now stops it; its stop event starts nothing.
    SendMessageA(shell.MainWindow(), WM_COMMAND, IDM_STOP, 0);
    engine.running = false;
    Post(EV_PROXY_RUNNING, 0);
    EXPECT_EQ(engine.starts, 2);
    EXPECT_EQ(WindowText(shell.MainWindow()), "Kivro Server Proxy, stopped");
}

// Configure or About from the tray menu while a sheet is open (the tray menu
// still works while the main window is disabled): the open sheet comes to the
// front, no second sheet is built, and the open one keeps its pages.
TEST_F(SheetTest, OneSheetAtATime) {
    struct Case {
        int open;
        const char* caption;
        int other;
        const char* otherCaption;
    };
    const Case cases[] = {
        {IDM_ABOUT, "About KivroProxy", IDM_CONFIGURE, "KivroProxy Configuration"},
        {IDM_CONFIGURE, "KivroProxy Configuration", IDM_ABOUT, "About KivroProxy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        std::atomic<bool> secondSheet{false};
        bool commandHandled = false;
        HWND foreground = nullptr;
        std::string version, aboutTitle;
        HWND opened = nullptr;
        RunSheet(c.open, c.caption, [&](HWND sheet, HWND) {
            opened = sheet;
            // Posted in order: once the marker is in the log, the command is done.
            PostMessageA(shell.MainWindow(), WM_COMMAND, c.other, 0);
            TheShell().EventSink().Post(MakeEvent(EV_BT_PORT_OPENED, 1, "MARKER"));
            for (int waited = 0; waited < 5000 && !commandHandled; waited += 10) {
                HWND other = FindWindowA("#32770", c.otherCaption);
                if (other && IsWindowVisible(other)) {
                    secondSheet = true;
                    PostMessageA(other, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
                    WaitGone(other);
                }
                commandHandled = LogText().find("MARKER") != std::string::npos;
                if (!commandHandled) Sleep(10);
            }
            foreground = GetForegroundWindow();
            if (c.open == IDM_ABOUT) {
                // Both tabs still work: their pages were not destroyed.
                SendMessageA(sheet, PSM_SETCURSEL, 1, 0);
                HWND page =
                    reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
                version = Text(page, IDC_VERSION_TEXT);
                SendMessageA(sheet, PSM_SETCURSEL, 0, 0);
                HWND tabs = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0));
                char title[32] = {};
                TCITEMA item = {};
                item.mask = TCIF_TEXT;
                item.pszText = title;
                item.cchTextMax = sizeof title;
                SendMessageA(tabs, TCM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
                aboutTitle = title;
            }
            PressButton(sheet, PSBTN_CANCEL);
        });
        ASSERT_TRUE(sheetSeen);
        EXPECT_TRUE(commandHandled);
        EXPECT_FALSE(secondSheet);
        EXPECT_EQ(foreground, opened);
        if (c.open == IDM_ABOUT) {
            EXPECT_EQ(version.rfind("KivroProxy, Kivro Server Proxy\nVersion:", 0), 0u) << version;
            EXPECT_EQ(aboutTitle, "About");
        }
        EXPECT_TRUE(IsWindowEnabled(shell.MainWindow()));
    }
    // The next sheet is built afresh and works.
    std::string version;
    RunSheet(IDM_ABOUT, "About KivroProxy", [&](HWND sheet, HWND) {
        SendMessageA(sheet, PSM_SETCURSEL, 1, 0);
        HWND page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
        version = Text(page, IDC_VERSION_TEXT);
        PressButton(sheet, PSBTN_OK);
    });
    EXPECT_NE(version.find(BuildDate()), std::string::npos) << version;
}

TEST_F(SheetTest, VersionPageReadsProductVersionAndBuildDate) {
    std::string version;
    int pages = 0;
    std::string firstTab;
    RunSheet(IDM_ABOUT, "About KivroProxy", [&](HWND sheet, HWND) {
        HWND tabs = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0));
        pages = static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
        SendMessageA(sheet, PSM_SETCURSEL, 1, 0);
        HWND page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
        version = Text(page, IDC_VERSION_TEXT);
        PressButton(sheet, PSBTN_OK);
    });
    ASSERT_TRUE(sheetSeen);
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(version, std::string("KivroProxy, Kivro Server Proxy\nVersion:\t2.02 \nFrom:\t") +
                           BuildDate());
    EXPECT_TRUE(std::regex_match(
        std::string(BuildDate()),
        std::regex(
            R"([1-3]?\d-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-20\d\d \d\d:\d\d)")))
        << BuildDate();
    EXPECT_TRUE(KeySnapshot().empty());  // the About sheet stores nothing
}

TEST_F(SheetTest, SheetHoldsAtMost16Pages) {
    PropPage page(shell.Store());
    ResetSheet();
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(AddPage(IDD_VERSION, page)) << i;
    EXPECT_FALSE(AddPage(IDD_VERSION, page));
    ResetSheet();
    EXPECT_FALSE(ShowSheet(MSG_ABOUT_CAPTION, shell.MainWindow()));  // nothing to show
    EXPECT_TRUE(AddPage(IDD_VERSION, page));
    ResetSheet();
}

}  // namespace
}  // namespace kivro::uitest
