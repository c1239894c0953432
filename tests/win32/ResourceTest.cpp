// The Windows resources against the one string table and the dialog layout the
// shell relies on.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "Resource.h"
#include "text/Messages.h"

namespace kivro {
namespace {

TEST(Resources, StringTableMatchesLoadMessage) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    int checked = 0;
    for (UINT id = 2000; id <= 3021; ++id) {
        char fromResource[600] = {};
        char fromTable[600] = {};
        int n = LoadStringA(self, id, fromResource, sizeof fromResource);
        bool ok = LoadMessage(id, fromTable);
        EXPECT_EQ(n > 0, ok) << id;
        if (ok) {
            EXPECT_STREQ(fromResource, fromTable) << id;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 53);  // 2000-2031 without 2014, and 3000-3021
}

// A property page reads its version text straight from the dialog, so line feeds
// and tabs must be real characters in the template, not backslash sequences. The
// template is walked directly (DLGTEMPLATEEX) so that no window is needed.
std::string DialogItemText(int dialogId, int itemId) {
    HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(dialogId), MAKEINTRESOURCEA(5));  // RT_DIALOG
    if (!res) return "<no dialog>";
    const auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, res)));
    auto word = [&p]() { uint16_t v; memcpy(&v, p, 2); p += 2; return v; };
    auto dword = [&p]() { uint32_t v; memcpy(&v, p, 4); p += 4; return v; };
    auto text = [&]() {  // sz_Or_Ord
        std::string out;
        uint16_t c = word();
        if (c == 0xFFFF) { word(); return out; }
        while (c != 0) { out += static_cast<char>(c); c = word(); }
        return out;
    };
    const uint8_t* base = p;
    auto align4 = [&]() { while ((p - base) % 4) ++p; };
    word(); word(); dword(); dword();
    uint32_t style = dword();
    uint16_t items = word();
    word(); word(); word(); word();
    text(); text(); text();  // menu, class, title
    if (style & DS_SETFONT) { word(); word(); p += 2; text(); }
    for (uint16_t i = 0; i < items; ++i) {
        align4();
        dword(); dword(); dword();
        word(); word(); word(); word();
        int32_t id = static_cast<int32_t>(dword());
        text();
        std::string title = text();
        p += word();
        if (id == itemId) return title;
    }
    return "<no item>";
}

TEST(Resources, VersionTemplateHoldsRealControlCharacters) {
    EXPECT_EQ(DialogItemText(IDD_VERSION, IDC_VERSION_TEXT), "%s\nVersion:\t%c.%'02c %s\nFrom:\t");
}

TEST(Resources, MenusAndIconsLoad) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    HMENU bar = LoadMenuA(self, MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(bar, nullptr);
    HMENU file = GetSubMenu(bar, 0);
    char text[64];
    GetMenuStringA(file, IDM_CONFIGURE, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "Configure...");
    DestroyMenu(bar);

    HMENU tray = LoadMenuA(self, MAKEINTRESOURCEA(IDR_TRAYMENU));
    ASSERT_NE(tray, nullptr);
    EXPECT_EQ(GetMenuDefaultItem(GetSubMenu(tray, 0), FALSE, 0), static_cast<UINT>(IDM_OPEN));
    DestroyMenu(tray);

    for (int id = IDI_APP; id <= IDI_VERSION; ++id) {
        HICON icon = static_cast<HICON>(LoadImageA(self, MAKEINTRESOURCEA(id), IMAGE_ICON, 16, 16, 0));
        EXPECT_NE(icon, nullptr) << id;
        if (icon) DestroyIcon(icon);
    }
}

}  // namespace
}  // namespace kivro
