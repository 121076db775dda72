// ShowReading over all panels on the offscreen platform: setting colours and captions only, and
// setting them followed by a synchronous repaint of the window.
#include "parser.h"
#include "show_reading.h"
#include "tform1.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

TForm1* g_form = nullptr;

// Two readings that differ in every panel, so each call really changes the window.
std::array<DeviceReading, 2> Readings() {
    std::array<DeviceReading, 2> readings{};
    for (int i = 0; i < 12; ++i) {
        readings[0].Channels[size_t(i)] = {uint16_t(i % 13), uint16_t(i % 8), 10.5f * float(i)};
        readings[1].Channels[size_t(i)] = {uint16_t((i + 5) % 13), uint16_t((i + 3) % 8),
                                           -3.25f * float(i)};
    }
    readings[0].RelayFlags.fill(1);
    readings[0].KeyFlags.fill(1);
    readings[0].DiscreteFlags.fill(1);
    readings[0].StatusNumber = 7;
    readings[1].ChecksumReceived = 0xBEEF;
    return readings;
}

void BM_ShowReading(benchmark::State& state) {
    const auto readings = Readings();
    const bool repaint = state.range(0) != 0;
    size_t i = 0;
    for (auto _ : state) {
        ShowReading(g_form->Panels(), readings[i++ & 1]);
        if (repaint)
            g_form->repaint();
    }
    state.SetLabel(repaint ? "set + repaint" : "set only");
}
BENCHMARK(BM_ShowReading)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    ReaderState state(ProtocolVariant::Crc);
    TForm1::Dialogs quiet{[](const QString&) {}, [](const QString&, const QString&) {}};
    TForm1 form(state, "bench", quiet);
    form.show();
    g_form = &form;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
