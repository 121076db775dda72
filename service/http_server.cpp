#include "http_server.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// Room for headers up to kMaxHeaderBytes with the response's own headers beside them.
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr size_t kStreamBlock = 8 * 1024;
// What the kernel may hold for a stream's client beyond kStreamBound.
constexpr int kStreamSocketBuffer = 64 * 1024;
constexpr int kBacklog = 64;
// Of every 100 ms of the event loop the HTTP side takes at most 25 ms.
constexpr int64_t kWindowNs = 100'000'000;
constexpr int64_t kBudgetNs = 25'000'000;

// A non-blocking listening socket on the configured address; -1 and the reason otherwise.
int ListenSocket(const ListenConfig& listen, std::string& error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* four = reinterpret_cast<sockaddr_in*>(&address);
    auto* six = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, listen.Address.c_str(), &four->sin_addr) == 1) {
        four->sin_family = AF_INET;
        four->sin_port = htons(listen.Port);
        length = sizeof *four;
    } else if (inet_pton(AF_INET6, listen.Address.c_str(), &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(listen.Port);
        length = sizeof *six;
    } else {
        error = "no address: " + listen.Address;
        return -1;
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (address.ss_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, kBacklog) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// A request's state: its headers are in, and it has been answered (or refused).
char kHeadersIn;
char kAnswered;

} // namespace

// What the server knows of one TCP connection (libmicrohttpd's socket context).
struct HttpServer::Connection {
    MHD_Connection* Handle = nullptr;
    int Fd = -1;
    int64_t DeadlineMs = -1; // the request must be complete by then; -1 while none is due
};

// An event stream's bytes not yet handed to libmicrohttpd.
struct HttpServer::Stream {
    HttpServer* Server = nullptr;
    Connection* Owner = nullptr;
    std::string Pending;
    size_t Taken = 0;       // of Pending, handed out
    bool Suspended = false; // waiting for bytes
    bool Ending = false;    // the server stops: ends after what is pending
    bool Dropped = false;   // fell behind: ends at once
    size_t Unsent() const { return Pending.size() - Taken; }
};

// libmicrohttpd's callbacks, with its exact signatures.
struct HttpCallbacks {
    static MHD_Result Accept(void* cls, const sockaddr* address, socklen_t) {
        auto* server = static_cast<HttpServer*>(cls);
        if (!IsAllowed(server->m_listen.Allow, address) ||
            server->m_connections.size() >= server->m_listen.MaxClients) {
            ++server->m_figures.Refused;
            return MHD_NO;
        }
        return MHD_YES;
    }

    static void Notify(void* cls, MHD_Connection* handle, void** context,
                       MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* connection = new HttpServer::Connection;
            connection->Handle = handle;
            if (const auto* info =
                    MHD_get_connection_info(handle, MHD_CONNECTION_INFO_CONNECTION_FD))
                connection->Fd = info->connect_fd;
            connection->DeadlineMs = server->m_clock.elapsed() + HttpServer::kRequestDeadlineMs;
            server->m_connections.insert(connection);
            *context = connection;
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            auto* connection = static_cast<HttpServer::Connection*>(*context);
            for (HttpServer::Stream* stream : server->m_streams)
                if (stream->Owner == connection)
                    stream->Owner = nullptr;
            server->m_connections.erase(connection);
            delete connection;
            *context = nullptr;
        }
    }

    static HttpServer::Connection* Of(MHD_Connection* handle) {
        const auto* info = MHD_get_connection_info(handle, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<HttpServer::Connection*>(info->socket_context) : nullptr;
    }

    // The request line has come: on a kept-alive connection, the next request's time starts.
    static void* RequestLine(void* cls, const char*, MHD_Connection* handle) {
        auto* server = static_cast<HttpServer*>(cls);
        if (HttpServer::Connection* connection = Of(handle)) {
            const int64_t due = server->m_clock.elapsed() + HttpServer::kRequestDeadlineMs;
            connection->DeadlineMs =
                connection->DeadlineMs < 0 ? due : std::min(connection->DeadlineMs, due);
        }
        return nullptr;
    }

    // Called once the headers are in, then again for the body: a request that must be refused
    // is answered at once (libmicrohttpd then closes the connection); the others on the second
    // call, which keeps the connection open for the next request.
    static MHD_Result Access(void* cls, MHD_Connection* handle, const char* url, const char* method,
                             const char*, const char*, size_t* uploadSize, void** requestState) {
        auto* server = static_cast<HttpServer*>(cls);
        if (*requestState == nullptr) {
            const bool refused = server->Refuse(handle, Of(handle), method);
            *requestState = refused ? &kAnswered : &kHeadersIn;
            return MHD_YES;
        }
        *uploadSize = 0; // a body that came anyway is refused already: dropped
        if (*requestState == &kHeadersIn) {
            *requestState = &kAnswered;
            server->Answer(handle, Of(handle), url, method);
        }
        return MHD_YES;
    }

    // A response has gone: a kept-alive connection may wait for its next request as long as
    // idle_timeout allows, and must then complete it in time.
    static void Completed(void* cls, MHD_Connection* handle, void**, MHD_RequestTerminationCode) {
        auto* server = static_cast<HttpServer*>(cls);
        if (HttpServer::Connection* connection = Of(handle))
            connection->DeadlineMs = server->m_clock.elapsed() +
                                     int64_t(server->m_listen.IdleTimeoutS) * 1000 +
                                     HttpServer::kRequestDeadlineMs;
    }

    static ssize_t Read(void* cls, uint64_t, char* buffer, size_t max) {
        auto* stream = static_cast<HttpServer::Stream*>(cls);
        if (stream->Dropped)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        if (stream->Unsent() > 0) {
            const size_t n = std::min(max, stream->Unsent());
            std::memcpy(buffer, stream->Pending.data() + stream->Taken, n);
            stream->Taken += n;
            if (stream->Taken == stream->Pending.size()) {
                stream->Pending.clear();
                stream->Taken = 0;
            }
            return ssize_t(n);
        }
        if (stream->Ending || !stream->Owner)
            return MHD_CONTENT_READER_END_OF_STREAM;
        // Nothing to send: out of libmicrohttpd's loop until Broadcast brings bytes.
        MHD_suspend_connection(stream->Owner->Handle);
        stream->Suspended = true;
        return 0;
    }

    static void Free(void* cls) {
        auto* stream = static_cast<HttpServer::Stream*>(cls);
        stream->Server->m_streams.erase(stream);
        delete stream;
    }
};

HttpServer::HttpServer(Handler handler) : m_handler(std::move(handler)) {
    m_clock.start();
    m_runTimer.setSingleShot(true);
    connect(&m_runTimer, &QTimer::timeout, this, [this] { Run(); });
    m_throttle.setSingleShot(true);
    connect(&m_throttle, &QTimer::timeout, this, [this] {
        m_window.start();
        m_spentNs = 0;
        if (m_notifier)
            m_notifier->setEnabled(true);
        Run();
    });
    m_window.start();
    m_deadlines.setInterval(250);
    connect(&m_deadlines, &QTimer::timeout, this, [this] { CloseLateRequests(); });
}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Start(const ListenConfig& listen, std::string& error) {
    Stop();
    m_listen = listen;
    const int fd = ListenSocket(listen, error);
    if (fd < 0)
        return false;
    // The connection limit lies one above max_clients: the accept policy refuses the extra
    // client itself, so that libmicrohttpd never stops taking connections and a client past
    // the limit is closed at once rather than left waiting in the backlog.
    m_daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, &HttpCallbacks::Accept, this,
        &HttpCallbacks::Access, this, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
        unsigned(listen.MaxClients + 1), MHD_OPTION_CONNECTION_TIMEOUT,
        unsigned(listen.IdleTimeoutS), MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_NOTIFY_CONNECTION, &HttpCallbacks::Notify, this, MHD_OPTION_NOTIFY_COMPLETED,
        &HttpCallbacks::Completed, this, MHD_OPTION_URI_LOG_CALLBACK, &HttpCallbacks::RequestLine,
        this, MHD_OPTION_END);
    const MHD_DaemonInfo* info =
        m_daemon ? MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!info) {
        error = "libmicrohttpd did not start";
        if (m_daemon)
            MHD_stop_daemon(m_daemon);
        else
            ::close(fd);
        m_daemon = nullptr;
        return false;
    }
    m_notifier = new QSocketNotifier(info->epoll_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { Run(); });
    m_deadlines.start();
    RunSoon();
    return true;
}

