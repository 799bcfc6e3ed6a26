#include "capture/brightness_search.h"
#include "capture/trained_table.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <set>

#ifdef Q_OS_LINUX
#include <sys/fsuid.h>
#include <unistd.h>
#endif

using namespace brivane;

namespace {

using Curve = std::function<double(int step)>;

// Levels from a curve; fails the test when a step is exposed twice.
class CurveProbe : public StepProbe {
public:
    explicit CurveProbe(Curve curve, int stopAfter = -1)
        : m_curve(std::move(curve)), m_stopAfter(stopAfter) {}
    std::optional<double> levelAt(int step) override {
        if (step < kFirstSearchStep || step > kLastSearchStep)
            outOfRange = true;
        if (!exposed.insert(step).second)
            repeated = true;
        if (m_stopAfter >= 0 && static_cast<int>(exposed.size()) > m_stopAfter)
            return std::nullopt;
        return m_curve(step);
    }
    void leaveAt(int step) override { leftAt.push_back(step); }

    std::set<int> exposed;
    std::vector<int> leftAt;
    bool repeated = false;
    bool outOfRange = false;

private:
    Curve m_curve;
    int m_stopAfter;
};

// The ramp's answer straight from the curve: 0 for "cannot reach".
int firstPassing(const Curve& curve, double target) {
    for (int step = kFirstSearchStep; step <= kLastSearchStep; ++step)
        if (curve(step) > target - kAcceptMargin)
            return step;
    return 0;
}

Curve clipped(Curve curve) {
    return [curve](int step) { return std::min(curve(step), 65535.0); };
}

Curve linear(double bias, double perStep) {
    return clipped([=](int step) { return bias + perStep * step; });
}

// A curve bent by gamma: sub-linear below 1, super-linear above.
Curve bent(double bias, double atForty, double gamma) {
    return clipped([=](int step) { return bias + atForty * std::pow(step / 40.0, gamma); });
}

struct Run {
    SearchResult result;
    CurveProbe probe;
};

Run run(SearchMethod method, const Curve& curve, double target, const SearchStart& start = {}) {
    Run r{{}, CurveProbe(curve)};
    r.result = searchBrightness(method, r.probe, target, start);
    return r;
}

int found(const SearchResult& r) {
    return r.outcome == SearchResult::Outcome::Accepted ? r.step : 0;
}

double median(std::vector<int> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[(v.size() - 1) / 2];
}

} // namespace

class TestSearch : public QObject {
    Q_OBJECT

    struct Stats {
        std::vector<int> cold, warm, bisection, knownBias;
        int fastAboveBisection = 0;
    };

