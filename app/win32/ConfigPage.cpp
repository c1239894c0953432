// See ConfigPage.h. The directory is picked with the file-open dialog: the
// user opens the wanted folder and confirms any name there, and the page takes
// the current directory the dialog leaves behind (the folder dialog of the
// shell was not used so as to stay with common dialogs only).
#include "app/win32/ConfigPage.h"

#include <commdlg.h>

#include <cstring>

#include "Resource.h"
#include "settings/Settings.h"
#include "text/FormatText.h"
#include "text/Text.h"

namespace kivro {

namespace {
constexpr int32_t kMinSyncBytes = 4096;
constexpr int32_t kMaxSyncBytes = 4096000;

bool EndsWithSeparator(const char* text) {
    size_t n = TextLength(text, kPathCapacity);
    return n > 0 && (text[n - 1] == ':' || text[n - 1] == '\\');
}
}  // namespace

void ConfigPage::AddPortChoice(int comboId, const char* name, const char* current) {
    LRESULT index = SendItemMessage(comboId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    // Same characters, same case: a stored "com3" is an entry of its own.
    if (index >= 0 && std::strcmp(name, current) == 0)
        SendItemMessage(comboId, CB_SETCURSEL, index, 0);
}

void ConfigPage::InitPortChoice(int autoId, int manualId, int comboId, const char* autoName,
                                const char* portName, const char* defaultPort) {
    LoadCheck(autoId, true, autoName);
    if (SendItemMessage(autoId, BM_GETCHECK, 0, 0) != BST_CHECKED)
        SendItemMessage(manualId, BM_SETCHECK, BST_CHECKED, 0);
    char current[kPathCapacity];
    if (!QueryString(current, sizeof current, portName)) TextCopy(current, defaultPort);
    current[kPathCapacity - 1] = '\0';
    for (uint32_t n = 1; n <= 20; ++n) {
        char name[16] = "COM%c";
        FormatText(name, {n});
        AddPortChoice(comboId, name, current);
    }
    if (SendItemMessage(comboId, CB_GETCURSEL, 0, 0) == CB_ERR)
        AddPortChoice(comboId, current, current);
    OnCommand(nullptr, 0, manualId);
}

BOOL ConfigPage::OnInitDialog() {
    PropPage::OnInitDialog();
    InitPortChoice(IDC_BT_AUTO, IDC_BT_MANUAL, IDC_BT_PORT, "BTComAuto", "BTComPort", "COM3");
    InitPortChoice(IDC_USB_AUTO, IDC_USB_MANUAL, IDC_USB_PORT, "USBComAuto", "USBComPort", "COM8");
    LoadItemInt(IDC_TCP_PORT, 5900, "TCPPort");
    LoadCheck(IDC_DO_SYNC, false, "DoSync");
    SendItemMessage(IDC_SYNC_DIR, EM_LIMITTEXT, 260, 0);
    LoadItemText(IDC_SYNC_DIR, "C:\\", "SyncDir");

    // Without UDS_NOTHOUSANDS the spin writes 1,000 and above with a separator,
    // which does not read back as a number.
    HWND spin = CreateWindowExA(0, UPDOWN_CLASSA, "",
                                WS_CHILD | WS_VISIBLE | WS_BORDER | UDS_WRAP | UDS_SETBUDDYINT |
                                    UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
                                0, 0, 8, 8, Window(), reinterpret_cast<HMENU>(IDC_MAX_SIZE_SPIN),
                                GetModuleHandleA(nullptr), nullptr);
    SendMessageA(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(GetItem(IDC_MAX_SIZE)), 0);
    SendMessageA(spin, UDM_SETRANGE, 0, MAKELPARAM(4000, 4));

    int32_t bytes;
    if (!QueryDword(bytes, "MaxSyncSize")) bytes = 131072;
    SetItemInt(static_cast<int32_t>(static_cast<uint32_t>(bytes) >> 10), IDC_MAX_SIZE);
    SendItemMessage(IDC_EXCLUDE, EM_LIMITTEXT, 128, 0);
    LoadItemText(IDC_EXCLUDE, "*.bak; *~", "SyncExclude");
    OnCommand(nullptr, 0, IDC_DO_SYNC);
    SetChanged(false);
    return TRUE;
}

BOOL ConfigPage::OnCommand(HWND control, int code, int id) {
    auto checked = [this](int item) {
        return SendItemMessage(item, BM_GETCHECK, 0, 0) == BST_CHECKED;
    };
    switch (id) {
        case IDC_BT_AUTO:
        case IDC_BT_MANUAL:
            EnableItem(checked(IDC_BT_MANUAL), IDC_BT_PORT);
            SetChanged(true);
            return TRUE;
        case IDC_USB_AUTO:
        case IDC_USB_MANUAL:
            EnableItem(checked(IDC_USB_MANUAL), IDC_USB_PORT);
            SetChanged(true);
            return TRUE;
        case IDC_DO_SYNC: {
            bool on = checked(IDC_DO_SYNC);
            for (int item :
                 {IDC_SYNC_DIR, IDC_BROWSE, IDC_MAX_SIZE, IDC_MAX_SIZE_SPIN, IDC_EXCLUDE})
                EnableItem(on, item);
            SetChanged(true);
            return TRUE;
        }
        case IDC_BROWSE:
            PickDirectory();
            return TRUE;
        default:
            return PropPage::OnCommand(control, code, id);
    }
}

void ConfigPage::PickDirectory() {
    char path[kPathCapacity];
    GetItemText(path, sizeof path, IDC_SYNC_DIR);
    if (path[0] != '\0' && !EndsWithSeparator(path)) TextAppend(path, "\\");
    TextAppend(path, "*.*");
    path[kPathCapacity - 1] = '\0';

    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Window();
    ofn.lpstrFilter = "All Files (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = 200;
    ofn.Flags = OFN_HIDEREADONLY | OFN_NOVALIDATE;
    if (!GetOpenFileNameA(&ofn)) return;

    char folder[kPathCapacity] = {};
    DWORD n = GetCurrentDirectoryA(sizeof folder, folder);
    if (n == 0 || n >= sizeof folder) return;
    if (!EndsWithSeparator(folder)) TextAppend(folder, "\\");
    folder[kPathCapacity - 1] = '\0';
    SetItemText(folder, IDC_SYNC_DIR);
    SetChanged(true);
}

BOOL ConfigPage::OnApply() {
    StoreCheck("BTComAuto", IDC_BT_AUTO);
    StoreItemText("BTComPort", IDC_BT_PORT);
    StoreCheck("USBComAuto", IDC_USB_AUTO);
    StoreItemText("USBComPort", IDC_USB_PORT);
    // A port outside 1..65535 is no port: the stored value stays, as it does for
    // a text that is not a number.
    int32_t port;
    if (GetItemInt(port, true, IDC_TCP_PORT) && port >= 1 && port <= 65535)
        SetDword(port, "TCPPort");
    StoreCheck("DoSync", IDC_DO_SYNC);
    StoreItemText("SyncDir", IDC_SYNC_DIR);
    int32_t kb;
    if (!GetItemInt(kb, false, IDC_MAX_SIZE)) kb = 0;
    int64_t bytes = static_cast<int64_t>(kb) * 1024;
    if (bytes < kMinSyncBytes) bytes = kMinSyncBytes;
    if (bytes > kMaxSyncBytes) bytes = kMaxSyncBytes;
    SetDword(static_cast<int32_t>(bytes), "MaxSyncSize");
    StoreItemText("SyncExclude", IDC_EXCLUDE);
    return PropPage::OnApply();
}

}  // namespace kivro
