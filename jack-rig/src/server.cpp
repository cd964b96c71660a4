#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "jack_rig/jack_rig.hpp"

namespace jack_rig {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kServerEnv = "JACK_DEFAULT_SERVER";

void quiet(const char*) {}

std::string find_on_path(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(begin, end - begin);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        begin = end + 1;
    }
    return {};
}

// Server names come from a small pool: a killed server's entry in jackd2's machine-wide table
// of 8 is reclaimed by the next server of its name, so the rig never holds more than the pool's
// size of them. Only one program at a time starts servers (the JackLock); within it a name is
// taken while its JackServer lives.
constexpr std::size_t kPool = 4;
constexpr const char* kAlreadyActive = "server already active";
constexpr const char* kNamePrefix = "vorla-rig-";
std::mutex g_pool_mu;
std::bitset<kPool> g_pool_taken;

std::string pool_name(std::size_t i) {
    return kNamePrefix + std::to_string(i);
}

// Entries of jackd2's server table (jack2's shm.h: a 24-byte header, then 8 entries of a pid
// and a 256-byte "jack-<uid>:<name>:" prefix) whose server has died; empty if the table is not
// laid out as expected.
std::vector<std::string> dead_servers(std::string_view name_prefix) {
    std::vector<std::string> dead;
    const int fd = open("/dev/shm/jack-shm-registry", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return dead;
    constexpr std::size_t kHeader = 24, kServers = 8, kEntry = 264;
    std::vector<char> table(kHeader + kServers * kEntry);
    const ssize_t n = pread(fd, table.data(), table.size(), 0);
    close(fd);
    std::uint32_t magic = 0, header_len = 0;
    std::memcpy(&magic, table.data(), 4);
    std::memcpy(&header_len, table.data() + 16, 4);
    if (n != static_cast<ssize_t>(table.size()) || magic != 0x4a41434b ||
        header_len < kHeader + kServers * kEntry)
        return dead;
    const std::string prefix = "jack-" + std::to_string(getuid()) + ":" + std::string(name_prefix);
    for (std::size_t i = 0; i < kServers; ++i) {
        const char* entry = table.data() + kHeader + i * kEntry;
        std::int32_t pid = 0;
        std::memcpy(&pid, entry, 4);
        const std::string key(entry + 4, strnlen(entry + 4, kEntry - 4));
        if (pid <= 0 || !key.starts_with(prefix) || !key.ends_with(":")) continue;
        if (kill(pid, 0) == 0 || errno != ESRCH) continue;
        const std::size_t colon = key.find(':');
        dead.push_back(key.substr(colon + 1, key.size() - colon - 2));
    }
    return dead;
}

std::string read_log(int fd) {
    std::string text;
    char buf[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, buf, sizeof buf, offset);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        offset += n;
    }
    if (text.size() > 4000) text = "..." + text.substr(text.size() - 4000);
    return text;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// True once the child has been reaped.
bool reap(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            if (status) *status = st;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool server_answers(const std::string& name) {
    jack_status_t status{};
    const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
    jack_client_t* client = jack_client_open("jack-rig-probe", options, &status, name.c_str());
    if (!client) return false;
    jack_client_close(client);
    return true;
}

constexpr const char* kLockPath = "/tmp/vorla-jack-rig.lock";

// This process's share of the machine-wide lock.
std::mutex g_lock_mu;
int g_lock_fd = -1;
std::size_t g_lock_holders = 0;

struct Child {
    pid_t pid = -1;
    int log_fd = -1;
};

// `lock_fd` (may be -1) is handed to jackd as descriptor 3.
std::expected<Child, Error> spawn(const std::string& jackd, const std::string& name,
                                  const ServerOptions& options, int lock_fd) {
    // jackd's output goes to an unlinked file: readable for start-up errors, and nothing is
    // left on disk whatever happens to this process.
    char log_template[] = "/tmp/jack-rig-XXXXXX.log";
    const int log_fd = mkostemps(log_template, 4, O_CLOEXEC);
    if (log_fd < 0) return std::unexpected(Error{"cannot create the jackd log file"});
    unlink(log_template);
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);

    // Everything the child needs is prepared before fork: between fork and exec only
    // async-signal-safe calls are allowed (other threads may hold the allocator's lock).
    // A client that a loaded machine keeps waiting must not be dropped from the graph as a
    // zombie: a long client time-out.
    std::vector<std::string> args = {jackd, options.realtime ? "--realtime" : "--no-realtime",
                                     "-t",  "10000",
                                     "-n",  name,
                                     "-d",  "dummy",
                                     "-r",  std::to_string(options.sample_rate),
                                     "-p",  std::to_string(options.period),
                                     "-C",  std::to_string(options.capture_channels),
                                     "-P",  std::to_string(options.playback_channels)};
    if (options.self_connect)
        args.insert(args.begin() + 2, {"-a", std::string(1, options.self_connect)});
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The server must not outlive a crashed test program.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        // jackd keeps the machine-wide lock until it is gone, even if this process dies first.
        if (lock_fd == 3)
            fcntl(3, F_SETFD, 0);
        else if (lock_fd >= 0)
            dup2(lock_fd, 3);
        // Other inherited descriptors (libjack sockets, ctest's pipes) stay behind.
        close_range(lock_fd >= 0 ? 4 : 3, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const int fork_errno = errno;
    if (null_fd >= 0) close(null_fd);
    if (pid < 0) {
        close(log_fd);
        return std::unexpected(Error{std::string("fork failed: ") + std::strerror(fork_errno)});
    }
    return Child{pid, log_fd};
}

enum class Startup { Ready, Exited, TimedOut };

Startup wait_ready(pid_t pid, const std::string& name, std::chrono::milliseconds timeout,
                   int& status) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (reap(pid, 0ms, &status)) return Startup::Exited;
        if (server_answers(name)) return Startup::Ready;
        if (Clock::now() >= deadline) return Startup::TimedOut;
        std::this_thread::sleep_for(20ms);
    }
}

