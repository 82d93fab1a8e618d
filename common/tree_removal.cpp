#include "common/tree_removal.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/pinned_removal.h"
#include "common/text.h"
#include "common/tree_walk.h"
#include "platform/handles.h"
#include "platform/path_identity.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace win32 = platform::win32;

// The diagnostic lines of FileOperations, whose tree removal lives here.
constexpr ComponentLogger kLog{"FileOperations"};

struct WalkFailure {
    std::wstring path;
    SystemError error;
};

// The wide form of a native path for events, whatever its bytes.
std::wstring LossyWide(const std::string& native) { return Utf8ToWideLossy(native); }

// Whether a name right inside the root is one of keepEntries, as the file system compares names.
bool IsKeptEntry(std::string_view name, const std::vector<std::string>& keepEntries) {
    for (const std::string& kept : keepEntries) {
        if (name == kept) return true;
        try {
            if (platform::SamePathText(Utf8ToWide(std::string(name)), Utf8ToWide(kept))) return true;
        } catch (const std::exception&) {
            // A name that is not UTF-8 is none of them.
        }
    }
    return false;
}

// Names found on disk must be valid UTF-8 and safe relative paths; "\" inside a name is not
// a separator here, so such a name is unsafe too. The folder's own path passed when it was
// found, so the name alone decides.
bool IsSafeName(std::string_view name) {
    if (name.find('\\') != std::string_view::npos) return false;
    try {
        return IsSafeRelativePath(Utf8ToWide(std::string(name)));
    } catch (const std::exception&) {
        return false;
    }
}

// Files and folders below the root, in walk order; an entry of the root named in
// keepEntries is left out with everything in it. An entry or folder that vanished since it
// was listed is passed over; anything else that fails, or an unsafe name, ends the walk
// with its failure.
class RemovalCollector final : public TreeVisitor {
public:
    RemovalCollector(const std::string& rootNative, const std::vector<std::string>& keepEntries)
        : rootNative_(rootNative), rootWide_(Utf8ToWide(rootNative)), keepEntries_(keepEntries) {}

    WalkStep Visit(const TreeEntry& entry) override {
        current_ = NativeOf(entry.relative);
        if (entry.depth == 0 && IsKeptEntry(entry.name, keepEntries_)) return WalkStep::SkipFolder;
        if (!IsSafeName(entry.name)) return Fail(win32::kInvalidName);
        const bool isDirectory = entry.info && entry.info->IsDirectory();
        std::string relative(entry.relative);
        std::wstring fullPath = rootWide_ + kNativeSeparator + Utf8ToWide(relative);
        (isDirectory ? folders : files).push_back({std::move(fullPath), std::move(relative), isDirectory});
        return WalkStep::Continue;
    }

    WalkStep Failed(const TreeWalkFailure& failure) override {
        current_ = NativeOf(failure.relative);
        const bool inRoot = failure.relative.find(static_cast<char>(kNativeSeparator)) == std::string_view::npos;
        if (failure.stage == TreeWalkFailure::Stage::Look && inRoot && IsKeptEntry(failure.relative, keepEntries_)) {
            return WalkStep::Continue;
        }
        if (failure.stage != TreeWalkFailure::Stage::List && failure.error == win32::kFileNotFound) {
            if (failure.stage == TreeWalkFailure::Stage::Enter) folders.pop_back();  // gone before it was entered
            return WalkStep::Continue;
        }
        return Fail(failure.error);
    }

    // The native path of the entry in hand (for an exception's event).
    const std::string& Current() const { return current_; }

    std::vector<RemovalEntry> files;
    std::vector<RemovalEntry> folders;
    std::optional<WalkFailure> failure;

private:
    std::string NativeOf(std::string_view relative) const {
        return relative.empty() ? rootNative_ : rootNative_ + static_cast<char>(kNativeSeparator) + std::string(relative);
    }
    WalkStep Fail(SystemError error) {
        failure = WalkFailure{LossyWide(current_), error};
        return WalkStep::Stop;
    }

    const std::string rootNative_;
    const std::wstring rootWide_;
    const std::vector<std::string>& keepEntries_;
    std::string current_;
};

SystemError CodeOfException(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        const uint32_t code = platform::Win32ErrorFromErrorCode(e.code());
        return code != 0 ? code : win32::kInvalidName;
    } catch (...) {
        return win32::kInvalidName;
    }
}

// Told of every deletion tried: the item, and its error when it failed.
using DeletionReport = std::function<void(const std::wstring& item, SystemError err)>;

// One removal of the folder at path: RemoveDirectoryTree without its DEBUG line, the
// deletions told to event; the counters are only ever incremented.
class TreeRemoval {
public:
    TreeRemoval(const std::wstring& path, int32_t* filesRemoved, int32_t* foldersRemoved,
                const std::vector<std::string>& keepEntries, const DeletionReport& event)
        : path_(path), filesRemoved_(filesRemoved), foldersRemoved_(foldersRemoved), keepEntries_(keepEntries),
          event_(event), current_(path) {}

