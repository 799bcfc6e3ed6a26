#include "alpaca/http_server.h"

#include <microhttpd.h>

#include <QByteArray>
#include <QMetaObject>

#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#ifndef Q_OS_WIN
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace brivane {

// A request handed to the owning thread; the server thread waits for it under the mutex.
struct HttpServer::Job {
    enum class State { Queued, Running, Done, Dropped };
    HttpRequest request;
    HttpResponse response;
    State state = State::Queued;
};

// Ends requests that take longer than the time-out to come in, counted from the connection's
// start or its previous answer: the library's own time-out restarts with every byte, so a client
// trickling its request would hold a connection for as long as it likes. The client gets 408 and
// the socket is shut down, which the connection's thread sees and closes. Sleeps until the next
// deadline; the library's callbacks keep the table.
class HttpServer::RequestDeadlines {
public:
    using Clock = std::chrono::steady_clock;

    explicit RequestDeadlines(std::chrono::milliseconds timeout)
        : m_timeout(timeout), m_thread([this] { run(); }) {}
    ~RequestDeadlines() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    void opened(MHD_Connection* connection) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info)
            return;
        const std::lock_guard lock(m_mutex);
        m_connections[connection] = Watched{info->connect_fd, Clock::now()};
        m_wake.notify_all();
    }
    // Called before the library closes the socket.
    void closed(MHD_Connection* connection) {
        const std::lock_guard lock(m_mutex);
        m_connections.erase(connection);
    }
    // A request's first line is in: at its deadline it gets 408 (before: the connection is closed).
    void begun(MHD_Connection* connection) {
        const std::lock_guard lock(m_mutex);
        if (const auto found = m_connections.find(connection); found != m_connections.end())
            found->second.requested = true;
    }
    // A request is all in and being answered: no deadline until its answer has gone.
    void answering(MHD_Connection* connection) { mark(connection, true); }
    // The answer has gone: the next request's time starts.
    void answered(MHD_Connection* connection) { mark(connection, false); }

private:
    struct Watched {
        MHD_socket socket;
        Clock::time_point since;
        bool requested = false;
        bool answering = false;
        bool expired = false;
    };

    void mark(MHD_Connection* connection, bool answering) {
        const std::lock_guard lock(m_mutex);
        const auto found = m_connections.find(connection);
        if (found == m_connections.end())
            return;
        found->second.answering = answering;
        if (!answering) {
            found->second.requested = false;
            found->second.since = Clock::now();
            m_wake.notify_all();
        }
    }

    void run() {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            const auto now = Clock::now();
            auto next = Clock::time_point::max();
            for (auto& [connection, watched] : m_connections) {
                if (watched.answering || watched.expired)
                    continue;
                if (watched.since + m_timeout <= now)
                    expire(watched);
                else
                    next = std::min(next, watched.since + m_timeout);
            }
            if (next == Clock::time_point::max())
                m_wake.wait(lock);
            else
                m_wake.wait_until(lock, next);
        }
    }

    static void expire(Watched& watched) {
        static constexpr char kTimedOut[] =
            "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
#ifdef Q_OS_WIN
        if (watched.requested)
            ::send(watched.socket, kTimedOut, int(sizeof kTimedOut - 1), 0);
        ::shutdown(watched.socket, SD_BOTH);
#else
        if (watched.requested)
            ::send(watched.socket, kTimedOut, sizeof kTimedOut - 1, MSG_NOSIGNAL);
        ::shutdown(watched.socket, SHUT_RDWR);
#endif
        watched.expired = true;
    }

    const std::chrono::milliseconds m_timeout;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<MHD_Connection*, Watched> m_connections;
    bool m_stop = false;
    std::thread m_thread; // last: started once the rest is ready
};

