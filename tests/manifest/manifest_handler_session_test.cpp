#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/file_operations.h"
#include "manifest/manifest_handler.h"
#include "manifest/prepared_session.h"
#include "tests/manifest/handler_folders.h"
#include "tests/manifest/manifest_documents.h"

namespace zuvelo {
namespace {

using test::EntryFor;
using test::ManifestOf;
using test::NamesIn;
using test::Wide;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace fs = std::filesystem;

Json::Value Element(const std::string& file, const fs::path& path) {
    Json::Value element(Json::objectValue);
    element["file"] = file;
    element["path"] = path.string();
    return element;
}

Json::Value Descriptor(std::vector<Json::Value> elements) {
    Json::Value document(Json::objectValue);
    document["files"] = Json::Value(Json::arrayValue);
    for (Json::Value& element : elements) document["files"].append(std::move(element));
    return document;
}

class PreparedSession : public test::HandlerFolders {
public:
    PreparedSession() { fs::create_directories(session); }

    // A file in the session and the descriptor element that offers it as `file`.
    Json::Value SessionFile(const std::string& file, const std::string& content, const std::string& name = "") {
        const fs::path path = session / (name.empty() ? file : name);
        test::WriteFile(path, content);
        return Element(file, path);
    }

    void WriteDescriptor(const Json::Value& document) { test::WriteFile(descriptor, test::ToText(document)); }

    ErrorCode Run(const UpdateManifest& manifest) {
        return handler.ProcessPreparedSession(manifest, Wide(target), Wide(session), Wide(descriptor));
    }

    bool HasMessageStarting(const std::string& prefix) const {
        for (const Json::Value& event : capture.Events()) {
            if (event["message"].asString().rfind(prefix, 0) == 0) return true;
        }
        return false;
    }

