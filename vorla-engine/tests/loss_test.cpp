// The real vorla-engine process against JACK servers that fail it. It loses its server while a
// graph plays, capture runs and MIDI flows: it reports the loss once, keeps serving and logging,
// opens nothing again when the server comes back, and shuts down with status 0 (each run prints
// one "loss:" line of figures, which scripts/loss-stress.sh collects over many runs). A stalled
// server holds up no request and no shutdown; a refusing one is reported in its own words; one
// that ignores connection requests leaves the engine running unconnected, saying so.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "../../audio-faust/tests/temp_dir.hpp"
#include "jack_rig/jack_rig.hpp"
#include "line_client.hpp"
#include "vorla_engine/platform/unix_socket.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace platform = vorla_engine::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Runs `argv` with the environment `env` (added to this process's), stderr to `err_fd` (or
// /dev/null), stdout to /dev/null. The child dies with the thread that started it.
pid_t launch(std::vector<std::string> argv, const std::map<std::string, std::string>& env,
             int err_fd = -1) {
    std::vector<std::string> kvs;
    for (const auto& [k, v] : env) kvs.push_back(k + "=" + v);
    for (char** e = environ; *e; ++e)
        if (!env.contains(std::string(*e, std::strcspn(*e, "=")))) kvs.emplace_back(*e);
    std::vector<char*> envp, args;
    for (auto& kv : kvs) envp.push_back(kv.data());
    for (auto& a : argv) args.push_back(a.data());
    envp.push_back(nullptr);
    args.push_back(nullptr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {  // system calls only until exec: the test has threads
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(null, 1);
        ::dup2(err_fd >= 0 ? err_fd : null, 2);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(null);
    return pid;
}

// The exit status (128 + signal for a signal), none if still running after `wait`.
std::optional<int> exit_status(pid_t pid, std::chrono::milliseconds wait) {
    for (const auto end = Clock::now() + wait;; std::this_thread::sleep_for(2ms)) {
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (Clock::now() > end) return std::nullopt;
    }
}

// The engine with its stderr on a pipe; a thread stamps each line as it arrives.
class Engine {
public:
    struct Line {
        Clock::time_point at;
        std::string text;
    };

    Engine(const fs::path& dir, const std::string& server) : socket_(dir / "engine.sock") {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        started_ = Clock::now();
        pid_ = launch({VORLA_ENGINE_EXE},
                      {{"ZORVA_SOCKET", socket_}, {"ZORVA_DSP_DIR", dir / "dsp"},
                       {"RUST_LOG", "info"}, {"JACK_NO_START_SERVER", "1"},
                       {"JACK_DEFAULT_SERVER", server},
                       {"LSAN_OPTIONS", "suppressions=" VORLA_ENGINE_LSAN_SUPP}},
                      fds[1]);
        ::close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] { read(fd); });
    }
    ~Engine() {
        if (pid_ > 0 && !status_ && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
        if (reader_.joinable()) reader_.join();
    }

    const fs::path& socket() const { return socket_; }
    Clock::time_point started() const { return started_; }
    std::vector<Line> lines() const {
        std::lock_guard lock(mu_);
        return lines_;
    }
    // The first line containing `text`.
    std::optional<Line> wait_line(std::string_view text, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mu_);
        std::optional<Line> found;
        arrived_.wait_for(lock, timeout, [&] {
            for (const Line& l : lines_)
                if (l.text.find(text) != std::string::npos) return (found = l).has_value();
            return false;
        });
        return found;
    }
    std::optional<int> exit_status(std::chrono::milliseconds wait) {
        if (!status_ && pid_ > 0) status_ = ::exit_status(pid_, wait);
        return status_;
    }

private:
    void read(int fd) {
        std::string partial;
        char chunk[4096];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
            partial.append(chunk, static_cast<std::size_t>(n));
            std::lock_guard lock(mu_);
            for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                lines_.push_back({Clock::now(), partial.substr(0, nl)});
                partial.erase(0, nl + 1);
            }
            arrived_.notify_all();
        }
        ::close(fd);
    }

    fs::path socket_;
    Clock::time_point started_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    mutable std::mutex mu_;
    std::condition_variable arrived_;
    std::vector<Line> lines_;
    std::thread reader_;
};

// One request line, one reply line.
class Session : public vorla_engine::test_util::LineClient {
public:
    explicit Session(const fs::path& socket) : LineClient(socket, 20s) {}
};