namespace {

// What the request now being read on a connection collects across the library's calls.
struct RequestContext {
    QByteArray target; // as sent, percent-encoded, with the query
    QByteArray body;
    bool started = false;
    bool tooLarge = false;
};

MHD_Result addHeader(void* request, MHD_ValueKind, const char* name, const char* value) {
    static_cast<HttpRequest*>(request)->headers.append(
        {QByteArray(name).toLower(), QByteArray(value ? value : "")});
    return MHD_YES;
}

MHD_Result countContentLength(void* count, MHD_ValueKind, const char* name, const char*) {
    if (qstricmp(name, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0)
        ++*static_cast<int*>(count);
    return MHD_YES;
}

MHD_Result send(MHD_Connection* connection, const HttpResponse& answer) {
    MHD_Response* response =
        MHD_create_response_from_buffer(static_cast<std::size_t>(answer.body.size()),
                                        const_cast<char*>(answer.body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    if (!answer.contentType.isEmpty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.constData());
    if (!answer.allow.isEmpty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, answer.allow.constData());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

struct HttpServerCallbacks {
    // The first the library tells of a request: its target as sent. The connection's context,
    // made when it opened and freed when it closes however it ends, is its request's: requests
    // on a connection come one after the other. (Not a thread_local: MinGW runs a thread_local's
    // destructor after freeing its storage, which corrupted the heap of the Windows build.)
    static void* begin(void* self, const char* uri, MHD_Connection* connection) {
        static_cast<HttpServer*>(self)->m_deadlines->begun(connection);
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* context = info ? static_cast<RequestContext*>(info->socket_context) : nullptr;
        if (context)
            *context = RequestContext{uri, {}, false, false};
        return context;
    }

    // Nothing to free (the context is the connection's); without this callback the library was
    // seen to leave a closed connection counted until the next one came.
    static void end(void* self, MHD_Connection* connection, void** requestContext,
                    MHD_RequestTerminationCode) {
        *requestContext = nullptr;
        static_cast<HttpServer*>(self)->m_deadlines->answered(connection);
    }

    static void notify(void* self, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode code) {
        HttpServer::RequestDeadlines& deadlines = *static_cast<HttpServer*>(self)->m_deadlines;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            *socketContext = new RequestContext;
            deadlines.opened(connection);
        } else {
            deadlines.closed(connection);
            delete static_cast<RequestContext*>(std::exchange(*socketContext, nullptr));
        }
    }

    static MHD_Result refuse(HttpServer* server, MHD_Connection* connection, const HttpResponse& answer) {
        server->m_deadlines->answering(connection);
        return send(connection, answer);
    }

    static MHD_Result handle(void* self, MHD_Connection* connection, const char*, const char* method,
                             const char* version, const char* uploadData, std::size_t* uploadDataSize,
                             void** requestContext) {
        auto* server = static_cast<HttpServer*>(self);
        auto* context = static_cast<RequestContext*>(*requestContext);
        if (!context)
            return MHD_NO;
        const qsizetype maxBody = server->m_limits.maxBody;
        if (!context->started) {
            context->started = true;
            int lengths = 0;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, countContentLength, &lengths);
            if (lengths > 1) // which one a proxy in between believed is anyone's guess
                return refuse(server, connection,
                              HttpResponse::text(400, QStringLiteral("Content-Length twice")));
            if (qstrcmp(version, MHD_HTTP_VERSION_1_0) != 0 &&
                !MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST))
                return refuse(server, connection,
                              HttpResponse::text(400, QStringLiteral("HTTP/1.1 without Host")));
            const char* length =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            // Refused before its body is read.
            if (length && std::strlen(length) > 0 && QByteArray(length).toLongLong() > maxBody)
                return refuse(server, connection,
                              HttpResponse::text(413, QStringLiteral("Body over %1 bytes").arg(maxBody)));
            return MHD_YES;
        }
        if (*uploadDataSize > 0) {
            if (context->body.size() + static_cast<qsizetype>(*uploadDataSize) > maxBody)
                context->tooLarge = true;
            else
                context->body.append(uploadData, static_cast<qsizetype>(*uploadDataSize));
            *uploadDataSize = 0;
            return context->tooLarge ? MHD_NO : MHD_YES; // a chunked body over the limit: closed
        }
        HttpRequest request;
        request.method = method;
        request.setTarget(context->target);
        request.body = context->body;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, addHeader, &request);
        server->m_deadlines->answering(connection);
        return send(connection, server->answer(request));
    }

    // Kept only while starting, for the reason a start failed; later messages are dropped.
    static void log(void* self, const char* format, va_list arguments) {
        auto* server = static_cast<HttpServer*>(self);
        if (!server->m_keepLog.load())
            return;
        char text[256];
        std::vsnprintf(text, sizeof text, format, arguments);
        server->m_startError = QString::fromLocal8Bit(text).trimmed();
    }
};

HttpServer::HttpServer(Handler handler, LateHandler late, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_late(std::move(late)) {}

HttpServer::~HttpServer() {
    close();
}

bool HttpServer::listen(const QHostAddress& address, quint16 port, QString& error) {
    if (m_daemon || address.protocol() != QAbstractSocket::IPv4Protocol) {
        error = QStringLiteral("Not an IPv4 address: %1").arg(address.toString());
        return false;
    }
    sockaddr_in bind{};
    bind.sin_family = AF_INET;
    bind.sin_port = htons(port);
    bind.sin_addr.s_addr = htonl(address.toIPv4Address());
    m_startError.clear();
    m_closing = false;
    m_keepLog = true;
    m_deadlines = std::make_unique<RequestDeadlines>(m_limits.requestTimeout);
    // A thread per connection: a request waiting for the owning thread holds up no other.
    m_daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG,
        port, nullptr, nullptr, &HttpServerCallbacks::handle, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<const sockaddr*>(&bind), MHD_OPTION_CONNECTION_LIMIT, m_limits.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_limits.perAddress, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(m_limits.idleTimeout.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        m_limits.memoryPerConnection, MHD_OPTION_THREAD_STACK_SIZE, std::size_t{256 * 1024},
        MHD_OPTION_URI_LOG_CALLBACK, &HttpServerCallbacks::begin, this, MHD_OPTION_NOTIFY_COMPLETED,
        &HttpServerCallbacks::end, this, MHD_OPTION_NOTIFY_CONNECTION, &HttpServerCallbacks::notify, this,
        MHD_OPTION_EXTERNAL_LOGGER, &HttpServerCallbacks::log, this, MHD_OPTION_END);
    m_keepLog = false;
    if (!m_daemon) {
        m_deadlines.reset();
        error = m_startError.isEmpty() ? QStringLiteral("The HTTP server did not start") : m_startError;
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : port;
    m_address = address;
    return true;
}

void HttpServer::close() {
    if (!m_daemon)
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_answered.notify_all();
    MHD_stop_daemon(m_daemon); // waits for its threads
    m_daemon = nullptr;
    m_deadlines.reset();
}

int HttpServer::connectionCount() const {
    if (!m_daemon)
        return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info ? static_cast<int>(info->num_connections) : 0;
}

HttpResponse HttpServer::answer(const HttpRequest& request) {
    auto job = std::make_shared<Job>();
    job->request = request;
    std::unique_lock lock(m_mutex);
    if (m_closing)
        return m_late(request, QStringLiteral("The server is stopping"));
    QMetaObject::invokeMethod(
        this, [this, job] { run(job); }, Qt::QueuedConnection);
    const bool done = m_answered.wait_for(lock, m_limits.answerDeadline,
                                          [&] { return job->state == Job::State::Done || m_closing; });
    if (done && job->state == Job::State::Done)
        return job->response;
    const bool started = job->state == Job::State::Running;
    job->state = Job::State::Dropped;
    if (m_closing)
        return m_late(request, QStringLiteral("The server is stopping"));
    return m_late(request, started ? QStringLiteral("The device did not answer within %1 ms; the "
                                                    "request may still take effect")
                                         .arg(m_limits.answerDeadline.count())
                                   : QStringLiteral("The device was busy for %1 ms; the request was "
                                                    "not carried out")
                                         .arg(m_limits.answerDeadline.count()));
}

void HttpServer::run(const std::shared_ptr<Job>& job) {
    {
        const std::lock_guard lock(m_mutex);
        if (job->state != Job::State::Queued)
            return;
        job->state = Job::State::Running;
    }
    HttpResponse response = m_handler(job->request);
    {
        const std::lock_guard lock(m_mutex);
        if (job->state == Job::State::Running) {
            job->response = std::move(response);
            job->state = Job::State::Done;
        }
    }
    m_answered.notify_all();
}

} // namespace brivane