    fs::path session = root / "session";
    fs::path outside = root / "outside";
    fs::path descriptor = root / "files.json";
    bool linked = true;  // false when a link cannot be made here
};

TEST_F(PreparedSession, InstallsSessionFilesAndSkipsUnchangedOnes) {
    test::WriteFile(target / "same.txt", "same");
    WriteDescriptor(Descriptor({SessionFile("a.txt", "alpha"), SessionFile("sub/b.bin", "beta", "staged/b")}));
    const UpdateManifest manifest = ManifestOf({EntryFor("a.txt", "alpha"), EntryFor("sub/b.bin", "beta"),
                                                EntryFor("same.txt", "same"), EntryFor("opt.txt", "x", false)});

    ASSERT_EQ(Run(manifest), ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(target / "a.txt"), "alpha");
    EXPECT_EQ(test::ReadFile(target / "sub" / "b.bin"), "beta");
    EXPECT_EQ(test::ReadFile(target / "same.txt"), "same");
    EXPECT_THAT(NamesIn(target), ElementsAre("a.txt", "same.txt", "sub"));  // no staging file left
    EXPECT_THAT(NamesIn(target / "sub"), ElementsAre("b.bin"));
    EXPECT_EQ(StatusEvents("completed").size(), 2u);
    EXPECT_TRUE(capture.HasMessage("Delta skip: file unchanged at target - same.txt"));
    EXPECT_TRUE(capture.HasMessage("Prepared session files installed successfully"));
    EXPECT_EQ(handler.Progress().overallPercent, 100.0);
}

TEST_F(PreparedSession, RefusesBadSessionsBeforeInstallingAnything) {
    struct Row {
        const char* name;
        std::function<void(PreparedSession&)> prepare;
        ErrorCode expected;
        std::string message;  // the start of the ERROR line
        std::vector<std::string> installed = {};  // a file missing on disk is found while installing
    };
    const auto withGoodFirst = [](PreparedSession& t, Json::Value bad) {
        t.WriteDescriptor(Descriptor({t.SessionFile("good.txt", "good"), std::move(bad)}));
    };
    const std::vector<Row> rows = {
        {"session root missing", [](PreparedSession& t) { fs::remove(t.session); }, ErrorCode::FileNotFound,
         "Session root not found: "},
        {"descriptor missing", [](PreparedSession&) {}, ErrorCode::FileNotFound, "Files manifest not found: "},
        {"descriptor is a folder", [](PreparedSession& t) { fs::create_directory(t.descriptor); },
         ErrorCode::FileAccessDenied, "Failed to open files manifest: "},
        {"not JSON", [](PreparedSession& t) { test::WriteFile(t.descriptor, "{\"files\": ["); },
         ErrorCode::ManifestParseFailed, "Failed to parse files manifest JSON: "},
        {"nested beyond the reader's limit",
         [](PreparedSession& t) { test::WriteFile(t.descriptor, std::string(1100, '[') + std::string(1100, ']')); },
         ErrorCode::ManifestParseFailed, "Failed to parse files manifest JSON: Exceeded stackLimit"},
        {"above the size cap", [](PreparedSession& t) { test::WriteZeroFile(t.descriptor, kMaxFilesManifestBytes + 1); },
         ErrorCode::ManifestParseFailed, "Failed to parse files manifest JSON: Files manifest is larger than 33554432 bytes"},
        {"escaped NUL",
         [](PreparedSession& t) { test::WriteFile(t.descriptor, R"({"files": [], "x": "a\u0000b"})"); },
         ErrorCode::InvalidArguments, "Files manifest contains an escaped embedded NUL"},
        {"no files array", [](PreparedSession& t) { test::WriteFile(t.descriptor, R"({"file": []})"); },
         ErrorCode::InvalidArguments, "Files manifest is missing 'files' array"},
        {"files not an array", [](PreparedSession& t) { test::WriteFile(t.descriptor, R"({"files": {}})"); },
         ErrorCode::InvalidArguments, "Files manifest is missing 'files' array"},
        {"element without path",
         [](PreparedSession& t) { test::WriteFile(t.descriptor, R"({"files": [{"file": "a.txt"}]})"); },
         ErrorCode::ManifestParseFailed, "Files manifest entry missing required fields"},
        {"element not an object", [](PreparedSession& t) { test::WriteFile(t.descriptor, R"({"files": [7]})"); },
         ErrorCode::ManifestParseFailed, "Files manifest entry missing required fields"},
        {"file not a string",
         [&](PreparedSession& t) {
             Json::Value bad = t.SessionFile("a.txt", "alpha");
             bad["file"] = 5;
             withGoodFirst(t, bad);
         },
         ErrorCode::ManifestParseFailed, "Files manifest entry missing required fields"},
        {"unsafe file", [&](PreparedSession& t) { withGoodFirst(t, t.SessionFile("../a.txt", "alpha", "a.txt")); },
         ErrorCode::InvalidArguments, "Files manifest contains an unsafe relative path"},
        {"path outside through ..",
         [&](PreparedSession& t) {
             test::WriteFile(t.outside / "a.txt", "alpha");
             withGoodFirst(t, Element("a.txt", t.session / ".." / "outside" / "a.txt"));
         },
         ErrorCode::InvalidArguments, "Prepared file lies outside session root: "},
        {"path outside through a file link",
         [&](PreparedSession& t) {
             test::WriteFile(t.outside / "a.txt", "alpha");
             t.linked = test::MakeLink(t.outside / "a.txt", t.session / "a.txt", test::LinkKind::File);
             withGoodFirst(t, Element("a.txt", t.session / "a.txt"));
         },
         ErrorCode::InvalidArguments, "Prepared file lies outside session root: "},
        {"path outside through a folder link",
         [&](PreparedSession& t) {
             test::WriteFile(t.outside / "a.txt", "alpha");
             t.linked = test::MakeLink(t.outside, t.session / "dir", test::LinkKind::Folder);
             withGoodFirst(t, Element("a.txt", t.session / "dir" / "a.txt"));
         },
         ErrorCode::InvalidArguments, "Prepared file lies outside session root: "},
        {"file not on disk", [&](PreparedSession& t) { withGoodFirst(t, Element("a.txt", t.session / "gone.txt")); },
         ErrorCode::FileNotFound, "Prepared file not found on disk: ", {"good.txt"}},
        {"path is a folder",
         [&](PreparedSession& t) {
             fs::create_directory(t.session / "folder");
             withGoodFirst(t, Element("a.txt", t.session / "folder"));
         },
         ErrorCode::FileNotFound, "Prepared file not found on disk: ", {"good.txt"}},
    };
    const UpdateManifest manifest = ManifestOf({EntryFor("good.txt", "good"), EntryFor("a.txt", "alpha")});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(session);
        fs::remove_all(outside);
        fs::remove_all(descriptor);
        fs::remove_all(target);
        fs::create_directories(session);
        fs::create_directories(target);
        capture.Clear();
        linked = true;
        row.prepare(*this);
        if (!linked) continue;  // the row is left out: no links here

        EXPECT_EQ(Run(manifest), row.expected);
        EXPECT_TRUE(HasMessageStarting(row.message));
        EXPECT_EQ(NamesIn(target), row.installed);
        if (fs::exists(outside / "a.txt")) {
            EXPECT_EQ(test::ReadFile(outside / "a.txt"), "alpha");
        }
    }
}

TEST_F(PreparedSession, DescriptorSessionRootOnlyWarns) {
    struct Row {
        std::string named;
        bool warns;
    };
    const std::vector<Row> rows = {{"", false}, {session.string(), false}, {(root / "elsewhere").string(), true}};
    const UpdateManifest manifest = ManifestOf({EntryFor("a.txt", "alpha")});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.named);
        capture.Clear();
        Json::Value document = Descriptor({SessionFile("a.txt", "alpha")});
        document["sessionRoot"] = row.named;
        WriteDescriptor(document);
        EXPECT_EQ(Run(manifest), ErrorCode::Success);
        EXPECT_EQ(capture.HasMessage("Session root in descriptor does not match provided path"), row.warns);
    }
}

