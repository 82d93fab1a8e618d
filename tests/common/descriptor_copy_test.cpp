#include "common/descriptor_copy.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + i / 4096) % 251);
    return bytes;
}

// Without a digest the bytes are copied inside the system where it offers that; what it
// will not copy (a pipe) is read and written instead. Every byte arrives either way.
TEST(DescriptorCopyTest, EveryByteArrivesWhetherTheSystemCopiesItOrNot) {
    struct Row {
        const char* name;
        size_t size;
        bool pipe;
    };
    const Row rows[] = {{"empty file", 0, false},
                        {"file of several blocks", 3 * 1048576 + 5, false},
                        {"pipe", 2 * 1048576 + 7, true}};
    test::TempFolder temp;
    int made = 0;
    for (const Row& row : rows) {
        for (const bool verify : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (verify ? ", hashed" : ""));
            const std::string bytes = Pattern(row.size);
            const fs::path targetPath = temp / ("target-" + std::to_string(++made));
            platform::UniqueFd target;
            ASSERT_EQ(platform::OpenForWriting(targetPath, true, 0600, target), 0u);
            platform::UniqueFd source;
            std::thread writer;
            if (row.pipe) {
#ifdef _WIN32
                continue;  // the pipes of this test are Linux's
#else
                int ends[2] = {-1, -1};
                ASSERT_EQ(::pipe(ends), 0);
                source.reset(ends[0]);
                writer = std::thread([&bytes, in = ends[1]] {
                    for (size_t done = 0; done < bytes.size();) {
                        const ssize_t n = ::write(in, bytes.data() + done, bytes.size() - done);
                        if (n <= 0) break;
                        done += static_cast<size_t>(n);
                    }
                    ::close(in);
                });
#endif
            } else {
                const fs::path file = temp / ("source-" + std::to_string(++made));
                test::WriteFile(file, bytes);
                ASSERT_EQ(platform::OpenForReading(file, source), 0u);
            }
            DescriptorCopy run;
            run.source = source.get();
            run.target = target.get();
            run.total = row.size;
            run.verify = verify;
            const DescriptorCopyOutcome outcome = CopyBetweenDescriptors(run);
            if (writer.joinable()) writer.join();
            EXPECT_EQ(outcome.kind, DescriptorCopyOutcome::Kind::Done);
            EXPECT_EQ(outcome.copied, row.size);
            EXPECT_EQ(outcome.hashesMatch, verify);
            target.reset();
            EXPECT_TRUE(test::ReadFile(targetPath) == bytes);
        }
    }
}

}  // namespace
}  // namespace zuvelo
