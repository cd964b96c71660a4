// The real vorla-engine process against the rig's private JACK server, driven over its socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <thread>

#include "../../audio-faust/tests/compile_error.hpp"
#include "../../audio-faust/tests/slow_compile.hpp"
#include "../../audio-faust/tests/temp_dir.hpp"
#include "jack_rig/jack_rig.hpp"
#include "jack_rig/player.hpp"
#include "jack_rig/tone.hpp"
#include "line_client.hpp"
#include "vorla_engine/ipc.hpp"
#include "vorla_engine/platform/unix_socket.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace platform = vorla_engine::platform;
using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;
using audio_faust::test_util::TempDir;

// One engine process with its own socket and DSP directory; killed if still running at the end.
class EngineProcess {
public:
    EngineProcess(const TempDir& dir, Env env = {}, std::string name = "engine")
        : socket_(dir.path() / (name + ".sock")), log_(dir.path() / (name + ".log")) {
        // insert and emplace keep what `env` sets already.
        env.insert({{"ZORVA_SOCKET", socket_}, {"ZORVA_DSP_DIR", dir.path() / "dsp"},
                    {"RUST_LOG", "info"}, {"JACK_NO_START_SERVER", "1"},
                    {"LSAN_OPTIONS", "suppressions=" VORLA_ENGINE_LSAN_SUPP}});
        for (char** e = environ; *e; ++e) {
            const std::string_view kv = *e;
            env.emplace(kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
        }
        std::vector<std::string> kvs;
        std::vector<char*> envp;
        for (const auto& [k, v] : env) kvs.push_back(k + "=" + v);
        for (auto& kv : kvs) envp.push_back(kv.data());
        envp.push_back(nullptr);
        char exe[] = VORLA_ENGINE_EXE;
        char* argv[] = {exe, nullptr};
        const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {  // only system calls until exec: the test process has threads
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that times out
            ::dup2(log, 2);
            ::execve(exe, argv, envp.data());
            ::_exit(127);
        }
        ::close(log);
    }
    ~EngineProcess() {
        if (pid_ > 0 && !status_ && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }

    pid_t pid() const { return pid_; }
    const fs::path& socket() const { return socket_; }
    std::string log() const {
        std::ifstream in(log_);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // The exit status, none while it runs after `wait`.
    std::optional<int> exit_status(std::chrono::milliseconds wait = 10s) {
        for (const auto end = std::chrono::steady_clock::now() + wait; !status_;) {
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            else if (std::chrono::steady_clock::now() > end)
                break;
            std::this_thread::sleep_for(10ms);
        }
        return status_;
    }

private:
    fs::path socket_, log_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

const std::string ok(std::string_view msg) {
    return R"({"status":"Ok","msg":")" + std::string(msg) + R"("})";
}

// Frequency of a recording from the median spacing of its rising zero crossings.
double frequency(const std::vector<float>& s) {
    const double period = jack_rig::median_period(s);
    return period > 0.0 ? double(jack_rig::kSampleRate) / period : 0.0;
}

double peak(const std::vector<float>& s) {
    double most = 0.0;
    for (float x : s)
        most = std::max(most, double(std::abs(x)));
    return most;
}

// The rig's MIDI recording, split where JACK's frame clock and the wall clock part: a cycle
// that ran late, or a stretch the server lost (an xrun), moves one against the other. The
// events of such a cycle and those within two periods of a reported xrun are disturbed; the
// undisturbed cycles between two disturbances form a run, which keeps its own place on a grid.
struct Recording {
    std::vector<jack_rig::MidiEvent> events;
    std::vector<std::uint32_t> xruns;
    std::int64_t period = jack_rig::kPeriod;
    std::vector<bool> disturbed;  // per event
    std::vector<int> run;         // per event
    int late_cycles = 0;

    explicit Recording(const jack_rig::JackClient& rig)
        : events(rig.midi_events()), xruns(rig.xruns()) {
        const auto since = [](std::uint32_t from, std::uint32_t to) {
            return std::int64_t(std::int32_t(to - from));
        };
        std::optional<std::pair<std::uint32_t, std::chrono::steady_clock::time_point>> first;
        double last_drift = 0.0;
        std::uint32_t last_start = 0;
        int runs = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            const auto& e = events[i];
            const std::uint32_t start = e.frame - e.frame % period;
            const bool new_cycle = i == 0 || e.cycle_time != events[i - 1].cycle_time;
            if (new_cycle) {
                if (!first) first.emplace(start, e.cycle_time);
                const std::chrono::duration<double> wall = e.cycle_time - first->second;
                const double drift =
                    wall.count() * jack_rig::kSampleRate - since(first->first, start);
                const bool late = i > 0 && std::abs(drift - last_drift) > period / 2;
                const bool xrun = i > 0 && std::any_of(xruns.begin(), xruns.end(), [&](auto x) {
                                      return since(last_start, x) > 0 && since(x, start) >= -period;
                                  });
                late_cycles += late;
                runs += late || xrun;
                last_drift = drift;
                last_start = start;
            }
            const bool near_xrun = std::any_of(xruns.begin(), xruns.end(), [&](auto x) {
                return std::abs(since(x, e.frame)) <= 2 * period;
            });
            disturbed.push_back(near_xrun || (i > 0 && run.back() != runs) ||
                                (!new_cycle && disturbed.back()));
            run.push_back(runs);
        }
    }

    // How the events carrying `bytes` (from frame `from` on) keep a grid of `step` frames. Each
    // run keeps its own place on the grid, and events go missing only where a run breaks.
    // Within a run an event lies within one period of the grid (a message JACK held back leaves
    // at the start of the next period); JACK's frame estimate behind the placing jumps now and
    // then after a stall, so a tenth may stray. Over all runs the spacing keeps the step
    // (within 1%: held-back messages and such jumps at the ends of runs move it a little).
    struct Grid {
        std::vector<std::uint32_t> frames;  // of the undisturbed events
        std::size_t events = 0, off_grid = 0;
        std::int64_t worst = 0;
        double spacing = 0.0;  // mean over the runs
    };
    Grid grid(const std::vector<std::uint8_t>& bytes, double step, std::uint32_t from) const {
        std::vector<std::size_t> picked;
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i].bytes == bytes && std::int32_t(events[i].frame - from) >= 0)
                picked.push_back(i);
        Grid g;
        g.events = picked.size();
        std::vector<std::int64_t> frame, k;
        for (std::size_t j = 0; j < picked.size(); ++j) {
            frame.push_back(std::int32_t(events[picked[j]].frame - from));
            const bool same = j > 0 && run[picked[j]] == run[picked[j - 1]];
            k.push_back(j == 0 ? 0
                        : same ? k.back() + 1
                               : k.back() + std::max<std::int64_t>(
                                                1, std::llround((frame[j] - frame[j - 1]) / step)));
        }
        std::int64_t span = 0, steps = 0;
        for (std::size_t from_j = 0, to; from_j < picked.size(); from_j = to) {
            std::vector<std::size_t> judged;
            std::vector<double> residuals;
            for (to = from_j; to < picked.size() && run[picked[to]] == run[picked[from_j]]; ++to)
                if (!disturbed[picked[to]]) {
                    judged.push_back(to);
                    residuals.push_back(frame[to] - k[to] * step);
                }
            if (judged.empty()) continue;
            span += frame[judged.back()] - frame[judged.front()];
            steps += k[judged.back()] - k[judged.front()];
            std::nth_element(residuals.begin(), residuals.begin() + residuals.size() / 2,
                             residuals.end());
            const double anchor = residuals[residuals.size() / 2];
            for (const std::size_t j : judged) {
                const auto error = std::llabs(std::llround(frame[j] - k[j] * step - anchor));
                g.frames.push_back(events[picked[j]].frame);
                g.worst = std::max<std::int64_t>(g.worst, error);
                g.off_grid += error > period;
            }
        }
        g.spacing = steps > 0 ? double(span) / double(steps) : 0.0;
        return g;
    }
};

// A private JACK server with the rig's ports, registered before the engine starts so that the
// engine's MIDI output and input take them as the first ports listed; then an engine and a
// socket connection (one reply line per request line) that has read the hello line.
struct Session {
    std::expected<jack_rig::JackServer, jack_rig::Error> server;
    std::unique_ptr<jack_rig::JackClient> rig;
    const std::string audio_in = "audio_in";
    TempDir dir;
    std::optional<EngineProcess> engine;
    std::optional<vorla_engine::test_util::LineClient> client;
    std::string hello;
    std::vector<float> recorded;  // the last recording
    jack_rig::AudioTrack track;   // the same with its cycles