// True when jackd stopped on SIGTERM.
bool terminate(pid_t pid) {
    kill(pid, SIGTERM);
    if (reap(pid, 5000ms)) return true;
    kill(pid, SIGKILL);
    reap(pid, 2000ms);
    return false;
}

// A killed jackd leaves its table entry behind, and only a server of the same name frees it:
// a short-lived namesake does that.
void reclaim(const std::string& jackd, const std::string& name, const ServerOptions& options,
             int lock_fd) {
    if (auto namesake = spawn(jackd, name, options, lock_fd)) {
        int status = 0;
        if (wait_ready(namesake->pid, name, options.ready_timeout, status) != Startup::Exited)
            terminate(namesake->pid);
        close(namesake->log_fd);
    }
}

}  // namespace

void silence_jack_messages() {
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
}

std::expected<JackLock, Error> JackLock::acquire(std::chrono::milliseconds timeout) {
    std::lock_guard guard(g_lock_mu);
    JackLock lock;
    if (g_lock_holders > 0) {
        ++g_lock_holders;
        lock.held_ = true;
        return lock;
    }
    // Read-only is enough for flock, and works on a file another user created.
    const int fd = open(kLockPath, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return std::unexpected(
            Error{std::string("cannot open ") + kLockPath + ": " + std::strerror(errno)});
    const auto deadline = Clock::now() + timeout;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (Clock::now() >= deadline) {
            close(fd);
            return std::unexpected(
                Error{"the machine-wide JACK lock stayed taken by another program for the whole "
                      "time-out"});
        }
        std::this_thread::sleep_for(10ms);
    }
    g_lock_fd = fd;
    g_lock_holders = 1;
    lock.held_ = true;
    return lock;
}

