#pragma once

#include "link/port_map.h"
#include "sim/camera_sim.h"

#include <QString>

#include <initializer_list>
#include <memory>

namespace brivane {

class InverterSim;

// The built-in simulators for --simulate: a simulated inverter behind the program's COM ports,
// and the light it gives the simulated camera. Every front end of the program starts them here.
class Simulation {
public:
    Simulation();
    ~Simulation();

    // Starts the simulated inverter; false with the reason in error.
    bool start(QString& error);
    // Maps each of the COM ports (numbers > 0; others skipped) to the simulated inverter.
    void mapPorts(PortMap& ports, std::initializer_list<int> numbers) const;
    // The device the program opens to reach the simulated inverter.
    QString devicePath() const;
    // The simulated panel's light, for the simulated camera; valid while this object lives.
    PanelLevelSource panelLight() const;

private:
    std::unique_ptr<InverterSim> m_inverter;
};

} // namespace brivane