    // Every method finds the ramp's step, exposes no step twice, never leaves 1..40, and ends
    // with the panel at the accepted step; the warm search repeats it from its own entry.
    void checkCurve(const Curve& curve, double target, Stats& stats, const QString& name) {
        const int truth = firstPassing(curve, target);
        const Run ramp = run(SearchMethod::Ramp, curve, target);
        const Run bisection = run(SearchMethod::Bisection, curve, target);
        const Run cold = run(SearchMethod::Fast, curve, target);
        const auto what = [&](const char* method) { return qPrintable(name + QLatin1String(" ") + method); };
        QVERIFY2(found(ramp.result) == truth, what("ramp"));
        QVERIFY2(found(bisection.result) == truth, what("bisection"));
        QVERIFY2(found(cold.result) == truth, what("fast"));
        for (const Run* r : {&ramp, &bisection, &cold}) {
            QVERIFY2(!r->probe.repeated && !r->probe.outOfRange, what("exposures"));
            QCOMPARE(r->result.exposures(), static_cast<int>(r->probe.exposed.size()));
            if (truth)
                QVERIFY2(r->result.panelStep == truth, what("panel left"));
            else
                QVERIFY2(r->result.panelStep == kLastSearchStep, what("panel left"));
        }
        QVERIFY2(bisection.result.exposures() <= 6, what("bisection count"));
        QVERIFY2(cold.result.exposures() <= 8, what("fast count"));
        stats.cold.push_back(cold.result.exposures());
        stats.bisection.push_back(bisection.result.exposures());
        if (cold.result.exposures() > bisection.result.exposures()) {
            ++stats.fastAboveBisection;
            if (qEnvironmentVariableIsSet("SEARCH_TRACE")) {
                QString steps;
                for (const Probe& p : cold.result.probes)
                    steps += QStringLiteral(" %1:%2").arg(p.step).arg(p.level);
                qInfo("%s: truth %d, fast%s", qPrintable(name), truth, qPrintable(steps));
            }
        }
        // A setting not trained yet, the camera's bias known from the others.
        const double bias = curve(1) - (curve(2) - curve(1));
        const Run known = run(SearchMethod::Fast, curve, target, SearchStart{std::nullopt, bias});
        QVERIFY2(found(known.result) == truth && known.result.exposures() <= 8, what("known bias"));
        stats.knownBias.push_back(known.result.exposures());
        if (const auto entry = cold.result.entry(target)) {
            const Run warm = run(SearchMethod::Fast, curve, target, SearchStart{entry, std::nullopt});
            QVERIFY2(found(warm.result) == truth, what("warm"));
            QVERIFY2(warm.result.exposures() <= (truth == 1 ? 1 : 2), what("warm count"));
            stats.warm.push_back(warm.result.exposures());
        }
    }

private slots:
    void linearCurves() {
        Stats stats;
        for (double bias : {0.0, 300.0, 1000.0, 2500.0})
            for (double perStep : {50.0, 150.0, 400.0, 700.0, 1400.0, 3000.0, 9000.0, 40000.0})
                for (double target = 3000; target <= 64000; target += 3900)
                    checkCurve(
                        linear(bias, perStep), target, stats,
                        QStringLiteral("linear %1+%2/step, target %3").arg(bias).arg(perStep).arg(target));
        qInfo("linear: %zu cases, median cold %.0f (bias known %.0f) warm %.0f bisection %.0f, fast above "
              "bisection %d",
              stats.cold.size(), median(stats.cold), median(stats.knownBias), median(stats.warm),
              median(stats.bisection), stats.fastAboveBisection);
        QVERIFY(median(stats.cold) <= 3);
        QVERIFY(median(stats.warm) <= 2);
        // Where the levels follow the model the fast search never needs more than the bisection.
        QCOMPARE(stats.fastAboveBisection, 0);
    }

    void bentCurves() {
        Stats stats;
        for (double gamma : {0.5, 0.8, 1.25, 2.0})
            for (double atForty : {8000.0, 30000.0, 70000.0, 200000.0})
                for (double target = 4000; target <= 62000; target += 6000)
                    checkCurve(bent(800, atForty, gamma), target, stats,
                               QStringLiteral("bent %1 %2, target %3").arg(gamma).arg(atForty).arg(target));
        // Flat stretches: a panel that does not change between some steps.
        const Curve stairs = [](int step) { return 1000.0 + 2000.0 * (step / 5); };
        for (double target = 3000; target <= 20000; target += 1000)
            checkCurve(stairs, target, stats, QStringLiteral("stairs, target %1").arg(target));
        qInfo("bent: %zu cases, median cold %.0f warm %.0f bisection %.0f, fast above bisection %d",
              stats.cold.size(), median(stats.cold), median(stats.warm), median(stats.bisection),
              stats.fastAboveBisection);
    }

    void cannotReachAndFirstStep() {
        Stats stats;
        // Cannot reach: dark, dim, and just below at step 40.
        checkCurve([](int) { return 0.0; }, 30000, stats, QStringLiteral("dark"));
        checkCurve([](int) { return qQNaN(); }, 30000, stats, QStringLiteral("no level"));
        checkCurve(linear(1000, 100), 30000, stats, QStringLiteral("dim"));
        checkCurve(linear(1000, 27000.0 / 40), 30000, stats, QStringLiteral("exactly the bound at 40"));
        // Step 1 already passes, also with a target below 2000 and with every level clipped.
        checkCurve(linear(1000, 100), 1500, stats, QStringLiteral("low target"));
        checkCurve([](int) { return 65535.0; }, 30000, stats, QStringLiteral("all clipped"));
        const Run dark = run(
            SearchMethod::Fast, [](int) { return 0.0; }, 30000);
        QCOMPARE(dark.result.outcome, SearchResult::Outcome::CannotReach);
        QVERIFY(dark.probe.exposed.count(kLastSearchStep));
        QVERIFY(!dark.result.entry(30000));
    }

