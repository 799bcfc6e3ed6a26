#pragma once

#include "link/port_map.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include <initializer_list>
#include <memory>
#include <optional>

namespace brivane {

// The built-in simulators for --simulate: a simulated inverter behind the program's COM ports,
// and the light it gives the simulated camera. Every front end of the program starts them here.
class Simulation {
public:
    explicit Simulation(PanelCurve curve = PanelCurve::Linear);
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
    PanelCurve m_curve;
    std::unique_ptr<InverterSim> m_inverter;
};

// The value of --panel-curve: "linear" or "el"; nullopt for anything else.
std::optional<PanelCurve> parsePanelCurve(const QString& value);
// The value of --sim-camera: "mono" or "colour" (an RGGB mosaic), each optionally followed by
// ":MAXADU" (1..65535), e.g. "colour:4095"; nullopt for anything else.
std::optional<SimSensor> parseSimSensor(const QString& value);

// Help texts of --panel-curve (with its default) and --sim-camera.
QString panelCurveHelp(const QString& byDefault);
QString simCameraHelp();
// Reads --panel-curve and --sim-camera when given; false with the reason in error for a bad value.
bool readSimulationOptions(const QCommandLineParser& parser, const QCommandLineOption& curveOption,
                           const QCommandLineOption& sensorOption, PanelCurve& curve, SimSensor& sensor,
                           QString& error);

} // namespace brivane
