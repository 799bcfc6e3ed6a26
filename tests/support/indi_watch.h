#pragma once

// A bare INDI client on loopback that records every property update and message of one device
// as it arrives, with its time, so tests can check the order and timing of states. POSIX only.

#include <QElapsedTimer>
#include <QMap>
#include <QSocketNotifier>
#include <QTest>
#include <QXmlStreamReader>

#include <arpa/inet.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brivane::test {

class IndiWatch {
public:
    struct Update {
        qint64 ms = 0;   // since the watch began
        QString kind;    // "def", "set", "del", "new" (another client's request) or "message"
        QString name;    // property name; empty for a device message
        QString state;   // "Idle", "Ok", "Busy", "Alert"
        QString message; // the message attribute, if any
        QMap<QString, QString> values;
    };

    IndiWatch(int port, QString device) : m_device(std::move(device)) {
        m_clock.start();
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        const QByteArray hello = "<getProperties version='1.7'/>\n";
        if (::write(m_fd, hello.constData(), size_t(hello.size())) != hello.size())
            return;
        // INDI's stream has no root element: give the reader one.
        m_xml.addData(QByteArray("<indi>"));
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { readSocket(); });
    }
    ~IndiWatch() {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    const QList<Update>& updates() const { return m_updates; }
    qint64 now() const { return m_clock.elapsed(); }

    // The states one property went through from update index `from` on. Definitions do not count:
    // the server has them sent again to every client that connects, with whatever state is current.
    QStringList states(const QString& name, qsizetype from = 0) const {
        QStringList states;
        for (qsizetype i = from; i < m_updates.size(); ++i)
            if (m_updates[i].name == name && m_updates[i].kind == QLatin1String("set"))
                states.append(m_updates[i].state);
        return states;
    }
    // The last update of a property (def or set), or nullptr.
    const Update* last(const QString& name) const {
        for (auto it = m_updates.crbegin(); it != m_updates.crend(); ++it)
            if (it->name == name && isReport(*it))
                return &*it;
        return nullptr;
    }
    // Waits until some update from index `from` on matches; its index, or -1 after `timeoutMs`.
    qsizetype waitFor(const std::function<bool(const Update&)>& matches, qsizetype from = 0,
                      int timeoutMs = 5000) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            for (qsizetype i = from; i < m_updates.size(); ++i)
                if (matches(m_updates[i]))
                    return i;
            if (clock.elapsed() > timeoutMs)
                return -1;
            QTest::qWait(5);
        }
    }
    // Waits for a property update (not a definition) with that state.
    qsizetype waitForState(const QString& name, const QString& state, qsizetype from = 0,
                           int timeoutMs = 5000) {
        return waitFor([&](const Update& u) { return u.name == name && u.kind == "set" && u.state == state; },
                       from, timeoutMs);
    }
    // The messages of the device (property messages included), in order.
    QStringList messages() const {
        QStringList texts;
        for (const Update& update : m_updates)
            if (!update.message.isEmpty())
                texts.append(update.message);
        return texts;
    }

    // A definition or an update from the device itself.
    static bool isReport(const Update& update) { return update.kind == "def" || update.kind == "set"; }

private:
    void readSocket() {
        char buffer[8192];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0) {
            m_notifier->setEnabled(false);
            return;
        }
        m_xml.addData(QByteArray(buffer, n));
        parse();
    }

    void parse() {
        for (;;) {
            const QXmlStreamReader::TokenType token = m_xml.readNext();
            if (token == QXmlStreamReader::Invalid || token == QXmlStreamReader::EndDocument)
                return; // wants more bytes (or the server closed)
            if (token == QXmlStreamReader::StartElement) {
                ++m_depth;
                const QStringView tag = m_xml.name();
                if (m_depth == 2) {
                    const auto attributes = m_xml.attributes();
                    m_current = {};
                    m_inVector = attributes.value("device") == m_device;
                    m_current.ms = m_clock.elapsed();
                    m_current.kind = tag.startsWith(u"def")   ? QStringLiteral("def")
                                     : tag.startsWith(u"set") ? QStringLiteral("set")
                                     : tag.startsWith(u"new") ? QStringLiteral("new")
                                     : tag == u"delProperty"  ? QStringLiteral("del")
                                                              : QStringLiteral("message");
                    m_current.name = attributes.value("name").toString();
                    m_current.state = attributes.value("state").toString();
                    m_current.message = attributes.value("message").toString();
                } else if (m_depth == 3) {
                    m_element = m_xml.attributes().value("name").toString();
                    m_text.clear();
                }
            } else if (token == QXmlStreamReader::Characters && m_depth == 3) {
                m_text += m_xml.text();
            } else if (token == QXmlStreamReader::EndElement) {
                if (m_depth == 3)
                    m_current.values.insert(m_element, m_text.trimmed());
                else if (m_depth == 2 && m_inVector)
                    m_updates.append(m_current);
                --m_depth;
            }
        }
    }

    QString m_device;
    QElapsedTimer m_clock;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QXmlStreamReader m_xml;
    int m_depth = 0;
    bool m_inVector = false;
    Update m_current;
    QString m_element;
    QString m_text;
    QList<Update> m_updates;
};

} // namespace brivane::test
