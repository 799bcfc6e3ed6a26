#include "ui/demo_session.h"

#include "capture/camera.h"
#include "core/dialogs.h"
#include "core/numbers.h"
#include "core/wait.h"
#include "ui/controls.h"
#include "ui/form1.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QTextStream>

#include <chrono>

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kLampDeadline = std::chrono::seconds(10);
constexpr auto kReadoutDeadline = std::chrono::seconds(3);
constexpr double kLampPollMs = 100;

const QString kMeasured =
    QStringLiteral("計測が終了しました。 枚数を設定してフラット画像を撮影してください。");
const QString kSeriesDone = QStringLiteral("終了しました。");

QString answerName(BoxAnswer answer) {
    switch (answer) {
    case BoxAnswer::Ok:
        return QStringLiteral("OK");
    case BoxAnswer::Cancel:
        return QStringLiteral("Cancel");
    case BoxAnswer::Yes:
        return QStringLiteral("Yes");
    case BoxAnswer::No:
        return QStringLiteral("No");
    }
    return QString();
}

} // namespace

class DemoSession::Impl : public Dialogs {
public:
    Impl(const QString& folder, QTextStream& out, std::shared_ptr<CameraApp> camera, Settings settings)
        : m_folder(QDir::toNativeSeparators(QFileInfo(folder).absoluteFilePath())), m_out(out),
          m_settings(std::move(settings)),
          m_camera(std::make_shared<ReportingCameraApp>(*this, std::move(camera))) {}

    // Dialogs: every box is answered with its affirmative button, the picker with the demo folder.
    BoxAnswer message(const MessageBox& box) override {
        const BoxAnswer answer = box.buttons == BoxButtons::YesNoCancel ? BoxAnswer::Yes : BoxAnswer::Ok;
        m_messages << box.text;
        line(QStringLiteral("    message \"%1\": %2 -> %3").arg(box.title, box.text, answerName(answer)));
        return answer;
    }
    QString chooseFolder(const QString& start) override {
        line(QStringLiteral("    folder picker (starts at %1) -> %2").arg(start, m_folder));
        return m_folder;
    }

    int run(Form1& window);

    void line(const QString& text) { m_out << text << Qt::endl; }

    // Wraps the real back-end: its documents report each measured level and each saved frame.
    class ReportingCameraApp : public CameraApp {
    public:
        ReportingCameraApp(Impl& session, std::shared_ptr<CameraApp> inner)
            : m_session(session), m_inner(std::move(inner)) {}
        std::unique_ptr<Camera> createCamera() override { return m_inner->createCamera(); }
        std::unique_ptr<Document> createDocument() override {
            return std::make_unique<ReportingDocument>(m_session, m_inner->createDocument());
        }

    private:
        Impl& m_session;
        std::shared_ptr<CameraApp> m_inner;
    };

    class ReportingDocument : public Document {
    public:
        ReportingDocument(Impl& session, std::unique_ptr<Document> inner)
            : m_session(session), m_inner(std::move(inner)) {
            if (!m_inner)
                throw CameraError(QStringLiteral("The camera application gave no image document."));
        }
        void OpenFile(const QString& path) override {
            m_path = path;
            m_inner->OpenFile(path);
        }
        double StretchMin() override { return m_inner->StretchMin(); }
        double StretchMax() override {
            const double level = m_inner->StretchMax();
            m_session.reportLevel(m_path, level);
            return level;
        }
        void Close() override { m_inner->Close(); }
        std::optional<bool> clipped() override { return m_inner->clipped(); }
        std::vector<double> channelMedians() override { return m_inner->channelMedians(); }

    private:
        Impl& m_session;
        std::unique_ptr<Document> m_inner;
        QString m_path;
    };

    void reportLevel(const QString& path, double level) {
        const QString fileName = QFileInfo(path).fileName();
        if (fileName.startsWith(QStringLiteral("Flat-"))) {
            m_saved << path;
            line(QStringLiteral("    frame %1: level%2, saved %3")
                     .arg(m_saved.size())
                     .arg(signRoomText(level), path));
        } else {
            const int step = m_window ? m_window->Slider1(0)->value() : 0;
            line(QStringLiteral("    step %1: level%2 (%3)").arg(step, 2).arg(signRoomText(level), fileName));
        }
    }