std::string ok(std::string_view msg) {
    return R"({"status":"Ok","msg":")" + std::string(msg) + R"("})";
}
std::string error(std::string_view msg) {
    return R"({"status":"Error","msg":")" + std::string(msg) + R"("})";
}

// After a loss libjack would free every client of the process at the next client it opens.
const std::string kNoJackAfterLoss = error(
    "start_input: the JACK server has gone away: no JACK client is opened again before a restart");

class EngineServerLoss : public ::testing::TestWithParam<int> {};

TEST_P(EngineServerLoss, ReportsOnceKeepsServingAndExitsCleanly) {
    std::optional<jack_rig::JackServer> server;
    if (auto s = jack_rig::JackServer::start()) server.emplace(std::move(*s));
    ASSERT_TRUE(server);
    const std::string name = server->name();
    auto rig = jack_rig::JackClient::open("rig");
    ASSERT_TRUE(rig && (*rig)->add_midi_input("midi_in") && (*rig)->add_midi_output("midi_out") &&
                (*rig)->add_audio_input("audio_in"));

    audio_faust::test_util::TempDir dir;
    Engine engine(dir.path(), name);
    const auto ready = engine.wait_line("] vorla-engine ready", 30s);
    ASSERT_TRUE(ready);
    // The same server answering a client that only lists its ports, for comparison.
    const auto listing = Clock::now();
    const auto lsp = exit_status(launch({"jack_lsp"}, {{"JACK_DEFAULT_SERVER", name}}), 10s);
    const double lsp_ms = ms(Clock::now() - listing);
    EXPECT_EQ(lsp, 0);

    Session s(engine.socket());
    ASSERT_TRUE(s.connected());
    EXPECT_EQ(s.line(), R"({"protocol":1,"engine":"vorla-engine"})");
    EXPECT_EQ(s.ask(R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator",)"
                    R"("controls":{"freq":440}},{"id":"out","type_id":"dac"}],)"
                    R"("connections":[["osc","out","out","in"]]})"),
              ok("graph loaded"));
    EXPECT_EQ(s.ask(R"({"type":"start_input","channel":0})"), ok("input started (ch 0)"));
    EXPECT_EQ(s.ask(R"({"cmd":"SetPattern","slot":"d1","pattern":)"
                    R"(["Fast",[16,1],["Atom",["Note",0,60,100,0.0625]]]})"),
              ok("pattern set on d1"));
    ASSERT_TRUE((*rig)->connect("vorla-engine-audio:outport 0", "rig:audio_in"));
    ASSERT_TRUE((*rig)->wait_for_audio("audio_in", 4800, 10s));
    ASSERT_TRUE((*rig)->wait_for_midi(4, 10s));
    rig->reset();  // the rig's own client is not under test

    const auto signalled = Clock::now();
    if (GetParam() == SIGKILL)
        server->crash();
    else
        ::kill(server->pid(), GetParam());
    const auto error = engine.wait_line("audio stream error: ", 10s);
    ASSERT_TRUE(error) << "no error line";

    // Still serving, still logging.
    EXPECT_TRUE(s.ask(R"({"cmd":"Status"})").starts_with(R"({"status":"State")"));
    EXPECT_EQ(s.ask(R"({"type":"midi_map","channel":0,"cc":74,"label":"freq","lo":200,)"
                    R"("hi":1000})"),
              ok("midi_map: ch0 cc74 \u2192 freq"));
    EXPECT_TRUE(engine.wait_line("] midi_map: ch0 cc74 \u2192 [200, 1000]", 5s));
    EXPECT_EQ(s.ask(R"({"type":"start_input","channel":0})"), kNoJackAfterLoss);

    // The server comes back under its name: the engine starts nothing on it.
    server.reset();
    if (auto s2 = jack_rig::JackServer::start()) server.emplace(std::move(*s2));
    ASSERT_TRUE(server && server->name() == name);
    auto watcher = jack_rig::JackClient::open("watcher");
    ASSERT_TRUE(watcher);
    ASSERT_TRUE((*watcher)->wait_cycles(40, 10s));
    EXPECT_EQ(s.ask(R"({"type":"start_input","channel":0})"), kNoJackAfterLoss);
    EXPECT_EQ((*watcher)->ports("vorla-engine"), std::vector<std::string>{});
    watcher->reset();

    EXPECT_EQ(s.ask(R"({"type":"set_control","label":"freq","value":330})"), ok("ok"));
    const auto stopping = Clock::now();
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    const auto status = engine.exit_status(2s);
    const double shutdown_ms = ms(Clock::now() - stopping);
    EXPECT_EQ(status, 0) << "shutdown took " << shutdown_ms << " ms";

    // Standard error: log lines and the three warnings, the loss reported once per stream.
    const std::regex log_line(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (TRACE|DEBUG|INFO |WARN |ERROR) \S+\] .*)");
    const std::string gone =
        "The requested device is no longer available. For example, it has been unplugged.";
    std::map<std::string, int> reports;
    for (const auto& l : engine.lines()) {
        if (std::regex_match(l.text, log_line) ||
            l.text.starts_with("warning: could not set realtime thread priority: "))
            continue;
        ++reports[l.text];
    }
    EXPECT_EQ(reports, (std::map<std::string, int>{{"audio stream error: " + gone, 1},
                                                   {"audio input stream error: " + gone, 1}}));
    std::printf("loss: signal %d, error line %.1f ms, shutdown %.1f ms, exit %d, start-up %.1f ms, "
                "jack_lsp %.1f ms\n",
                GetParam(), ms(error->at - signalled), shutdown_ms, status.value_or(-1),
                ms(ready->at - engine.started()), lsp_ms);
}

