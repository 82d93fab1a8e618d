#pragma once

// What the fuzz programs share: quiet events, a scratch folder of their own, and
// the inputs as files (the readers under test take paths or descriptors).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "common/jsonl_logger.h"

namespace zuvelo::fuzz {

// A broken promise of the code under test: a crash libFuzzer reports with its input.
inline void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// Events would flood the output and cost most of the time; they are not what is checked.
inline void SilenceEvents() {
    JsonlLogger::Instance().SetStdoutSinkForTesting([](std::string_view) {});
}

// A fresh folder for the life of the program, in memory where the system has
// such a folder (files written once per input, some of them flushed).
class ScratchFolder {
public:
    ScratchFolder() {
        std::error_code ec;
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path parent =
            std::filesystem::is_directory(shm, ec) && ::access(shm.c_str(), W_OK) == 0
                ? shm
                : std::filesystem::temp_directory_path();
        std::string pattern = (parent / "zuvelo-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

inline void WriteInput(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
}

// The input as an anonymous file in memory, for readers that take a descriptor.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
        if (fd_ < 0) std::abort();
        for (size_t done = 0; done < size;) {
            const ssize_t wrote = ::write(fd_, data + done, size - done);
            if (wrote <= 0) std::abort();
            done += static_cast<size_t>(wrote);
        }
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace zuvelo::fuzz
