// The About sheet's pages. The About page shows its dialog template as it is,
// so the plain PropPage serves it; the Version page fills its template's text
// with the product name, the version and the build date when it is shown.
#pragma once

#include "app/win32/PropSheets.h"

namespace kivro {

class VersionPage : public PropPage {
  public:
    using PropPage::PropPage;
    BOOL OnInitDialog() override;
};

}  // namespace kivro
