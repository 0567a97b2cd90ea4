// The built-in help viewer: one page per help context number, shipped inside the program.
#pragma once

class QWidget;
class QString;

// Shows the help page of a context (the main window's page when there is none for it) in
// the program's one help viewer, bringing it to the front.
void ShowHelpContext(int context, QWidget* parent);

// The resource path of a context's page, or empty when the program has none.
QString HelpPagePath(int context);

// The context whose page the viewer shows now, or 0 when it is closed.
int ShownHelpContext();

// Closes the viewer (at shutdown).
void CloseHelpViewer();