TEST_F(PreparedSession, LaterDuplicateWinsAndUnlistedElementsAreIgnored) {
    WriteDescriptor(Descriptor({SessionFile("a.txt", "wrong", "first"), SessionFile("a.txt", "alpha", "second"),
                                SessionFile("extra.txt", "extra")}));
    ASSERT_EQ(Run(ManifestOf({EntryFor("a.txt", "alpha")})), ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(target / "a.txt"), "alpha");
    EXPECT_FALSE(fs::exists(target / "extra.txt"));
}

TEST_F(PreparedSession, DescriptorSizeAndHashAreOnlyHints) {
    struct Row {
        const char* name;
        uint64_t bytes;
        std::string sha256;
        bool sizeWarning;
        bool hashWarning;
    };
    const std::string hash = test::Sha256Of("alpha");
    std::string upper = hash;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const std::vector<Row> rows = {
        {"right, hash in upper case", 5, upper, false, false},
        {"absent", 0, "", false, false},
        {"both wrong", 999, test::Hash('f'), true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        capture.Clear();
        Json::Value element = SessionFile("a.txt", "alpha");
        if (row.bytes != 0) element["bytes"] = Json::UInt64(row.bytes);
        if (!row.sha256.empty()) element["sha256"] = row.sha256;
        WriteDescriptor(Descriptor({element}));
        EXPECT_EQ(Run(ManifestOf({EntryFor("a.txt", "alpha")})), ErrorCode::Success);
        EXPECT_EQ(capture.HasMessage("Prepared file size metadata mismatch for: a.txt"), row.sizeWarning);
        EXPECT_EQ(capture.HasMessage("Prepared file hash metadata mismatch for: a.txt"), row.hashWarning);
    }
}

TEST_F(PreparedSession, SessionFileNotMatchingTheManifestLeavesTheTargetAlone) {
    struct Row {
        std::string path;
        std::string content;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"a.txt", "alphX", "Hash verification failed for: a.txt"},
        {"a.txt", "alphX", "Hash mismatch. Expected: " + test::Sha256Of("alpha") + ", Actual: " + test::Sha256Of("alphX")},
        {"a.txt", "alpha!!", "File size mismatch for a.txt. Expected: 5, Actual: 7"},
        // Checked before anything is made for it: no new empty folders.
        {"new/dir/b.txt", "alphX", "Hash verification failed for: new/dir/b.txt"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content);
        capture.Clear();
        test::WriteFile(target / "a.txt", "old");
        WriteDescriptor(Descriptor({SessionFile(row.path, row.content)}));
        EXPECT_EQ(Run(ManifestOf({EntryFor(row.path, "alpha")})), ErrorCode::FileHashMismatch);
        EXPECT_TRUE(capture.HasMessage(row.message));
        EXPECT_EQ(test::ReadFile(target / "a.txt"), "old");
        EXPECT_THAT(NamesIn(target), ElementsAre("a.txt"));
    }
}

