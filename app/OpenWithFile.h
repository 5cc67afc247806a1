#pragma once

// The window opened with a file named on the command line, as a file
// manager's "Open with" starts it.

class QString;
class frmMain;

// Once the window's event loop runs, file is put through the checks of
// Browse. A file that cannot be measured earns a line on standard error.
void ChooseFileIn(frmMain& window, const QString& file);
