#pragma once

// Shared pieces of the in-process benchmarks: CPU time, percentiles, a dialog answerer.

#include "core/dialogs.h"
#include "sim/inverter_sim.h"
#include "ui/form1.h"

#include <QStringList>

#include <algorithm>
#include <chrono>
#include <vector>

#include <sys/resource.h>

namespace brivane::bench {

inline std::chrono::microseconds cpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto us = [](const timeval& t) { return std::int64_t(t.tv_sec) * 1000000 + t.tv_usec; };
    return std::chrono::microseconds(us(usage.ru_utime) + us(usage.ru_stime));
}

// The value at fraction q (0..1) of the sorted values, nearest rank.
inline double percentile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

// Answers every box with its first button and remembers the texts.
class AnsweringDialogs : public Dialogs {
public:
    BoxAnswer message(const MessageBox& box) override {
        texts << box.text;
        return box.buttons == BoxButtons::YesNoCancel ? BoxAnswer::Yes : BoxAnswer::Ok;
    }
    QString chooseFolder(const QString&) override { return QString(); }
    QStringList texts;
};

// A window context with every COM port on the simulated inverter.
inline Form1Context simulatedContext(Dialogs& dialogs, const InverterSim& sim, const QString& programFolder) {
    Form1Context context;
    context.dialogs = &dialogs;
    context.programFolder = programFolder;
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port)
        context.ports.map(port, sim.devicePath());
    return context;
}

} // namespace brivane::bench
