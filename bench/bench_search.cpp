// The brightness search on the simulated panel and camera: the ramp, a plain bisection and the
// fast search, cold (nothing trained) and warm (from the entry the cold search left), over cases
// of target, exposure, filter and binning. Each test exposure goes through the real link (the
// step's frame echoed by the simulated inverter before the exposure) and the simulated camera,
// whose frames are measured as the window measures them. The simulated camera runs its clock
// fast; wall time is given for a camera that takes the exposure time plus a 2 s download.
// SEARCH_TRACE=1 prints each search's exposures (step:level) under its case.
#include "capture/brightness_search.h"
#include "capture/camera.h"
#include "capture/fits_document.h"
#include "capture/trained_table.h"
#include "link/comm.h"
#include "link/protocol.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace brivane;

namespace {

constexpr double kDownloadSeconds = 2.0;
constexpr double kClockScale = 0.01; // a 5 s exposure takes 50 ms

struct Case {
    int filter; // slot
    int binning;
    double exposure;
    double target;
};

// Targets 5000..60000, exposures 0.2..5 s, Filter1 and Filter4, both binnings, one out of reach.
const std::vector<Case> kCases = {
    {0, 1, 1.0, 30000}, {0, 1, 0.2, 5000},  {0, 1, 5.0, 60000}, {0, 2, 1.0, 30000}, {0, 2, 0.5, 20000},
    {3, 1, 2.0, 40000}, {3, 1, 5.0, 60000}, {3, 2, 0.2, 10000}, {3, 2, 1.0, 50000}, {0, 1, 0.5, 15000},
    {3, 1, 0.2, 5000},  {0, 2, 5.0, 45000}, {3, 1, 3.0, 25000}, {3, 1, 0.2, 60000},
};

class SimProbe : public StepProbe {
public:
    SimProbe(COMM& comm, Camera& camera, const Case& c, QString path)
        : m_comm(comm), m_camera(camera), m_case(c), m_path(std::move(path)) {}
    std::optional<double> levelAt(int step) override {
        m_comm.sendLevel(step, 1);
        m_camera.Expose(m_case.exposure, m_case.binning, m_case.filter);
        waitForImage(m_camera, std::chrono::milliseconds(2));
        m_camera.SaveImage(m_path);
        FitsDocument document;
        document.OpenFile(m_path);
        const double low = document.StretchMin();
        const double level = low + (document.StretchMax() - low);
        document.Close();
        return level;
    }
    void leaveAt(int step) override { m_comm.sendLevel(step, 1); }

private:
    COMM& m_comm;
    Camera& m_camera;
    Case m_case;
    QString m_path;
};

double median(std::vector<int> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

int run() {
    QTemporaryDir dir;
    InverterSim inverter;
    if (!inverter.start()) {
        std::fprintf(stderr, "cannot start the simulated inverter: %s\n", qPrintable(inverter.errorString()));
        return 1;
    }
    PortMap ports;
    ports.map(1, inverter.devicePath());
    COMM comm(ports);
    comm.setPortNumber(1);
    comm.COMM1open();
    comm.MODE_Com(QLatin1String(protocol::kPanelOn));
    const auto onBy = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (comm.panelStatus().power != PanelPower::On && std::chrono::steady_clock::now() < onBy)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    if (comm.panelStatus().power != PanelPower::On) {
        std::fprintf(stderr, "the simulated inverter did not report the panel on\n");
        return 1;
    }
    SimCameraApp app(lightOf(inverter), kClockScale);
    const std::unique_ptr<Camera> camera = app.createCamera();
    camera->setLinkEnabled(true);
    camera->setCoolerOn(true);
    const QString path = dir.filePath(QStringLiteral("ADC_Temp.fit"));

    const SearchMethod methods[] = {SearchMethod::Ramp, SearchMethod::Bisection, SearchMethod::Fast,
                                    SearchMethod::Fast};
    const char* names[] = {"ramp", "bisection", "fast cold", "fast warm"};
    std::vector<int> frames[4];
    double wall[4] = {};
    int mismatches[4] = {};
    int fastAboveBisection = 0;
    TrainedTable night;
    std::vector<int> newSetting;
    int newSettingMismatches = 0;

    std::printf("| %-28s | %5s | %-21s | %-31s | %s |\n", "Case", "Step", "Exposures (R/B/C/W)",
                "Wall s (ramp/bisect/cold/warm)", "Same step");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(30, '-').c_str(), std::string(7, '-').c_str(),
                std::string(23, '-').c_str(), std::string(33, '-').c_str(), std::string(11, '-').c_str());
    for (const Case& c : kCases) {
        TrainedTable table;
        const TrainedKey key{c.filter, c.binning, c.exposure, 1000};
        SearchResult results[4];
        for (int m = 0; m < 4; ++m) {
            comm.sendLevel(0, 1);
            SimProbe probe(comm, *camera, c, path);
            results[m] = searchBrightness(methods[m], probe, c.target, table.startFor(key));
            if (m == 2)
                if (const auto entry = results[m].entry(c.target))
                    table.remember(key, *entry);
        }
        // The same setting new in a night's table that holds the cases before: the camera's
        // bias is known.
        {
            comm.sendLevel(0, 1);
            SimProbe probe(comm, *camera, c, path);
            const SearchResult r = searchBrightness(SearchMethod::Fast, probe, c.target, night.startFor(key));
            newSetting.push_back(r.exposures());
            if (r.outcome != results[0].outcome || r.step != results[0].step)
                ++newSettingMismatches;
            if (const auto entry = r.entry(c.target))
                night.remember(key, *entry);
        }
        const auto found = [](const SearchResult& r) {
            return r.outcome == SearchResult::Outcome::Accepted ? r.step : 0;
        };
        const int rampStep = found(results[0]);
        char counts[64], walls[64];
        bool same = true;
        double caseWall[4];
        for (int m = 0; m < 4; ++m) {
            frames[m].push_back(results[m].exposures());
            caseWall[m] = results[m].exposures() * (c.exposure + kDownloadSeconds);
            wall[m] += caseWall[m];
            if (found(results[m]) != rampStep) {
                ++mismatches[m];
                same = false;
            }
        }
        if (results[2].exposures() > results[1].exposures() ||
            results[3].exposures() > results[1].exposures())
            ++fastAboveBisection;
        std::snprintf(counts, sizeof counts, "%2d / %d / %d / %d", results[0].exposures(),
                      results[1].exposures(), results[2].exposures(), results[3].exposures());
        std::snprintf(walls, sizeof walls, "%5.1f / %4.1f / %4.1f / %4.1f", caseWall[0], caseWall[1],
                      caseWall[2], caseWall[3]);
        char label[64];
        std::snprintf(label, sizeof label, "Filter%d bin %d %.1f s %5.0f", c.filter + 1, c.binning,
                      c.exposure, c.target);
        char step[16];
        if (rampStep)
            std::snprintf(step, sizeof step, "%d", rampStep);
        else
            std::snprintf(step, sizeof step, "none");
        std::printf("| %-28s | %5s | %-21s | %-31s | %-9s |\n", label, step, counts, walls,
                    same ? "yes" : "NO");
        if (qEnvironmentVariableIsSet("SEARCH_TRACE"))
            for (int m = 1; m < 4; ++m) {
                std::printf("    %s:", names[m]);
                for (const Probe& p : results[m].probes)
                    std::printf(" %d:%.0f", p.step, p.level);
                std::printf("\n");
            }
    }
    std::printf("\n");
    for (int m = 0; m < 4; ++m)
        std::printf("%-10s median %.1f, max %d exposures; wall %.0f s in all; %d cases off the ramp's step\n",
                    names[m], median(frames[m]), *std::max_element(frames[m].begin(), frames[m].end()),
                    wall[m], mismatches[m]);
    std::printf("fast, a setting new to a table of the cases before (the camera's bias known): median %.1f, "
                "max %d exposures; %d cases off the ramp's step\n",
                median(newSetting), *std::max_element(newSetting.begin(), newSetting.end()),
                newSettingMismatches);
    std::printf("fast above bisection in %d of %zu cases\n", fastAboveBisection, kCases.size());
    std::printf("search cases=%zu ramp_median=%.1f bisection_median=%.1f cold_median=%.1f warm_median=%.1f "
                "cold_max=%d warm_max=%d off_step=%d fast_above_bisection=%d\n",
                kCases.size(), median(frames[0]), median(frames[1]), median(frames[2]), median(frames[3]),
                *std::max_element(frames[2].begin(), frames[2].end()),
                *std::max_element(frames[3].begin(), frames[3].end()),
                mismatches[0] + mismatches[1] + mismatches[2] + mismatches[3], fastAboveBisection);
    comm.MODE_Com(QLatin1String(protocol::kPanelOff));
    comm.COMM1close();
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int code = 1;
    QTimer::singleShot(0, [&] {
        code = run();
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    return code;
}