    ErrorCode Run(bool recursive) {
        if (const SystemError err = OpenVerifiedHandle(path_, root_)) {
            if (err.IsNotFound()) return ErrorCode::Success;
            event_(path_, err);
            return ErrorCode::DirectoryAccessDenied;
        }
        if (!recursive) return RemoveRootAlone();
        try {
            return RemoveEverything();
        } catch (...) {
            ReportException();
            return ErrorCode::DirectoryAccessDenied;
        }
    }

private:
    static void Count(int32_t* counter) {
        if (counter) ++*counter;
    }

    ErrorCode RemoveRootAlone() {
        const SystemError err = DeletePinnedRoot(root_);
        event_(path_, err);
        if (err) return ErrorCode::DirectoryAccessDenied;
        Count(foldersRemoved_);
        return ErrorCode::Success;
    }

    // Files in walk order, then folders deeper first (a vanished item is passed over),
    // then the root unless an entry of it stays.
    ErrorCode RemoveEverything() {
        std::vector<RemovalEntry> files;
        std::vector<RemovalEntry> folders;
        if (!Walk(files, folders)) return ErrorCode::DirectoryAccessDenied;
        SortDeeperFirst(folders);
        if (!RemoveAll(files, filesRemoved_) || !RemoveAll(folders, foldersRemoved_)) {
            return ErrorCode::DirectoryAccessDenied;
        }
        return KeepsAnEntry() ? ErrorCode::Success : RemoveRoot();
    }

    // What lies below the root; false (after the event of its failure) when the walk stopped.
    bool Walk(std::vector<RemovalEntry>& files, std::vector<RemovalEntry>& folders) {
        std::string rootNative = Utf8FromPath(NativePath(path_));
        while (rootNative.size() > 1 && rootNative.back() == static_cast<char>(kNativeSeparator)) rootNative.pop_back();
        walk_.emplace(rootNative, keepEntries_);
        WalkTree({root_.handle.get(), root_.identity, root_.held}, *walk_, LookAt::FoldersOnly);
        if (walk_->failure) {
            event_(walk_->failure->path, walk_->failure->error);
            return false;
        }
        files = std::move(walk_->files);
        folders = std::move(walk_->folders);
        walk_.reset();
        return true;
    }

    bool RemoveAll(const std::vector<RemovalEntry>& entries, int32_t* counter) {
        for (const RemovalEntry& entry : entries) {
            current_ = entry.fullPath;
            const SystemError err = DeleteUnderPinnedRoot(root_, entry.fullPath, entry.relativePath);
            event_(entry.fullPath, err);
            if (!err) Count(counter);
            else if (err.refused() || !err.IsNotFound()) return false;
        }
        return true;
    }

    bool KeepsAnEntry() const {
        for (const std::string& keepEntry : keepEntries_) {
            platform::HandleInfo kept;
            if (platform::QueryEntryInfo(root_.handle.get(), keepEntry, kept) == 0) return true;
        }
        return false;
    }

    ErrorCode RemoveRoot() {
        current_ = path_;
        const SystemError err = DeletePinnedRoot(root_);
        event_(path_, err);
        if (!err) Count(foldersRemoved_);
        else if (!err.IsNotFound()) return ErrorCode::DirectoryAccessDenied;
        return ErrorCode::Success;
    }

    // The event of an exception: the item in hand (the walk's, made wide only now), with
    // the error the exception stands for.
    void ReportException() {
        const SystemError code = CodeOfException(std::current_exception());
        try {
            if (walk_ && !walk_->Current().empty()) current_ = LossyWide(walk_->Current());
        } catch (...) {
        }
        event_(current_, code);
    }

    const std::wstring& path_;
    int32_t* const filesRemoved_;
    int32_t* const foldersRemoved_;
    const std::vector<std::string>& keepEntries_;
    const DeletionReport& event_;
    PinnedRoot root_;
    std::optional<RemovalCollector> walk_;
    std::wstring current_;  // the path in hand, for an exception's event
};

}  // namespace

ErrorCode FileOperations::RemoveDirectoryTree(const std::wstring& path, bool recursive, int32_t* filesRemoved,
                                              int32_t* foldersRemoved, const std::vector<std::string>& keepEntries) {
    kLog.Debug("Removing directory: " + ToUtf8Lossy(path));
    const DeletionReport event = [](const std::wstring& item, SystemError err) {
        JsonlLogger::Instance().LogFileOperation("delete", item, err.ok(), err.code(), true);
    };
    return TreeRemoval(path, filesRemoved, foldersRemoved, keepEntries, event).Run(recursive);
}

SystemError RemoveTreeWithoutEvents(const std::wstring& path) {
    SystemError failure;  // the last failed deletion is the one that ended the removal
    const DeletionReport event = [&failure](const std::wstring&, SystemError err) {
        if (err) failure = err;
    };
    if (TreeRemoval(path, nullptr, nullptr, {}, event).Run(true) == ErrorCode::Success) return {};
    return failure ? failure : SystemError(win32::kAccessDenied);
}

}  // namespace zuvelo
