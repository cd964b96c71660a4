#include "vorla_engine/ipc.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <thread>

#include <sys/stat.h>

#include "support/log.hpp"

namespace {

namespace fs = std::filesystem;
namespace platform = vorla_engine::platform;
namespace channel = support::channel;
using namespace vorla_engine::ipc;
using namespace std::chrono_literals;

const std::string kPong = R"({"status":"Pong"})",
                  kHello{hello_line.substr(0, hello_line.size() - 1)};
std::string error_reply(std::string_view msg, std::string_view status = "Error") {
    return R"({"status":")" + std::string(status) + R"(","msg":")" + std::string(msg) + "\"}";
}
std::string ok(std::string_view msg) { return error_reply(msg, "Ok"); }

enum class Ends { TimedOut, Closed };

// A client that reads reply lines with a deadline.
class Client {
public:
    explicit Client(const fs::path& socket) : fd_(*platform::connect_unix(socket)) {
        platform::set_read_timeout(fd_, 20ms);
    }
    void send(std::string_view text) { ASSERT_TRUE(platform::write_all(fd_, text)); }
    void close_writing() { platform::shutdown_write(fd_); }

    std::expected<std::string, Ends> line(std::chrono::milliseconds wait = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            if (auto nl = pending_.find('\n'); nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            char chunk[4096];
            auto n = platform::read_some(fd_, chunk);
            if (n ? *n == 0 : n.error() == platform::ReadFail::Error)
                return std::unexpected(Ends::Closed);
            if (n) pending_.append(chunk, *n);
            if (std::chrono::steady_clock::now() > deadline) return std::unexpected(Ends::TimedOut);
        }
    }

private:
    platform::Fd fd_;
    std::string pending_;
};

class IpcServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string dir = fs::temp_directory_path() / "vorla-ipc-XXXXXX";
        ASSERT_NE(::mkdtemp(dir.data()), nullptr);
        dir_ = dir;
        socket_ = dir_ / "engine.sock";
        types_->set({"dac", "gain"});
        auto handle = try_start();
        ASSERT_TRUE(handle) << handle.error();
        handle_.emplace(std::move(*handle));
    }
    void TearDown() override { stop(), fs::remove_all(dir_); }

    // The main loop gets 100 ms to answer.
    std::expected<IpcHandle, std::string> try_start() {
        auto [sender, receiver] = channel::unbounded<LoopCommand>();
        loop_.emplace(std::move(receiver));
        return start(socket_, std::move(sender), types_, {100ms});
    }
    // A second server beside the fixture's, with its own main loop.
    std::pair<IpcHandle, LoopReceiver> start_other(const fs::path& socket,
                                                   ServerOptions options = {100ms}) {
        auto [sender, receiver] = channel::unbounded<LoopCommand>();
        auto handle = start(socket, std::move(sender), types_, options);
        EXPECT_TRUE(handle) << handle.error();
        return {std::move(handle.value()), std::move(receiver)};
    }
    // Drops the handle and waits until the server thread has let go of its sender.
    void stop() {
        handle_.reset();
        while (loop_) {
            auto command = loop_->recv_for(3s);
            if (command) continue;
            EXPECT_EQ(command.error(), channel::RecvError::Disconnected);
            loop_.reset();
        }
    }
    Client client() {
        Client c(socket_);
        EXPECT_EQ(c.line(), kHello);
        return c;
    }
    // Every reply to `input`, up to the reply to a final marker line.
    std::vector<std::string> replies(Client& c, const std::string& input) {
        c.send(input + "marker\n");
        std::vector<std::string> out;
        for (auto line = c.line(); line && *line != error_reply("unrecognized message: marker");
             line = c.line()) {
            out.push_back(*line);
        }
        return out;
    }
    // The variant index of each queued pattern command, in order.
    std::vector<std::size_t> queued_patterns() {
        std::vector<std::size_t> kinds;
        while (auto c = loop_->try_recv())
            kinds.push_back(std::get<loop::PatternCommand>(*c).command.index());
        return kinds;
    }
    LoopCommand next_command() { return std::move(loop_->recv_for(3s).value()); }

    fs::path dir_, socket_;
    std::shared_ptr<NodeTypeList> types_ = std::make_shared<NodeTypeList>();
    std::optional<LoopReceiver> loop_;
    std::optional<IpcHandle> handle_;
};

