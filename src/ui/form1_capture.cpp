// Flat capture handlers: measurement, abort, flat series, save-folder chooser.
#include "ui/form1.h"

#include "capture/flat_capture.h"
#include "capture/folder_chooser.h"
#include "link/comm.h"
#include "ui/controls.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <cmath>

namespace brivane {

namespace {

// The window as the capture operations see it.
class Form1CaptureHost : public CaptureHost {
public:
    explicit Form1CaptureHost(Form1& form) : m_form(form) {}

    QString exposureText() const override { return m_form.Text1(0)->text(); }
    QString frameCountText() const override { return m_form.Text1(1)->text(); }
    QString targetText() const override { return m_form.Text1(2)->text(); }
    QString binningText() const override { return m_form.Combo3->currentText(); }
    QString filterText() const override { return m_form.Combo2->currentText(); }
    bool panelReportedOn() const override { return m_form.panelReportedOn(); }

    void send(const QString& frame) override { m_form.comm().MODE_Com(frame); }
    void sendLevel(int level, int times) override { m_form.comm().sendLevel(level, times); }
    void beep() override { m_form.beep(); }
    void setSlider(int level) override { m_form.Slider1(0)->setValue(level); }
    void showLevel(const QString& text) override { m_form.Label5->setText(text); }

    void setMeasureCaption(const QString& caption) override { m_form.Command5(2)->setText(caption); }
    void setSeriesCaption(const QString& caption) override { m_form.Command5(0)->setText(caption); }
    void setStartButtonsEnabled(bool enabled) override {
        m_form.Command5(0)->setEnabled(enabled);
        m_form.Command5(2)->setEnabled(enabled);
    }
    void setSeriesInputsEnabled(bool enabled) override {
        m_form.Text1(1)->setEnabled(enabled);
        m_form.Picture1->setEnabled(enabled);
    }

    SearchMethod searchMethod() const override { return m_form.searchMethod(); }
    int panelFrequency() const override {
        const std::optional<double> tens = m_form.comm().panelStatus().frequency;
        return tens ? static_cast<int>(std::lround(*tens * 10)) : 0;
    }

    Dialogs& dialogs() override { return m_form.dialogs(); }
    CameraApp& cameraApp() override { return m_form.cameraApp(); }
    CaptureState state() override { return m_form.captureState(); }
    QString programFolder() const override { return m_form.programFolder(); }

private:
    Form1& m_form;
};

} // namespace

void Form1::Command5_Click(int Index) {
    handle([&] {
        Form1CaptureHost host(*this);
        FlatCapture capture(host);
        switch (Index) {
        case 0:
            capture.series();
            break;
        case 1:
            capture.abort();
            break;
        case 2:
            capture.measure();
            break;
        default:
            break;
        }
    });
}

void Form1::Picture1_Click() {
    handle([&] { chooseSaveFolder(dialogs(), Save_Path); });
}

} // namespace brivane
