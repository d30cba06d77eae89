// Windows that come back where the user left them: a window's size and
// position are kept in the program's settings (beside the last project
// directory), under "Geometry/" and the window's objectName.
#pragma once

class QWidget;

namespace vellum::ui {

// From now on, `window` is put back where it was when it is first shown,
// and where it is is written down each time it is hidden.
void RememberGeometry(QWidget* window);

}  // namespace vellum::ui
