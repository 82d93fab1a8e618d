#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "tests/support/loopback_socket.h"

namespace zuvelo::test {

// The zuvelo_test_server program run as a child with --root, --control and any
// further arguments: ready once it has announced its port and CA file on the
// control connection, driven by commands over it, and ended by closing it when
// this object goes (on Linux the child is reaped too). On Windows the program is
// the Linux build's, which Wine starts as a Unix program; without --ca among the
// arguments it signs with one CA shared by every server of the test process.
class TestServerProcess {
public:
    // program: on Windows the Linux path of the Linux build's program.
    TestServerProcess(const std::filesystem::path& program, const std::filesystem::path& root,
                      const std::vector<std::string>& moreArguments = {});
    ~TestServerProcess();
    TestServerProcess(const TestServerProcess&) = delete;
    TestServerProcess& operator=(const TestServerProcess&) = delete;

    uint16_t Port() const { return port_; }
    // The CA certificate as this process reaches it; empty for a plain server.
    const std::filesystem::path& CaFile() const { return caFile_; }
    // https (http for a server started with --plain)://HOST:PORT + target, where
    // HOST is 127.0.0.1, or localhost under Wine, whose certificate check does not
    // match an IP address.
    std::string Url(std::string_view target) const;

    // Sends one command and returns the answer; throws std::runtime_error when
    // none comes or it reports an error.
    Json::Value Command(const Json::Value& command);

    // A path of this system as the program sees it (under Wine: the Unix path).
    static std::string ProgramPath(const std::filesystem::path& path);

private:
    void ReadAnnouncement();
    void End();

    long long child_ = -1;  // the Linux child's process id; Wine gives no handle for a Unix program
    LoopbackSocket control_;
    uint16_t port_ = 0;
    std::filesystem::path caFile_;
};

}  // namespace zuvelo::test
