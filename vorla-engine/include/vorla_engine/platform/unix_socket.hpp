// vorla_engine::platform — the few POSIX calls the IPC server needs: Unix stream sockets,
// whole-file reads and writes, thread names. Errors come back as the system's error text.
//
// Every descriptor is close-on-exec (the Faust compiler starts a shell). Writes never raise
// the broken-pipe signal: a vanished peer is an ordinary write error. Any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace vorla_engine::platform {

// An owned file descriptor, closed when dropped.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept;
    ~Fd();

    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// The text of the calling thread's errno.
std::string last_error();

// A socket bound and listening at `path` (the path must not exist).
std::expected<Fd, std::string> listen_unix(const std::filesystem::path& path);
std::expected<Fd, std::string> connect_unix(const std::filesystem::path& path);
// Waits for the next connection.
std::expected<Fd, std::string> accept(const Fd& listener);

// Later reads give up after `timeout` with ReadFail::TimedOut.
void set_read_timeout(const Fd& fd, std::chrono::milliseconds timeout);

enum class ReadFail { TimedOut, Error };
// Some bytes (at most out.size()); 0 at the end of input.
std::expected<std::size_t, ReadFail> read_some(const Fd& fd, std::span<char> out);
// The whole text, or false when the peer is gone or the write failed.
bool write_all(const Fd& fd, std::string_view text);
// Ends our sending direction; the peer reads the end of input.
void shutdown_write(const Fd& fd);

std::expected<std::string, std::string> read_file(const std::filesystem::path& path);
// Creates or truncates.
std::expected<void, std::string> write_file(const std::filesystem::path& path,
                                            std::string_view text);

std::uint32_t process_id();

// Names the calling thread (shown by debuggers and ps); at most 15 bytes are kept.
void set_thread_name(const char* name);

}  // namespace vorla_engine::platform
