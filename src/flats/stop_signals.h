#pragma once

#include <QObject>

#include <memory>

namespace brivane {

// SIGINT, SIGTERM and (POSIX) SIGHUP delivered as a Qt signal in the event loop of the thread that created
// this object, which must be the only one alive; SIGPIPE is ignored meanwhile. The previous handlers come
// back when it is destroyed.
class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void received(int signal);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace brivane
