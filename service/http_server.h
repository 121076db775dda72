#pragma once

// A small read-only HTTP/1.1 server on libmicrohttpd, run from the Qt event loop without a
// thread of its own: libmicrohttpd's epoll descriptor sits on a QSocketNotifier, and MHD_run
// runs when it is readable or when MHD_get_timeout says so. Nothing here ever blocks the loop,
// so a slow or hostile client costs the serial lines nothing.
//
// What a client may do: GET and HEAD (anything else is 405), request headers of at most 8 KiB
// (431 beyond), no body (413), the request complete within 10 s of its connection (or, on a
// kept-alive connection, of its request line) or the connection is closed. A peer outside
// `allow`, and a connection past `max_clients`, is accepted and closed at once. A connection
// that sends or takes nothing for `idle_timeout` is closed.
//
// An event stream is a response of unknown length whose bytes come from Broadcast; while it
// has nothing to send its connection is suspended. Each stream holds at most kStreamBound
// unsent bytes: a client that reads slower than the events come is disconnected and counted,
// never buffered without limit.

#include "listen_config.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

class QSocketNotifier;
struct MHD_Connection;
struct MHD_Daemon;

struct HttpReply {
    int Status = 200;
    std::string ContentType = "text/plain; charset=utf-8";
    std::string Body;
    std::vector<std::pair<std::string, std::string>> Headers; // beyond Content-Type
    // An event stream: Body is its first bytes, Broadcast brings the rest.
    bool Stream = false;
};

// The server's counts over its life.
struct HttpFigures {
    uint64_t Requests = 0;       // complete requests answered
    uint64_t Refused = 0;        // connections closed at once: outside allow, or too many
    uint64_t TimedOut = 0;       // requests not complete in time
    uint64_t StreamsDropped = 0; // streams whose client fell too far behind
    uint64_t Connections = 0;    // open now
    uint64_t Streams = 0;        // open now
};

class HttpServer : public QObject {
public:
    static constexpr size_t kMaxHeaderBytes = 8192;
    static constexpr size_t kStreamBound = 256 * 1024;
    static constexpr int64_t kRequestDeadlineMs = 10000;

    // Answers a GET or HEAD of `path` (without its query); called from the event loop.
    using Handler = std::function<HttpReply(const std::string& path)>;

    explicit HttpServer(Handler handler);
    ~HttpServer() override;

    // Listens as `listen` says; false, with the reason, when it cannot.
    bool Start(const ListenConfig& listen, std::string& error);
    // Ends the streams, closes every connection and the listening socket.
    void Stop();
    bool Running() const { return m_daemon != nullptr; }

    // Appends `bytes` to every open event stream.
    void Broadcast(std::string_view bytes);
    bool HasStreams() const { return !m_streams.empty(); }
    HttpFigures Figures() const;

private:
    struct Connection;
    struct Stream;

    void Run();
    void RunSoon() { m_runTimer.start(0); }
    void CloseLateRequests();
    void Disconnect(Connection& connection);
    // Answers a request that breaks the rules (true), or leaves it to Answer.
    bool Refuse(MHD_Connection* handle, Connection* connection, const char* method);
    void Answer(MHD_Connection* handle, Connection* connection, const char* url,
                const char* method);
    void Queue(MHD_Connection* handle, Connection* connection, const HttpReply& reply);

    friend struct HttpCallbacks; // libmicrohttpd's callbacks, in the .cpp

    Handler m_handler;
    ListenConfig m_listen;
    MHD_Daemon* m_daemon = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_runTimer; // MHD_run when libmicrohttpd's time-out says, or soon after a change
    QTimer m_throttle; // the end of a window whose share of the event loop is spent
    QElapsedTimer m_window;
    int64_t m_spentNs = 0; // in MHD_run during the current window
    QTimer m_deadlines;    // closes requests that take too long
    QElapsedTimer m_clock;
    std::unordered_set<Connection*> m_connections;
    std::unordered_set<Stream*> m_streams;
    HttpFigures m_figures;
};
