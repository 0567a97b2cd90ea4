// The About window: the logo, the version, the link to the web site and the program's
// acknowledgements, whose links open in the desktop's browser.
#pragma once

#include "shell/logo_panel.h"
#include "ui/form_base.h"

class TRedURL;

// Thread safety: main thread only.
class TfrmAbout : public TFormBase {
    Q_OBJECT
public:
    TfrmAbout(QWidget* panel, const TToolContext& context);

    TLogoPanel logo;
    TRedURL* redAbout = nullptr;
};
