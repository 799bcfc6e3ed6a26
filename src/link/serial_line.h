#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

namespace brivane {

// One serial line at 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control: what COMM
// needs of a port, so that the system's serial port and a device inside the program look alike.
class SerialLine : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // False with errorString() set when the device cannot be opened.
    virtual bool open(const QString& device) = 0;
    // Drops what has not been written yet.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Queues the bytes; they leave from the event loop.
    virtual void write(const QByteArray& bytes) = 0;
    virtual qint64 bytesToWrite() const = 0;
    // Blocks until every queued byte has been written, at most msecs; false when some are left.
    virtual bool waitForBytesWritten(int msecs) = 0;
    virtual QByteArray readAll() = 0;
    virtual QString errorString() const = 0;

signals:
    void readyRead();
    // The open line failed (adapter pulled, device gone); the owner closes it.
    void failed();
};

// The line that opens `device`: a device of this process registered under that name
// (InProcessDevice), else the system's serial port.
std::unique_ptr<SerialLine> makeSerialLine(const QString& device);

// A device that lives in this program and is opened by name like a port, for a simulator where
// there are no pseudo-terminals. One line at a time may have it open. The device side sees what
// the program writes through received() and answers with send().
class InProcessDevice : public QObject {
    Q_OBJECT
public:
    // Registers the device under `name`, which must not be taken.
    explicit InProcessDevice(QString name, QObject* parent = nullptr);
    ~InProcessDevice() override;

    QString name() const { return m_name; }
    static InProcessDevice* find(const QString& name);

    // Bytes to the program; dropped while no line has the device open.
    void send(const QByteArray& bytes);
    // The line fails as if its cable were pulled; the device stays registered.
    void hangUp();
    bool isOpenByProgram() const;

signals:
    // Bytes the program wrote, in order.
    void received(const QByteArray& bytes);

private:
    friend class InProcessLine;
    QString m_name;
    class InProcessLine* m_line = nullptr;
};

} // namespace brivane
