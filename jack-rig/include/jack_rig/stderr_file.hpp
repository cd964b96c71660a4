// Standard error (the descriptor, so every writer is caught: stdio, iostream, write(2)) goes to
// an unlinked temporary file while a StderrFile lives; what was written can be read at any time.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace jack_rig {

class StderrFile {
public:
    StderrFile() : saved_(dup(STDERR_FILENO)) {
        char path[] = "/tmp/rig-stderr-XXXXXX";
        fd_ = mkstemp(path);
        unlink(path);
        dup2(fd_, STDERR_FILENO);
    }
    ~StderrFile() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(fd_);
    }
    StderrFile(const StderrFile&) = delete;
    StderrFile& operator=(const StderrFile&) = delete;

    std::string text() const {
        std::string out(1 << 16, '\0');
        const ssize_t n = pread(fd_, out.data(), out.size(), 0);
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return out;
    }

private:
    int saved_, fd_ = -1;
};

}  // namespace jack_rig
