// Parsing the 116-byte example answer and building requests, both variants.
#include "frames.h"
#include "parser.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

const char kBody[] =
    "!810100030050200000301;0025.50;04100.1;B0-3.25;000.00;000.00;000.00;000.00;000.00;000.00;"
    "000.00;000.00;000.00;";

void BM_ParseResponse(benchmark::State& state) {
    const auto variant = static_cast<ProtocolVariant>(state.range(0));
    ReceiveBuffer buffer{};
    const char* tail = variant == ProtocolVariant::Crc ? "30526\r" : "2A\r";
    std::memcpy(buffer.data(), kBody, sizeof kBody - 1);
    std::memcpy(buffer.data() + sizeof kBody - 1, tail, std::strlen(tail));
    const auto length = static_cast<uint32_t>(sizeof kBody - 1 + std::strlen(tail));
    DeviceReading reading;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ParseResponse(variant, buffer, length, reading));
        benchmark::ClobberMemory();
    }
    state.SetLabel(variant == ProtocolVariant::Crc ? "crc, 116 bytes" : "sum, 113 bytes");
}
BENCHMARK(BM_ParseResponse)->Arg(int(ProtocolVariant::Crc))->Arg(int(ProtocolVariant::Sum));

void BM_BuildRequest(benchmark::State& state) {
    const auto variant = static_cast<ProtocolVariant>(state.range(0));
    RequestBuffer buffer{};
    uint32_t netAdrr = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildRequest(variant, netAdrr, buffer));
        netAdrr = (netAdrr + 1) & 0xFF;
    }
    state.SetLabel(variant == ProtocolVariant::Crc ? "crc" : "sum");
}
BENCHMARK(BM_BuildRequest)->Arg(int(ProtocolVariant::Crc))->Arg(int(ProtocolVariant::Sum));

} // namespace

BENCHMARK_MAIN();
