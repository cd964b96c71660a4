// The real vorla-engine process against the rig's private JACK server, driven over its socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "jack_rig/jack_rig.hpp"
#include "vorla_engine/ipc.hpp"
#include "vorla_engine/platform/unix_socket.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace platform = vorla_engine::platform;
using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string dir = fs::temp_directory_path() / "vorla-e2e-XXXXXX";
        if (::mkdtemp(dir.data())) path = dir;
    }
    ~TempDir() { fs::remove_all(path); }
};

// One engine process with its own socket and DSP directory; killed if still running at the end.
class EngineProcess {
public:
    EngineProcess(const TempDir& dir, const Env& extra = {}, std::string name = "engine")
        : socket_(dir.path / (name + ".sock")), log_(dir.path / (name + ".log")) {
        Env env;
        for (char** e = environ; *e; ++e) {
            const std::string kv = *e;
            const auto eq = kv.find('=');
            if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        env["ZORVA_SOCKET"] = socket_;
        env["ZORVA_DSP_DIR"] = dir.path / "dsp";
        env["RUST_LOG"] = "info";
        env["JACK_NO_START_SERVER"] = "1";
        env["LSAN_OPTIONS"] = "suppressions=" VORLA_ENGINE_LSAN_SUPP;
        for (const auto& [k, v] : extra) env[k] = v;
        std::vector<std::string> kvs;
        for (const auto& [k, v] : env) kvs.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& kv : kvs) envp.push_back(kv.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        char exe[] = VORLA_ENGINE_EXE;
        char* argv[] = {exe, nullptr};
        if (posix_spawn(&pid_, exe, &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~EngineProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
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
            else
                std::this_thread::sleep_for(10ms);
        }
        return status_;
    }

private:
    fs::path socket_, log_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// A client of the engine's socket: one reply line per request line.
class Client {
public:
    // Waits for the engine to take its socket.
    explicit Client(const fs::path& socket) {
        for (const auto end = std::chrono::steady_clock::now() + 15s;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
            if (auto fd = platform::connect_unix(socket)) {
                fd_ = std::move(*fd);
                platform::set_read_timeout(*fd_, 50ms);
                return;
            }
        }
    }
    bool connected() const { return fd_.has_value(); }

    std::string line(std::chrono::milliseconds wait = 10s) {
        for (const auto end = std::chrono::steady_clock::now() + wait;;) {
            if (auto nl = pending_.find('\n'); nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            char chunk[4096];
            auto n = platform::read_some(*fd_, chunk);
            if (n && *n == 0) return "<closed>";
            if (n) pending_.append(chunk, *n);
            if (std::chrono::steady_clock::now() > end) return "<timeout>";
        }
    }
    std::string ask(std::string_view request) {
        platform::write_all(*fd_, std::string(request) + "\n");
        return line();
    }

private:
    std::optional<platform::Fd> fd_;
    std::string pending_;
};

const std::string ok(std::string_view msg) {
    return R"({"status":"Ok","msg":")" + std::string(msg) + R"("})";
}

// Frequency of a recording from its rising zero crossings.
double frequency(const std::vector<float>& s, std::size_t from, std::size_t frames) {
    std::vector<double> crossings;
    for (std::size_t i = from + 1; i < from + frames && i < s.size(); ++i)
        if (s[i - 1] < 0.0f && s[i] >= 0.0f)
            crossings.push_back(i - 1 + s[i - 1] / (s[i - 1] - s[i]));
    if (crossings.size() < 2) return 0.0;
    return (crossings.size() - 1) * double(jack_rig::kSampleRate) /
           (crossings.back() - crossings.front());
}

struct Rig {
    std::expected<jack_rig::JackServer, jack_rig::Error> server = jack_rig::JackServer::start();
    std::unique_ptr<jack_rig::JackClient> client;
    std::string midi_in, midi_out, audio_in;
    // Ports registered before the engine starts, so that the engine's MIDI output and input
    // take them as the first ports listed.
    Rig() {
        if (!server) return;
        auto c = jack_rig::JackClient::open("rig");
        if (!c) return;
        client = std::move(*c);
        midi_in = client->add_midi_input("midi_in").value_or("");
        midi_out = client->add_midi_output("midi_out").value_or("");
        audio_in = client->add_audio_input("audio_in").value_or("");
    }
    bool ready() const { return client && !audio_in.empty(); }
};

TEST(EngineProcess, GreetsAnswersRefusesASecondEngineAndShutsDownCleanly) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    TempDir dir;
    EngineProcess engine(dir);
    Client c(engine.socket());
    ASSERT_TRUE(c.connected()) << engine.log();
    EXPECT_EQ(c.line(), R"({"protocol":1,"engine":"vorla-engine"})");
    EXPECT_EQ(c.ask(R"({"cmd":"Ping"})"), R"({"status":"Pong"})");
    const std::string types = c.ask(R"({"type":"list_nodes","reply_port":0})");
    EXPECT_TRUE(types.starts_with(R"({"status":"NodeTypes","types":[)")) << types;
    for (const char* type : {"\"adc_input\"", "\"dac\"", "\"gain\"", "\"oscillator\""})
        EXPECT_NE(types.find(type), std::string::npos) << types;
    EXPECT_EQ(c.ask(R"({"cmd":"Status"})"),
              R"({"status":"State","nodes":[],"connections":[],"exposed_controls":{},)"
              R"("control_values":{},"slots":[],"transport":{"bpm":120.0,"meter":4.0,)"
              R"("master":1.0}})");

    EngineProcess second(dir, {{"ZORVA_SOCKET", engine.socket()}}, "second");
    EXPECT_EQ(second.exit_status(), 0);
    EXPECT_NE(second.log().find("] another vorla-engine (PID " + std::to_string(engine.pid()) +
                                ") owns " + engine.socket().string()),
              std::string::npos)
        << second.log();

    EXPECT_EQ(c.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(engine.exit_status(), 0) << engine.log();
    EXPECT_FALSE(fs::exists(engine.socket()));
    EXPECT_FALSE(fs::exists(vorla_engine::ipc::pid_path_for(engine.socket())));
    const std::string log = engine.log();
    for (const char* line : {" INFO  vorla_engine] vorla-engine ready\n",
                             " INFO  vorla_engine]   midi: connected to '"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST(EngineProcess, PlaysAGraphAtItsFrequencyAndFollowsControls) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    TempDir dir;
    EngineProcess engine(dir);
    Client c(engine.socket());
    ASSERT_TRUE(c.connected()) << engine.log();
    c.line();
    ASSERT_EQ(c.ask(R"({"type":"load_graph","nodes":[)"
                    R"({"id":"osc","type_id":"oscillator","controls":{"freq":440}},)"
                    R"({"id":"amp","type_id":"gain"},{"id":"out","type_id":"dac"}],)"
                    R"("connections":[["osc","out","amp","in"],["amp","out","out","in"]],)"
                    R"("exposed_controls":{"freq":["osc","freq"]}})"),
              ok("graph loaded"));
    const std::string out = "vorla-engine-audio:outport 0";
    ASSERT_TRUE(rig.client->wait_for_port(out, 5s)) << engine.log();
    ASSERT_TRUE(rig.client->connect(out, rig.audio_in));
    const auto heard = [&] {
        rig.client->wait_cycles(4, 5s);  // past the crossfade
        rig.client->clear();
        EXPECT_TRUE(rig.client->wait_for_audio("audio_in", 24000, 10s));
        return frequency(rig.client->audio("audio_in").samples, 0, 24000);
    };
    EXPECT_NEAR(heard(), 440.0, 2.0);
    EXPECT_EQ(c.ask(R"({"type":"set_control","label":"freq","value":880})"), ok("ok"));
    EXPECT_NEAR(heard(), 880.0, 2.0);

    // A mapped control change from the rig's MIDI output moves the same control.
    EXPECT_EQ(c.ask(R"({"type":"midi_map","channel":0,"cc":74,"label":"freq",)"
                    R"("lo":200,"hi":1000})"),
              ok("midi_map: ch0 cc74 \u2192 freq"));
    const std::uint8_t cc[] = {0xB0, 74, 127};
    ASSERT_TRUE(rig.client->send_midi(cc));
    EXPECT_NEAR(heard(), 1000.0, 3.0) << engine.log();
    EXPECT_EQ(c.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(engine.exit_status(), 0) << engine.log();
}

TEST(EngineProcess, PlaysPatternNotesAndClockAsMidi) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    TempDir dir;
    EngineProcess engine(dir, {{"ZORVA_MIDI_CLOCK", "1"}});
    Client c(engine.socket());
    ASSERT_TRUE(c.connected()) << engine.log();
    c.line();
    // Four notes per 2 s cycle, each a sixteenth of four beats (125 ms) long.
    EXPECT_EQ(c.ask(R"({"cmd":"SetPattern","slot":"d1","pattern":)"
                    R"(["Fast",[4,1],["Atom",["Note",0,60,100,0.0625]]]})"),
              ok("pattern set on d1"));
    ASSERT_TRUE(rig.client->wait_for_midi(200, 10s));
    std::vector<std::uint32_t> on, off, ticks;
    bool started = false;
    for (const auto& e : rig.client->midi_events()) {
        const auto& b = e.bytes;
        if (b == std::vector<std::uint8_t>{0xFA}) started = ticks.empty();
        if (b == std::vector<std::uint8_t>{0xF8}) ticks.push_back(e.frame);
        if (b == std::vector<std::uint8_t>{0x90, 60, 100}) on.push_back(e.frame);
        if (b == std::vector<std::uint8_t>{0x80, 60, 0}) off.push_back(e.frame);
    }
    EXPECT_TRUE(started);
    ASSERT_GE(on.size(), 3u);
    ASSERT_GE(off.size(), 2u);
    // Frames at 48 kHz: 500 ms between notes, 125 ms long, 20.83 ms between clock pulses;
    // each placed within a JACK period (the MIDI port writes at cycle starts) and 1 ms.
    constexpr double slack = 2 * jack_rig::kPeriod + 48;
    for (std::size_t i = 1; i < on.size(); ++i) EXPECT_NEAR(on[i] - on[i - 1], 24000.0, slack);
    for (std::size_t i = 0; i < off.size(); ++i) EXPECT_NEAR(off[i] - on[i], 6000.0, slack);
    // The pulses due while start-up finished leave together; the rest keep the grid.
    ASSERT_GT(ticks.size(), 100u);
    for (std::size_t i = 10; i < ticks.size(); ++i)
        EXPECT_NEAR(ticks[i] - ticks[i - 1], 1000.0, slack) << i;
    EXPECT_EQ(c.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(engine.exit_status(), 0) << engine.log();
}

TEST(EngineProcess, WithoutAnAudioSystemExits101) {
    // No server of that name: the engine finds no audio device (the lock keeps other JACK
    // tests from running meanwhile).
    auto lock = jack_rig::JackLock::acquire();
    ASSERT_TRUE(lock);
    TempDir dir;
    EngineProcess engine(dir, {{"JACK_DEFAULT_SERVER", "vorla-none-" + std::to_string(::getpid())}});
    EXPECT_EQ(engine.exit_status(20s), 101);
    EXPECT_NE(engine.log().find("no audio device: \""), std::string::npos) << engine.log();
    EXPECT_FALSE(fs::exists(engine.socket()));
}

}  // namespace
