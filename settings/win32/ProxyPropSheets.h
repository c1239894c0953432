// The program's own pages: the Configuration page (ports, TCP port, folder
// synchronisation), which reads what it shows from the settings store and
// writes every value back on OK, and the Version page, which fills its
// template with the product name, version and build date.
#pragma once

#include "settings/win32/PropSheets.h"

namespace kivro {

class ConfigPage : public PropPage {
  public:
    ConfigPage();  // opens the settings key
    BOOL OnInitDialog() override;
    BOOL OnCommand(HWND control, int code, int id) override;
    BOOL OnApply() override;

  private:
    void AddPortChoice(int comboId, const char* name, const char* current);
    void InitPortChoice(int autoId, int manualId, int comboId, const char* autoName,
                        const char* portName, const char* defaultPort);
    void PickDirectory();
};

class VersionPage : public PropPage {
  public:
    BOOL OnInitDialog() override;
};

}  // namespace kivro
