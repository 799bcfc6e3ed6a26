// Panel drive controls, connect/disconnect, start-up and shutdown, settings file, always-on-top.
#include "ui/form1.h"

#include "core/numbers.h"
#include "core/wait.h"
#include "link/comm.h"
#include "link/protocol.h"
#include "ui/controls.h"
#include "ui/settings_file.h"
#include "ui/topmost.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace brivane {

namespace {

constexpr double kSwitchOnWaitMs = 1000.0;

QString frame(const char* text) {
    return QLatin1String(text);
}

} // namespace

void Form1::Form_Load() {
    Command3(0)->setVisible(false);
    Command3(1)->setVisible(false);
    load_comm();
    ADC_Value = 0;
    Exp_Time = lenientNumber(Text1(0)->text());
}

void Form1::Form_Unload() {
    if (m_ended)
        return;
    m_ended = true;
    Command3_Click(0);
    m_comm->MODE_Com(frame(protocol::kPanelOff));
    m_comm->COMM1close();
    // Every Wait in progress throws ProgramEnding, so an interrupted operation does nothing more.
    requestProgramEnd();
    emit programEnded();
}

void Form1::Timer1_Timer() {
    handle([&] {
        if (Timer1.interval() != 0 && m_comm->PortOpen()) {
            Timer1.setInterval(0);
            Timer1.stop();
        }
    });
}

void Form1::Command1_Click() {
    handle([&] { m_comm->MODE_Com(frame(protocol::kFrequency1kHz)); });
}

void Form1::Command4_Click() {
    handle([&] { m_comm->MODE_Com(frame(protocol::kFrequency500Hz)); });
}

void Form1::Command2_MouseDown(int Index, Qt::MouseButton, Qt::KeyboardModifiers) {
    handle([&] {
        Command3_Click(0);
        if (Index == 0) {
            m_comm->MODE_Com(frame(protocol::kPanelOn));
            Wait(kSwitchOnWaitMs);
            m_comm->sendLevel(protocol::kMaxLevel, 2);
            Slider1(0)->setValue(protocol::kMaxLevel);
        } else {
            m_comm->MODE_Com(frame(protocol::kPanelOff));
        }
    });
}

// Also called by shutdown, after the program has been marked as ended.
void Form1::Command3_Click(int Index) {
    if (Index == 0) {
        m_comm->COMM1open();
        return;
    }
    m_comm->MODE_Com(frame(protocol::kPanelOff));
    if (m_comm->PortOpen())
        m_comm->COMM1close();
}

void Form1::Command9_Click(int Index) {
    handle([&] {
        QSlider* slider = Slider1(0);
        const int level = slider->value();
        if (Index == 0) {
            if (level >= protocol::kMaxLevel)
                return;
            slider->setValue(level + 1);
        } else {
            if (level <= protocol::kMinLevel)
                return;
            slider->setValue(level - 1);
        }
        m_comm->MODE_Com(levelFrame(slider->value()));
    });
}

void Form1::Slider1_MouseUp(int Index, Qt::MouseButton, Qt::KeyboardModifiers) {
    handle([&] { m_comm->MODE_Com(levelFrame(Slider1(Index)->value())); });
}

void Form1::Combo1_Click() {
    handle([&] {
        m_comm->COMM1close();
        if (const auto port = portFromComboText(Combo1->currentText())) {
            Save_comm(QString::number(*port));
            m_comm->setPortNumber(*port);
        }
        m_comm->COMM1open();
    });
}

void Form1::Command7_Click() {
    handle([&] {
        TopMost_Flag = TopMost_Flag == 0 ? 1 : 0;
        setWindowTopmost(*this, TopMost_Flag == 1);
    });
}

void Form1::load_comm() {
    if (const auto port = readPortSetting(settingsFilePath(programFolder()))) {
        // Selecting the list entry keeps arrow-key choices moving on from the stored port.
        Combo1->setCurrentIndex(Combo1->findText(QStringLiteral("COM%1").arg(*port)));
        m_comm->setPortNumber(*port);
    }
}

void Form1::Save_comm(const QString& comm_ch) {
    writePortSetting(settingsFilePath(programFolder()), comm_ch);
}

void Form1::showPortTips() {
#ifndef Q_OS_WIN
    m_comm->refreshPorts();
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        const int index = Combo1->findText(QStringLiteral("COM%1").arg(port));
        if (index >= 0)
            Combo1->setItemData(index, portToolTip(m_comm->ports(), port), Qt::ToolTipRole);
    }
    Combo1->setToolTip(portToolTip(m_comm->ports(), m_comm->portNumber()));
#endif
}

} // namespace brivane
