#include "platform/open_beneath.h"

#include <vector>

#include "platform/handles.h"
#include "platform/open_beneath_steps.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

namespace fs = std::filesystem;

// The plain components of relative; false when one is not plain (a drive or a root too).
bool SplitPlain(const fs::path& relative, std::vector<fs::path>& names) {
    for (const fs::path& part : relative) {
        if (part.empty()) continue;  // a trailing separator
        if (!beneath::IsPlainComponent(part)) return false;
        names.push_back(part);
    }
    return true;
}

// One folder component below dirFd, held without following a link.
uint32_t StepInto(int dirFd, const fs::path& name, UniqueFd& out, bool& linkFound) {
    UniqueFd next;
    HandleInfo info;
    if (const uint32_t err = beneath::OpenComponent(dirFd, name, next)) return err;
    if (const uint32_t err = QueryHandleInfo(next.get(), info)) return err;
    if (info.IsSymlink()) {
        linkFound = true;
        return win32::kAccessDenied;
    }
    if (!info.IsDirectory()) return win32::kPathNotFound;
    out = std::move(next);
    return 0;
}

// StepInto, making the folder first when it is missing (or made by someone else meanwhile).
uint32_t StepIntoOrCreate(int dirFd, const fs::path& name, UniqueFd& out, bool& unsafe) {
    const uint32_t err = StepInto(dirFd, name, out, unsafe);
    if (err != win32::kFileNotFound) return err;
    const uint32_t made = beneath::CreateFolderComponent(dirFd, name);
    if (made != 0 && made != win32::kAlreadyExists) return made;
    return StepInto(dirFd, name, out, unsafe);
}

}  // namespace

uint32_t PinFolder(const fs::path& folder, UniqueFd& out) {
    UniqueFd fd;
    if (const uint32_t err = OpenPathHandle(folder, fd)) return err;
    HandleInfo info;
    if (const uint32_t err = QueryHandleInfo(fd.get(), info)) return err;
    if (!info.IsDirectory()) return win32::kDirectoryNameInvalid;  // a file or a link, not a missing path
    out = std::move(fd);
    return 0;
}

uint32_t OpenForReadingBeneath(int rootFd, const fs::path& relative, UniqueFd& out, bool& linkFound) {
    linkFound = false;
    std::vector<fs::path> names;
    if (!SplitPlain(relative, names)) return win32::kInvalidName;
    if (names.empty()) return beneath::OpenComponentForReading(rootFd, fs::path(), out, linkFound);

    UniqueFd held;
    int dirFd = rootFd;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        if (const uint32_t err = StepInto(dirFd, names[i], held, linkFound)) return err;
        dirFd = held.get();
    }
    return beneath::OpenComponentForReading(dirFd, names.back(), out, linkFound);
}

uint32_t OpenFolderBeneath(int rootFd, const fs::path& relative, bool createMissing, UniqueFd& out, bool& unsafe) {
    unsafe = false;
    std::vector<fs::path> names;
    if (!SplitPlain(relative, names)) return win32::kInvalidName;
    UniqueFd held;
    if (const uint32_t err = beneath::DuplicateFolder(rootFd, held)) return err;
    for (const fs::path& name : names) {
        UniqueFd next;
        const uint32_t err = createMissing ? StepIntoOrCreate(held.get(), name, next, unsafe)
                                           : StepInto(held.get(), name, next, unsafe);
        if (err == win32::kPathNotFound) unsafe = true;  // a file where a folder must be
        if (unsafe) return win32::kAccessDenied;
        if (err != 0) return err;
        held = std::move(next);
    }
    out = std::move(held);
    return 0;
}

}  // namespace zuvelo::platform
