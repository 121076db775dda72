#include "modbus_output.h"

#include "service_log.h"

#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Where(const ListenConfig& listen) {
    const bool six = listen.Address.find(':') != std::string::npos;
    return (six ? "[" + listen.Address + "]" : listen.Address) + ":" + std::to_string(listen.Port);
}

// The rest of a frame the library framed short: `count` more bytes within `timeoutS`.
bool ReadRest(int socket, uint8_t* to, size_t count, uint32_t timeoutS) {
    const int64_t until = SteadyMs() + int64_t(timeoutS) * 1000;
    while (count > 0) {
        pollfd waiting{socket, POLLIN, 0};
        const int left = int(std::max<int64_t>(until - SteadyMs(), 0));
        if (poll(&waiting, 1, left) <= 0)
            return false;
        const ssize_t got = recv(socket, to, count, 0);
        if (got <= 0)
            return false;
        to += got;
        count -= size_t(got);
    }
    return true;
}

} // namespace

ModbusOutput::~ModbusOutput() {
    StopListening();
}

ModbusOutput::ModbusOutput() {
    m_publish.setSingleShot(true);
    m_publish.setInterval(1);
    QObject::connect(&m_publish, &QTimer::timeout, [this] { Publish(); });
}

void ModbusOutput::Configure(const ServiceConfig& config) {
    m_settings = config.Modbus.Gateway;
    // Instruments and lines still configured keep what they had.
    std::map<Key, InstrumentData> instruments;
    std::map<std::string, LineData> lines;
    m_unitKeys.fill(std::nullopt);
    for (const LineConfig& line : config.Lines) {
        lines[line.Name] = std::move(m_lines[line.Name]);
        const std::vector<uint32_t> ids = UnitIdsOf(config.Modbus, line);
        for (size_t i = 0; i < line.Addresses.size(); ++i) {
            const Key key{line.Name, line.Addresses[i]};
            instruments[key] = std::move(m_instruments[key]);
            if (i < ids.size())
                m_unitKeys[ids[i] & 0xFF] = key;
        }
    }
    m_instruments = std::move(instruments);
    m_lines = std::move(lines);
    m_relink = true;
    Publish();
    if (m_socket >= 0 && config.Modbus.Listen == m_listen)
        return;
    StopListening();
    m_listen = config.Modbus.Listen;
    Listen();
}

bool ModbusOutput::Listen() {
    const bool six = m_listen.Address.find(':') != std::string::npos;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (six) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(m_listen.Port);
        inet_pton(AF_INET6, m_listen.Address.c_str(), &in6->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(m_listen.Port);
        inet_pton(AF_INET, m_listen.Address.c_str(), &in4->sin_addr);
        length = sizeof(sockaddr_in);
    }
    m_socket = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (m_socket < 0 || setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(m_socket, 64) != 0) {
        ServiceLog(Priority::Error, "Modbus: cannot listen on " + Where(m_listen) + ": " +
                                        std::strerror(errno) + "; trying again at a reload");
        if (m_socket >= 0)
            close(m_socket);
        m_socket = -1;
        return false;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Accept(); });
    ServiceLog(Priority::Info, "Modbus: listening on " + Where(m_listen));
    return true;
}

void ModbusOutput::StopListening() {
    m_notifier.reset();
    if (m_socket >= 0)
        close(m_socket);
    m_socket = -1;
    // Shut down rather than closed: a thread waiting on its socket wakes, and closes it itself.
    for (Client& client : m_clients) {
        const std::lock_guard lock(client.SocketLock);
        if (client.Socket >= 0)
            shutdown(client.Socket, SHUT_RDWR);
    }
    for (Client& client : m_clients)
        client.Thread.join();
    m_clients.clear();
}

void ModbusOutput::Reap() {
    m_clients.remove_if([](Client& client) {
        if (!client.Done)
            return false;
        client.Thread.join();
        return true;
    });
}

