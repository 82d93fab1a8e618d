#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace zuvelo::test {

class ScopedEnvironmentVariable;

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// Points ZUVELO_MACHINE_ROOT at a temporary folder for the test's lifetime.
class ScopedMachineRoot {
public:
    ScopedMachineRoot();
    ~ScopedMachineRoot();
    ScopedMachineRoot(const ScopedMachineRoot&) = delete;
    ScopedMachineRoot& operator=(const ScopedMachineRoot&) = delete;

    const std::filesystem::path& path() const { return folder_.path(); }

private:
    TempFolder folder_;
    std::unique_ptr<ScopedEnvironmentVariable> variable_;
};

// Whether names that differ only in case name two files here: on Linux they do,
// on Windows they name the same one.
#ifdef _WIN32
inline constexpr bool kCaseMatters = false;
#else
inline constexpr bool kCaseMatters = true;
#endif

// A link to a file, to a folder, or a junction (Windows' own link to a folder).
enum class LinkKind { File, Folder, Junction };

// Makes link point at target; false where this system cannot make that kind of link
// (Wine makes none, only Windows makes junctions): the test leaves that case out.
bool MakeLink(const std::filesystem::path& target, const std::filesystem::path& link, LinkKind kind);
inline constexpr const char* kNoLinksHere = "no links can be made here (Wine makes no symbolic links or junctions)";

// A file in folder that removals of the folder refuse to delete while this object
// lives: on Windows a file held open without delete sharing; on Linux a name with a
// backslash, which no removal accepts.
class UndeletableFile {
public:
    explicit UndeletableFile(const std::filesystem::path& folder);
    ~UndeletableFile();
    UndeletableFile(const UndeletableFile&) = delete;
    UndeletableFile& operator=(const UndeletableFile&) = delete;

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#endif
};

// Writes bytes to a file, creating its parent folders.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);
// A file of size zero bytes, made without writing them where the file system allows.
void WriteZeroFile(const std::filesystem::path& path, uint64_t size);

}  // namespace zuvelo::test