// A line of exactly `size` bytes that reads as a pattern "Ping".
std::string padded_ping(std::size_t size) {
    std::string line = R"({"cmd":"Ping","pad":")";
    line.append(size - line.size() - 2, 'x');
    return line + "\"}";
}

// Unreadable input closes the connection, as does the end of the client's writing.
TEST_F(IpcServerTest, AnswersEachNonBlankLineOnceOrCloses) {
    const std::string big = padded_ping(max_line_bytes);
    struct Case {
        std::string input;  // a final "\n" is added unless the connection `closes`
        std::vector<std::string> replies;
        std::vector<std::size_t> queued = {};  // EngineCommand kinds
        bool closes = false;  // the client stops writing after `input`
    } cases[] = {
        {"\n  \n\t\r\n\xe3\x80\x80", {}},
        {"{\"cmd\":\"Ping\"}\n\n[\"ping\"]\r", {kPong, kPong}},
        {R"({"type":"list_nodes","reply_port":7})",
         {R"({"status":"NodeTypes","types":["dac","gain"]})"}},
        {"not json\r", {error_reply("unrecognized message: not json")}},
        {R"({"cmd":"Status","cmd":"Ping"})",
         {error_reply(R"(unrecognized message: {\"cmd\":\"Status\",\"cmd\":\"Ping\"})")}},
        {R"(["SetBpm","x"])", {error_reply(R"(unrecognized message: [\"SetBpm\",\"x\"])")}},
        {R"(["Hush","\ud800"])", {error_reply(R"(unrecognized message: [\"Hush\",\"\\ud800\"])")}},
        {"{\"cmd\":\"SetBpm\",\"bpm\":90}\n[\"Hush\",\"d1\"]",
         {ok("bpm set to 90"), ok("d1 hushed")},
         {4, 1}},
        {R"(["Batch",[]])", {ok("batch applied (0 commands)")}},
        {R"(["Batch",[["HushAll"],["Ping"],["SetBpm",100]]])",
         {ok("batch applied (2 commands)")},
         {2, 4}},
        {R"(["Batch",[["HushAll"],["SetPattern","d1",{"op":"Cat","children":[]}]]])",
         {error_reply("compile error: Cat requires at least one child")}},
        {R"(["Batch",[["Batch",[]]]])", {error_reply("nested Batch is not allowed")}},
        {big + "\n" + big + "\r", {kPong, kPong}},
        {padded_ping(max_line_bytes + 1) + "\r",
         {error_reply("message too large (1048577 bytes, max 1048576)")}},
        {std::string(3 * max_line_bytes, 'x') + "\n" + std::string(2 * max_line_bytes, ' '),
         {error_reply("message too large (3145728 bytes, max 1048576)")}},
        {"[\"ping\"]\n\xff\n[\"ping\"]\n", {kPong}, {}, true},
        {"\"\xed\xa0\x80\"\n", {}, {}, true},  // an encoded surrogate
        {"\"\xe0\x80\xaf\"\n", {}, {}, true},  // overlong
        {std::string(max_line_bytes + 10, 'x') + "\xf8\n", {}, {}, true},
        {"[\"ping\"]\n\xe2\x82", {kPong}, {}, true},  // cut inside a character
        {"{\"cmd\":\"Ping\"}", {kPong}, {}, true},
        {"  ", {}, {}, true},
    };
    for (const auto& c : cases) {
        Client client = this->client();
        std::vector<std::string> got;
        if (c.closes) {
            client.send(c.input);
            client.close_writing();
            auto line = client.line();
            for (; line; line = client.line())
                got.push_back(*line);
            EXPECT_EQ(line, std::unexpected(Ends::Closed)) << c.input.substr(0, 40);
        } else {
            got = replies(client, c.input + "\n");
        }
        EXPECT_EQ(got, c.replies) << c.input.substr(0, 200);
        EXPECT_EQ(queued_patterns(), c.queued) << c.input.substr(0, 200);
    }
}

