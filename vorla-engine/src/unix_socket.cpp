#include "vorla_engine/platform/unix_socket.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace vorla_engine::platform {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on every socket instead
#endif

std::string error_text(int error) {
    return std::strerror(error);
}

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
    if (text.size() >= sizeof address.sun_path) {
        return std::unexpected(error_text(ENAMETOOLONG));
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
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

std::expected<Fd, std::string> listen_unix(const std::filesystem::path& path) {
    auto address = address_of(path);
    if (!address) return std::unexpected(address.error());
    const int raw = new_socket();
    if (raw < 0) return std::unexpected(last_error());
    Fd fd = prepare(raw);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
        return std::unexpected(last_error());
    }
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

std::expected<std::string, std::string> read_file(const std::filesystem::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::unexpected(last_error());
    std::string text;
    char chunk[256];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n == 0) return text;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_error());
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

std::expected<void, std::string> write_file(const std::filesystem::path& path,
                                            std::string_view text) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return std::unexpected(last_error());
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
