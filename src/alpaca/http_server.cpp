#include "alpaca/http_server.h"

#include <microhttpd.h>

#include <QByteArray>
#include <QMetaObject>

#include <cstdio>
#include <cstring>

#ifndef Q_OS_WIN
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace brivane {

// A request handed to the owning thread; the server thread waits for it under the mutex.
struct HttpServer::Job {
    enum class State { Queued, Running, Done, Dropped };
    HttpRequest request;
    HttpResponse response;
    State state = State::Queued;
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
    // The first the library tells of a request: its target as sent. A connection has a thread of
    // its own, on which its requests come one after the other: the thread's context is the
    // request's, and goes with the thread however the connection ends.
    static void* begin(void*, const char* uri, MHD_Connection*) {
        thread_local RequestContext context;
        context = RequestContext{uri, {}, false, false};
        return &context;
    }

    // Nothing to free (the context is the thread's); without this callback the library was seen to
    // leave a closed connection counted until the next one came.
    static void end(void*, MHD_Connection*, void** requestContext, MHD_RequestTerminationCode) {
        *requestContext = nullptr;
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
                return send(connection, HttpResponse::text(400, QStringLiteral("Content-Length twice")));
            if (qstrcmp(version, MHD_HTTP_VERSION_1_0) != 0 &&
                !MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST))
                return send(connection, HttpResponse::text(400, QStringLiteral("HTTP/1.1 without Host")));
            const char* length =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            // Refused before its body is read.
            if (length && std::strlen(length) > 0 && QByteArray(length).toLongLong() > maxBody)
                return send(connection,
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
    // A thread per connection: a request waiting for the owning thread holds up no other.
    m_daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG,
        port, nullptr, nullptr, &HttpServerCallbacks::handle, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<const sockaddr*>(&bind), MHD_OPTION_CONNECTION_LIMIT, m_limits.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_limits.perAddress, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(m_limits.idleTimeout.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        m_limits.memoryPerConnection, MHD_OPTION_THREAD_STACK_SIZE, std::size_t{256 * 1024},
        MHD_OPTION_URI_LOG_CALLBACK, &HttpServerCallbacks::begin, this, MHD_OPTION_NOTIFY_COMPLETED,
        &HttpServerCallbacks::end, this, MHD_OPTION_EXTERNAL_LOGGER, &HttpServerCallbacks::log, this,
        MHD_OPTION_END);
    m_keepLog = false;
    if (!m_daemon) {
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