TEST_F(IpcServerTest, ServesOneClientAtATime) {
    {
        Client gone = client();  // leaves without reading its replies
        gone.send(std::string(10000, '\n') + "{\"cmd\":\"Ping\"}\n[\"ping\"]\n");
    }
    Client first = client();
    EXPECT_TRUE(std::ranges::any_of(fs::directory_iterator("/proc/self/task"), [](auto& task) {
        return platform::read_file(task.path() / "comm") == "zorva-ipc\n";  // the greeter
    }));
    Client second(socket_);
    EXPECT_EQ(second.line(300ms), std::unexpected(Ends::TimedOut));
    first.send("[\"ping\"]\n");
    EXPECT_EQ(first.line(), kPong);
    first.close_writing();
    EXPECT_EQ(second.line(), kHello);
    second.send("[\"ping\"]\n");
    EXPECT_EQ(second.line(), kPong);
}

// An idle client costs the server one wake-up per read time-out: about ten a second. Counted
// as the server thread's voluntary context switches, which load does not add to.
TEST_F(IpcServerTest, AnIdleClientWakesTheServerTenTimesASecond) {
    const auto servers = [] {
        std::vector<fs::path> tasks;
        for (auto& task : fs::directory_iterator("/proc/self/task"))
            if (platform::read_file(task.path() / "comm", 64) == "zorva-ipc\n")
                tasks.push_back(task.path());
        return tasks;
    };
    Client c = client();
    auto tasks = servers();
    // Servers of earlier tests end within one time-out of their stop.
    for (int i = 0; i < 100 && tasks.size() > 1; ++i, tasks = servers())
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(tasks.size(), 1u);
    const auto switches = [&] {
        const auto status = platform::read_file(tasks[0] / "status", 1 << 16).value_or("");
        const std::string key = "\nvoluntary_ctxt_switches:";
        const auto at = status.find(key);
        return at == std::string::npos ? -1L : std::stol(status.substr(at + key.size()));
    };
    const long before = switches();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    const long woken = switches() - before;
    const long time_outs = (std::chrono::steady_clock::now() - start) / 100ms;
    ASSERT_GE(before, 0);
    EXPECT_GE(woken, time_outs / 2);
    EXPECT_LE(woken, time_outs + 3);
    c.send("[\"ping\"]\n");
    EXPECT_EQ(c.line(), kPong);
}

TEST_F(IpcServerTest, MainLoopAnswersOrTimesOutOrIsGone) {
    namespace audio = audio_engine::protocol;
    Client c = client();
    c.send(R"({"type":"set_control","label":"cutoff","value":0.5})" "\n");
    auto request = std::get<loop::AudioRequest>(next_command());
    EXPECT_EQ(request.message, audio::ClientMessage(audio::SetControl{"cutoff", 0.5f}));
    std::move(request.reply).send(AudioResult("ok"));
    EXPECT_EQ(c.line(), ok("ok"));
    c.send(R"(["remove_node","osc"])" "\n");
    std::move(std::get<loop::AudioRequest>(next_command()).reply).send(std::unexpected("no osc"));
    EXPECT_EQ(c.line(), error_reply("no osc"));
    audio_engine::engine::EngineSnapshot snapshot{
        {{"osc", "oscillator", {{"freq", 440.0f}}}},
        {{"osc", "out", "dac", "in"}},
        {{"pitch", {"osc", "freq"}}},
        {{"a", std::nanf("")}, {"b", std::numeric_limits<float>::infinity()}, {"c", 0.1f}}};
    c.send(R"({"slot":"x","cmd":"Status","extra":[1]})" "\n");
    std::move(std::get<loop::StateRequest>(next_command()).reply)
        .send(build_state_response(snapshot, {{"zz", true}, {"aa", false}}, 120.0, 4.0, 0.8));
    EXPECT_EQ(c.line(),
              R"({"status":"State","nodes":[{"id":"osc","type_id":"oscillator","controls":{"freq":440.0}}],)"
              R"("connections":[{"from_node":"osc","from_port":"out","to_node":"dac","to_port":"in"}],)"
              R"("exposed_controls":{"pitch":["osc","freq"]},"control_values":{"a":null,"b":null,"c":0.1},)"
              R"("slots":[{"name":"zz","playing":true},{"name":"aa","playing":false}],)"
              R"("transport":{"bpm":120.0,"meter":4.0,"master":0.8}})");

    const std::string no_answer = error_reply("main loop did not respond within 5s");
    const std::string disconnected = "main loop disconnected";
    c.send("[\"shutdown\"]\n");
    LoopCommand held = next_command();  // never answered
    EXPECT_EQ(c.line(), no_answer);
    c.send("{\"cmd\":\"Status\"}\n");
    next_command();  // dropped without an answer
    EXPECT_EQ(c.line(), no_answer);

    std::vector<std::string> logged;
    support::log::init_with("warn", support::log::Style::Never,
                            [&](std::string_view line) { logged.emplace_back(line); });
    loop_.reset();
    // Nothing can be queued any more: a pattern command is refused too, not acknowledged.
    EXPECT_EQ(replies(c, "[\"shutdown\"]\n[\"HushAll\"]\n[\"Batch\",[[\"HushAll\"]]]\n"),
              std::vector<std::string>(3, error_reply(disconnected)));
    support::log::reset();
    EXPECT_TRUE(logged.size() == 2 &&
                logged[1].ends_with("WARN  vorla_engine::ipc] " + disconnected + "\n"));
}

