#pragma once

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>

namespace zuvelo::test {

// Writes beyond `bytes` fail (EFBIG) while it lives, as on a full disk. Linux
// only: Windows has no per-process file-size limit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{bytes, previous_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, SIG_DFL);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
};

}  // namespace zuvelo::test
#endif