    explicit Session(const Env& env, const jack_rig::ServerOptions& options = {})
        : server(jack_rig::JackServer::start(options)) {
        if (!server) return;
        if (auto opened = jack_rig::JackClient::open("rig")) rig = std::move(*opened);
        if (!rig || !rig->add_midi_input("midi_in") || !rig->add_midi_output("midi_out") ||
            !rig->add_audio_input(audio_in))
            return;
        engine.emplace(dir, env);
        client.emplace(engine->socket(), 15s);
        if (!client->connected()) return;
        hello = line();
    }
    bool connected() const { return client && client->connected(); }
    std::string line() { return client->line(); }
    std::string ask(std::string_view request) { return client->ask(request); }

    // Records the engine's first output channel once it carries the newest graph, running
    // `midway` half-way through.
    std::vector<float> record(std::size_t frames, const std::function<void()>& midway = {}) {
        const std::string out = "vorla-engine-audio:outport 0";
        EXPECT_TRUE(rig->wait_for_port(out, 5s));
        EXPECT_TRUE(rig->connect(out, "rig:" + audio_in));
        // past a crossfade of half a beat (12000 frames)
        rig->wait_cycles(16384 / std::max<std::uint32_t>(rig->period(), 1), 5s);
        rig->clear();
        if (midway) {
            EXPECT_TRUE(rig->wait_for_audio(audio_in, frames / 2, 20s));
            midway();
        }
        EXPECT_TRUE(rig->wait_for_audio(audio_in, frames, 20s));
        track = rig->audio(audio_in);
        recorded = track.samples;
        recorded.resize(std::min(recorded.size(), frames));
        return recorded;
    }
    double heard() { return frequency(record(24000)); }
    // Loads a graph of `nodes` wired in a chain ending at the dac.
    void load(std::string_view nodes, std::string_view connections, std::string_view rest = "") {
        ASSERT_EQ(ask(R"({"type":"load_graph","nodes":[)" + std::string(nodes) +
                      R"(,{"id":"out","type_id":"dac"}],"connections":[)" +
                      std::string(connections) + "]" + std::string(rest) + "}"),
                  ok("graph loaded"));
    }
};

// One engine through a whole session: MIDI first (the rig's recording starts with the engine),
// then Faust node types, captured input and an oscillator graph under controls, then shutdown.
TEST(EngineProcess, RunsASessionAgainstJackAndShutsDownCleanly) {
    Session s(Env{{"ZORVA_MIDI_CLOCK", "1"}});
    ASSERT_TRUE(s.connected()) << (s.engine ? s.engine->log() : "no rig");
    EXPECT_EQ(s.hello, R"({"protocol":1,"engine":"vorla-engine"})");
    const std::string types = s.ask(R"({"type":"list_nodes","reply_port":0})");
    EXPECT_TRUE(types.starts_with(R"({"status":"NodeTypes","types":[)")) << types;
    for (const char* type : {"\"adc_input\"", "\"dac\"", "\"gain\"", "\"oscillator\""})
        EXPECT_NE(types.find(type), std::string::npos) << types;
    EXPECT_EQ(s.ask(R"({"cmd":"SetBpm","bpm":90})"), ok("bpm set to 90"));
    EXPECT_EQ(s.ask(R"({"cmd":"Status"})"),
              R"({"status":"State","nodes":[],"connections":[],"exposed_controls":{},)"
              R"("control_values":{},"slots":[],"transport":{"bpm":90.0,"meter":4.0,)"
              R"("master":1.0}})");
    EXPECT_EQ(s.ask(R"({"cmd":"SetBpm","bpm":120})"), ok("bpm set to 120"));

    EngineProcess second(s.dir, {{"ZORVA_SOCKET", s.engine->socket()}}, "second");
    EXPECT_EQ(second.exit_status(), 0);
    EXPECT_NE(second.log().find("] another vorla-engine (PID " + std::to_string(s.engine->pid()) +
                                ") owns " + s.engine->socket().string()),
              std::string::npos)
        << second.log();

    // Sixteenth notes at 120 bpm, each as long as the step (125 ms), with clock pulses.
    EXPECT_EQ(s.ask(R"({"cmd":"SetPattern","slot":"d1","pattern":)"
                    R"(["Fast",[16,1],["Atom",["Note",0,60,100,0.0625]]]})"),
              ok("pattern set on d1"));
    ASSERT_TRUE(s.rig->wait_for_midi(320, 30s))
        << s.rig->midi_events().size() << " MIDI events, " << s.rig->xruns().size() << " xruns";
    std::map<std::vector<std::uint8_t>, std::vector<std::uint32_t>> frames;
    for (const auto& e : s.rig->midi_events()) frames[e.bytes].push_back(e.frame);
    ASSERT_EQ(frames[{0xFA}].size(), 1u);
    ASSERT_GT(frames[{0xF8}].size(), 100u);
    EXPECT_LE(frames[{0xFA}][0], frames[{0xF8}][0]);
    // Notes every 6000 frames (125 ms) and pulses every 1000 (20.83 ms), from the first note on
    // (JACK's frame estimate settles during the first seconds). A stalled server leaves fewer
    // undisturbed events: then the recording goes on until there are enough.
    const std::vector<std::uint8_t> note_on{0x90, 60, 100}, note_off{0x80, 60, 0}, pulse{0xF8};
    ASSERT_FALSE(frames[note_on].empty());
    const std::uint32_t first = frames[note_on][0];
    std::optional<Recording> recording;
    for (const auto end = std::chrono::steady_clock::now() + 30s;;) {
        recording.emplace(*s.rig);
        if ((recording->grid(note_on, 6000.0, first).frames.size() >= 16 &&
             recording->grid(pulse, 1000.0, first).frames.size() >= 96) ||
            std::chrono::steady_clock::now() > end)
            break;
        s.rig->wait_for_midi(recording->events.size() + 64, 5s);
    }
    const auto keeps = [&](std::string_view what, const std::vector<std::uint8_t>& bytes,
                           double step, std::size_t least) {
        const auto g = recording->grid(bytes, step, first);
        std::printf("%s: %zu of %zu judged, %zu off the grid (worst %lld frames), spacing %.1f "
                    "(%zu xruns, %d late cycles)\n",
                    std::string(what).c_str(), g.frames.size(), g.events, g.off_grid,
                    (long long)g.worst, g.spacing, recording->xruns.size(),
                    recording->late_cycles);
        EXPECT_GE(g.frames.size(), least) << what;
        EXPECT_LE(g.off_grid, g.frames.size() / 10) << what << ": worst " << g.worst;
        EXPECT_NEAR(g.spacing, step, step / 100) << what;
        return g.frames;
    };
    const auto on = keeps("note-on", note_on, 6000.0, 16);
    const auto off = keeps("note-off", note_off, 6000.0, 15);
    keeps("clock", pulse, 1000.0, 96);
    // Each note lasts its step: an undisturbed note-on's note-off comes 6000 frames later,
    // within half a period on average (a period each way where JACK held one back).
    double gaps = 0.0;
    std::size_t pairs = 0;
    for (const std::uint32_t f : on) {
        const auto it = std::find_if(off.begin(), off.end(), [&](std::uint32_t o) {
            return std::abs(std::int32_t(o - f) - 6000) <= 2 * std::int32_t(jack_rig::kPeriod);
        });
        if (it != off.end()) gaps += std::int32_t(*it - f), ++pairs;
    }
    ASSERT_GE(pairs, on.size() / 2);
    EXPECT_NEAR(gaps / double(pairs), 6000.0, jack_rig::kPeriod / 2.0) << pairs << " pairs";

    // A Faust file written while running becomes a node type; changing it reloads the graph.
    const auto write = [&](int hz) {
        s.dir.write("dsp/tone.dsp",
                    "import(\"stdfaust.lib\");\nprocess = os.osc(" + std::to_string(hz) + ");\n");
    };
    write(300);
    std::string faust;
    for (int i = 0; i < 100 && faust.find("\"faust:tone\"") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        faust = s.ask(R"({"type":"list_nodes","reply_port":0})");
    }
    ASSERT_NE(faust.find("\"faust:tone\""), std::string::npos) << faust << s.engine->log();
    s.load(R"({"id":"osc","type_id":"faust:tone"})", R"(["osc","out","out","in"])");
    EXPECT_NEAR(s.heard(), 300.0, 2.0);
    write(600);
    std::this_thread::sleep_for(500ms);
    EXPECT_NEAR(s.heard(), 600.0, 2.0) << s.engine->log();

    // The input the rig feeds is captured and played.
    std::vector<float> tone(48000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5f * std::sin(2.0 * M_PI * 500.0 * double(i) / 48000.0);
    auto player = jack_rig::AudioPlayer::open("player", {tone});
    ASSERT_TRUE(player);
    EXPECT_EQ(s.ask(R"({"type":"start_input","channel":0})"), ok("input started (ch 0)"));
    ASSERT_TRUE(s.rig->wait_for_port("vorla-engine-capture:inport 0", 5s));
    ASSERT_TRUE(s.rig->connect((*player)->port(0), "vorla-engine-capture:inport 0"));
    s.load(R"({"id":"adc_in","type_id":"adc_input"})", R"(["adc_in","out","out","in"])");
    EXPECT_NEAR(s.heard(), 500.0, 2.0) << s.engine->log();

    // oscillator -> gain -> dac, "freq" and "vol" exposed, at its frequency and set_control's.
    s.load(R"({"id":"osc","type_id":"oscillator","controls":{"freq":440}},)"
           R"({"id":"amp","type_id":"gain"})",
           R"(["osc","out","amp","in"],["amp","out","out","in"])",
           R"(,"exposed_controls":{"freq":["osc","freq"],"vol":["amp","gain"]})");
    EXPECT_NEAR(s.heard(), 440.0, 2.0);
    EXPECT_EQ(s.ask(R"({"type":"set_control","label":"freq","value":880})"), ok("ok"));
    EXPECT_NEAR(s.heard(), 880.0, 2.0);

    // A mapped control change from the rig's MIDI output moves the same control.
    EXPECT_EQ(s.ask(R"({"type":"midi_map","channel":0,"cc":74,"label":"freq",)"
                    R"("lo":200,"hi":1000})"),
              ok("midi_map: ch0 cc74 \u2192 freq"));
    const std::uint8_t cc[] = {0xB0, 74, 127};
    ASSERT_TRUE(s.rig->send_midi(cc));
    EXPECT_NEAR(s.heard(), 1000.0, 3.0) << s.engine->log();
    const double full = peak(s.recorded);

    // A pattern's "/audio/set" and "/audio/gain" events set a control and the master gain when
    // due (a note keeps the slot ordinary); the state reply shows the whole engine.
    EXPECT_EQ(s.ask(R"({"cmd":"SetPattern","slot":"d1","pattern":["Stack",[)"
                    R"(["Atom",["Osc","/audio/set",[{"Str":"freq"},{"Float":660}]]],)"
                    R"(["Atom",["Osc","/audio/gain",[{"Float":0.5}]]],)"
                    R"(["Atom",["Note",0,60,100,0.1]]]]})"),
              ok("pattern set on d1"));
    std::this_thread::sleep_for(2500ms);  // the new pattern starts at the next 2 s cycle
    EXPECT_EQ(s.ask(R"({"cmd":"Status"})"),
              R"({"status":"State","nodes":[)"
              R"({"id":"osc","type_id":"oscillator","controls":{"freq":440.0}},)"
              R"({"id":"amp","type_id":"gain","controls":{}},)"
              R"({"id":"out","type_id":"dac","controls":{}}],"connections":[)"
              R"({"from_node":"osc","from_port":"out","to_node":"amp","to_port":"in"},)"
              R"({"from_node":"amp","from_port":"out","to_node":"out","to_port":"in"}],)"
              R"("exposed_controls":{"freq":["osc","freq"],"vol":["amp","gain"]},)"
              R"("control_values":{"freq":660.0},"slots":[{"name":"d1","playing":true}],)"
              R"("transport":{"bpm":120.0,"meter":4.0,"master":0.5}})");
    EXPECT_NEAR(s.heard(), 660.0, 2.0);
    EXPECT_NEAR(peak(s.recorded) / full, 0.5, 0.02) << full;

    // A control-only slot moves "vol" along its curve: silent for the first half of each 2 s
    // cycle, full for the second, under the id "s/vol".
    EXPECT_EQ(s.ask(R"({"cmd":"SetPattern","slot":"s","pattern":)"
                    R"(["Cat",[["Atom",["Control","vol",0]],["Atom",["Control","vol",1]]]]})"),
              ok("pattern set on s"));
    const auto samples = s.record(4 * 48000);
    double quiet = 1.0, loud = 0.0;  // RMS of 100 ms windows
    for (auto at = samples.begin(); at + 4800 <= samples.end(); at += 4800) {
        const double rms = std::sqrt(std::inner_product(at, at + 4800, at, 0.0) / 4800);
        std::tie(quiet, loud) = std::pair(std::min(quiet, rms), std::max(loud, rms));
    }
    EXPECT_LT(quiet, 0.01);
    EXPECT_GT(loud, 0.3);  // a full sine under the master gain of 0.5

    // An engine on the empty path (no abstract socket, no ".pid" in the working directory)
    // gives up after releasing its audio; it starts last, its JACK client would disturb the
    // timing measured above.
    EngineProcess empty(s.dir, {{"ZORVA_SOCKET", ""}}, "empty");
    EXPECT_EQ(empty.exit_status(), 0);
    EXPECT_NE(empty.log().find(" ERROR vorla_engine] bind : No such file or directory\n"),
              std::string::npos)
        << empty.log();
    EXPECT_FALSE(fs::exists(".pid"));

    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(s.engine->exit_status(), 0) << s.engine->log();
    EXPECT_FALSE(fs::exists(s.engine->socket()));
    EXPECT_FALSE(fs::exists(vorla_engine::ipc::pid_path_for(s.engine->socket())));
    EXPECT_NE(s.engine->log().find(" INFO  vorla_engine] vorla-engine ready\n"), std::string::npos)
        << s.engine->log();
}

// Two slots of 2,048-note legato clusters put 4,096 note-offs and 4,096 note-ons at each step,
// as many as the MIDI output queue holds: no note stays sounding, neither once the music
// stops nor after a shutdown while they sound.
// At the default period and at a long one, where the sink frees room only every 21 ms.
class ClusterBursts : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ClusterBursts, PlayWholeAndLeaveNoNoteSounding) {
    jack_rig::ServerOptions options;
    options.period = GetParam();
    Session s(Env{}, options);
    ASSERT_TRUE(s.connected()) << (s.engine ? s.engine->log() : "no rig");
    std::string atoms;
    for (int i = 0; i < 2048; ++i)
        atoms += std::string(i ? "," : "") + R"(["Atom",["Note",)" + std::to_string(i / 128) + "," +
                 std::to_string(i % 128) + ",100,0.5]]";
    const std::string pattern = R"(,"pattern":["Fast",[2,1],["Stack",[)" + atoms + "]]]}";
    const auto play = [&] {
        for (const char* slot : {"a", "b"})
            ASSERT_EQ(s.ask(R"({"cmd":"SetPattern","slot":")" + std::string(slot) + "\"" + pattern),
                      ok("pattern set on " + std::string(slot)));
    };
    // note-ons, and (channel, pitch) pairs whose note-ons and note-offs differ in number
    const auto count = [&] {
        std::map<std::pair<int, int>, int> sounding;
        std::size_t ons = 0;
        for (const auto& e : s.rig->midi_events()) {
            if (e.bytes.size() != 3) continue;
            const int kind = e.bytes[0] & 0xF0, key = e.bytes[0] & 0x0F;
            if (kind == 0x90 && e.bytes[2] > 0) ++ons, ++sounding[{key, e.bytes[1]}];
            if (kind == 0x80 || (kind == 0x90 && e.bytes[2] == 0)) --sounding[{key, e.bytes[1]}];
        }
        return std::pair(ons, std::count_if(sounding.begin(), sounding.end(),
                                            [](const auto& p) { return p.second != 0; }));
    };
    play();
    std::this_thread::sleep_for(4500ms);
    ASSERT_EQ(s.ask(R"({"cmd":"HushAll"})"), ok("all slots hushed"));
    std::this_thread::sleep_for(2500ms);
    const auto [ons, unbalanced] = count();
    EXPECT_GE(ons, 3u * 4096);
    // The server drops what a client wrote in a cycle that overran (an xrun) on a loaded
    // machine: those messages are missing from the recording, not from what the engine sent,
    // so the balance is judged only over a recording without one.
    const auto judged = [&](std::ptrdiff_t pairs) {
        if (s.rig->xruns().empty()) return pairs;
        std::printf("%zu xruns: %td unbalanced pairs not judged\n", s.rig->xruns().size(), pairs);
        return std::ptrdiff_t{0};
    };
    EXPECT_EQ(judged(unbalanced), 0);
    // Every burst plays whole, a second after the one before: the note-ons of both slots that
    // find the queue full of note-offs leave as it drains.
    std::vector<std::uint32_t> frames;
    for (const auto& e : s.rig->midi_events())
        if (e.bytes.size() == 3 && (e.bytes[0] & 0xF0) == 0x90) frames.push_back(e.frame);
    std::vector<std::pair<std::uint32_t, std::size_t>> bursts;  // first frame, note-ons
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i == 0 || std::int32_t(frames[i] - frames[i - 1]) > 12000)
            bursts.emplace_back(frames[i], 0);
        ++bursts.back().second;
    }
    for (std::size_t i = 0; i < bursts.size(); ++i) {
        EXPECT_EQ(bursts[i].second, 4096u) << "burst " << i;
        if (i > 0) {
            EXPECT_NEAR(double(std::int32_t(bursts[i].first - bursts[i - 1].first)), 48000.0,
                        2400.0)
                << "burst " << i;
        }
    }
    std::printf("after the bursts: %zu note-ons, %td (channel, pitch) pairs unbalanced\n", ons,
                unbalanced);

    play();
    std::this_thread::sleep_for(3500ms);
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(s.engine->exit_status(), 0) << s.engine->log();
    s.rig->wait_cycles(8, 2s);
    const auto [all_ons, left] = count();
    EXPECT_GT(all_ons, ons);
    EXPECT_EQ(judged(left), 0);
    std::printf("after shutdown: %zu note-ons, %td (channel, pitch) pairs unbalanced\n", all_ons,
                left);
    EXPECT_EQ(s.rig->dropped(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Periods, ClusterBursts, ::testing::Values(256u, 1024u));

// Notes keep their time while a slow Faust file compiles and graph requests that need new
// instances of another Faust type wait for that compile's lock: no note goes missing or late.
TEST(EngineProcess, NotesKeepTimeWhileGraphRequestsWaitForACompile) {
    Session s(Env{});
    ASSERT_TRUE(s.connected()) << (s.engine ? s.engine->log() : "no rig");
    s.dir.write("dsp/fx.dsp", "process = _ * hslider(\"g\", 1, 0, 2, 0.01);");
    std::string types;
    for (int i = 0; i < 100 && types.find("\"faust:fx\"") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        types = s.ask(R"({"type":"list_nodes","reply_port":0})");
    }
    ASSERT_NE(types.find("\"faust:fx\""), std::string::npos) << s.engine->log();
    const std::string osc = R"({"id":"osc","type_id":"oscillator"})";
    s.load(osc + R"(,{"id":"f1","type_id":"faust:fx"})",
           R"(["osc","out","f1","in"],["f1","out","out","in"])");
    ASSERT_EQ(
        s.ask(
            R"({"cmd":"SetPattern","slot":"n","pattern":["Fast",[16,1],["Atom",["Note",0,60,100,0.03]]]})"),
        ok("pattern set on n"));
    std::this_thread::sleep_for(2500ms);
    // A second or so in an optimised build; the sanitizers' allocator makes libfaust's compile
    // many times slower (newer versions more so), so the file is smaller there.
    const int sliders = audio_faust::test_util::slowdown == 1 ? 400 : 160;
    {
        std::ofstream(s.dir.path() / "dsp" / "slow.tmp")
            << audio_faust::test_util::sliders(sliders, 1);
    }
    fs::rename(s.dir.path() / "dsp" / "slow.tmp", s.dir.path() / "dsp" / "slow.dsp");
    std::this_thread::sleep_for(200ms);  // the compile has begun
    const auto asked = std::chrono::steady_clock::now();
    // Answered once the compile is over; a machine slow enough to take over 5 s has the IPC
    // server answer for the loop, which applies them all the same.
    const std::string late = R"({"status":"Error","msg":"main loop did not respond within 5s"})";
    const std::string loaded =
        s.ask(R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator"},)"
              R"({"id":"f1","type_id":"faust:fx"},{"id":"f2","type_id":"faust:fx"},)"
              R"({"id":"f3","type_id":"faust:fx"},{"id":"out","type_id":"dac"}],)"
              R"("connections":[["osc","out","f1","in"],["f1","out","out","in"]]})");
    EXPECT_TRUE(loaded == ok("graph loaded") || loaded == late) << loaded;
    const std::string added = s.ask(R"({"type":"add_node","id":"osc2","type_id":"oscillator"})");
    EXPECT_TRUE(added == ok("ok") || added == late) << added;
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    std::string state;
    for (int i = 0; i < 900 && state.find(R"("id":"osc2")") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        state = s.ask(R"({"cmd":"Status"})");
    }
    // Applied in order: the load, then the node added to it.
    EXPECT_NE(state.find(R"("id":"f3")"), std::string::npos) << state;
    EXPECT_NE(state.find(R"("id":"osc2")"), std::string::npos) << state;
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(s.engine->exit_status(), 0) << s.engine->log();

    const std::vector<std::uint8_t> note_on{0x90, 60, 100};
    Recording recording(*s.rig);
    std::vector<std::uint32_t> ons;
    for (const auto& e : recording.events)
        if (e.bytes == note_on) ons.push_back(e.frame);
    ASSERT_GE(ons.size(), 16u);
    const auto g = recording.grid(note_on, 6000.0, ons.front());
    std::int64_t widest = 0;
    for (std::size_t i = 1; i < ons.size(); ++i)
        widest = std::max<std::int64_t>(widest, std::int32_t(ons[i] - ons[i - 1]));
    std::printf(
        "requests waited %.2f s; %zu note-ons, widest gap %lld frames, %zu of %zu off the grid "
        "(worst %lld; %zu xruns)\n",
        waited, ons.size(), (long long)widest, g.off_grid, g.frames.size(), (long long)g.worst,
        recording.xruns.size());
    EXPECT_GT(waited, 0.1) << "the requests did not wait for the compile";
    // A note held back by a busy period leaves a period late at most; xruns may cost a few.
    EXPECT_LE(widest, 6000 + 3 * std::int64_t(jack_rig::kPeriod) *
                                 std::int64_t(1 + recording.xruns.size()));
    EXPECT_LE(g.off_grid, g.frames.size() / 10) << "worst " << g.worst;
}

// A "shutdown" while a slow Faust file compiles ends the process at once and cleanly: the
// compile, which nothing can cut short, is left to the process's end rather than waited for.
TEST(EngineProcess, ShutdownDuringACompileExitsAtOnce) {
    Session s(Env{});
    ASSERT_TRUE(s.connected()) << (s.engine ? s.engine->log() : "no rig");
    {
        std::ofstream(s.dir.path() / "dsp" / "slow.tmp")
            << audio_faust::test_util::sliders(1200, 1);
    }
    fs::rename(s.dir.path() / "dsp" / "slow.tmp", s.dir.path() / "dsp" / "slow.dsp");
    std::this_thread::sleep_for(400ms);  // the compile has begun; it takes seconds
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(s.engine->exit_status(), 0) << s.engine->log();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 1500ms) << s.engine->log();
    const std::string log = s.engine->log();
    EXPECT_NE(log.find("shutdown: a FAUST compile is left unfinished"), std::string::npos) << log;
    EXPECT_EQ(log.find("did not finish"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(s.engine->socket()));
    std::printf("shutdown to exit during a compile: %.0f ms\n",
                std::chrono::duration<double, std::milli>(took).count());
}

// A 440 Hz oscillator at the server's period, then on across a change of period while it plays
// (what `jack_bufsize` does): heard at its frequency on both sides, and without a jump between
// two samples well beyond the sine's largest step, but for a few where the rig reports xruns.
class EnginePeriods : public ::testing::TestWithParam<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(EnginePeriods, PlaysAnOscillatorWithoutBreaksAtEachPeriod) {
    const auto [from, to] = GetParam();
    Session s(Env{}, {.period = from});
    ASSERT_TRUE(s.connected()) << (s.engine ? s.engine->log() : "no rig");
    s.load(R"({"id":"osc","type_id":"oscillator","controls":{"freq":440}})",
           R"(["osc","out","out","in"])");
    const std::size_t xruns_before = s.rig->xruns().size();
    const auto samples =
        s.record(48000, [&] { ASSERT_TRUE(s.rig->set_buffer_size(to).has_value()); });
    const std::size_t xruns = s.rig->xruns().size() - xruns_before;
    // The samples before the first cycle of the new period, and from it on.
    std::size_t change = 0;
    for (const jack_rig::AudioCycle& cycle : s.track.cycles) {
        if (cycle.frames == to) break;
        change += cycle.frames;
    }
    ASSERT_TRUE(change > 12000 && change < samples.size() - 12000) << change;
    const double largest_step = 2 * M_PI * 440.0 / jack_rig::kSampleRate * peak(samples);
    std::size_t breaks = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        breaks += std::abs(samples[i] - samples[i - 1]) > 2 * largest_step;
    const double before = frequency({samples.begin(), samples.begin() + change});
    const double after = frequency({samples.begin() + change, samples.end()});
    std::printf("%u -> %u frames: %.2f Hz, then %.2f Hz, %zu breaks, %zu xruns\n", from, to, before,
                after, breaks, xruns);
    EXPECT_NEAR(before, 440.0, 2.2);
    EXPECT_NEAR(after, 440.0, 2.2);
    // An xrun of the dummy server stalls the whole graph, which seldom breaks the sine; the
    // fault of a graph advancing by more than the period breaks it once a period.
    EXPECT_LE(breaks, std::min<std::size_t>(xruns, 8) + 2);
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(s.engine->exit_status(), 0) << s.engine->log();
}

INSTANTIATE_TEST_SUITE_P(Periods, EnginePeriods,
                         ::testing::Values(std::pair(32u, 1024u), std::pair(64u, 1024u),
                                           std::pair(128u, 32u), std::pair(256u, 64u),
                                           std::pair(1024u, 32u)),
                         [](const auto& info) {
                             return std::to_string(info.param.first) + "to" +
                                    std::to_string(info.param.second);
                         });

// A start-up that fails logs why at error level and ends with status 0, before the socket is
// taken: a DSP directory that cannot be made, or a DSP file that does not compile.
TEST(EngineProcess, AFailedStartUpLogsWhyAndExitsWithStatus0) {
    auto server = jack_rig::JackServer::start();
    ASSERT_TRUE(server) << server.error().message;
    struct Case {
        std::string name;
        std::function<Env(const TempDir&)> prepare;
        std::function<std::vector<std::string>(const TempDir&)> line;  // forms of the error's start
        bool device;                                      // the audio device was found first
    };
    const Case cases[] = {
        {"DSP dir below a file",
         [](const TempDir& dir) {
             dir.write("file", "");
             return Env{{"ZORVA_DSP_DIR", dir.path() / "file/dsp"}};
         },
         [](const TempDir& dir) {
             return std::vector{"cannot create DSP dir " + (dir.path() / "file/dsp").string() +
                                ": Not a directory\n"};
         },
         false},
        {"DSP file that does not compile",
         [](const TempDir& dir) {
             dir.write("dsp/ok.dsp", "process = _;");
             dir.write("dsp/sub/bad.dsp", "process = (;");
             return Env{};
         },
         [](const TempDir&) {
             return audio_faust::test_util::compile_error_starts("bad", 1,
                                                                 " : ERROR : syntax error");
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        EngineProcess engine(dir, c.prepare(dir));
        EXPECT_EQ(engine.exit_status(20s), 0);
        const std::string log = engine.log();
        EXPECT_TRUE(std::ranges::any_of(c.line(dir), [&](const std::string& start) {
            return log.find(" ERROR vorla_engine] " + start) != std::string::npos;
        })) << log;
        EXPECT_EQ(log.find("] audio device: ") != std::string::npos, c.device) << log;
        EXPECT_EQ(log.find("vorla-engine ready"), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(engine.socket()));
    }
}

TEST(EngineProcess, WithoutAnAudioSystemExits101) {
    // No server of that name: the engine finds no audio device (the lock keeps other JACK
    // tests from running meanwhile).
    auto lock = jack_rig::JackLock::acquire();
    ASSERT_TRUE(lock);
    TempDir dir;
    EngineProcess engine(dir,
                         {{"JACK_DEFAULT_SERVER", "vorla-none-" + std::to_string(::getpid())}});
    EXPECT_EQ(engine.exit_status(20s), 101);
    EXPECT_NE(engine.log().find("no audio device: \""), std::string::npos) << engine.log();
    EXPECT_FALSE(fs::exists(engine.socket()));
}

}  // namespace