TEST_F(IpcServerTest, StartTakesOnlyAStaleSocket) {
    stop();
    EXPECT_EQ(pid_path_for("/tmp/vorla.sock"), "/tmp/vorla.pid");
    EXPECT_EQ(pid_path_for("engine"), "engine.pid");
    const std::string own = std::to_string(platform::process_id());
    struct Case {
        bool socket_file, listening;
        std::optional<std::string> pid_file;
        std::string error;  // empty: starts; the socket path follows an error ending in "owns "
    } cases[] = {
        {true, false, std::nullopt, ""},
        {true, false, "", ""},           // a start cut short
        {true, true, "4294967296", ""},  // overflows: no connection is tried
        {true, false, "4294967295", ""},
        {false, false, own, ""},
        {true, true, " +4294967295\n", "another vorla-engine (PID 4294967295) owns "},
        {true, false, own, "another vorla-engine (PID " + own + ") owns "},
        {true, false, "not a pid", "write PID lock: File exists"},  // not an engine's file
    };
    for (const auto& c : cases) {
        std::optional<platform::Fd> listener;
        if (c.socket_file) listener.emplace(*platform::listen_unix(socket_));
        if (!c.listening) listener.reset();
        if (c.pid_file) {
            EXPECT_TRUE(platform::write_file(pid_path_for(socket_), *c.pid_file));
        }
        auto handle = try_start();
        if (c.error.empty()) {
            ASSERT_TRUE(handle) << handle.error();
            EXPECT_EQ(platform::read_file(dir_ / "engine.pid"), own);
            handle_.emplace(std::move(*handle));
            Client served = client();
            stop();  // the thread ends: the connection is closed, both files are gone
            EXPECT_EQ(served.line(), std::unexpected(Ends::Closed));
            EXPECT_FALSE(fs::exists(socket_));
            EXPECT_FALSE(fs::exists(dir_ / "engine.pid"));
        } else {
            EXPECT_EQ(
                handle,
                std::unexpected(c.error.ends_with("owns ") ? c.error + socket_.string() : c.error));
            fs::remove(socket_);
            fs::remove(dir_ / "engine.pid");
            stop();
        }
    }
    socket_ = dir_ / "missing" / "engine.sock";
    EXPECT_EQ(try_start(), std::unexpected("write PID lock: No such file or directory"));
    socket_ = dir_ / (std::string(120, 'x') + ".sock");
    EXPECT_EQ(try_start(), std::unexpected("bind " + socket_.string() + ": File name too long"));
    EXPECT_FALSE(fs::exists(pid_path_for(socket_)));  // the path is checked first
}

// What a directory holds, without following links: name -> kind and content.
std::map<std::string, std::string> listing(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const auto name = e.path().filename().string();
        if (e.is_symlink())
            out[name] = "link to " + fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            out[name] = "file " + platform::read_file(e.path()).value_or("?");
        else
            out[name] = "kind " + std::to_string(int(e.symlink_status().type()));
    }
    return out;
}