    void exactlyTheBoundFails() {
        // A level equal to target - 2000 does not pass: 28000 fails, 28001 passes.
        const Curve curve = [](int step) { return step < 10 ? 28000.0 : 28001.0; };
        for (SearchMethod m : {SearchMethod::Ramp, SearchMethod::Bisection, SearchMethod::Fast})
            QCOMPARE(found(run(m, curve, 30000).result), 10);
    }

    // Seeded random rising profiles, steady or with jumps and flat stretches (a panel that
    // brightens in bursts); besides checkCurve's searches, one from a misleading entry.
    void randomProfiles_data() {
        QTest::addColumn<double>("jumps"); // chance of a step rising 3 to 60 times as much, or not at all
        QTest::newRow("steady") << 0.0;
        QTest::newRow("jumps and flat stretches") << 0.25;
    }
    void randomProfiles() {
        QFETCH(double, jumps);
        std::mt19937 random(20);
        const auto uniform = [&](double a, double b) {
            return std::uniform_real_distribution<double>(a, b)(random);
        };
        Stats stats;
        int worst = 0;
        for (int i = 0; i < 3000; ++i) {
            const double perStep = std::exp(uniform(3, 10.3)); // 20 to 30000 a step
            std::vector<double> levels(kLastSearchStep + 1, uniform(0, 3000));
            for (std::size_t step = 1; step < levels.size(); ++step) {
                const double burst = uniform(0, 1) >= jumps ? 1 : uniform(0, 1) < 0.5 ? 0 : uniform(3, 60);
                levels[step] = std::min(65535.0, levels[step - 1] + perStep * uniform(0.7, 1.3) * burst);
            }
            const Curve curve = [levels](int step) { return levels[static_cast<std::size_t>(step)]; };
            const double target = uniform(2500, 66000);
            checkCurve(curve, target, stats, QString::number(i));
            const TrainedEntry misleading{int(uniform(1, 41)),
                                          uniform(0, 1) < 0.5 ? target : uniform(2500, 66000),
                                          {uniform(-5000, 5000), std::exp(uniform(0, 11))}};
            const Run r = run(SearchMethod::Fast, curve, target, SearchStart{misleading, std::nullopt});
            QVERIFY(found(r.result) == firstPassing(curve, target) && !r.probe.repeated &&
                    !r.probe.outOfRange);
            worst = std::max({worst, r.result.exposures(), stats.cold.back(), stats.knownBias.back()});
        }
        qInfo("%zu profiles: worst case %d exposures", stats.cold.size(), worst);
        QVERIFY(worst <= 8);
    }

    void stop() {
        for (SearchMethod m : {SearchMethod::Ramp, SearchMethod::Bisection, SearchMethod::Fast}) {
            CurveProbe probe(linear(1000, 1300), 1);
            const SearchResult r = searchBrightness(m, probe, 30000);
            QCOMPARE(r.outcome, SearchResult::Outcome::Stopped);
            QCOMPARE(r.exposures(), 1);
            QVERIFY(probe.leftAt.empty());
        }
    }