void HttpServer::Stop() {
    if (!m_daemon)
        return;
    // Every connection must be in libmicrohttpd's hands before it stops.
    for (Stream* stream : m_streams) {
        stream->Ending = true;
        if (std::exchange(stream->Suspended, false) && stream->Owner)
            MHD_resume_connection(stream->Owner->Handle);
    }
    MHD_run(m_daemon);
    delete m_notifier;
    m_notifier = nullptr;
    m_runTimer.stop();
    m_throttle.stop();
    m_deadlines.stop();
    MHD_stop_daemon(m_daemon); // closes the connections and the listening socket
    m_daemon = nullptr;
}

void HttpServer::Run() {
    if (!m_daemon || m_throttle.isActive())
        return;
    if (m_window.nsecsElapsed() >= kWindowNs) {
        m_window.start();
        m_spentNs = 0;
    }
    QElapsedTimer spent;
    spent.start();
    MHD_run(m_daemon);
    m_spentNs += spent.nsecsElapsed();
    // A flood of requests gets its share of the event loop and no more: the serial lines'
    // events are taken between, so no client delays a line.
    if (m_spentNs >= kBudgetNs) {
        m_notifier->setEnabled(false);
        m_runTimer.stop();
        m_throttle.start(
            int(std::max<int64_t>(kWindowNs - m_window.nsecsElapsed(), 0) / 1000000 + 1));
        return;
    }
    MHD_UNSIGNED_LONG_LONG waitMs = 0;
    if (MHD_get_timeout(m_daemon, &waitMs) == MHD_YES)
        m_runTimer.start(int(std::min<MHD_UNSIGNED_LONG_LONG>(waitMs, INT_MAX)));
    else
        m_runTimer.stop();
}