// Only a socket is ever removed, and only a file that holds what an engine writes is replaced;
// anything else stays as it was and start fails before it writes.
TEST_F(IpcServerTest, StartLeavesWhatIsNotAnEnginesAlone) {
    stop();
    const std::string in_use = "bind {}: Address already in use",
                      pid_taken = "write PID lock: File exists";
    struct Case {
        std::string socket;  // in a fresh directory
        std::function<void(const fs::path& dir)> plant;
        std::string error;  // "{}" stands for the socket path
    } cases[] = {
        {"", [](auto&) {}, "bind : No such file or directory"},
        {"notes.txt",
         [](const fs::path& d) {
             ASSERT_TRUE(platform::write_file(d / "notes.txt", "my notes"));
             ASSERT_TRUE(platform::write_file(d / "notes.pid", "more notes"));
         },
         in_use},
        {"link.sock",  // a link, even to a stale socket
         [](const fs::path& d) {
             (void)platform::listen_unix(d / "stale.sock");
             fs::create_symlink("stale.sock", d / "link.sock");
         },
         in_use},
        {"dir.sock", [](const fs::path& d) { fs::create_directory(d / "dir.sock"); }, in_use},
        {"fifo.sock", [](const fs::path& d) { ::mkfifo((d / "fifo.sock").c_str(), 0600); }, in_use},
        {"e.sock",
         [](const fs::path& d) {
             ASSERT_TRUE(platform::write_file(d / "victim", "1234"));
             fs::create_symlink("victim", d / "e.pid");
         },
         pid_taken},
        {"e.sock",
         [](const fs::path& d) { ASSERT_TRUE(platform::write_file(d / "e.pid", "12 notes")); },
         pid_taken},
        {"e.sock", [](const fs::path& d) { ::mkfifo((d / "e.pid").c_str(), 0600); }, pid_taken},
        {"e.sock", [](const fs::path& d) { fs::create_directory(d / "e.pid"); }, pid_taken},
    };
    int n = 0;
    for (const auto& c : cases) {
        const fs::path dir = dir_ / std::to_string(n++);
        fs::create_directory(dir);
        c.plant(dir);
        const auto before = listing(dir);
        socket_ = c.socket.empty() ? fs::path() : dir / c.socket;
        std::string error = c.error;
        if (auto at = error.find("{}"); at != std::string::npos) error.replace(at, 2, socket_);
        auto started = try_start();
        EXPECT_EQ(started ? "started" : started.error(), error) << c.socket;
        EXPECT_EQ(listing(dir), before) << c.socket;
        EXPECT_FALSE(fs::remove(".pid")) << "a PID file in the working directory";
        stop();
    }
}

// Whatever the umask, only the owner may connect.
TEST_F(IpcServerTest, TheSocketIsTheOwnersOnly) {
    stop();
    for (const mode_t mask : {0000, 0022, 0077}) {
        const mode_t old = ::umask(mask);
        auto handle = try_start();
        ::umask(old);
        ASSERT_TRUE(handle) << handle.error();
        EXPECT_EQ(fs::symlink_status(socket_).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write)
            << mask;
        handle_.emplace(std::move(*handle));
        stop();
    }
}

// An engine that lost its socket file to a second engine on the same path leaves the second
// one's socket and PID file alone at its shutdown, and still ends its own server.
TEST_F(IpcServerTest, StopRemovesOnlyWhatIsStillItsOwn) {
    fs::remove(socket_);
    auto [second, second_loop] = start_other(socket_);
    stop();
    EXPECT_TRUE(fs::is_socket(fs::symlink_status(socket_)));
    EXPECT_TRUE(fs::exists(pid_path_for(socket_)));
    {
        Client still = client();
        still.send("[\"ping\"]\n");
        EXPECT_EQ(still.line(), kPong);
    }
    { IpcHandle gone = std::move(second); }
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket_)));
    EXPECT_FALSE(fs::exists(pid_path_for(socket_)));
    EXPECT_EQ(second_loop.recv_for(3s).error(), channel::RecvError::Disconnected);
}

