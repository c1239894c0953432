// See AboutPages.h. The template's own text is the picture the page fills in
// ("%s\nVersion:\t%c.%'02c %s\nFrom:\t"), so the dialog resource alone decides
// the wording; the build date goes after it.
#include "app/win32/AboutPages.h"

#include "Resource.h"
#include "app/BuildDate.h"
#include "text/FormatText.h"
#include "text/Text.h"

namespace kivro {

BOOL VersionPage::OnInitDialog() {
    PropPage::OnInitDialog();
    char text[128];
    GetItemText(text, sizeof text, IDC_VERSION_TEXT);
    char product[128];
    LoadText(product, sizeof product, 2001);
    FormatText(text, sizeof text - 1, text, sizeof text - 1,
               {product, uint32_t{KIVRO_VERSION_MAJOR}, uint32_t{KIVRO_VERSION_MINOR}, ""});
    text[sizeof text - 1] = '\0';
    TextAppend(text, BuildDate());
    SetItemText(text, IDC_VERSION_TEXT);
    return TRUE;
}

}  // namespace kivro
