#pragma once

// The service as a Modbus TCP gateway: every instrument readable as registers at a unit id of
// its own, from what the lines have read (modbus_map.h). No request ever reaches a serial line.
//
// The listening socket is accepted from the Qt event loop; each client gets its own libmodbus
// context and thread, so a slow or silent one waits on its own socket only. The threads answer
// from a copy of the lines' data that the output keeps under a lock, updated from the event
// loop as each exchange ends. A peer outside `allow` is refused, and so is one beyond
// `max_clients`: both are accepted and closed at once, never left in the backlog.

#include "output.h"
#include "service_config.h"

#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class ModbusOutput : public Output {
public:
    ModbusOutput() = default;
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

    bool Listen();
    void StopListening();
    void Accept();
    // Closes a connection refused for `reason` (0: allow, 1: max_clients) and tells why, at
    // most once a minute for each reason.
    void Refuse(int socket, size_t reason, const std::string& why);
    void Serve(Client& client, uint32_t idleTimeoutS);
    void Reap();

    ListenConfig m_listen;
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::list<Client> m_clients;
    struct Told {
        int64_t AtMs = INT64_MIN / 2;
        uint64_t Since = 0; // refused and not told since
    };
    std::array<Told, 2> m_refused;

    // Read by the clients' threads: changed only under m_mutex.
    std::mutex m_mutex;
    GatewaySettings m_settings;
    std::map<std::pair<std::string, uint32_t>, InstrumentData> m_instruments;
    std::map<std::string, LineData> m_lines;
    std::array<Unit, 256> m_units{};
};
