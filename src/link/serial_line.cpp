#include "link/serial_line.h"

#include <QHash>
#include <QMetaObject>
#include <QSerialPort>

#include <utility>

namespace brivane {

namespace {

QHash<QString, InProcessDevice*>& inProcessDevices() {
    static QHash<QString, InProcessDevice*> devices;
    return devices;
}

// The system's serial port through Qt.
class QtSerialLine : public SerialLine {
public:
    QtSerialLine() {
        connect(&m_port, &QSerialPort::readyRead, this, &SerialLine::readyRead);
        connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
            // A failing open() reports here too, while the port is still closed.
            if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError && m_port.isOpen())
                emit failed();
        });
    }
    ~QtSerialLine() override { close(); }

    bool open(const QString& device) override {
        m_port.setPortName(device);
        m_port.clearError();
        if (!m_port.open(QIODevice::ReadWrite))
            return false;
        // Applied to the open port: some drivers keep other settings from the last user.
        const bool set = m_port.setBaudRate(QSerialPort::Baud9600) &&
                         m_port.setDataBits(QSerialPort::Data8) && m_port.setParity(QSerialPort::NoParity) &&
                         m_port.setStopBits(QSerialPort::OneStop) &&
                         m_port.setFlowControl(QSerialPort::NoFlowControl);
        if (!set) {
            const QString reason = m_port.errorString();
            m_port.close();
            m_openError = reason;
            return false;
        }
        m_openError.clear();
        return true;
    }
    void close() override {
        if (m_port.isOpen())
            m_port.close();
        m_port.clearError();
    }
    bool isOpen() const override { return m_port.isOpen(); }
    void write(const QByteArray& bytes) override { m_port.write(bytes); }
    qint64 bytesToWrite() const override { return m_port.bytesToWrite(); }
    bool waitForBytesWritten(int msecs) override {
        return m_port.bytesToWrite() == 0 || m_port.waitForBytesWritten(msecs);
    }
    QByteArray readAll() override { return m_port.readAll(); }
    QString errorString() const override {
        return m_openError.isEmpty() ? m_port.errorString() : m_openError;
    }

private:
    QSerialPort m_port;
    QString m_openError;
};

} // namespace

// The program's end of an InProcessDevice. Writes reach the device from the event loop, as
// they would leave a port; waitForBytesWritten hands them over at once.
class InProcessLine : public SerialLine {
public:
    ~InProcessLine() override { close(); }

    bool open(const QString& device) override {
        close();
        InProcessDevice* target = InProcessDevice::find(device);
        if (!target) {
            m_error = QStringLiteral("No such device: %1").arg(device);
            return false;
        }
        if (target->m_line) {
            m_error = QStringLiteral("The device %1 is in use.").arg(device);
            return false;
        }
        target->m_line = this;
        m_device = target;
        m_open = true;
        m_error.clear();
        return true;
    }
    void close() override {
        if (m_device && m_device->m_line == this)
            m_device->m_line = nullptr;
        m_device = nullptr;
        m_open = false;
        m_toDevice.clear();
        m_fromDevice.clear();
    }
    // Stays open after the device has gone, until the owner closes it.
    bool isOpen() const override { return m_open; }
    void write(const QByteArray& bytes) override {
        if (!m_device || bytes.isEmpty())
            return;
        const bool idle = m_toDevice.isEmpty();
        m_toDevice += bytes;
        if (idle)
            QMetaObject::invokeMethod(
                this, [this] { deliver(); }, Qt::QueuedConnection);
    }
    qint64 bytesToWrite() const override { return m_toDevice.size(); }
    bool waitForBytesWritten(int) override {
        deliver();
        return m_toDevice.isEmpty();
    }
    QByteArray readAll() override { return std::exchange(m_fromDevice, {}); }
    QString errorString() const override { return m_error; }

    void fromDevice(const QByteArray& bytes) {
        const bool idle = m_fromDevice.isEmpty();
        m_fromDevice += bytes;
        if (idle)
            QMetaObject::invokeMethod(this, &SerialLine::readyRead, Qt::QueuedConnection);
    }
    // The device has gone: nothing more is delivered either way.
    void hungUp() {
        m_error = QStringLiteral("The device %1 hung up.").arg(m_device ? m_device->name() : QString());
        if (m_device && m_device->m_line == this)
            m_device->m_line = nullptr;
        m_device = nullptr;
        m_toDevice.clear();
        QMetaObject::invokeMethod(this, &SerialLine::failed, Qt::QueuedConnection);
    }

private:
    void deliver() {
        if (!m_device || m_toDevice.isEmpty())
            return;
        InProcessDevice* device = m_device;
        emit device->received(std::exchange(m_toDevice, {}));
    }

    bool m_open = false;
    InProcessDevice* m_device = nullptr; // null once the device has hung up
    QByteArray m_toDevice;
    QByteArray m_fromDevice;
    QString m_error;
};

InProcessDevice::InProcessDevice(QString name, QObject* parent) : QObject(parent), m_name(std::move(name)) {
    Q_ASSERT(!inProcessDevices().contains(m_name));
    inProcessDevices().insert(m_name, this);
}

InProcessDevice::~InProcessDevice() {
    hangUp();
    inProcessDevices().remove(m_name);
}

InProcessDevice* InProcessDevice::find(const QString& name) {
    return inProcessDevices().value(name, nullptr);
}

void InProcessDevice::send(const QByteArray& bytes) {
    if (m_line && !bytes.isEmpty())
        m_line->fromDevice(bytes);
}

void InProcessDevice::hangUp() {
    if (m_line)
        m_line->hungUp();
}

bool InProcessDevice::isOpenByProgram() const {
    return m_line != nullptr;
}

#ifdef Q_OS_WIN
std::unique_ptr<SerialLine> makeWin32SerialLine();
#endif

std::unique_ptr<SerialLine> makeSerialLine(const QString& device) {
    if (InProcessDevice::find(device))
        return std::make_unique<InProcessLine>();
#ifdef Q_OS_WIN
    return makeWin32SerialLine();
#else
    return std::make_unique<QtSerialLine>();
#endif
}

} // namespace brivane
