// See PropSheets.h. Pages keep no state of their own beyond their dialog
// window: every showing re-reads what it shows, so the same page objects serve
// the whole run.
#include "app/win32/PropSheets.h"

namespace kivro {

namespace {
constexpr int kMaxPages = 16;
HPROPSHEETPAGE sheetPages[kMaxPages];
int sheetPageCount = 0;
bool sheetShown = false;
HWND shownSheet = nullptr;

int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM) {
    if (message == PSCB_INITIALIZED) shownSheet = sheet;
    return 0;
}
}  // namespace

INT_PTR CALLBACK PageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* page = reinterpret_cast<PropPage*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
    if (page == nullptr && message == WM_INITDIALOG) {
        page = reinterpret_cast<PropPage*>(reinterpret_cast<PROPSHEETPAGEA*>(lParam)->lParam);
        SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(page));
    }
    if (page == nullptr) return FALSE;
    page->window_ = dialog;
    return page->HandleMessage(message, wParam, lParam);
}

HPROPSHEETPAGE PropPage::CreatePage(int templateId) {
    PROPSHEETPAGEA psp = {};
    psp.dwSize = sizeof psp;
    psp.dwFlags = PSP_DEFAULT;
    psp.hInstance = GetModuleHandleA(nullptr);
    psp.pszTemplate = MAKEINTRESOURCEA(templateId);
    psp.pfnDlgProc = PageDialogProc;
    psp.lParam = reinterpret_cast<LPARAM>(this);
    return CreatePropertySheetPageA(&psp);
}

BOOL PropPage::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            return OnCommand(reinterpret_cast<HWND>(lParam), HIWORD(wParam), LOWORD(wParam));
        case WM_NOTIFY:
            return OnNotify(reinterpret_cast<NMHDR*>(lParam));
        default:
            return FALSE;
    }
}

BOOL PropPage::OnInitDialog() {
    return TRUE;
}

BOOL PropPage::OnCommand(HWND, int code, int) {
    if (code == BN_CLICKED || code == CBN_SELENDOK || code == EN_CHANGE) SetChanged(true);
    return TRUE;
}

BOOL PropPage::OnNotify(NMHDR* header) {
    if (header->code == PSN_APPLY && !OnApply())
        SetWindowLongPtrA(window_, DWLP_MSGRESULT, PSNRET_INVALID_NOCHANGEPAGE);
    return TRUE;
}

BOOL PropPage::OnApply() {
    return TRUE;
}

HWND PropPage::GetItem(int id) {
    return GetDlgItem(window_, id);
}

bool PropPage::GetItemText(char* buffer, int size, int id) {
    if (size <= 0) return false;
    buffer[0] = '\0';
    return GetDlgItemTextA(window_, id, buffer, size) > 0;
}

void PropPage::SetItemText(const char* text, int id) {
    SetDlgItemTextA(window_, id, text);
}

bool PropPage::GetItemInt(int32_t& number, bool isSigned, int id) {
    BOOL ok = FALSE;
    UINT value = GetDlgItemInt(window_, id, &ok, isSigned ? TRUE : FALSE);
    // Only 0..2147483647 is a number here; a negative or larger text (possible
    // only by pasting) is treated like a text that is not a number.
    if (!ok || value > 2147483647u) {
        number = 0;
        return false;
    }
    number = static_cast<int32_t>(value);
    return true;
}

void PropPage::SetItemInt(int32_t number, int id) {
    SetDlgItemInt(window_, id, static_cast<UINT>(number), TRUE);
}

LRESULT PropPage::SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageA(window_, id, message, wParam, lParam);
}

void PropPage::EnableItem(bool enable, int id) {
    EnableWindow(GetItem(id), enable ? TRUE : FALSE);
}

void PropPage::SetChanged(bool changed) {
    HWND sheet = GetParent(window_);
    auto current = reinterpret_cast<WPARAM>(
        reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)));
    SendMessageA(sheet, changed ? PSM_CHANGED : PSM_UNCHANGED, current, 0);
}

