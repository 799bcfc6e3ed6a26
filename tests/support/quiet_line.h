#pragma once

#include "sim/inverter_sim.h"

#include <QTest>

namespace brivane::test {

// What the simulated inverter has received, once the line has been quiet for a moment.
inline QByteArray receivedWhenQuiet(const InverterSim& sim) {
    QByteArray seen;
    do {
        seen = sim.received();
        QTest::qWait(60);
    } while (seen != sim.received());
    return seen;
}

} // namespace brivane::test
