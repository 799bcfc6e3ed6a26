#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QTextStream;

namespace brivane {

class CameraApp;
class Dialogs;
class Form1;

// An unattended typical session through the real window and its handlers: ON, measurement to
// acceptance, the save folder, a short series. Its dialogs answer every box (Yes, OK) and pick the
// demo folder; its camera wraps the real back-end to report each level and saved frame. Every step
// is printed as it happens.
//
//   DemoSession demo(dir, out, camera);
//   context.dialogs = &demo.dialogs();  context.camera = demo.camera();
//   Form1 window(context);  window.show();
//   return demo.run(window);
class DemoSession {
public:
    struct Settings {
        QString exposure = QStringLiteral("1");   // Text1(0), seconds
        QString target = QStringLiteral("30000"); // Text1(2)
        QString frames = QStringLiteral("3");     // Text1(1)
    };

    DemoSession(const QString& folder, QTextStream& out, std::shared_ptr<CameraApp> camera);
    DemoSession(const QString& folder, QTextStream& out, std::shared_ptr<CameraApp> camera,
                Settings settings);
    ~DemoSession();

    Dialogs& dialogs();
    std::shared_ptr<CameraApp> camera() const;

    // Plays the session; 0 once the series is saved, 1 when a step fails or the window closes.
    int run(Form1& window);

    // Flat frames saved during the session, full paths.
    QStringList savedFrames() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace brivane