    QString m_folder;
    QTextStream& m_out;
    Settings m_settings;
    std::shared_ptr<ReportingCameraApp> m_camera;
    Form1* m_window = nullptr;
    QStringList m_messages;
    QStringList m_saved;

private:
    bool waitForLamp(Form1& window);
    int fail(const QString& why) {
        line(QStringLiteral("Demo failed: ") + why);
        return 1;
    }
};

bool DemoSession::Impl::waitForLamp(Form1& window) {
    const auto deadline = Clock::now() + kLampDeadline;
    while (!window.panelReportedOn() && Clock::now() < deadline)
        Wait(kLampPollMs);
    if (!window.panelReportedOn())
        return false;
    // ON ends with the panel at full brightness (43, shown doubled); let its report arrive.
    const auto settled = Clock::now() + kReadoutDeadline;
    while (window.Label1(0)->text() != QStringLiteral("86%") && Clock::now() < settled)
        Wait(kLampPollMs);
    return true;
}

int DemoSession::Impl::run(Form1& window) {
    m_window = &window;
    const auto closed = [&window] { return window.ended() || programEnding(); };
    try {
        line(QStringLiteral("Brivane demo: a typical session, played unattended"));
        if (!QDir().mkpath(m_folder))
            return fail(QStringLiteral("cannot create the folder ") + m_folder);

        line(QStringLiteral("[1] ON: connect and switch the panel on"));
        window.Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        if (closed())
            return fail(QStringLiteral("the window was closed"));
        if (!waitForLamp(window))
            return fail(QStringLiteral("the inverter did not report the panel on (no reply on the port)"));
        line(QStringLiteral("    inverter reports the panel on, output %1").arg(window.Label1(0)->text()));

        window.Text1(0)->setText(m_settings.exposure);
        window.Text1(2)->setText(m_settings.target);
        window.Text1(1)->setText(m_settings.frames);
        line(QStringLiteral("[2] Measurement: exposure %1 s, binning %2, %3, target level %4")
                 .arg(m_settings.exposure, window.Combo3->currentText(), window.Combo2->currentText(),
                      m_settings.target));
        window.Command5_Click(2);
        if (closed())
            return fail(QStringLiteral("the window was closed"));
        if (m_messages.isEmpty() || m_messages.last() != kMeasured)
            return fail(QStringLiteral("the measurement did not reach the target"));
        line(QStringLiteral("    panel left at step %1").arg(window.Slider1(0)->value()));

        line(QStringLiteral("[3] Save folder: click on the folder picture"));
        window.Picture1_Click();
        if (window.captureState().Save_Path != m_folder)
            return fail(QStringLiteral("the save folder was not taken"));

        line(QStringLiteral("[4] Flat series: %1 frames").arg(m_settings.frames));
        const qsizetype before = m_saved.size();
        window.Command5_Click(0);
        if (closed())
            return fail(QStringLiteral("the window was closed"));
        const qsizetype saved = m_saved.size() - before;
        for (qsizetype i = before; i < m_saved.size(); ++i)
            if (!QFileInfo::exists(m_saved[i]))
                return fail(QStringLiteral("frame not on disk: ") + m_saved[i]);
        if (m_messages.isEmpty() || m_messages.last() != kSeriesDone || saved == 0 ||
            saved != static_cast<qsizetype>(lenientNumber(m_settings.frames)))
            return fail(QStringLiteral("the series was not saved"));
        line(QStringLiteral("Demo finished: %1 flat frames saved in %2").arg(saved).arg(m_folder));
        return 0;
    } catch (const ProgramEnding&) {
        return fail(QStringLiteral("the window was closed"));
    }
}

DemoSession::DemoSession(const QString& folder, QTextStream& out, std::shared_ptr<CameraApp> camera)
    : DemoSession(folder, out, std::move(camera), Settings{}) {}

DemoSession::DemoSession(const QString& folder, QTextStream& out, std::shared_ptr<CameraApp> camera,
                         Settings settings)
    : m_impl(std::make_unique<Impl>(folder, out, std::move(camera), std::move(settings))) {}

DemoSession::~DemoSession() = default;

Dialogs& DemoSession::dialogs() {
    return *m_impl;
}

std::shared_ptr<CameraApp> DemoSession::camera() const {
    return m_impl->m_camera;
}

int DemoSession::run(Form1& window) {
    return m_impl->run(window);
}

QStringList DemoSession::savedFrames() const {
    return m_impl->m_saved;
}

} // namespace brivane
