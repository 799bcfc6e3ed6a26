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
using Outcome = SearchResult::Outcome;

namespace {

using Curve = std::function<double(int step)>;

// Levels from a curve; `sound` turns false when a step is exposed twice or lies outside 1..40.
// Frames from step clipsFrom up (0: none) report clipped; after stopAfter exposures, a stop.
struct CurveProbe : StepProbe {
    CurveProbe(Curve curve, int stopAfter = -1, int clipsFrom = 0)
        : curve(std::move(curve)), stopAfter(stopAfter), clipsFrom(clipsFrom) {}
    std::optional<StepFrame> frameAt(int step) override {
        sound = sound && step >= kFirstSearchStep && step <= kLastSearchStep && exposed.insert(step).second;
        if (stopAfter >= 0 && static_cast<int>(exposed.size()) > stopAfter)
            return std::nullopt;
        return StepFrame{curve(step), clipsFrom > 0 && step >= clipsFrom};
    }
    std::optional<double> levelAt(int) override { return std::nullopt; } // the search asks frameAt
    void leaveAt(int step) override { leftAt.push_back(step); }

    Curve curve;
    int stopAfter, clipsFrom;
    std::set<int> exposed;
    std::vector<int> leftAt;
    bool sound = true;
};

// The ramp's answer straight from the curve: 0 for "cannot reach".
int firstPassing(const Curve& curve, double target) {
    for (int step = kFirstSearchStep; step <= kLastSearchStep; ++step)
        if (curve(step) > target - kAcceptMargin)
            return step;
    return 0;
}

Curve linear(double bias, double perStep) {
    return [=](int step) { return std::min(bias + perStep * step, 65535.0); };
}

struct Run {
    SearchResult result;
    CurveProbe probe;
};

double median(std::vector<int> v) {
    std::ranges::sort(v);
    return v.empty() ? 0 : v[(v.size() - 1) / 2];
}

struct Case {
    QString name;
    Curve curve;
    double target = 0;
};
using Cases = QList<Case>;

// Seeded random rising profiles; `jumps`: the chance of a step rising 3 to 60 times as much, or not at all.
Cases randomProfiles(double jumps) {
    std::mt19937 random(20);
    const auto uniform = [&](double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(random);
    };
    Cases cases;
    for (int i = 0; i < 3000; ++i) {
        const double perStep = std::exp(uniform(3, 10.3)); // 20 to 30000 a step
        std::vector<double> levels(kLastSearchStep + 1, uniform(0, 3000));
        for (std::size_t step = 1; step < levels.size(); ++step) {
            const double burst = uniform(0, 1) >= jumps ? 1 : uniform(0, 1) < 0.5 ? 0 : uniform(3, 60);
            levels[step] = std::min(65535.0, levels[step - 1] + perStep * uniform(0.7, 1.3) * burst);
        }
        cases.append({QString::number(i), [levels](int step) { return levels[std::size_t(step)]; },
                      uniform(2500, 66000)});
    }
    return cases;
}

// This thread's file access as nobody (or back), when root; true when it took.
bool setNobody(bool nobody) {
#ifdef Q_OS_LINUX
    if (geteuid() == 0)
        return setfsuid(nobody ? 65534 : 0), true;
#endif
    return !nobody;
}

} // namespace

Q_DECLARE_METATYPE(Cases)

