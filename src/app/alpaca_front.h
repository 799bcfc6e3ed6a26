#pragma once

#include "alpaca/alpaca_server.h"

#include <QString>

#include <memory>

namespace brivane {

struct Options;

// Names, versions and the stable UniqueID (kept in the program's folder).
AlpacaIdentity alpacaIdentity(const QString& programFolder);

// Starts the server over seat as the options say and prints where it listens; null with the
// reason in error.
std::unique_ptr<AlpacaServer> startAlpacaServer(PanelSeat& seat, const Options& options,
                                                const QString& programFolder, QString& error);

// --no-window: the server alone, over a COMM of its own on portNumber (the one com_no.txt names).
// Returns the exit code once the program is told to end (SIGINT, SIGTERM); the panel is switched
// off then.
int runAlpacaWithoutWindow(const Options& options, const QString& programFolder, int portNumber);

} // namespace brivane