// The real wait: an answer after 4.5 s is taken, one after 5.5 s is too late. Two servers
// wait side by side.
TEST_F(IpcServerTest, WaitsFiveSecondsForTheMainLoop) {
    auto [late, late_loop] = start_other(dir_ / "late.sock", ServerOptions{});
    auto [timely, timely_loop] = start_other(dir_ / "timely.sock", ServerOptions{});
    struct Waiter {
        Client client;
        std::thread loop;
    };
    const auto ask = [](const fs::path& socket, LoopReceiver& main_loop,
                        std::chrono::milliseconds after) {
        Client c(socket);
        EXPECT_EQ(c.line(), kHello);
        c.send("[\"shutdown\"]\n");
        const auto sent = std::chrono::steady_clock::now();
        return Waiter{std::move(c), std::thread([&main_loop, sent, after] {
                          auto request = main_loop.recv_for(3s);
                          ASSERT_TRUE(request);
                          std::this_thread::sleep_until(sent + after);
                          std::move(std::get<loop::AudioRequest>(*request).reply)
                              .send(AudioResult("shutting down"));
                      })};
    };
    Waiter a = ask(dir_ / "timely.sock", timely_loop, 4500ms);
    Waiter b = ask(dir_ / "late.sock", late_loop, 5500ms);
    EXPECT_EQ(a.client.line(6s), ok("shutting down"));
    EXPECT_EQ(b.client.line(6s), error_reply("main loop did not respond within 5s"));
    a.loop.join();
    b.loop.join();
}

// Random and damaged lines: every readable non-blank line gets exactly one JSON reply, every
// unreadable one closes the connection. Without a main loop every request is answered at once.
TEST_F(IpcServerTest, FuzzedLinesNeverBreakTheServer) {
    loop_.reset();
    const std::string samples[] = {
        R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"Fast","factor":[2,1],"child":{"op":"Atom","value":{"type":"Note","channel":0,"note":60,"velocity":100,"dur":0.5}}}})",
        R"({"type":"set_control","label":"cutoff","value":0.5})",
        R"({"cmd":"Batch","commands":[["SetBpm",120],{"cmd":"Hush","slot":"x"}]})",
        R"({"cmd":"Status"})"};
    const std::string alphabet = "{}[]\":,0123456789.eE-+ \\/tfnulrsaxdu\xc3\xa9\xed\xa0\x80";
    std::string bytes(256, '\0');
    std::iota(bytes.begin(), bytes.end(), '\0');
    std::mt19937 rng(1234);
    auto pick = [&](std::size_t n) { return std::size_t(rng() % n); };
    auto random_line = [&](const std::string& from) {
        std::string line(pick(48), ' ');
        std::ranges::generate(line, [&] { return from[pick(from.size())]; });
        return line;
    };
    std::string s;  // the sample being damaged
    const std::function<std::string()> makers[] = {
        [&] { return random_line(bytes); },
        [&] { return random_line(alphabet); },
        [&] { return s.substr(0, pick(s.size())); },
        [&] { return s.replace(pick(s.size()), 1, 1, alphabet[pick(alphabet.size())]); },
        [&] { return std::string(100 + pick(60), '[') + std::string(100 + pick(60), ']'); },
        [&] { return R"(["set_control","\udc00",)" + std::string(pick(2) ? "1e400]" : "-1e39]"); },
    };
    support::json::Parser parser;
    std::optional<Client> c;
    for (int i = 0; i < 1500; ++i) {
        s = samples[pick(std::size(samples))];
        std::string line = makers[i % std::size(makers)]();
        std::erase(line, '\n');
        if (!c) c.emplace(client());
        c->send(line + "\nmarker\n");
        if (!support::json::valid_utf8(line)) {
            EXPECT_EQ(c->line(), std::unexpected(Ends::Closed)) << i;
            c.reset();
            continue;
        }
        if (line.find_first_not_of(" \t\r\v\f") != std::string::npos) {
            auto reply = c->line();
            ASSERT_TRUE(reply) << i;
            auto root = parser.parse(*reply);
            EXPECT_TRUE(root && root->find("status") && root->find("status")->is_string())
                << *reply;
        }
        EXPECT_EQ(c->line(), error_reply("unrecognized message: marker")) << i << ' ' << line;
    }
}

}  // namespace
