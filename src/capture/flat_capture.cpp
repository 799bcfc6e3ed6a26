#include "capture/flat_capture.h"

#include "capture/camera.h"
#include "capture/frame_header.h"
#include "capture/trained_table.h"
#include "core/dialogs.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/wait.h"
#include "link/protocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtGlobal>

#include <cmath>

namespace brivane {

namespace {

constexpr double kLowMargin = kAcceptMargin;
constexpr double kHighMargin = 1000.0;
constexpr int kMaxFrameCount = 32767;
constexpr double kSwitchOnWaitMs = 1000.0;
constexpr double kSettleWaitMs = 5000.0;
constexpr double kBeforeCloseWaitMs = 500.0;

const QString kBusyCaption = QStringLiteral("撮影実行中");
const QString kMeasureCaption = QStringLiteral("計測");
const QString kSeriesCaption = QStringLiteral("フラット画像撮影");
const QString kNoInverter = QStringLiteral("ＥＬパネルインバーターとの通信が出来ていません。");
const QString kAborted = QStringLiteral("中断しました。");
const QString kMeasured =
    QStringLiteral("計測が終了しました。 枚数を設定してフラット画像を撮影してください。");
const QString kNotMeasured = QStringLiteral("計測が出来ませんでした。露光時間を変更してください。");
const QString kConfirmSeries = QStringLiteral("フラット画像を撮影しますか");
const QString kConfirmTitle = QStringLiteral("実行確認");
const QString kSeriesDone = QStringLiteral("終了しました。");
const QString kBadFrameCount =
    QStringLiteral("撮像枚数が正しくありません。32767以下の数を入力してください。");
const QString kLinkReadFalse = QStringLiteral(
    "The camera application left the camera unlinked: LinkEnabled read false after it was set.");
const QString kTestFrameName = QStringLiteral("ADC_Temp.fit");

std::optional<int> frequencyOrNone(int hz) {
    return hz > 0 ? std::optional<int>(hz) : std::nullopt;
}

void tell(CaptureHost& host, const QString& text) {
    host.dialogs().message(MessageBox{text});
}

// Has the camera save the frame, and makes sure it did: a save that fails without an error must
// not pass for a saved frame.
void saveFrame(Camera& camera, const QString& path) {
    camera.SaveImage(path);
    if (!QFileInfo(path).isFile())
        throw CameraError(QStringLiteral("The camera application saved no file at %1.")
                              .arg(QDir::toNativeSeparators(path)));
}

// The box for the exception being handled: a camera error's text and detail, any other error's
// text.
MessageBox currentErrorBox() {
    try {
        throw;
    } catch (const CameraError& error) {
        MessageBox box{error.message()};
        box.detail = error.detail();
        return box;
    } catch (const std::exception& error) {
        const QString what = QString::fromLocal8Bit(error.what());
        return MessageBox{what.isEmpty() ? QStringLiteral("Unexpected error.") : what};
    } catch (...) {
        return MessageBox{QStringLiteral("Unexpected error.")};
    }
}

} // namespace

int binningFromText(const QString& text) {
    return text == QStringLiteral("２") ? 2 : 1;
}

int filterFromText(const QString& text) {
    for (int slot = 0; slot < 8; ++slot)
        if (text == QStringLiteral("Filter%1").arg(slot + 1))
            return slot;
    return 0;
}

std::optional<int> frameCountFromText(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    const double whole = std::floor(value);
    if (whole > kMaxFrameCount)
        return std::nullopt;
    return whole <= 0 ? 0 : static_cast<int>(whole);
}

QString flatFileName(int number) {
    return frameFileName(QStringLiteral("Flat-"), number);
}

int nextFlatNumber(const QString& folder) {
    return nextFrameNumber(folder, QStringLiteral("Flat-"));
}

QString frameFileName(const QString& prefix, int number) {
    return (prefix + signRoomText(number) + QStringLiteral(".fit")).trimmed();
}

int nextFrameNumber(const QString& folder, const QString& prefix) {
#ifdef Q_OS_WIN
    const auto sensitivity = QRegularExpression::CaseInsensitiveOption;
#else
    const auto sensitivity = QRegularExpression::NoPatternOption;
#endif
    // Only the names frameFileName gives: no leading zeros.
    const QRegularExpression name(
        QStringLiteral("^%1 ([1-9][0-9]{0,8})\\.fit$").arg(QRegularExpression::escape(prefix)), sensitivity);
    int highest = 0;
    for (const QString& entry : QDir(folder).entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        const QRegularExpressionMatch match = name.match(entry);
        if (match.hasMatch())
            highest = std::max(highest, match.captured(1).toInt());
    }
    return highest + 1;
}

FlatCapture::FlatCapture(CaptureHost& host) : m_host(host) {}

void FlatCapture::abort() {
    CaptureState state = m_host.state();
    state.ADC_Value = 0;
    state.Exp_Time = lenientNumber(m_host.exposureText());
    state.Stop_Flag = 1;
}

void FlatCapture::measure() {
    try {
        m_host.setMeasureCaption(kBusyCaption);
        if (!m_host.panelReportedOn()) {
            tell(m_host, kNoInverter);
            m_host.setMeasureCaption(kMeasureCaption);
            return;
        }
        m_host.setStartButtonsEnabled(false);
        runMeasurement();
    } catch (const ProgramEnding&) {
        throw;
    } catch (...) {
        m_host.dialogs().message(currentErrorBox());
    }
    m_host.setStartButtonsEnabled(true);
    m_host.setMeasureCaption(kMeasureCaption);
}

void FlatCapture::runMeasurement() {
    CaptureState state = m_host.state();
    const quint64 losses = m_host.portLosses();
    state.Exp_Time = lenientNumber(m_host.exposureText());
    m_host.beep();
    m_host.send(QLatin1String(protocol::kPanelOn));
    Wait(kSwitchOnWaitMs);
    m_host.sendLevel(0, 2);
    m_host.setSlider(0);
    Wait(kSettleWaitMs);
    // An abort pressed before or during the start-up waits is dropped.
    state.Stop_Flag = 0;

    state.ADC_Target = lenientNumber(m_host.targetText());
    state.ADC_High = state.ADC_Target + kHighMargin;
    state.ADC_Low = state.ADC_Target - kLowMargin;

    // A lost port leaves the panel's brightness unknown: no later level would belong to a step.
    const auto stopIfLost = [&](int step) {
        if (m_host.portLosses() == losses)
            return false;
        state.ADC_Value = 0;
        MessageBox box = m_host.portMessage();
        box.detail = QStringLiteral("The port was lost during the measurement, after step %1. Measure again "
                                    "once the panel answers.")
                         .arg(step);
        m_host.dialogs().message(box);
        return true;
    };

    // One step of the measurement: the port checked, the step's frame out, the abort checked, one
    // test exposure.
    class WindowProbe : public StepProbe {
    public:
        WindowProbe(FlatCapture& capture, CaptureHost& host, quint64 losses)
            : m_capture(capture), m_host(host), m_losses(losses) {}
        std::optional<double> levelAt(int step) override {
            const std::optional<StepFrame> frame = frameAt(step);
            return frame ? std::optional(frame->level) : std::nullopt;
        }
        std::optional<StepFrame> frameAt(int step) override {
            if (m_host.portLosses() != m_losses) {
                m_lost = true;
                return std::nullopt;
            }
            m_host.beep();
            m_host.sendLevel(step, 1);
            m_host.setSlider(step);
            CaptureState state = m_host.state();
            if (state.Stop_Flag == 1) {
                state.Stop_Flag = 0;
                return std::nullopt;
            }
            m_lastStep = step;
            // Tested at the step that produced it: the panel stays where the level was reached.
            return m_capture.testFrame();
        }
        void leaveAt(int step) override {
            m_host.sendLevel(step, 1);
            m_host.setSlider(step);
        }
        bool lost() const { return m_lost; }
        int lastStep() const { return m_lastStep; }

    private:
        FlatCapture& m_capture;
        CaptureHost& m_host;
        quint64 m_losses;
        bool m_lost = false;
        int m_lastStep = 0;
    } probe(*this, m_host, losses);

    const SearchMethod method = m_host.searchMethod();
    const TrainedKey key{filterFromText(m_host.filterText()), binningFromText(m_host.binningText()),
                         state.Exp_Time, m_host.panelFrequency()};
    const QString tablePath = TrainedTable::pathIn(m_host.programFolder());
    SearchStart start;
    if (method == SearchMethod::Fast) {
        QString warning;
        start = TrainedTable::load(tablePath, &warning).startFor(key);
        if (!warning.isEmpty())
            qWarning("%s", qPrintable(warning));
    }

    const SearchResult result = searchBrightness(method, probe, state.ADC_Target, start);
    switch (result.outcome) {
    case SearchResult::Outcome::Stopped:
        if (probe.lost()) {
            stopIfLost(probe.lastStep());
            return;
        }
        tell(m_host, kAborted);
        return;
    case SearchResult::Outcome::Accepted:
        // Remembered only for the setting it was found with: filter, binning and frequency can
        // change while the measurement runs.
        if (method == SearchMethod::Fast &&
            key == TrainedKey{filterFromText(m_host.filterText()), binningFromText(m_host.binningText()),
                              state.Exp_Time, m_host.panelFrequency()})
            if (const auto entry = result.entry(state.ADC_Target)) {
                QString warning;
                if (!rememberTrained(tablePath, key, *entry, &warning))
                    qWarning("%s", qPrintable(warning));
            }
        state.ADC_Value = 0;
        tell(m_host, kMeasured);
        return;
    case SearchResult::Outcome::CannotReach:
    case SearchResult::Outcome::TooBright: // clipped before the target: as for a level never reached
        break;
    }
    if (stopIfLost(result.panelStep))
        return;
    state.ADC_Value = 0;
    tell(m_host, kNotMeasured);
}

StepFrame FlatCapture::testFrame() {
    CaptureState state = m_host.state();
    const int binning = binningFromText(m_host.binningText());
    const int filter = filterFromText(m_host.filterText());
    const std::unique_ptr<Camera> camera = linkedCamera();
    // The previous step's frame goes first, so it can never be measured for this step.
    const QString path = joinPath(m_host.programFolder(), kTestFrameName);
    if (QFile previous(path); previous.exists() && !previous.remove())
        throw CameraError(QStringLiteral("Cannot remove the previous test frame %1: %2")
                              .arg(QDir::toNativeSeparators(path), previous.errorString()));
    camera->Expose(state.Exp_Time, binning, filter);
    waitForImage(*camera);
    saveFrame(*camera, path);
    const OpenFrame frame = openSavedFrame(path);
    state.ADC_Value = frame.level;
    Wait(kBeforeCloseWaitMs);
    frame.document->close();
    return {frame.level, frame.clipped};
}

FlatCapture::OpenFrame FlatCapture::openSavedFrame(const QString& path) {
    OpenFrame frame{std::make_unique<DocumentGuard>(m_host.cameraApp().createDocument())};
    DocumentGuard& document = *frame.document;
    if (!document)
        throw CameraError(QStringLiteral("The camera application gave no image document."));
    document->OpenFile(path);
    const double low = document->StretchMin();
    const double high = document->StretchMax();
    frame.level = low + (high - low);
    frame.clipped = document->clipped().value_or(false);
    m_host.showLevel(signRoomText(frame.level));
    return frame;
}

std::unique_ptr<Camera> FlatCapture::linkedCamera() {
    std::unique_ptr<Camera> camera;
    try {
        camera = m_host.cameraApp().createCamera();
        if (!camera)
            throw CameraLinkError(QStringLiteral("The camera application gave no camera object."));
        camera->setLinkEnabled(true);
        if (!camera->LinkEnabled())
            throw CameraLinkError(kLinkReadFalse);
    } catch (const CameraLinkError&) {
        throw;
    } catch (const CameraError& error) {
        throw CameraLinkError(error.detail().isEmpty() ? error.message()
                                                       : error.message() + u'\n' + error.detail());
    }
    camera->setCoolerOn(true);
    return camera;
}

void FlatCapture::series() {
    const auto restore = [this] {
        m_host.setStartButtonsEnabled(true);
        m_host.setSeriesInputsEnabled(true);
        m_host.setSeriesCaption(kSeriesCaption);
    };
    try {
        m_host.setStartButtonsEnabled(false);
        m_host.setSeriesInputsEnabled(false);
        MessageBox confirm{kConfirmSeries, kConfirmTitle, BoxButtons::YesNoCancel, BoxIcon::Question, 2};
        if (m_host.dialogs().message(confirm) != BoxAnswer::Yes) {
            restore();
            return;
        }
        // The user has just asked for this series: an abort left from before does not stop it.
        m_host.state().Stop_Flag = 0;

        const std::optional<int> frameCount = frameCountFromText(m_host.frameCountText());
        if (!frameCount) {
            restore();
            tell(m_host, kBadFrameCount);
            return;
        }
        if (!runSeries(*frameCount)) {
            restore();
            return;
        }
    } catch (const ProgramEnding&) {
        throw;
    } catch (...) {
        const MessageBox box = currentErrorBox();
        restore();
        m_host.dialogs().message(box);
        return;
    }
    restore();
    tell(m_host, kSeriesDone);
}

bool FlatCapture::runSeries(int frameCount) {
    CaptureState state = m_host.state();
    const quint64 losses = m_host.portLosses();
    const int binning = binningFromText(m_host.binningText());
    const int filter = filterFromText(m_host.filterText());
    state.Exp_Time = lenientNumber(m_host.exposureText());
    if (state.Exp_Time < 0)
        state.Exp_Time = 1;
    if (state.Save_Path.isEmpty())
        state.Save_Path = joinPath(m_host.programFolder(), QString());

    const std::unique_ptr<Camera> camera = linkedCamera();
    m_host.setSeriesCaption(kBusyCaption);

    int number = nextFlatNumber(state.Save_Path);
    QStringList saved;
    for (int frame = 1; frame <= frameCount; ++frame) {
        if (m_host.portLosses() != losses) {
            MessageBox box = m_host.portMessage();
            const QString names =
                saved.size() == 1 ? saved.front() : saved.front() + QStringLiteral(" to ") + saved.back();
            box.detail =
                saved.isEmpty()
                    ? QStringLiteral("The port was lost before the first frame; no frame was saved.")
                    : QStringLiteral("The port was lost during the series, which stopped after frame "
                                     "%1. The frames saved (%2 in %3) stay valid: a series does not "
                                     "change the panel.")
                          .arg(saved.size())
                          .arg(names, QDir::toNativeSeparators(state.Save_Path));
            m_host.dialogs().message(box);
            return false;
        }
        if (state.Stop_Flag == 1) {
            state.Stop_Flag = 0;
            tell(m_host, kAborted);
            return true;
        }
        camera->Expose(state.Exp_Time, binning, filter);
        waitForImage(*camera);
        // A file that appeared meanwhile is stepped over: a series never overwrites one.
        while (QFileInfo::exists(joinPath(state.Save_Path, flatFileName(number))))
            ++number;
        const QString name = flatFileName(number++);
        const QString path = joinPath(state.Save_Path, name);
        saveFrame(*camera, path);
        writeFrameHeader(path, {FrameType::Flat, state.Exp_Time, binning,
                                filterLabel(camera->filterName(filter), filter), m_host.panelStep(),
                                frequencyOrNone(m_host.panelFrequency())});
        saved << name;
        const OpenFrame opened = openSavedFrame(path);
        Wait(kBeforeCloseWaitMs);
        opened.document->close();
    }
    return true;
}

} // namespace brivane