bool PropPage::OpenKey(const char* keyPath) {
    return store_.OpenKey(keyPath);
}
bool PropPage::QueryString(char* buffer, uint32_t size, const char* name) {
    return store_.QueryString(buffer, size, name);
}
bool PropPage::SetString(const char* text, const char* name) {
    return store_.SetString(text, name);
}
bool PropPage::QueryDword(int32_t& value, const char* name) {
    return store_.QueryDword(value, name);
}
bool PropPage::SetDword(int32_t value, const char* name) {
    return store_.SetDword(static_cast<uint32_t>(value), name);
}
bool PropPage::QueryBool(bool& flag, const char* name) {
    return store_.QueryBool(flag, name);
}
bool PropPage::SetBool(bool flag, const char* name) {
    return store_.SetBool(flag, name);
}
bool PropPage::QueryBinary(void* buffer, uint32_t size, const char* name) {
    return store_.QueryBinary(buffer, size, name);
}
bool PropPage::SetBinary(const void* data, uint32_t size, const char* name) {
    return store_.SetBinary(data, size, name);
}

void PropPage::LoadItemText(int id, const char* defaultText, const char* name) {
    char text[kPathCapacity];
    if (!QueryString(text, sizeof text, name)) lstrcpynA(text, defaultText, sizeof text);
    text[sizeof text - 1] = '\0';
    SetItemText(text, id);
}

void PropPage::LoadItemInt(int id, int32_t defaultNumber, const char* name) {
    int32_t number;
    if (!QueryDword(number, name)) number = defaultNumber;
    SetItemInt(number, id);
}

void PropPage::LoadCheck(int id, bool defaultFlag, const char* name) {
    bool flag = defaultFlag;
    if (!QueryBool(flag, name)) flag = defaultFlag;
    SendItemMessage(id, BM_SETCHECK, flag ? BST_CHECKED : BST_UNCHECKED, 0);
}

void PropPage::StoreItemText(const char* name, int id) {
    char text[kPathCapacity];
    GetItemText(text, sizeof text, id);
    SetString(text, name);
}

bool PropPage::StoreItemInt(const char* name, int id) {
    int32_t number;
    if (!GetItemInt(number, true, id)) return false;
    return SetDword(number, name);
}

void PropPage::StoreCheck(const char* name, int id) {
    SetBool(SendItemMessage(id, BM_GETCHECK, 0, 0) == BST_CHECKED, name);
}

// Pages that were added but never shown are still ours to destroy; a shown
// sheet destroys its own pages, so ShowSheet empties the list before it shows
// them: a ResetSheet from inside the sheet's modal loop must not reach them.
void ResetSheet() {
    for (int i = 0; i < sheetPageCount; ++i) DestroyPropertySheetPage(sheetPages[i]);
    sheetPageCount = 0;
}

bool AddPage(int templateId, PropPage& page) {
    if (sheetPageCount >= kMaxPages) return false;
    HPROPSHEETPAGE handle = page.CreatePage(templateId);
    if (handle == nullptr) return false;
    sheetPages[sheetPageCount++] = handle;
    return true;
}

bool ShowSheet(int captionId, HWND owner) {
    if (sheetPageCount == 0 || sheetShown) return false;
    char caption[128];
    LoadText(caption, sizeof caption, captionId);
    HPROPSHEETPAGE pages[kMaxPages];
    const int count = sheetPageCount;
    for (int i = 0; i < count; ++i) pages[i] = sheetPages[i];
    sheetPageCount = 0;
    PROPSHEETHEADERA psh = {};
    psh.dwSize = sizeof psh;
    psh.dwFlags = PSH_NOAPPLYNOW | PSH_USECALLBACK;
    psh.hwndParent = owner;
    psh.hInstance = GetModuleHandleA(nullptr);
    psh.pszCaption = caption;
    psh.nPages = static_cast<UINT>(count);
    psh.nStartPage = 0;
    psh.phpage = pages;
    psh.pfnCallback = SheetCallback;
    sheetShown = true;
    INT_PTR result = PropertySheetA(&psh);
    sheetShown = false;
    shownSheet = nullptr;
    return result > 0;
}

bool SheetShown() {
    return sheetShown;
}

HWND ShownSheet() {
    return sheetShown ? shownSheet : nullptr;
}

bool LoadText(char* buffer, int size, int id) {
    if (size <= 0) return false;
    buffer[0] = '\0';
    return LoadStringA(GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, size) > 0;
}

}  // namespace kivro