void HttpServer::Disconnect(Connection& connection) {
    // libmicrohttpd owns the socket: shut down, it reads the end and closes it itself.
    if (connection.Fd >= 0)
        ::shutdown(connection.Fd, SHUT_RDWR);
    connection.DeadlineMs = -1;
    RunSoon();
}

void HttpServer::CloseLateRequests() {
    const int64_t now = m_clock.elapsed();
    for (Connection* connection : m_connections)
        if (connection->DeadlineMs >= 0 && now >= connection->DeadlineMs) {
            ++m_figures.TimedOut;
            Disconnect(*connection);
        }
}

bool HttpServer::Refuse(MHD_Connection* handle, Connection* connection, const char* method) {
    if (connection)
        connection->DeadlineMs = -1; // complete
    ++m_figures.Requests;
    const std::string_view verb(method);
    const auto* header = MHD_get_connection_info(handle, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    const char* length = MHD_lookup_connection_value(handle, MHD_HEADER_KIND, "Content-Length");
    const bool body =
        (length && std::strcmp(length, "0") != 0) ||
        MHD_lookup_connection_value(handle, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr;
    HttpReply reply;
    if (header && header->header_size > kMaxHeaderBytes) {
        reply.Status = MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE;
        reply.Body = "request headers over 8 KiB\n";
    } else if (verb != "GET" && verb != "HEAD") {
        reply.Status = MHD_HTTP_METHOD_NOT_ALLOWED;
        reply.Body = "only GET and HEAD\n";
        reply.Headers.emplace_back("Allow", "GET, HEAD");
    } else if (body) {
        reply.Status = MHD_HTTP_CONTENT_TOO_LARGE;
        reply.Body = "a request takes no body\n";
    } else {
        return false;
    }
    Queue(handle, connection, reply);
    return true;
}

void HttpServer::Answer(MHD_Connection* handle, Connection* connection, const char* url,
                        const char* method) {
    HttpReply reply = m_handler(url);
    if (reply.Stream && std::strcmp(method, "HEAD") == 0)
        reply.Stream = false; // the headers alone
    Queue(handle, connection, reply);
}

void HttpServer::Queue(MHD_Connection* handle, Connection* connection, const HttpReply& reply) {
    MHD_Response* response = nullptr;
    if (reply.Stream && connection) {
        auto* stream = new Stream;
        stream->Server = this;
        stream->Owner = connection;
        stream->Pending = reply.Body;
        response = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, kStreamBlock, &HttpCallbacks::Read, stream, &HttpCallbacks::Free);
        if (!response) {
            delete stream;
            return;
        }
        m_streams.insert(stream);
        // The kernel holds little for it: falling behind shows in Pending, where it is bounded.
        ::setsockopt(connection->Fd, SOL_SOCKET, SO_SNDBUF, &kStreamSocketBuffer,
                     sizeof kStreamSocketBuffer);
    } else {
        response = MHD_create_response_from_buffer(
            reply.Body.size(), const_cast<char*>(reply.Body.data()), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.ContentType.c_str());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : reply.Headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_queue_response(handle, unsigned(reply.Status), response);
    MHD_destroy_response(response); // freed once sent
}

void HttpServer::Broadcast(std::string_view bytes) {
    if (m_streams.empty())
        return;
    for (Stream* stream : m_streams) {
        if (stream->Dropped || stream->Ending || !stream->Owner)
            continue;
        if (stream->Unsent() + bytes.size() > kStreamBound) {
            stream->Dropped = true;
            ++m_figures.StreamsDropped;
            Disconnect(*stream->Owner);
        } else {
            if (stream->Taken > 0 && stream->Taken >= stream->Pending.size() / 2) {
                stream->Pending.erase(0, stream->Taken);
                stream->Taken = 0;
            }
            stream->Pending += bytes;
        }
        if (std::exchange(stream->Suspended, false))
            MHD_resume_connection(stream->Owner->Handle);
    }
    RunSoon();
}

HttpFigures HttpServer::Figures() const {
    HttpFigures figures = m_figures;
    figures.Connections = m_connections.size();
    figures.Streams = m_streams.size();
    return figures;
}
