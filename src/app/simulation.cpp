#include "app/simulation.h"

#include "sim/inverter_sim.h"

namespace brivane {

Simulation::Simulation(PanelCurve curve) : m_curve(curve) {}
Simulation::~Simulation() = default;

bool Simulation::start(QString& error) {
    if (!m_inverter) {
        InverterSim::Options options;
        options.curve = m_curve;
        m_inverter = std::make_unique<InverterSim>(options);
    }
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

std::optional<PanelCurve> parsePanelCurve(const QString& value) {
    if (value == QLatin1String("linear"))
        return PanelCurve::Linear;
    if (value == QLatin1String("el"))
        return PanelCurve::El;
    return std::nullopt;
}

std::optional<SimSensor> parseSimSensor(const QString& value) {
    const QStringList parts = value.split(u':');
    if (parts.size() > 2)
        return std::nullopt;
    SimSensor sensor;
    if (parts[0] == QLatin1String("colour") || parts[0] == QLatin1String("color"))
        sensor.colour = true;
    else if (parts[0] != QLatin1String("mono"))
        return std::nullopt;
    if (parts.size() == 2) {
        bool ok = false;
        const int maxAdu = parts[1].toInt(&ok);
        if (!ok || maxAdu < 1 || maxAdu > 65535)
            return std::nullopt;
        sensor.maxAdu = maxAdu;
    }
    return sensor;
}

QString panelCurveHelp(const QString& byDefault) {
    return QStringLiteral(
               "With --simulate: how the simulated panel's light follows its step: linear, or el (dark "
               "below step 4, then rising as a power of 1.6, a little dimmer in its first minutes "
               "on, like an EL panel). Default: %1.")
        .arg(byDefault);
}

QString simCameraHelp() {
    return QStringLiteral("The simulated camera's sensor: mono (the default) or colour (an RGGB mosaic, the "
                          "channels at different gains), optionally :MAXADU, the value where its pixels clip "
                          "(default 65535), e.g. colour:4095.");
}

bool readSimulationOptions(const QCommandLineParser& parser, const QCommandLineOption& curveOption,
                           const QCommandLineOption& sensorOption, PanelCurve& curve, SimSensor& sensor,
                           QString& error) {
    if (parser.isSet(curveOption)) {
        const auto parsed = parsePanelCurve(parser.value(curveOption));
        if (!parsed) {
            error =
                QStringLiteral("--panel-curve wants linear or el, not \"%1\"").arg(parser.value(curveOption));
            return false;
        }
        curve = *parsed;
    }
    if (parser.isSet(sensorOption)) {
        const auto parsed = parseSimSensor(parser.value(sensorOption));
        if (!parsed) {
            error = QStringLiteral(
                        "--sim-camera wants mono or colour, optionally :MAXADU (1 to 65535), not \"%1\"")
                        .arg(parser.value(sensorOption));
            return false;
        }
        sensor = *parsed;
    }
    return true;
}

} // namespace brivane
