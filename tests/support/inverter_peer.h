#pragma once

// The simulated inverter as the far end of a real serial line (a pseudo-terminal; an in-process
// device where there are none), with a bare COMM or the window talking to it.

#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/quiet_line.h"
#include "support/scripted_dialogs.h"
#include "ui/form1.h"
#include "ui/panel_view.h"

#include <QTemporaryDir>

#include <memory>

namespace brivane::test {

// Records every change the reply interpreter makes, in order, as "on=#rrggbb", "off=#rrggbb",
// "colour=#rrggbb", "text=86%" and "beep".
class RecordingDisplay : public PanelView {
public:
    void setOnLampColour(const QColor& colour) override { events << QStringLiteral("on=") + colour.name(); }
    void setOffLampColour(const QColor& colour) override { events << QStringLiteral("off=") + colour.name(); }
    void setReadoutColour(const QColor& colour) override {
        events << QStringLiteral("colour=") + colour.name();
    }
    void setReadoutText(const QString& text) override { events << QStringLiteral("text=") + text; }
    void beep() override { events << QStringLiteral("beep"); }

    QStringList events;
};

struct InverterPeer {
    explicit InverterPeer(InverterSim::Options options = {}) : sim(std::make_unique<InverterSim>(options)) {
        started = sim->start();
    }

    // A COMM on COM `port` mapped to the simulator, its replies shown on display; opened unless told not to.
    COMM& link(int port = 3, bool open = true) {
        PortMap ports;
        ports.map(port, sim->devicePath());
        comm = std::make_unique<COMM>(ports);
        QObject::connect(comm.get(), &COMM::replyReceived, [this](const Reply& r) { showReply(r, display); });
        comm->setPortNumber(port);
        if (open)
            comm->COMM1open();
        return *comm;
    }

    // The window, shown, with its program folder in dir and the COM numbers `onSim` mapped to the
    // simulator (other fields of context as given).
    Form1& window(Form1Context context = {}, std::initializer_list<int> onSim = {1}) {
        context.dialogs = &dialogs;
        if (context.programFolder.isEmpty())
            context.programFolder = dir.path();
        for (int port : onSim)
            context.ports.map(port, sim->devicePath());
        form = std::make_unique<Form1>(std::move(context));
        form->show();
        return *form;
    }

    // What the simulator received, once the line has been quiet for a moment.
    QByteArray wire() const { return receivedWhenQuiet(*sim); }

    QTemporaryDir dir;
    std::unique_ptr<InverterSim> sim;
    bool started = false;
    ScriptedDialogs dialogs;
    RecordingDisplay display;
    std::unique_ptr<COMM> comm;
    std::unique_ptr<Form1> form;
};

} // namespace brivane::test
