// The main loop's cost of one MIDI send: stamping and queueing a note-off for the JACK process
// callback. Runs against a private JACK server of the test rig; each batch stays within the
// queue and the server drains it between batches, outside the timing.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "jack_rig/jack_rig.hpp"
#include "pattern_engine/output/midi.hpp"

namespace {

using namespace std::chrono_literals;
using pattern_engine::output::midi::MidiSink;

void BM_MidiSinkSend(benchmark::State& state) {
    auto server = jack_rig::JackServer::start();
    if (!server) return state.SkipWithError(server.error().message.c_str());
    auto rig = jack_rig::JackClient::open("rig");
    if (!rig || !(*rig)->add_midi_input("in"))
        return state.SkipWithError("the rig's client did not start");
    auto sink = MidiSink::connect_first("vorla-engine");
    if (!sink) return state.SkipWithError(sink.error().display().c_str());

    constexpr int kBatch = 1000;
    std::int64_t failed = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i)
            failed += !sink->send_note_off(static_cast<std::uint8_t>(i), 60).has_value();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        (*rig)->wait_cycles(2, 1s);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_MidiSinkSend)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