TEST_F(PreparedSession, FileMissingFromSessionMustBeRightAtTheTarget) {
    struct Row {
        const char* name;
        std::function<void(const fs::path&)> prepare;
        bool hashWarning;
    };
    const std::vector<Row> rows = {
        {"different at target", [](const fs::path& t) { test::WriteFile(t, "changed"); }, true},
        {"absent at target", [](const fs::path&) {}, false},
        {"folder at target", [](const fs::path& t) { fs::create_directories(t); }, false},
    };
    WriteDescriptor(Descriptor({}));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        capture.Clear();
        fs::remove_all(target / "same.txt");
        row.prepare(target / "same.txt");
        EXPECT_EQ(Run(ManifestOf({EntryFor("same.txt", "same")})), ErrorCode::FileNotFound);
        EXPECT_EQ(capture.HasMessage("File exists at target but hash mismatch, session missing: same.txt"),
                  row.hashWarning);
        EXPECT_TRUE(
            capture.HasMessage("Prepared session is missing file and target does not have valid copy: same.txt"));
    }
}

TEST_F(PreparedSession, UnchangedFilesAreReportedEveryTwoSeconds) {
    struct Row {
        std::chrono::milliseconds step;  // monotonic time per clock reading
        std::vector<std::string> details;
    };
    const std::vector<Row> rows = {
        {std::chrono::milliseconds(0), {}},
        {std::chrono::milliseconds(500), {"4 unchanged files verified", "8 unchanged files verified"}},
        {std::chrono::milliseconds(2000), {"1 unchanged files verified", "2 unchanged files verified",
                                           "3 unchanged files verified", "4 unchanged files verified",
                                           "5 unchanged files verified", "6 unchanged files verified",
                                           "7 unchanged files verified", "8 unchanged files verified",
                                           "9 unchanged files verified", "10 unchanged files verified"}},
    };
    std::vector<ManifestFileEntry> entries;
    for (int i = 0; i < 10; ++i) {
        const std::string name = "f" + std::to_string(i);
        test::WriteFile(target / name, name);
        entries.push_back(EntryFor(name, name));
    }
    WriteDescriptor(Descriptor({}));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.step.count());
        capture.Clear();
        monotonicStep = row.step;
        ASSERT_EQ(Run(ManifestOf(entries)), ErrorCode::Success);
        std::vector<std::string> details;
        for (const Json::Value& event : StatusEvents("verifying_unchanged")) {
            EXPECT_EQ(event["operation"].asString(), "apply_manifest");
            details.push_back(event["details"].asString());
        }
        EXPECT_EQ(details, row.details);
    }
}

