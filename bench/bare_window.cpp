// The baseline of the start-up benchmark: a bare Qt Widgets window of the program's client size,
// fixed, centred, and the same "idle" report as brivane --exit-when-idle.
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(727, 213);
    window.setWindowTitle(QStringLiteral("bare"));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window.move(frame.topLeft());
    }
    window.show();
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!window.windowHandle() || !window.windowHandle()->isExposed())
            return;
        poll.stop();
        QTimer::singleShot(0, [] {
            std::puts("idle");
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    });
    poll.start();
    return QApplication::exec();
}
