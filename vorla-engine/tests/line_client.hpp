// A client of a running engine's socket for the process tests: one reply line per request line.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "vorla_engine/platform/unix_socket.hpp"

namespace vorla_engine::test_util {

class LineClient {
public:
    // Connects, trying again while the engine comes up, for at most `wait`.
    LineClient(const std::filesystem::path& socket, std::chrono::milliseconds wait) {
        using namespace std::chrono_literals;
        for (const auto end = Clock::now() + wait; !fd_ && Clock::now() < end;
             std::this_thread::sleep_for(20ms))
            if (auto conn = platform::connect_unix(socket)) fd_ = std::move(*conn);
        if (fd_) platform::set_read_timeout(*fd_, 50ms);
    }
    bool connected() const { return fd_.has_value(); }

    // The next line, "<closed>" when the engine closed the connection, "<timeout>" after 10 s.
    std::string line() {
        using namespace std::chrono_literals;
        for (const auto end = Clock::now() + 10s;;) {
            if (auto nl = pending_.find('\n'); nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            char chunk[4096];
            auto n = platform::read_some(*fd_, chunk);
            if (n && *n == 0) return "<closed>";
            if (n) pending_.append(chunk, *n);
            if (Clock::now() > end) return "<timeout>";
        }
    }
    std::string ask(std::string_view request) {
        platform::write_all(*fd_, std::string(request) + "\n");
        return line();
    }

private:
    using Clock = std::chrono::steady_clock;
    std::optional<platform::Fd> fd_;
    std::string pending_;
};

}  // namespace vorla_engine::test_util
