#pragma once

// The service as a Modbus TCP gateway: every instrument readable as registers at a unit id of
// its own, from what the lines have read (modbus_map.h). No request ever reaches a serial line.
//
// The listening socket is accepted from the Qt event loop; each client gets its own libmodbus
// context and thread, so a slow or silent one waits on its own socket only. The threads answer
// from a copy of the lines' data under a lock, which the event loop brings up to date as each
// exchange ends without ever waiting for that lock. A peer outside `allow` is refused, and so is
// one beyond `max_clients`: both are accepted and closed at once, never left in the backlog.

#include "output.h"
#include "service_config.h"

#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

class ModbusOutput : public Output {
public:
    ModbusOutput();
    // Closes the listener and every connection, and waits for their threads.
    ~ModbusOutput() override;

    // Puts the configuration's [modbus] and its lines' unit ids in force. The listener (and
    // with it every connection) is opened again only when its settings changed, or when it
    // could not be opened before.
    void Configure(const ServiceConfig& config);

    void Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) override;
    void AvailabilityChanged(const InstrumentState& instrument) override;
    void LineChanged(const LineState& line) override;

private:
    struct Client {
        std::thread Thread;
        std::mutex SocketLock; // the thread closes the socket, a stop shuts it down
        int Socket = -1;
        std::atomic<bool> Done = false;
    };
    struct Unit {
        const InstrumentData* Instrument = nullptr;
        const LineData* Line = nullptr;
    };

    using Key = std::pair<std::string, uint32_t>; // line, address
    // Brings the clients' copy up to date, now or, when a client holds it, a moment later.
    void Publish();
    bool Listen();
    void StopListening();
    void Accept();
    // Closes a connection refused for `reason` (0: allow, 1: max_clients) and tells why, at
    // most once a minute for each reason.
    void Refuse(int socket, size_t reason, const std::string& why);
    void Serve(Client& client, uint32_t idleTimeoutS);
    void Reap();
    // The connections whose peers are still there: one its client closed stops counting at
    // once, though its thread, which runs on idle time only, may take a while to end.
    size_t Connected();

    ListenConfig m_listen;
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::list<Client> m_clients;
    struct Told {
        int64_t AtMs = INT64_MIN / 2;
        uint64_t Since = 0; // refused and not told since
    };
    std::array<Told, 2> m_refused;

    // The event loop's own, and what changed since it was published.
    GatewaySettings m_settings;
    std::map<Key, InstrumentData> m_instruments;
    std::map<std::string, LineData> m_lines;
    std::array<std::optional<Key>, 256> m_unitKeys;
    std::set<Key> m_changedInstruments;
    std::set<std::string> m_changedLines;
    bool m_relink = false; // the units or settings changed: the whole copy is made again
    QTimer m_publish;

    // The clients' copy.
    struct Shared {
        GatewaySettings Settings;
        std::map<Key, InstrumentData> Instruments;
        std::map<std::string, LineData> Lines;
        std::array<Unit, 256> Units{}; // into the maps above
    };
    std::mutex m_mutex;
    Shared m_shared;
};
