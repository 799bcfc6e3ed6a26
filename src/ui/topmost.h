#pragma once

class QWidget;

namespace brivane {

// Puts the window into the topmost band or takes it out, keeping its place and size and without
// re-creating it: SetWindowPos on Windows, the window manager's keep-above state elsewhere.
void setWindowTopmost(QWidget& window, bool topmost);
bool windowTopmost(const QWidget& window);

} // namespace brivane