TEST_F(PreparedSession, LostPipeStopsAfterTheFileInHand) {
    test::WriteFile(target / "same.txt", "same");
    WriteDescriptor(Descriptor({SessionFile("a.txt", "alpha"), SessionFile("b.txt", "beta")}));
    monotonicStep = std::chrono::seconds(2);
    LosePipe();
    struct Row {
        const char* name;
        std::vector<ManifestFileEntry> entries;
        std::vector<std::string> installed;
    };
    const std::vector<Row> rows = {
        {"installed file", {EntryFor("a.txt", "alpha"), EntryFor("b.txt", "beta")}, {"a.txt", "same.txt"}},
        {"unchanged report", {EntryFor("same.txt", "same"), EntryFor("b.txt", "beta")}, {"a.txt", "same.txt"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        capture.Clear();
        EXPECT_EQ(Run(ManifestOf(row.entries)), ErrorCode::ProgressPipeClosed);
        EXPECT_TRUE(capture.HasMessage("Launcher progress pipe lost; abandoning installation"));
        EXPECT_EQ(NamesIn(target), row.installed);
    }
}

TEST_F(PreparedSession, CallbackCancels) {
    WriteDescriptor(Descriptor({SessionFile("a.txt", "alpha"), SessionFile("b.txt", "beta")}));
    handler.SetProgressCallback([](const ManifestProgress&) { return false; });
    EXPECT_EQ(Run(ManifestOf({EntryFor("a.txt", "alpha"), EntryFor("b.txt", "beta")})), ErrorCode::Cancelled);
    EXPECT_TRUE(capture.HasMessage("Installation cancelled by user"));
    EXPECT_THAT(NamesIn(target), ElementsAre("a.txt"));
}

// The check happens when the descriptor is read; a file or folder swapped for a
// link after that (here: once the first file is installed) is never installed,
// even when what the link reaches matches the manifest.
TEST_F(PreparedSession, FileSwappedForALinkAfterTheCheckIsNeverInstalled) {
    struct Row {
        const char* name;
        std::string sessionName;  // where b.txt lies in the session
        std::function<void(PreparedSession&)> swap;
    };
    const std::vector<Row> rows = {
        {"file", "b.txt",
         [](PreparedSession& t) {
             fs::remove(t.session / "b.txt");
             t.linked = test::MakeLink(t.outside / "b.txt", t.session / "b.txt", test::LinkKind::File);
         }},
        {"folder on the way", "dir/b.txt",
         [](PreparedSession& t) {
             fs::remove_all(t.session / "dir");
             t.linked = test::MakeLink(t.outside, t.session / "dir", test::LinkKind::Folder);
         }},
    };
    const UpdateManifest manifest = ManifestOf({EntryFor("a.txt", "alpha"), EntryFor("b.txt", "beta")});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(target);
        fs::remove_all(session);
        fs::create_directories(session);
        test::WriteFile(outside / "b.txt", "beta");
        WriteDescriptor(Descriptor({SessionFile("a.txt", "alpha"), SessionFile("b.txt", "beta", row.sessionName)}));
        handler.SetProgressCallback([&](const ManifestProgress&) {
            row.swap(*this);
            return true;
        });
        capture.Clear();

        const ErrorCode result = Run(manifest);
        if (!linked) GTEST_SKIP() << test::kNoLinksHere;
        EXPECT_EQ(result, ErrorCode::InvalidArguments);
        EXPECT_TRUE(HasMessageStarting("Prepared file lies outside session root: "));
        EXPECT_THAT(NamesIn(target), ElementsAre("a.txt"));
    }
}

TEST_F(PreparedSession, TargetsAreReplacedNotWrittenThrough) {
    test::WriteFile(outside / "victim", "victim");
    fs::create_directories(target);
    test::MakeLink(outside / "victim", target / "link.txt", test::LinkKind::File);  // none under Wine: a new file
    test::WriteFile(target / "ro.txt", "old");
    fs::permissions(target / "ro.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ManifestFileEntry readOnly = EntryFor("locked.txt", "locked");
    readOnly.permissions = "444";
    WriteDescriptor(Descriptor({SessionFile("link.txt", "linked"), SessionFile("ro.txt", "new"),
                                SessionFile("locked.txt", "locked")}));

    ASSERT_EQ(Run(ManifestOf({EntryFor("link.txt", "linked"), EntryFor("ro.txt", "new"), readOnly})),
              ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(outside / "victim"), "victim");
    EXPECT_FALSE(fs::is_symlink(target / "link.txt"));
    EXPECT_EQ(test::ReadFile(target / "link.txt"), "linked");
    EXPECT_EQ(test::ReadFile(target / "ro.txt"), "new");
    EXPECT_TRUE(test::IsWritable(target / "ro.txt"));
    EXPECT_FALSE(test::IsWritable(target / "locked.txt"));
}

TEST_F(PreparedSession, FolderWhereAFileMustGoFailsTheCopy) {
    fs::create_directories(target / "a.txt" / "inner");
    WriteDescriptor(Descriptor({SessionFile("a.txt", "alpha")}));
    EXPECT_EQ(Run(ManifestOf({EntryFor("a.txt", "alpha")})), ErrorCode::FileAccessDenied);
    EXPECT_TRUE(capture.HasMessage("Failed to copy file to target: a.txt"));
    EXPECT_THAT(NamesIn(target), ElementsAre("a.txt"));
    EXPECT_TRUE(fs::is_directory(target / "a.txt" / "inner"));
}

TEST_F(PreparedSession, LargeFileReportsCopyProgressInsteadOfACopyEvent) {
    const std::string big(FileOperations::kChunkedCopyThreshold + 1, 'z');
    WriteDescriptor(Descriptor({SessionFile("big.bin", big)}));
    ASSERT_EQ(Run(ManifestOf({EntryFor("big.bin", big)})), ErrorCode::Success);
    EXPECT_EQ(fs::file_size(target / "big.bin"), big.size());
    const std::vector<Json::Value> progress = capture.EventsWhere("operation", "file_copy");
    ASSERT_EQ(progress.size(), 11u);
    EXPECT_EQ(progress.back()["progress"].asInt(), 100);
    for (const Json::Value& event : capture.EventsWhere("operation", "file:copy")) {
        EXPECT_FALSE(event.isMember("file_path"));  // only the installed-file status, no file event
    }
}

// The descriptor is read once: what the backup restriction saw is what gets installed.
TEST_F(PreparedSession, DescriptorReadOnceServesTheInstallation) {
    WriteDescriptor(Descriptor({SessionFile("a.txt", "alpha")}));
    const PreparedSessionDescriptor read = ReadPreparedSessionDescriptor(Wide(descriptor));
    ASSERT_EQ(read.readResult, ErrorCode::Success);
    WriteDescriptor(Descriptor({SessionFile("a.txt", "alpha"), SessionFile("b.txt", "beta")}));

    const UpdateManifest manifest = ManifestOf({EntryFor("a.txt", "alpha"), EntryFor("b.txt", "beta")});
    EXPECT_EQ(handler.ProcessPreparedSession(manifest, Wide(target), Wide(session), read), ErrorCode::FileNotFound);
    EXPECT_TRUE(capture.HasMessage("Prepared session is missing file and target does not have valid copy: b.txt"));
}

TEST_F(PreparedSession, ReadingTheDescriptorReportsWhatItFound) {
    struct Row {
        const char* name;
        std::function<void(const fs::path&)> prepare;
        ErrorCode expected;
    };
    const std::vector<Row> rows = {
        {"missing", [](const fs::path&) {}, ErrorCode::FileNotFound},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, ErrorCode::FileAccessDenied},
        {"not JSON", [](const fs::path& p) { test::WriteFile(p, "[1,"); }, ErrorCode::ManifestParseFailed},
        {"JSON", [](const fs::path& p) { test::WriteFile(p, R"({"files": []})"); }, ErrorCode::Success},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path path = root / row.name;
        row.prepare(path);
        const PreparedSessionDescriptor read = ReadPreparedSessionDescriptor(Wide(path));
        EXPECT_EQ(read.readResult, row.expected);
        EXPECT_EQ(read.parseErrors.empty(), row.expected != ErrorCode::ManifestParseFailed);
        EXPECT_EQ(read.document.isObject(), row.expected == ErrorCode::Success);
    }
}

}  // namespace
}  // namespace zuvelo
