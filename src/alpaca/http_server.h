#pragma once

#include "alpaca/http_message.h"

#include <QHostAddress>
#include <QObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

struct MHD_Daemon;
struct MHD_Connection;

namespace brivane {

// HTTP/1.1 on libmicrohttpd: its threads read and write the connections, within its limits; each
// complete request is handed to the handler on the thread that owns this object (the one that
// owns the device), and its answer awaited for a bounded time.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // The answer to a request the owning thread did not answer in time (called on a server thread).
    using LateHandler = std::function<HttpResponse(const HttpRequest&, const QString& reason)>;

    struct Limits {
        unsigned connections = 256;                      // in all; more are closed as soon as accepted
        unsigned perAddress = 32;                        // from one client address
        std::chrono::seconds idleTimeout{10};            // nothing sent or received this long: closed
        std::size_t memoryPerConnection = 32 * 1024;     // the request head must fit in it, with room
        qsizetype maxBody = 16 * 1024;                   // larger bodies are answered 413
        std::chrono::milliseconds answerDeadline{3000};  // the handler's turn comes within this
        std::chrono::milliseconds requestTimeout{10000}; // a request not all in by then: 408, closed
    };

    HttpServer(Handler handler, LateHandler late, QObject* parent = nullptr);
    ~HttpServer() override;

    // Before listen: other limits (tests use short time-outs).
    void setLimits(const Limits& limits) { m_limits = limits; }
    const Limits& limits() const { return m_limits; }

    // IPv4 only. False with the reason in error.
    bool listen(const QHostAddress& address, quint16 port, QString& error);
    // Stops the server: connections are closed, requests waiting for the handler are answered late.
    void close();
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }
    // Connections open now.
    int connectionCount() const;

private:
    friend struct HttpServerCallbacks;
    struct Job;
    class RequestDeadlines;

    // On a server thread: the handler's answer from the owning thread, or the late one.
    HttpResponse answer(const HttpRequest& request);
    // On the owning thread.
    void run(const std::shared_ptr<Job>& job);

    Handler m_handler;
    LateHandler m_late;
    Limits m_limits;
    MHD_Daemon* m_daemon = nullptr;
    std::unique_ptr<RequestDeadlines> m_deadlines;
    QHostAddress m_address;
    quint16 m_port = 0;
    QString m_startError; // what the library logged while starting
    std::atomic<bool> m_keepLog{false};

    std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_closing = false;
};

} // namespace brivane
