#include "capture/flat_capture.h"

#include "capture/camera.h"
#include "capture/trained_table.h"
#include "core/dialogs.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/wait.h"
#include "link/protocol.h"

#include <QDir>
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

void tell(CaptureHost& host, const QString& text) {
    host.dialogs().message(MessageBox{text});
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
    return (QStringLiteral("Flat-") + signRoomText(number) + QStringLiteral(".fit")).trimmed();
}

int nextFlatNumber(const QString& folder) {
#ifdef Q_OS_WIN
    const auto sensitivity = QRegularExpression::CaseInsensitiveOption;
#else
    const auto sensitivity = QRegularExpression::NoPatternOption;
#endif
    // Only the names flatFileName gives: no leading zeros.
    static const QRegularExpression name(QStringLiteral("^Flat- ([1-9][0-9]{0,8})\\.fit$"), sensitivity);
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

    // One step of the measurement: the step's frame out, the abort checked, one test exposure.
    class WindowProbe : public StepProbe {
    public:
        WindowProbe(FlatCapture& capture, CaptureHost& host) : m_capture(capture), m_host(host) {}
        std::optional<double> levelAt(int step) override {
            m_host.beep();
            m_host.sendLevel(step, 1);
            m_host.setSlider(step);
            CaptureState state = m_host.state();
            if (state.Stop_Flag == 1) {
                state.Stop_Flag = 0;
                return std::nullopt;
            }
            // Tested at the step that produced it: the panel stays where the level was reached.
            return m_capture.ADC_Measure();
        }
        void leaveAt(int step) override {
            m_host.sendLevel(step, 1);
            m_host.setSlider(step);
        }

    private:
        FlatCapture& m_capture;
        CaptureHost& m_host;
    } probe(*this, m_host);

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
        break;
    }
    state.ADC_Value = 0;
    tell(m_host, kNotMeasured);
}

double FlatCapture::ADC_Measure() {
    CaptureState state = m_host.state();
    const int binning = binningFromText(m_host.binningText());
    const int filter = filterFromText(m_host.filterText());
    const std::unique_ptr<Camera> camera = linkedCamera();
    camera->Expose(state.Exp_Time, binning, filter);
    waitForImage(*camera);
    const QString path = joinPath(m_host.programFolder(), kTestFrameName);
    camera->SaveImage(path);
    const OpenFrame frame = openSavedFrame(path);
    state.ADC_Value = frame.level;
    Wait(kBeforeCloseWaitMs);
    frame.document->Close();
    return frame.level;
}

FlatCapture::OpenFrame FlatCapture::openSavedFrame(const QString& path) {
    OpenFrame frame{m_host.cameraApp().createDocument()};
    if (!frame.document)
        throw CameraError(QStringLiteral("The camera application gave no image document."));
    frame.document->OpenFile(path);
    const double low = frame.document->StretchMin();
    const double high = frame.document->StretchMax();
    frame.level = low + (high - low);
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
        runSeries(*frameCount);
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

void FlatCapture::runSeries(int frameCount) {
    CaptureState state = m_host.state();
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
    for (int frame = 1; frame <= frameCount; ++frame) {
        if (state.Stop_Flag == 1) {
            state.Stop_Flag = 0;
            tell(m_host, kAborted);
            return;
        }
        camera->Expose(state.Exp_Time, binning, filter);
        waitForImage(*camera);
        // A file that appeared meanwhile is stepped over: a series never overwrites one.
        while (QFileInfo::exists(joinPath(state.Save_Path, flatFileName(number))))
            ++number;
        const QString path = joinPath(state.Save_Path, flatFileName(number));
        ++number;
        camera->SaveImage(path);
        const OpenFrame saved = openSavedFrame(path);
        Wait(kBeforeCloseWaitMs);
        saved.document->Close();
    }
}

} // namespace brivane
