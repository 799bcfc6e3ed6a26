#pragma once

// A bare INDI client on loopback recording each update and message of one device, with its time.

#include <QElapsedTimer>
#include <QMap>
#include <QTcpSocket>
#include <QTest>
#include <QXmlStreamReader>

#include <functional>

namespace brivane::test {

class IndiWatch {
public:
    struct Update {
        qint64 ms = 0;   // since the watch began
        QString kind;    // "def", "set", "del", "new" (another client's request) or "mes" (a message)
        QString name;    // property name; empty for a device message
        QString state;   // "Idle", "Ok", "Busy", "Alert"
        QString message; // the message attribute, if any
        QMap<QString, QString> values;
    };

    IndiWatch(int port, QString device) : m_device(std::move(device)) {
        m_clock.start();
        // INDI's stream has no root element: give the reader one.
        m_xml.addData(QByteArray("<indi>"));
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] {
            m_xml.addData(m_socket.readAll());
            parse();
        });
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        m_socket.waitForConnected(5000);
        m_socket.write("<getProperties version='1.7'/>\n");
    }

    const QList<Update>& updates() const { return m_updates; }
    qint64 now() const { return m_clock.elapsed(); }

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

private:
    void parse() {
        for (;;) {
            const QXmlStreamReader::TokenType token = m_xml.readNext();
            if (token == QXmlStreamReader::Invalid || token == QXmlStreamReader::EndDocument)
                return; // wants more bytes (or the server closed)
            if (token == QXmlStreamReader::StartElement) {
                const auto attributes = m_xml.attributes();
                if (++m_depth == 2) {
                    m_inVector = attributes.value("device") == m_device;
                    m_current = {m_clock.elapsed(),
                                 m_xml.name().left(3).toString(),
                                 attributes.value("name").toString(),
                                 attributes.value("state").toString(),
                                 attributes.value("message").toString(),
                                 {}};
                } else if (m_depth == 3) {
                    m_element = attributes.value("name").toString();
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
    QTcpSocket m_socket;
    QXmlStreamReader m_xml;
    int m_depth = 0;
    bool m_inVector = false;
    Update m_current;
    QString m_element;
    QString m_text;
    QList<Update> m_updates;
};

} // namespace brivane::test
