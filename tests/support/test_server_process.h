#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zuvelo::test {

// The zuvelo_test_server program run as a child: started with --root and any
// further arguments, ready once it has printed its port and CA file, ended
// with SIGTERM (and reaped) when this object goes.
class TestServerProcess {
public:
    TestServerProcess(const std::filesystem::path& program, const std::filesystem::path& root,
                      const std::vector<std::string>& moreArguments = {});
    ~TestServerProcess();
    TestServerProcess(const TestServerProcess&) = delete;
    TestServerProcess& operator=(const TestServerProcess&) = delete;

    uint16_t Port() const { return port_; }
    const std::filesystem::path& CaFile() const { return caFile_; }
    // https (http for a server started with --plain)://127.0.0.1:PORT + target
    std::string Url(std::string_view target) const;

private:
    void ReadAnnouncement(int fd);
    void End();

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::filesystem::path caFile_;
};

}  // namespace zuvelo::test
