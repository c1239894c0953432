// The property-sheet framework of the Windows program: a page base class whose
// virtual operations are hooks for dialog events, helpers over the page's
// controls, the typed settings-store operations and bindings that move a stored
// value into a control and back; and the list of pages of the next sheet, shown
// modally. The typed store operations delegate to the SettingsStore the page was
// given (the shell's own), so the registry's rules exist once for the GUI, the
// console and the tests. It lives with the shell, not with the settings: it is
// window code, and the settings know nothing of windows.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdint>

#include "settings/SettingsStore.h"

namespace kivro {

class PropPage {
  public:
    // The store the typed operations read and write; it outlives the page.
    explicit PropPage(SettingsStore& store) : store_(store) {}
    virtual ~PropPage() = default;
    PropPage(const PropPage&) = delete;
    PropPage& operator=(const PropPage&) = delete;

    virtual HPROPSHEETPAGE CreatePage(int templateId);
    virtual BOOL HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnInitDialog();
    virtual BOOL OnCommand(HWND control, int code, int id);
    virtual BOOL OnNotify(NMHDR* header);
    virtual BOOL OnApply();
    virtual HWND GetItem(int id);
    virtual bool GetItemText(char* buffer, int size, int id);
    virtual void SetItemText(const char* text, int id);
    virtual bool GetItemInt(int32_t& number, bool isSigned, int id);
    virtual void SetItemInt(int32_t number, int id);
    virtual LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam);
    virtual void EnableItem(bool enable, int id);
    virtual void SetChanged(bool changed);
    virtual bool OpenKey(const char* keyPath);
    virtual bool QueryString(char* buffer, uint32_t size, const char* name);
    virtual bool SetString(const char* text, const char* name);
    virtual bool QueryDword(int32_t& value, const char* name);
    virtual bool SetDword(int32_t value, const char* name);
    virtual bool QueryBool(bool& flag, const char* name);
    virtual bool SetBool(bool flag, const char* name);
    virtual bool QueryBinary(void* buffer, uint32_t size, const char* name);
    virtual bool SetBinary(const void* data, uint32_t size, const char* name);
    virtual void LoadItemText(int id, const char* defaultText, const char* name);
    virtual void LoadItemInt(int id, int32_t defaultNumber, const char* name);
    virtual void LoadCheck(int id, bool defaultFlag, const char* name);
    virtual void StoreItemText(const char* name, int id);
    virtual bool StoreItemInt(const char* name, int id);
    virtual void StoreCheck(const char* name, int id);

    HWND Window() const { return window_; }

  private:
    friend INT_PTR CALLBACK PageDialogProc(HWND, UINT, WPARAM, LPARAM);
    SettingsStore& store_;
    HWND window_ = nullptr;
};

// The next sheet's pages: at most 16.
void ResetSheet();
bool AddPage(int templateId, PropPage& page);
// Shows the sheet modally; true when it was closed with OK and changes were saved.
// The sheet owns the listed pages from then on, and the list is empty again. One
// sheet at a time: while a sheet is shown (its modal loop still dispatches the
// owner's menus), ShowSheet shows nothing and returns false.
bool ShowSheet(int captionId, HWND owner);
// Whether a sheet is being shown, and its window (nullptr until it exists).
bool SheetShown();
HWND ShownSheet();
// A string-table text of the program's own module (at most size - 1 characters).
bool LoadText(char* buffer, int size, int id);

}  // namespace kivro
