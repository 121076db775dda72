// libFuzzer target: any bytes as a request to the Modbus gateway, answered as a client's thread
// answers it, with libmodbus writing the reply into a socket pair. The first byte picks the
// float order, the offline mode and the instrument's state; the channel values come from the
// frame's own bytes. A request the map serves must never make libmodbus answer an exception
// (the map and the checks would disagree), and every reply must be one whole frame for the
// request's transaction.
#include "modbus_map.h"

#include <modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9)
        return 0;
    const uint8_t knobs = data[0];
    uint8_t adu[kMaxFrame] = {};
    const size_t read = std::min(size - 1, kMaxFrame);
    std::memcpy(adu, data + 1, read);
    const auto length = FrameLength(adu, read);
    if (!length)
        return 0;
    InstrumentData instrument;
    for (size_t n = 0; n < 12; ++n)
        std::memcpy(&instrument.Reading.Channels[n].Value, adu + (n * 4) % (kMaxFrame - 4), 4);
    instrument.Reading.Channels[3].StateBits = adu[9];
    instrument.Answered = knobs & 0x08;
    instrument.Online = knobs & 0x10;
    instrument.Seq = 0x1234567890ull;
    instrument.ReadAtMs = 1000;
    LineData line;
    line.Rate.Add(500);
    const GatewaySettings settings{FloatOrder(knobs & 3),
                                   knobs & 4 ? OfflineMode::Stale : OfflineMode::Exception};
    static GatewayAnswer answer;
    const bool known = !(knobs & 0x20);
    Answer(adu, known ? &instrument : nullptr, known ? &line : nullptr, settings, 5000, answer);

    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0)
        return 0;
    modbus_t* context = modbus_new_tcp(nullptr, 0);
    modbus_set_socket(context, sockets[0]);
    const int sent = SendAnswer(context, adu, int(*length), answer);
    uint8_t reply[600];
    const ssize_t got = sent > 0 ? recv(sockets[1], reply, sizeof reply, MSG_DONTWAIT) : 0;
    modbus_free(context);
    close(sockets[0]);
    close(sockets[1]);
    if (sent <= 0 || got != sent || got < 9 || got > ssize_t(kMaxFrame))
        __builtin_trap();
    const uint8_t function = answer.Exception ? adu[7] | 0x80 : adu[7];
    if (std::memcmp(reply, adu, 4) != 0 || size_t(got) != 6u + size_t(reply[4] << 8 | reply[5]) ||
        reply[6] != adu[6] || reply[7] != function ||
        (answer.Exception && (got != 9 || reply[8] != answer.Exception)))
        __builtin_trap();
    return 0;
}