size_t ModbusOutput::Connected() {
    size_t connected = 0;
    for (Client& client : m_clients) {
        const std::lock_guard lock(client.SocketLock);
        pollfd peer{client.Socket, POLLRDHUP, 0};
        connected += client.Socket >= 0 &&
                     !(poll(&peer, 1, 0) == 1 && (peer.revents & (POLLRDHUP | POLLHUP | POLLERR)));
    }
    return connected;
}

void ModbusOutput::Refuse(int socket, size_t reason, const std::string& why) {
    close(socket);
    Told& told = m_refused[reason];
    const int64_t now = SteadyMs();
    if (now - told.AtMs < 60000) {
        ++told.Since;
        return;
    }
    ServiceLog(Priority::Warning, "Modbus: refused a connection " + why +
                                      (told.Since ? " (and " + std::to_string(told.Since) +
                                                        " more in the minute before)"
                                                  : ""));
    told = {now, 0};
}

void ModbusOutput::Accept() {
    while (true) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int socket =
            accept4(m_socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (socket < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue; // one that went before it was taken
        if (socket < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the listener would wake again at once, so it
                // rests a second, and the waiting connections with it.
                ServiceLog(Priority::Warning, std::string("Modbus: cannot take a connection: ") +
                                                  std::strerror(errno));
                m_notifier->setEnabled(false);
                QTimer::singleShot(1000, m_notifier.get(),
                                   [notifier = m_notifier.get()] { notifier->setEnabled(true); });
            }
            return;
        }
        Reap();
        char text[INET6_ADDRSTRLEN] = "?";
        const void* raw =
            peer.ss_family == AF_INET6
                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr)
                : &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr;
        inet_ntop(peer.ss_family, raw, text, sizeof text);
        if (!IsAllowed(m_listen.Allow, reinterpret_cast<const sockaddr*>(&peer))) {
            Refuse(socket, 0, std::string("from ") + text + ": not in allow");
            continue;
        }
        // Threads of closed connections still ending are bounded too: as many again.
        if (Connected() >= m_listen.MaxClients || m_clients.size() >= 2 * m_listen.MaxClients) {
            Refuse(socket, 1,
                   std::string("from ") + text + ": max_clients (" +
                       std::to_string(m_listen.MaxClients) + ") connected");
            continue;
        }
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // An answer its client leaves untaken for idle_timeout ends the connection, as silence
        // does: a client that sends and never reads would otherwise hold its place for good.
        // Answers are short; a fixed buffer bounds what such a client holds in the kernel.
        const timeval idle{time_t(m_listen.IdleTimeoutS), 0};
        const int buffer = 64 * 1024;
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
        setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        Client& client = m_clients.emplace_back();
        client.Socket = socket;
        try {
            client.Thread =
                std::thread([this, &client, idle = m_listen.IdleTimeoutS] { Serve(client, idle); });
        } catch (const std::system_error& error) { // no thread to be had: refused
            m_clients.pop_back();
            Refuse(socket, 1, std::string("from ") + text + ": " + error.what());
        }
    }
}

