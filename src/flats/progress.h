#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QIODevice;

namespace brivane {

// What a person follows of a run: one line per step and frame on out, problems on err, and on a
// terminal a bar at the bottom with the frames done and an estimate of the time left.
class Progress : public QObject {
    Q_OBJECT
public:
    // escapes: the terminal takes escape codes; without, the bar is overwritten with blanks.
    Progress(QIODevice& out, QIODevice& err, bool terminal, bool escapes = true);
    ~Progress() override;

    void line(const QString& text);
    void problem(const QString& text);

    // Exposures the run expects in all (test exposures included) and the waits still ahead.
    void setExpectedFrames(int frames);
    void setPendingSeconds(double seconds);
    // One exposure has ended (saved or measured), taking `seconds` from its start.
    void frameDone(double seconds);
    // Removes the bar; lines written afterwards stand alone.
    void finish();

    int framesDone() const { return m_done; }
    int expectedFrames() const { return m_expected; }
    // Seconds left by the frames so far, or a negative value before the first frame.
    double secondsLeft() const;
    QString barText(int width = 30) const;

private:
    void clearBar();
    void drawBar();
    void eraseBar();

    QIODevice& m_out;
    QIODevice& m_err;
    bool m_terminal;
    bool m_escapes;
    bool m_barShown = false;
    qsizetype m_barLength = 0;
    int m_done = 0;
    int m_expected = 0;
    double m_frameSeconds = 0; // sum over the frames done
    double m_pending = 0;
    QElapsedTimer m_sinceUpdate;
    QTimer m_tick; // refreshes the estimate each second on a terminal
};

// "1 h 02 min", "3 min 05 s", "42 s".
QString durationText(double seconds);

} // namespace brivane
