#include "ui/topmost.h"

#include <QWidget>
#include <QWindow>

#ifdef Q_OS_WIN
#include "core/windows_api.h"
#endif

namespace brivane {

void setWindowTopmost(QWidget& window, bool topmost) {
#ifdef Q_OS_WIN
    SetWindowPos(reinterpret_cast<HWND>(window.winId()), topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE);
#endif
    // QWidget::setWindowFlag would re-create (and so hide) a shown window; the QWindow flag is
    // passed to the window manager in place.
    if (QWindow* handle = window.windowHandle()) {
        handle->setFlag(Qt::WindowStaysOnTopHint, topmost);
    } else {
        window.setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
    }
}

bool windowTopmost(const QWidget& window) {
    if (const QWindow* handle = window.windowHandle())
        return handle->flags().testFlag(Qt::WindowStaysOnTopHint);
    return window.windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

} // namespace brivane