class TestSearch : public QObject {
    Q_OBJECT
private slots:
    // Every method finds the ramp's step (or cannot reach), exposes no step twice, never leaves
    // 1..40, keeps its bound of exposures and ends with the panel at the accepted step; the fast
    // search does so cold, with the bias known, warm from its own entry and from a misleading one.
    void curves_data() {
        QTest::addColumn<Cases>("cases");
        QTest::addColumn<bool>("followsModel"); // then fast: median 3 cold, 2 warm, never above bisection
        Cases lines;
        for (double bias : {0.0, 300.0, 1000.0, 2500.0})
            for (double perStep : {50.0, 150.0, 400.0, 700.0, 1400.0, 3000.0, 9000.0, 40000.0})
                for (double target = 3000; target <= 64000; target += 3900)
                    lines.append(
                        {QStringLiteral("%1+%2/step").arg(bias).arg(perStep), linear(bias, perStep), target});
        QTest::newRow("linear") << lines << true;
        QTest::newRow("cannot reach, step 1, the bound")
            << Cases{{"dark", [](int) { return 0.0; }, 30000},
                     {"no level", [](int) { return qQNaN(); }, 30000},
                     {"dim", linear(1000, 100), 30000},
                     {"exactly the bound at 40", linear(1000, 27000.0 / 40), 30000},
                     {"low target", linear(1000, 100), 1500},
                     {"all at the maximum", [](int) { return 65535.0; }, 30000},
                     {"28000 fails, 28001 passes", [](int s) { return s < 10 ? 28000.0 : 28001.0; }, 30000}}
            << false;
        QTest::newRow("random, steady") << randomProfiles(0) << false;
        QTest::newRow("random, jumps and flat stretches") << randomProfiles(0.25) << false;
    }
    void curves() {
        QFETCH(Cases, cases);
        QFETCH(bool, followsModel);
        std::mt19937 random(7);
        const auto uniform = [&](double a, double b) {
            return std::uniform_real_distribution<double>(a, b)(random);
        };
        std::vector<int> cold, warm;
        int aboveBisection = 0;
        for (const Case& c : cases) {
            const int truth = firstPassing(c.curve, c.target);
            const double bias = c.curve(1) - (c.curve(2) - c.curve(1));
            const TrainedEntry misleading{int(uniform(1, 41)),
                                          uniform(0, 1) < 0.5 ? c.target : uniform(2500, 66000),
                                          {uniform(-5000, 5000), std::exp(uniform(0, 11))}};
            const auto run = [&](SearchMethod method, const SearchStart& start = {}) {
                Run r{{}, CurveProbe(c.curve)};
                r.result = searchBrightness(method, r.probe, c.target, start);
                return r;
            };
            const Run fast = run(SearchMethod::Fast);
            const auto entry = fast.result.entry(c.target);
            const Run runs[] = {run(SearchMethod::Ramp),
                                run(SearchMethod::Bisection),
                                fast,
                                run(SearchMethod::Fast, {std::nullopt, bias}),
                                run(SearchMethod::Fast, {misleading, std::nullopt}),
                                run(SearchMethod::Fast, {entry, std::nullopt})};
            const int most[] = {kLastSearchStep, 6, 8, 8, 8, truth == 1 ? 1 : 2};
            for (int i = 0; i < (entry ? 6 : 5); ++i) {
                const SearchResult& r = runs[i].result;
                QVERIFY2(
                    r.outcome == (truth ? Outcome::Accepted : Outcome::CannotReach) && r.step == truth &&
                        r.panelStep == (truth ? truth : kLastSearchStep) && runs[i].probe.sound &&
                        r.exposures() == int(runs[i].probe.exposed.size()) && r.exposures() <= most[i],
                    qPrintable(QStringLiteral("%1, target %2, run %3").arg(c.name).arg(c.target).arg(i)));
            }
            cold.push_back(fast.result.exposures());
            if (entry)
                warm.push_back(runs[5].result.exposures());
            aboveBisection += fast.result.exposures() > runs[1].result.exposures();
        }
        qInfo("%lld cases: median %.0f cold, %.0f warm; fast above bisection %d", cases.size(), median(cold),
              median(warm), aboveBisection);
        if (followsModel)
            QVERIFY(median(cold) <= 3 && median(warm) <= 2 && aboveBisection == 0);
    }

    // A clipped frame is too bright whatever its level: accepted only below the first clipped
    // step, and where the first step to pass clips, no step is (every method alike). A stop asked
    // by the probe ends the search there, leaving the panel where it is.
    void probeEnds_data() {
        QTest::addColumn<int>("clipsFrom");
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("accepted");
        // linear 1000 + 1300/step, target 30000: the ramp's step is 21
        QTest::newRow("clipping above the step") << 22 << -1 << Outcome::Accepted << 21;
        QTest::newRow("clipping at the first passing step") << 21 << -1 << Outcome::TooBright << 0;
        QTest::newRow("a low level that clips (hot corner)") << 6 << -1 << Outcome::TooBright << 0;
        QTest::newRow("clipped at step 1") << 1 << -1 << Outcome::TooBright << 0;
        QTest::newRow("stopped after one frame") << 0 << 1 << Outcome::Stopped << 0;
    }
    void probeEnds() {
        QFETCH(int, clipsFrom);
        QFETCH(int, stopAfter);
        QFETCH(Outcome, outcome);
        QFETCH(int, accepted);
        for (SearchMethod m : {SearchMethod::Ramp, SearchMethod::Bisection, SearchMethod::Fast}) {
            CurveProbe probe(linear(1000, 1300), stopAfter, clipsFrom);
            const SearchResult r = searchBrightness(m, probe, 30000);
            QCOMPARE(r.outcome, outcome);
            QCOMPARE(r.step, accepted);
            QCOMPARE(r.entry(30000).has_value(), accepted > 0);
            QVERIFY(probe.sound);
            if (outcome == Outcome::Stopped)
                QVERIFY(r.exposures() == 1 && probe.leftAt.empty());
        }
    }