// A server that stops answering without going away (stopped here with SIGSTOP) keeps every
// JACK call waiting: a capture being started holds up neither the loop nor later requests, and
// "shutdown" still ends the process within 3 s, its socket and PID file removed.
TEST(EngineStalledServer, RequestsGoOnAndShutdownExitsWithinThreeSeconds) {
    std::optional<jack_rig::JackServer> server;
    if (auto s = jack_rig::JackServer::start()) server.emplace(std::move(*s));
    ASSERT_TRUE(server);
    audio_faust::test_util::TempDir dir;
    Engine engine(dir.path(), server->name());
    ASSERT_TRUE(engine.wait_line("] vorla-engine ready", 30s));
    Session s(engine.socket());
    ASSERT_TRUE(s.connected());
    EXPECT_EQ(s.line(), R"({"protocol":1,"engine":"vorla-engine"})");
    EXPECT_EQ(s.ask(R"({"cmd":"SetPattern","slot":"d1","pattern":)"
                    R"(["Fast",[16,1],["Atom",["Note",0,60,100,0.0625]]]})"),
              ok("pattern set on d1"));
    std::this_thread::sleep_for(200ms);

    ::kill(server->pid(), SIGSTOP);
    auto asked = Clock::now();
    EXPECT_EQ(s.ask(R"({"type":"start_input","channel":0})"),
              error("start_input: the audio device did not answer within 3 s"));
    const double input_ms = ms(Clock::now() - asked);
    EXPECT_LT(input_ms, 4800) << "the IPC thread's 5 s wait ran out first";
    asked = Clock::now();
    EXPECT_TRUE(s.ask(R"({"cmd":"Status"})").starts_with(R"({"status":"State")"));
    const double status_ms = ms(Clock::now() - asked);
    EXPECT_LT(status_ms, 1000);

    const auto stopping = Clock::now();
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    const auto status = engine.exit_status(8s);
    const double shutdown_ms = ms(Clock::now() - stopping);
    // Resumed, the server would wait out its client time-out on the dead engine's clients: it
    // goes the way a crash does instead.
    server->crash();
    EXPECT_EQ(status, 0);
    EXPECT_LT(shutdown_ms, 4000);
    EXPECT_TRUE(engine.wait_line("] shutdown did not finish within 3 s: exiting", 1s));
    EXPECT_FALSE(fs::exists(engine.socket()));
    EXPECT_FALSE(fs::exists(fs::path(engine.socket()).replace_extension("pid")));
    std::printf("stalled server: start_input %.1f ms, status %.1f ms, shutdown %.1f ms, exit %d\n",
                input_ms, status_ms, shutdown_ms, status.value_or(-1));
}

