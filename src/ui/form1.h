#pragma once

#include "capture/flat_capture.h"
#include "core/dialogs.h"
#include "link/port_map.h"
#include "ui/control_array.h"
#include "ui/panel_view.h"

#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace brivane {

class CameraApp;
class COMM;
class ClickablePicture;
class LineControl;
class PressButton;
class ReleaseSlider;
class ShapeControl;

// What the window is built with: where dialogs go, how COM ports map to devices, which camera,
// and the program's folder (settings file, test frame, default save folder).
struct Form1Context {
    Dialogs* dialogs = nullptr;               // not owned; outlives the window
    PortMap ports;                            // COM1..COM20 to device paths
    std::shared_ptr<CameraApp> camera;        // the camera application back-end
    QString programFolder;                    // decided once at start-up
    SearchMethod search = SearchMethod::Ramp; // how the measurement finds its step
};

// The main window: owns every control, the link COMM and the capture state. Handlers keep the
// names of their controls and events and forward the work to link/ and capture/.
class Form1 : public QWidget, public PanelView {
    Q_OBJECT
public:
    explicit Form1(Form1Context context, QWidget* parent = nullptr);
    ~Form1() override;

    COMM& comm() { return *m_comm; }
    Dialogs& dialogs() { return *m_context.dialogs; }
    CameraApp& cameraApp() { return *m_context.camera; }
    const QString& programFolder() const { return m_context.programFolder; }
    SearchMethod searchMethod() const { return m_context.search; }

    // The inverter last reported the panel on exactly when the ON lamp is orange.
    bool panelReportedOn() const;

    // The capture values the measurement and the series share, kept for the whole run.
    CaptureState captureState();
    int topMostFlag() const { return TopMost_Flag; }

    // The system beep, for the "fqs" reply and the measurement's steps.
    void beep() override;

    // Controls, named as on the form.
    ControlArray<QLabel> Label1; // Label1(0)
    ControlArray<QLabel> Label2; // Label2(0..11)
    ControlArray<QLabel> Label3; // Label3(1)
    QLabel* Label5 = nullptr;
    QLabel* Label7 = nullptr;
    ControlArray<QPushButton> Command5; // 0 series, 1 abort, 2 measure
    ControlArray<PressButton> Command2; // 0 ON, 1 OFF (act on mouse-button press)
    ControlArray<QPushButton> Command3; // 0 connect, 1 disconnect (hidden)
    ControlArray<QPushButton> Command9; // 0 up, 1 down
    QPushButton* Command1 = nullptr;    // 1kHz
    QPushButton* Command4 = nullptr;    // 500Hz
    QPushButton* Command7 = nullptr;    // always on top
    ControlArray<QLineEdit> Text1;      // 0 exposure, 1 frame count, 2 target level
    QComboBox* Combo1 = nullptr;        // COM port
    QComboBox* Combo2 = nullptr;        // filter
    QComboBox* Combo3 = nullptr;        // binning
    ControlArray<ShapeControl> Shape1;  // lamps
    ControlArray<ShapeControl> Shape2;  // group frames
    LineControl* Line1 = nullptr;
    LineControl* Line2 = nullptr;
    LineControl* Line3 = nullptr;
    QLabel* Image1 = nullptr;
    ControlArray<QLabel> Image2;
    QLabel* Image3 = nullptr;
    QLabel* Image4 = nullptr;
    ClickablePicture* Picture1 = nullptr;
    ControlArray<ReleaseSlider> Slider1; // Slider1(0)
    QTimer Timer1;                       // interval 0, never started

    // Handlers. Each returns at once once the program has ended, and an operation abandoned
    // because the program is ending stops inside its handler.
    void Form_Load();
    void Form_Unload();
    void Timer1_Timer();
    void Command1_Click();
    void Command2_MouseDown(int Index, Qt::MouseButton button, Qt::KeyboardModifiers shift);
    void Command3_Click(int Index);
    void Command4_Click();
    void Command5_Click(int Index);
    void Command7_Click();
    void Command9_Click(int Index);
    void Slider1_MouseUp(int Index, Qt::MouseButton button, Qt::KeyboardModifiers shift);
    void Combo1_Click();
    void Picture1_Click();

    // True once Form_Unload has run: the program is over and no handler acts any more.
    bool ended() const { return m_ended; }

signals:
    // Form_Unload has run: the program ends once control is back in the main loop.
    void programEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

    // PanelView: what the inverter's replies change.
    void setOnLampColour(const QColor& colour) override;
    void setOffLampColour(const QColor& colour) override;
    void setReadoutColour(const QColor& colour) override;
    void setReadoutText(const QString& text) override;

private:
    void createControls();
    void wireHandlers();
    // Runs a handler's body: nothing once the program has ended; a ProgramEnding thrown by a wait
    // ends the body there.
    void handle(const std::function<void()>& body);

    // Settings file com_no.txt in the program's folder.
    void load_comm();
    void Save_comm(const QString& comm_ch);

    Form1Context m_context;
    std::unique_ptr<COMM> m_comm;
    bool m_ended = false;

    // Capture state, kept for the whole run.
    double Exp_Time = 0.0;
    double ADC_Target = 0.0;
    double ADC_Low = 0.0;
    double ADC_High = 0.0;
    double ADC_Value = 0.0;
    int Stop_Flag = 0;
    QString Save_Path;
    int TopMost_Flag = 0;
};

} // namespace brivane
