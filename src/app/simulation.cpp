#include "app/simulation.h"

#include "sim/inverter_sim.h"

namespace brivane {

Simulation::Simulation() = default;
Simulation::~Simulation() = default;

bool Simulation::start(QString& error) {
    if (!m_inverter)
        m_inverter = std::make_unique<InverterSim>();
    if (m_inverter->start())
        return true;
    error = QStringLiteral("cannot start the simulated inverter: %1").arg(m_inverter->errorString());
    return false;
}

void Simulation::mapPorts(PortMap& ports, std::initializer_list<int> numbers) const {
    for (int number : numbers)
        if (number > 0)
            ports.map(number, devicePath());
}

QString Simulation::devicePath() const {
    return m_inverter ? m_inverter->devicePath() : QString();
}

PanelLevelSource Simulation::panelLight() const {
    return m_inverter ? lightOf(*m_inverter) : steadyPanel(0.0);
}

} // namespace brivane