void ModbusOutput::Serve(Client& client, uint32_t idleTimeoutS) {
    // Served with the processor time the lines leave: the lines wait on their ports with
    // time-outs of tens of ms, and on two cores ten busy clients would otherwise hold off the
    // event loop (and the kernel's work that brings a port's bytes) for longer than that.
    const sched_param none{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
    modbus_t* context = modbus_new_tcp(nullptr, 0);
    if (context) {
        modbus_set_socket(context, client.Socket);
        // Waiting for a request, and within one: a half frame is closed as silence is.
        modbus_set_indication_timeout(context, idleTimeoutS, 0);
        modbus_set_byte_timeout(context, idleTimeoutS, 0);
    }
    uint8_t adu[kMaxFrame];
    GatewayAnswer answer;
    InstrumentData instrument;
    LineData line;
    while (context) {
        const int read = modbus_receive(context, adu);
        if (read <= 0)
            break; // the peer went, said nothing for idle_timeout, or sent no frame
        // The library frames a request by its function code alone: its header must agree.
        const auto length = FrameLength(adu, size_t(read));
        if (!length || (*length > size_t(read) &&
                        !ReadRest(client.Socket, adu + read, *length - size_t(read), idleTimeoutS)))
            break;
        GatewaySettings settings;
        bool known = false;
        {
            const std::lock_guard lock(m_mutex);
            const Unit& unit = m_shared.Units[adu[6]];
            settings = m_shared.Settings;
            if ((known = unit.Instrument != nullptr)) {
                instrument = *unit.Instrument;
                line = *unit.Line;
            }
        }
        Answer(adu, known ? &instrument : nullptr, known ? &line : nullptr, settings, SteadyMs(),
               answer);
        if (SendAnswer(context, adu, int(*length), answer) < 0)
            break;
    }
    {
        const std::lock_guard lock(client.SocketLock);
        close(client.Socket);
        client.Socket = -1;
    }
    if (context)
        modbus_free(context);
    client.Done = true;
}

void ModbusOutput::Publish() {
    // A client's thread runs only when nothing else wants the processor: waiting for one that
    // holds the lock could hold up the event loop for as long. Published a moment later instead.
    std::unique_lock lock(m_mutex, std::try_to_lock);
    if (!lock) {
        m_publish.start();
        return;
    }
    if (std::exchange(m_relink, false)) {
        m_shared.Settings = m_settings;
        m_shared.Instruments = m_instruments;
        m_shared.Lines = m_lines;
        for (size_t id = 0; id < m_unitKeys.size(); ++id)
            m_shared.Units[id] = m_unitKeys[id] ? Unit{&m_shared.Instruments.at(*m_unitKeys[id]),
                                                       &m_shared.Lines.at(m_unitKeys[id]->first)}
                                                : Unit{};
    } else {
        for (const Key& key : m_changedInstruments)
            m_shared.Instruments.at(key) = m_instruments.at(key);
        for (const std::string& line : m_changedLines)
            m_shared.Lines.at(line) = m_lines.at(line);
    }
    m_changedInstruments.clear();
    m_changedLines.clear();
}

void ModbusOutput::Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) {
    if (record.Aborted) // a stop cut it short: it says nothing of the line or the instrument
        return;
    const int64_t now = SteadyMs();
    const auto line = m_lines.find(instrument.Line);
    const auto found = m_instruments.find({instrument.Line, instrument.Address});
    if (line == m_lines.end() || found == m_instruments.end())
        return;
    ++line->second.Exchanges;
    line->second.NoAnswer += record.Outcome == ExchangeOutcome::NoAnswer;
    line->second.ChecksumMismatch += record.Outcome == ExchangeOutcome::ChecksumMismatch;
    line->second.Rate.Add(now);
    InstrumentData& data = found->second;
    data.Online = instrument.Online.value_or(false);
    if (record.Reading && record.Outcome == ExchangeOutcome::Ok) {
        data.Reading = *record.Reading;
        data.Answered = true;
        data.Seq = instrument.Seq;
        data.ExchangeMs = record.ExchangeMs;
        data.ReadAtMs = record.Received.SteadyMs >= 0 ? record.Received.SteadyMs : now;
    }
    m_changedLines.insert(line->first);
    m_changedInstruments.insert(found->first);
    Publish();
}

void ModbusOutput::AvailabilityChanged(const InstrumentState& instrument) {
    const auto found = m_instruments.find({instrument.Line, instrument.Address});
    if (found == m_instruments.end())
        return;
    found->second.Online = instrument.Online.value_or(false);
    m_changedInstruments.insert(found->first);
    Publish();
}

void ModbusOutput::LineChanged(const LineState& line) {
    const auto found = m_lines.find(line.Line);
    if (found == m_lines.end())
        return;
    found->second.PortOpen = line.PortOpen;
    m_changedLines.insert(found->first);
    Publish();
}
