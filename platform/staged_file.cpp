#include "platform/staged_file.h"

#include <random>
#include <string_view>
#include <utility>

#include "platform/file_io.h"
#include "platform/open_beneath.h"
#include "platform/open_beneath_steps.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

constexpr std::string_view kPrefix = ".zuvelo-staged.";
constexpr std::string_view kSuffix = ".tmp";
constexpr size_t kRandomLength = 12;
constexpr std::string_view kDigits = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr int kNameAttempts = 16;

}  // namespace

bool IsStagedFileName(const std::string& name) {
    const std::string_view text(name);
    if (text.size() != kPrefix.size() + kRandomLength + kSuffix.size()) return false;
    if (!text.starts_with(kPrefix) || !text.ends_with(kSuffix)) return false;
    return text.substr(kPrefix.size(), kRandomLength).find_first_not_of(kDigits) == std::string_view::npos;
}

std::string NewStagedFileName() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::string name(kPrefix);
    for (size_t i = 0; i < kRandomLength; ++i) name += kDigits[generator() % kDigits.size()];
    return name.append(kSuffix);
}

uint32_t StagedFile::CreateWith(int folderFd, const FileMaker& make) {
    UniqueFd folder;
    if (const uint32_t err = beneath::DuplicateFolder(folderFd, folder)) return err;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = NewStagedFileName();
        UniqueFd fd;
        const uint32_t err = make(folder.get(), name, fd);
        if (err == win32::kAlreadyExists) continue;
        if (err != 0) return err;
        folder_ = std::move(folder);
        fd_ = std::move(fd);
        name_ = std::move(name);
        return 0;
    }
    return win32::kAlreadyExists;
}

uint32_t StagedFile::Create(int folderFd, uint32_t mode) {
    if (const uint32_t err = CreateWith(folderFd, CreateEmptyFile)) return err;
    // The umask must not decide what the installed file allows.
    return SetModeOf(fd_.get(), mode);
}

uint32_t StagedFile::Create(const std::filesystem::path& folder, uint32_t mode) {
    UniqueFd pinned;
    if (const uint32_t err = PinFolder(folder, pinned)) return err;
    return Create(pinned.get(), mode);
}

uint32_t StagedFile::CommitAs(const std::string& finalName) { return Commit(finalName, true); }

uint32_t StagedFile::CommitAsNew(const std::string& finalName) { return Commit(finalName, false); }

uint32_t StagedFile::Commit(const std::string& finalName, bool replace) {
    if (!fd_) return win32::kInvalidHandle;
    if (const uint32_t err = RenameTo(finalName, replace)) return err;
    committed_ = true;
    fd_.reset();
    return 0;
}

}  // namespace zuvelo::platform
