#include "vorla_engine/platform/unix_socket.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace vorla_engine::platform {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on every socket instead
#endif

// Socket descriptors are made close-on-exec and, where the system has no MSG_NOSIGNAL,
// without the broken-pipe signal.
Fd prepare(int fd) {
#ifndef SOCK_CLOEXEC
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
#ifdef SO_NOSIGPIPE
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return Fd(fd);
}

int new_socket() {
#ifdef SOCK_CLOEXEC
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
    return ::socket(AF_UNIX, SOCK_STREAM, 0);
#endif
}

std::expected<sockaddr_un, std::string> address_of(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty()) return std::unexpected(error_text(ENOENT));
    if (text.size() >= sizeof address.sun_path) {
        return std::unexpected(error_text(ENAMETOOLONG));
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

FileId id_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Descriptors of files: close-on-exec, never through a link at the path, never waiting for
// the other end of a FIFO.
constexpr int kFileFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

std::expected<void, std::string> write_to(const Fd& fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd.get(), text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_error());
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        Fd gone(std::exchange(fd_, std::exchange(other.fd_, -1)));
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

std::string last_error() {
    return error_text(errno);
}

std::string error_text(int error) {
    return std::strerror(error);
}

std::expected<void, std::string> check_socket_path(const std::filesystem::path& path) {
    auto address = address_of(path);
    if (!address) return std::unexpected(address.error());
    return {};
}

std::expected<Fd, std::string> listen_unix(const std::filesystem::path& path) {
    auto address = address_of(path);
    if (!address) return std::unexpected(address.error());
    const int raw = new_socket();
    if (raw < 0) return std::unexpected(last_error());
    Fd fd = prepare(raw);
    // Linux creates the socket file with the socket's own mode (less the umask): no moment in
    // which another user could connect.
    ::fchmod(fd.get(), S_IRUSR | S_IWUSR);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
        return std::unexpected(last_error());
    }
#ifndef __linux__
    ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
#endif
    return fd;
}

std::expected<Fd, std::string> connect_unix(const std::filesystem::path& path) {
    auto address = address_of(path);
    if (!address) return std::unexpected(address.error());
    const int raw = new_socket();
    if (raw < 0) return std::unexpected(last_error());
    Fd fd = prepare(raw);
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return std::unexpected(last_error());
    return fd;
}

std::expected<Fd, std::string> accept(const Fd& listener) {
    for (;;) {
#ifdef SOCK_CLOEXEC
        const int raw = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
#else
        const int raw = ::accept(listener.get(), nullptr, nullptr);
#endif
        if (raw >= 0) return prepare(raw);
        // A peer that left before it was accepted is no failure of the listener.
        if (errno != EINTR && errno != ECONNABORTED) return std::unexpected(last_error());
    }
}

void stop_listening(const Fd& listener) {
    ::shutdown(listener.get(), SHUT_RDWR);
}

std::expected<Fd, std::string> duplicate(const Fd& fd) {
    const int raw = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
    if (raw < 0) return std::unexpected(last_error());
    return Fd(raw);
}

void set_read_timeout(const Fd& fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::expected<std::size_t, ReadFail> read_some(const Fd& fd, std::span<char> out) {
    for (;;) {
        const ssize_t n = ::recv(fd.get(), out.data(), out.size(), 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::unexpected(ReadFail::TimedOut);
        return std::unexpected(ReadFail::Error);
    }
}

bool write_all(const Fd& fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::send(fd.get(), text.data(), text.size(), kSendFlags);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void shutdown_write(const Fd& fd) {
    ::shutdown(fd.get(), SHUT_WR);
}

FileInfo file_info(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    const FileKind kind = S_ISSOCK(st.st_mode)  ? FileKind::Socket
                          : S_ISREG(st.st_mode) ? FileKind::Regular
                                                : FileKind::Other;
    return {kind, id_of(st)};
}

FileId file_id(const Fd& fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return {};
    return id_of(st);
}

std::expected<std::string, std::string> read_file(const std::filesystem::path& path,
                                                  std::size_t max_bytes) {
    Fd fd(::open(path.c_str(), O_RDONLY | kFileFlags));
    if (fd.get() < 0) return std::unexpected(last_error());
    std::string text;
    char chunk[256];
    while (text.size() < max_bytes) {
        const ssize_t n = ::read(fd.get(), chunk, std::min(sizeof chunk, max_bytes - text.size()));
        if (n == 0 || (n < 0 && errno == EAGAIN)) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_error());
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

std::expected<void, std::string> write_file(const std::filesystem::path& path,
                                            std::string_view text) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kFileFlags, 0644));
    if (fd.get() < 0) return std::unexpected(last_error());
    return write_to(fd, text);
}

std::expected<Fd, std::string> create_file(const std::filesystem::path& path,
                                           std::string_view text) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | kFileFlags, 0644));
    if (fd.get() < 0) return std::unexpected(last_error());
    if (auto written = write_to(fd, text); !written) return std::unexpected(written.error());
    return fd;
}

void remove_file(const std::filesystem::path& path) {
    ::unlink(path.c_str());
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(::getpid());
}

void set_thread_name(const char* name) {
#ifdef __APPLE__
    ::pthread_setname_np(name);
#else
    char shortened[16] = {};
    std::strncpy(shortened, name, sizeof shortened - 1);
    ::pthread_setname_np(::pthread_self(), shortened);
#endif
}

}  // namespace vorla_engine::platform
