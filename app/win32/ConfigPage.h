// The Configuration page (ports, TCP port, folder synchronisation): it reads
// what it shows from the settings store it is given, already opened on the
// program's key, and writes every value back on OK.
#pragma once

#include "app/win32/PropSheets.h"

namespace kivro {

class ConfigPage : public PropPage {
  public:
    explicit ConfigPage(SettingsStore& store) : PropPage(store) {}
    BOOL OnInitDialog() override;
    BOOL OnCommand(HWND control, int code, int id) override;
    BOOL OnApply() override;

  private:
    void AddPortChoice(int comboId, const char* name, const char* current);
    void InitPortChoice(int autoId, int manualId, int comboId, const char* autoName,
                        const char* portName, const char* defaultPort);
    void PickDirectory();
};

}  // namespace kivro
