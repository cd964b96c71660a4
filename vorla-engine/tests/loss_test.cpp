// The real vorla-engine process loses its JACK server while a graph plays, capture runs and
// MIDI flows: it reports the loss once, keeps serving and logging, starts nothing again when
// the server comes back, and shuts down with status 0. Each run prints one "loss:" line of
// figures, which scripts/loss-stress.sh collects over many runs.
#include <fcntl.h>
#include <gtest/gtest.h>
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

    // The server comes back under its name: the engine starts nothing on it.
    server.reset();
    if (auto s2 = jack_rig::JackServer::start()) server.emplace(std::move(*s2));
    ASSERT_TRUE(server && server->name() == name);
    auto watcher = jack_rig::JackClient::open("watcher");
    ASSERT_TRUE(watcher);
    ASSERT_TRUE((*watcher)->wait_cycles(40, 10s));
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

// A server that stops answering without going away (stopped here with SIGSTOP) must not keep
// the engine from exiting after "shutdown", though closing its clients waits in libjack.
TEST(EngineStalledServer, ShutdownStillExits) {
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
    const auto stopping = Clock::now();
    EXPECT_EQ(s.ask(R"({"type":"shutdown"})"), ok("shutting down"));
    const auto status = engine.exit_status(8s);
    const double shutdown_ms = ms(Clock::now() - stopping);
    // Resumed, the server would wait out its client time-out on the dead engine's clients: it
    // goes the way a crash does instead.
    server->crash();
    EXPECT_EQ(status, 0) << "shutdown took " << shutdown_ms << " ms";
    EXPECT_TRUE(engine.wait_line("] shutdown did not finish within 3 s: exiting", 1s));
    std::printf("stalled server: shutdown %.1f ms, exit %d\n", shutdown_ms, status.value_or(-1));
}

INSTANTIATE_TEST_SUITE_P(Signals, EngineServerLoss, ::testing::Values(SIGTERM, SIGKILL),
                         [](const auto& info) { return info.param == SIGKILL ? "SIGKILL" : "SIGTERM"; });

}  // namespace