// A server that answers but refuses the engine (its client table full) is the user's JACK: the
// engine stops with JACK's reason and plays through nothing else.
TEST(EngineRefusedByJack, StopsWithJacksReason) {
    std::optional<jack_rig::JackServer> server;
    if (auto s = jack_rig::JackServer::start()) server.emplace(std::move(*s));
    ASSERT_TRUE(server);
    std::vector<jack_client_t*> fillers;
    jack_status_t status{};
    for (int i = 0; i < 1000; ++i) {
        jack_client_t* c =
            jack_client_open(("filler-" + std::to_string(i)).c_str(), JackNoStartServer, &status);
        if (!c) break;
        fillers.push_back(c);
    }
    ASSERT_EQ(status, JackFailure | JackServerError) << fillers.size() << " clients";
    audio_faust::test_util::TempDir dir;
    Engine engine(dir.path(), server->name());
    EXPECT_EQ(engine.exit_status(30s), 101);
    EXPECT_TRUE(
        engine.wait_line("no audio device: \"JACK refused the client: communication error "
                         "with the JACK server (status 0x21)\"",
                         1s));
    for (jack_client_t* c : fillers)
        jack_client_close(c);
}

// A server that ignores (or refuses) its clients' requests to connect their own ports: the
// engine runs with its ports unconnected, says which connections are missing, and plays once
// someone else connects them.
class EngineSelfConnectMode : public ::testing::TestWithParam<char> {};

TEST_P(EngineSelfConnectMode, RunsUnconnectedAndSaysSo) {
    std::optional<jack_rig::JackServer> server;
    if (auto s = jack_rig::JackServer::start({.self_connect = GetParam()}))
        server.emplace(std::move(*s));
    ASSERT_TRUE(server);
    auto rig = jack_rig::JackClient::open("rig");
    ASSERT_TRUE(rig && (*rig)->add_midi_input("midi_in") && (*rig)->add_midi_output("midi_out") &&
                (*rig)->add_audio_input("audio_in"));
    audio_faust::test_util::TempDir dir;
    Engine engine(dir.path(), server->name());
    ASSERT_TRUE(engine.wait_line("] vorla-engine ready", 30s));
    const std::string why = GetParam() == 'a'
                                ? " (the server ignored the request): connect it yourself"
                                : " (error -1): connect it yourself";
    const auto missing = [&](const char* from, const char* to) {
        return std::string("JACK did not connect '") + from + "' to '" + to + "'" + why;
    };
    EXPECT_TRUE(engine.wait_line("WARN  audio_engine::output::cpal_backend] " +
                                     missing("vorla-engine-audio:outport 1", "system:playback_2"),
                                 5s));
    EXPECT_TRUE(engine.wait_line(
        "WARN  vorla_engine]   midi: " + missing("vorla-engine:pattern-engine", "rig:midi_in"),
        5s));
    EXPECT_TRUE(engine.wait_line(
        "WARN  vorla_engine]   midi input: " + missing("rig:midi_out", "vorla-engine-in:zorva-cc"),
        5s));
    EXPECT_FALSE(engine.wait_line("connected to", 0ms));
    Session s(engine.socket());
    ASSERT_TRUE(s.connected());
    EXPECT_EQ(s.line(), R"({"protocol":1,"engine":"vorla-engine"})");
    EXPECT_EQ(s.ask(R"({"type":"start_input","channel":0})"),
              ok("input started (ch 0), but " +
                 missing("system:capture_1", "vorla-engine-capture:inport 0")));
    EXPECT_EQ(s.ask(R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator",)"
                    R"("controls":{"freq":440}},{"id":"out","type_id":"dac"}],)"
                    R"("connections":[["osc","out","out","in"]]})"),
              ok("graph loaded"));
    // A client that owns neither port may connect them.
    auto patchbay = jack_rig::JackClient::open("patchbay");
    ASSERT_TRUE(patchbay && (*patchbay)->connect("vorla-engine-audio:outport 0", "rig:audio_in"));
    EXPECT_TRUE((*rig)->wait_for_audio("audio_in", 4800, 10s));
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    EXPECT_EQ(engine.exit_status(5s), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, EngineSelfConnectMode, ::testing::Values('a', 'A'),
                         [](const auto& info) { return info.param == 'a' ? "Ignore" : "Refuse"; });

INSTANTIATE_TEST_SUITE_P(Signals, EngineServerLoss, ::testing::Values(SIGTERM, SIGKILL),
                         [](const auto& info) { return info.param == SIGKILL ? "SIGKILL" : "SIGTERM"; });

}  // namespace