JackLock& JackLock::operator=(JackLock&& other) noexcept {
    if (this != &other) {
        JackLock old(std::move(*this));
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

JackLock::~JackLock() {
    if (!held_) return;
    std::lock_guard guard(g_lock_mu);
    if (--g_lock_holders == 0) close(std::exchange(g_lock_fd, -1));
}

namespace {
int lock_fd() {
    std::lock_guard guard(g_lock_mu);
    return g_lock_fd;
}
}  // namespace

std::expected<JackServer, Error> JackServer::start(const ServerOptions& options) {
    silence_jack_messages();

    const std::string jackd = find_on_path("jackd");
    if (jackd.empty()) return std::unexpected(Error{"jackd not found on PATH"});

    auto lock = JackLock::acquire(options.lock_timeout);
    if (!lock) return std::unexpected(lock.error());
    JackServer server;
    server.lock_.emplace(std::move(*lock));
    server.options_ = options;
    server.jackd_ = jackd;
    // Entries that killed servers of ours left behind take room in jackd2's table of 8; the
    // new server reclaims its own name's entry itself.
    bool reclaimed = false;
    // Under the lock no server of ours runs, yet a killed one's entry reads as active when its
    // process id has been reused since (ids wrap at 32768): such a name is passed over.
    for (std::size_t i = 0;; ++i) {
        {
            std::lock_guard guard(g_pool_mu);
            while (i < kPool && g_pool_taken[i]) ++i;
            if (i == kPool)
                return std::unexpected(Error{"no free server name: the rig runs at most " +
                                             std::to_string(kPool) + " servers at once"});
            g_pool_taken[i] = true;
            server.pool_index_ = static_cast<int>(i);
        }
        server.name_ = pool_name(i);
        if (!std::exchange(reclaimed, true))
            for (const std::string& name : dead_servers(kNamePrefix))
                if (name != server.name_) reclaim(jackd, name, options, lock_fd());

        // A full table, or anything else, makes jackd exit at once: its own words are the error.
        auto child = spawn(jackd, server.name_, options, lock_fd());
        if (!child) return std::unexpected(child.error());
        server.pid_ = child->pid;
        server.log_fd_ = child->log_fd;
        int status = 0;
        const Startup outcome = wait_ready(child->pid, server.name_, options.ready_timeout, status);
        if (outcome == Startup::Ready) break;
        const std::string log = read_log(child->log_fd);
        if (outcome == Startup::TimedOut) {
            (void)server.stop();
            return std::unexpected(
                Error{"jackd did not answer within the start-up time-out: " + log});
        }
        server.pid_ = -1;
        close(std::exchange(server.log_fd_, -1));
        {
            std::lock_guard guard(g_pool_mu);
            g_pool_taken[static_cast<std::size_t>(std::exchange(server.pool_index_, -1))] = false;
        }
        if (log.find(kAlreadyActive) == std::string::npos || i + 1 == kPool)
            return std::unexpected(
                Error{"jackd exited during start-up (" + describe_status(status) + "): " + log});
    }

    if (const char* previous = std::getenv(kServerEnv)) {
        server.had_previous_env_ = true;
        server.previous_env_ = previous;
    }
    setenv(kServerEnv, server.name_.c_str(), 1);
    return server;
}

JackServer::JackServer(JackServer&& other) noexcept {
    *this = std::move(other);
}

JackServer& JackServer::operator=(JackServer&& other) noexcept {
    if (this != &other) {
        release();
        name_ = std::move(other.name_);
        jackd_ = std::move(other.jackd_);
        pid_ = std::exchange(other.pid_, -1);
        crashed_ = std::exchange(other.crashed_, false);
        pool_index_ = std::exchange(other.pool_index_, -1);
        options_ = other.options_;
        log_fd_ = std::exchange(other.log_fd_, -1);
        lock_ = std::move(other.lock_);
        other.lock_.reset();
        had_previous_env_ = other.had_previous_env_;
        previous_env_ = std::move(other.previous_env_);
    }
    return *this;
}

JackServer::~JackServer() {
    release();
}

std::string JackServer::log() const {
    return log_fd_ >= 0 ? read_log(log_fd_) : std::string();
}

void JackServer::release() {
    (void)stop();
    if (log_fd_ >= 0) close(std::exchange(log_fd_, -1));
    if (pool_index_ >= 0) {
        std::lock_guard guard(g_pool_mu);
        g_pool_taken[static_cast<std::size_t>(std::exchange(pool_index_, -1))] = false;
    }
    lock_.reset();
}

std::expected<void, Error> JackServer::stop() {
    if (pid_ <= 0) return {};
    const pid_t pid = std::exchange(pid_, -1);

    // Only undo our own setting: a later server may have replaced it.
    const char* current = std::getenv(kServerEnv);
    if (current && name_ == current) {
        if (had_previous_env_)
            setenv(kServerEnv, previous_env_.c_str(), 1);
        else
            unsetenv(kServerEnv);
    }

    // A killed server's table entry is reclaimed when its name is next used.
    const bool crashed = std::exchange(crashed_, false);
    const bool clean = crashed || terminate(pid);
    lock_.reset();  // only once jackd is gone
    if (!clean) return std::unexpected(Error{"jackd ignored SIGTERM and was killed"});
    return {};
}

void JackServer::crash() {
    if (pid_ <= 0 || crashed_) return;
    kill(pid_, SIGKILL);
    reap(pid_, 2000ms);
    crashed_ = true;
}

}  // namespace jack_rig
