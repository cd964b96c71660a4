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
#include <limits>
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

// The text of the calling thread's errno, and of an error number.
std::string last_error();
std::string error_text(int error);

// Whether `path` can name a socket: not empty (that would be an abstract address on Linux,
// which has no file permissions) and short enough.
std::expected<void, std::string> check_socket_path(const std::filesystem::path& path);
// A socket bound and listening at `path` (the path must not exist), readable and writable by
// its owner only, whatever the umask.
std::expected<Fd, std::string> listen_unix(const std::filesystem::path& path);
std::expected<Fd, std::string> connect_unix(const std::filesystem::path& path);
// Waits for the next connection.
std::expected<Fd, std::string> accept(const Fd& listener);
// Ends a listener: a thread blocked in `accept` on it returns with an error (Linux).
void stop_listening(const Fd& listener);
// A second descriptor of the same open file or socket.
std::expected<Fd, std::string> duplicate(const Fd& fd);

// Later reads give up after `timeout` with ReadFail::TimedOut.
void set_read_timeout(const Fd& fd, std::chrono::milliseconds timeout);

enum class ReadFail { TimedOut, Error };
// Some bytes (at most out.size()); 0 at the end of input.
std::expected<std::size_t, ReadFail> read_some(const Fd& fd, std::span<char> out);
// The whole text, or false when the peer is gone or the write failed.
bool write_all(const Fd& fd, std::string_view text);
// Ends our sending direction; the peer reads the end of input.
void shutdown_write(const Fd& fd);

// Which file a path names, for as long as that file lives.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};
enum class FileKind { Missing, Socket, Regular, Other };  // Other: links, directories, FIFOs
struct FileInfo {
    FileKind kind = FileKind::Missing;
    FileId id;
};
// What is at `path` itself, a symbolic link not followed; Missing also when it cannot be seen.
FileInfo file_info(const std::filesystem::path& path);
FileId file_id(const Fd& fd);

// At most `max_bytes` of a file. Never follows a symbolic link at `path` and never waits for a
// writer (a FIFO reads as empty).
std::expected<std::string, std::string> read_file(
    const std::filesystem::path& path,
    std::size_t max_bytes = std::numeric_limits<std::size_t>::max());
// Creates or truncates; never through a symbolic link at `path`.
std::expected<void, std::string> write_file(const std::filesystem::path& path,
                                            std::string_view text);
// Creates a new file holding `text` (nothing may exist at `path`) and keeps it open.
std::expected<Fd, std::string> create_file(const std::filesystem::path& path,
                                           std::string_view text);
// Removes the directory entry (a link itself, never its target).
void remove_file(const std::filesystem::path& path);

std::uint32_t process_id();

// Names the calling thread (shown by debuggers and ps); at most 15 bytes are kept.
void set_thread_name(const char* name);

}  // namespace vorla_engine::platform