    // Every part of the key counts (gain and offset too); the trimmed exposure comes back with the step.
    void trainedTableRoundTrip() {
        QTemporaryDir dir;
        const QString path = TrainedTable::pathIn(dir.path());
        QString warning;
        TrainedTable table = TrainedTable::load(path, &warning);
        QVERIFY(table.size() == 0 && warning.isEmpty());
        const TrainedKey key{2, 2, 0.2, 500};
        const TrainedKey gained{2, 2, 0.2, 500, 120, 30};
        table.remember(key, TrainedEntry{7, 20000, {1000, 2600.5}});
        table.remember(TrainedKey{0, 1, 1, 1000}, TrainedEntry{21, 30000, {1200, 1300}});
        table.remember(key, TrainedEntry{8, 20000, {1000, 2500}}); // replaces
        table.remember(gained, TrainedEntry{5, 20000, {1010, 2000}, 0.237});
        QVERIFY(table.save(path));
        const TrainedTable back = TrainedTable::load(path, &warning);
        QVERIFY(warning.isEmpty());
        QCOMPARE(back.size(), 3);
        QCOMPARE(back.find(TrainedKey{2, 2, 0.2000000001, 500})->step, 8);
        QCOMPARE(back.find(key)->model.perStep, 2500.0);
        QCOMPARE(*back.find(gained)->trimmedExposure, 0.237);
        QCOMPARE(back.find(TrainedKey{0, 1, 1, 1000})->step, 21);
        for (const TrainedKey& other :
             {TrainedKey{2, 2, 0.2, 1000}, TrainedKey{2, 1, 0.2, 500}, TrainedKey{1, 2, 0.2, 500},
              TrainedKey{2, 2, 0.3, 500}, TrainedKey{2, 2, 0.2, 500, 120}})
            QVERIFY(!back.find(other));
        QCOMPARE(*back.typicalBias(), 1010.0);
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
        QTest::newRow("unreadable") << QByteArray("{}") << false << 0 << true;
    }
    void trainedTableBadFiles() {
        QFETCH(QByteArray, content);
        QFETCH(bool, ours);
        QFETCH(int, entries);
        QFETCH(bool, unreadable);
        QTemporaryDir dir;
        const QString path = TrainedTable::pathIn(dir.path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        // There, but not readable: no read permission, with this thread's file access as nobody
        // (Linux) when root, in a folder open to all; where that cannot be, a folder in its place.
        const bool asNobody = unreadable && QFile::setPermissions(path, QFileDevice::WriteOwner) &&
                              QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)) &&
                              setNobody(true);
        const auto back = qScopeGuard([asNobody] { asNobody&& setNobody(false); });
        if (unreadable && QFile(path).open(QIODevice::ReadOnly))
            QVERIFY(QFile::remove(path) && QDir(dir.path()).mkdir(TrainedTable::fileName()));
        QString warning;
        const TrainedTable table = TrainedTable::load(path, &warning);
        QCOMPARE(table.size(), entries);
        QVERIFY2(warning.startsWith(TrainedTable::fileName()), qPrintable(warning));
        if (entries) // "filter" counts from 1 in the file
            QCOMPARE(table.find(TrainedKey{0, 1, 1, 1000})->step, 21);
        // Ours (however broken) is replaced by a sound table; another program's file, or one that
        // could not be read, is kept.
        QCOMPARE(rememberTrained(path, TrainedKey{0, 1, 3, 1000}, TrainedEntry{3, 5000, {1000, 300}}), ours);
        if (unreadable)
            return;
        QVERIFY(file.open(QIODevice::ReadOnly));
        if (ours)
            QCOMPARE(TrainedTable::load(path).size(), entries + 1);
        else
            QCOMPARE(file.readAll(), content);
    }
};

QTEST_GUILESS_MAIN(TestSearch)
#include "tst_capture_search.moc"