    void trainedTableRoundTrip() {
        QTemporaryDir dir;
        const QString path = TrainedTable::pathIn(dir.path());
        QString warning;
        TrainedTable table = TrainedTable::load(path, &warning);
        QCOMPARE(table.size(), 0);
        QVERIFY(warning.isEmpty());
        const TrainedKey key{2, 2, 0.2, 500};
        table.remember(key, TrainedEntry{7, 20000, {1000, 2600.5}});
        table.remember(TrainedKey{0, 1, 1, 1000}, TrainedEntry{21, 30000, {1200, 1300}});
        table.remember(key, TrainedEntry{8, 20000, {1000, 2500}}); // replaces
        QVERIFY(table.save(path));
        const TrainedTable back = TrainedTable::load(path, &warning);
        QVERIFY(warning.isEmpty());
        QCOMPARE(back.size(), 2);
        QCOMPARE(back.find(TrainedKey{2, 2, 0.2000000001, 500})->step, 8);
        QCOMPARE(back.find(key)->model.perStep, 2500.0);
        QVERIFY(!back.find(TrainedKey{2, 2, 0.2, 1000}));
        QVERIFY(!back.find(TrainedKey{2, 1, 0.2, 500}));
        QCOMPARE(*back.typicalBias(), 1000.0);
        QVERIFY(rememberTrained(path, TrainedKey{3, 1, 5, 1000}, TrainedEntry{2, 9000, {900, 4000}}));
        QCOMPARE(TrainedTable::load(path).size(), 3);
    }

    void trainedTableBadFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("ours");
        QTest::addColumn<int>("entries");
        QTest::addColumn<bool>("unreadable");
        const QByteArray head = "{\"format\": \"brivane-trained-steps\", \"version\": ";
        const QByteArray good = "{\"filter\": 1, \"binning\": 1, \"exposure\": 1, \"frequency\": 1000, "
                                "\"step\": 21, \"target\": 30000, \"bias\": 1000, \"perStep\": 1300}";
        const QByteArray badStep = QByteArray(good).replace("\"step\": 21", "\"step\": 99");
        QTest::newRow("truncated") << head.left(30) << true << 0 << false;
        QTest::newRow("binary") << QByteArray("\x00\xff\x10garbage", 10) << true << 0 << false;
        QTest::newRow("empty") << QByteArray() << true << 0 << false;
        QTest::newRow("foreign object")
            << QByteArray("{\"name\": \"something else\"}") << false << 0 << false;
        QTest::newRow("foreign array") << QByteArray("[1, 2, 3]") << false << 0 << false;
        QTest::newRow("newer version") << head + "9, \"entries\": []}" << false << 0 << false;
        QTest::newRow("bad entries") << head + "1, \"entries\": [" + good + ", " + badStep +
                                            ", {\"filter\": \"x\"}, 7]}"
                                     << true << 1 << false;
        // There, but it cannot be read: a directory in its place, or no permission to read it.
        QTest::newRow("unreadable") << QByteArray("{}") << false << 0 << true;
    }
    void trainedTableBadFiles() {
        QFETCH(QByteArray, content);
        QFETCH(bool, ours);
        QFETCH(int, entries);
        QFETCH(bool, unreadable);
        QTemporaryDir dir;
        const QString path = TrainedTable::pathIn(dir.path());
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        // Without read permission: as root (where that does not stop reads) with this thread's
        // file access as nobody (Linux) in a folder open to all; elsewhere a directory in its place.
        if (unreadable)
            QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
#ifdef Q_OS_LINUX
        const bool asNobody = unreadable && geteuid() == 0 &&
                              QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
        if (asNobody)
            setfsuid(65534);
        const auto back = qScopeGuard([asNobody] {
            if (asNobody)
                setfsuid(0);
        });
#endif
        if (unreadable && QFile(path).open(QIODevice::ReadOnly))
            QVERIFY(QFile::remove(path) && QDir(dir.path()).mkdir(TrainedTable::fileName()));
        QString warning;
        const TrainedTable table = TrainedTable::load(path, &warning);
        QCOMPARE(table.size(), entries);
        QVERIFY2(warning.startsWith(TrainedTable::fileName()), qPrintable(warning));
        // Ours (however broken) is replaced by a sound table; another program's file, or one that
        // could not be read, is kept.
        QString error;
        QCOMPARE(rememberTrained(path, TrainedKey{0, 1, 3, 1000}, TrainedEntry{3, 5000, {1000, 300}}, &error),
                 ours);
        if (unreadable)
            return;
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        if (ours)
            QCOMPARE(TrainedTable::load(path).size(), entries + 1);
        else
            QCOMPARE(file.readAll(), content);
    }
};

QTEST_GUILESS_MAIN(TestSearch)
#include "tst_capture_search.moc"
