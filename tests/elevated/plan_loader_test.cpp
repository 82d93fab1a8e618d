#include "elevated/plan_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>
#include <vector>

#include "common/paths.h"
#include "common/text.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* const kValidTypes =
    "Valid types: install_prereqs, apply_manifest, write_uninstall, create_shortcuts, write_receipt, "
    "release_session, prune_orphans";

// The only error event of a failed load or parse, under "execution_plan".
Json::Value OnlyError(const test::LogCapture& capture) {
    const std::vector<Json::Value> errors = capture.EventsWhere("event_type", "error");
    EXPECT_EQ(errors.size(), 1u);
    if (errors.empty()) return {};
    EXPECT_EQ(errors[0]["operation"].asString(), "execution_plan");
    return errors[0];
}

struct RefusalCase {
    std::string name;
    std::wstring text;
    ErrorCode code;
    std::string details;  // a prefix when prefixOnly is set
    bool prefixOnly = false;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class ParseRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(ParseRefusalTest, RefusesWithCodeAndDetails) {
    test::LogCapture capture;
    std::vector<PlanOperation> plan(2);
    EXPECT_EQ(ParsePlanJson(GetParam().text, plan), GetParam().code);
    const Json::Value error = OnlyError(capture);
    EXPECT_EQ(error["error_code"].asInt(), ToInt(GetParam().code));
    if (GetParam().prefixOnly) {
        EXPECT_THAT(error["details"].asString(), StartsWith(GetParam().details));
    } else {
        EXPECT_EQ(error["details"].asString(), GetParam().details);
    }
    EXPECT_TRUE(capture.EventsWhere("message", "Loaded execution plan with 0 operations").empty());
}

std::wstring Deeply(size_t depth) { return std::wstring(depth, L'[') + std::wstring(depth, L']'); }

INSTANTIATE_TEST_SUITE_P(
    PlanLoader, ParseRefusalTest,
    testing::Values(
        RefusalCase{"RawNul", std::wstring(L"{\"operations\":[]}\0", 18), ErrorCode::InvalidArguments,
                    "Plan JSON contains an embedded NUL"},
        RefusalCase{"LoneSurrogate", L"{\"operations\":[\"\xD800\"]}", ErrorCode::InvalidArguments,
                    "Failed to convert plan string: ", true},
        RefusalCase{"Empty", L"", ErrorCode::InvalidArguments, "Failed to convert plan string"},
        RefusalCase{"NotJson", L"{\"operations\":", ErrorCode::InvalidArguments, "JSON parse error: ", true},
        RefusalCase{"EscapedNulInValue",
                    L"{\"operations\":[{\"type\":\"release_session\",\"sessionRoot\":\"/a\\u0000b\"}]}",
                    ErrorCode::InvalidArguments, "Plan JSON contains an escaped embedded NUL"},
        RefusalCase{"EscapedNulInName", L"{\"operations\":[],\"x\\u0000\":1}", ErrorCode::InvalidArguments,
                    "Plan JSON contains an escaped embedded NUL"},
        RefusalCase{"ArrayRoot", L"[{\"operations\":[]}]", ErrorCode::InvalidArguments, "Plan must be a JSON object"},
        RefusalCase{"StringRoot", L"\"text\"", ErrorCode::InvalidArguments, "Plan must be a JSON object"},
        RefusalCase{"NoOperations", L"{\"steps\":[]}", ErrorCode::InvalidArguments,
                    "Plan must have 'operations' array"},
        RefusalCase{"OperationsObject", L"{\"operations\":{}}", ErrorCode::InvalidArguments,
                    "Plan must have 'operations' array"},
        RefusalCase{"TypeNumber", L"{\"operations\":[{\"type\":3}]}", ErrorCode::InvalidArguments,
                    "Operation 0 missing 'type' field"},
        RefusalCase{"NoType", L"{\"operations\":[{\"type\":\"release_session\"},{}]}", ErrorCode::InvalidArguments,
                    "Operation 1 missing 'type' field"},
        RefusalCase{"ElementNotObject", L"{\"operations\":[\"release_session\"]}", ErrorCode::InvalidArguments,
                    "Operation 0 missing 'type' field"},
        RefusalCase{"HyphenatedType", L"{\"operations\":[{\"type\":\"release_session\"},{\"type\":\"Install-Prereqs\"}]}",
                    ErrorCode::InvalidArguments,
                    std::string("Operation 1: Unknown operation type: 'Install-Prereqs'. ") + kValidTypes},
        RefusalCase{"BogusType", L"{\"operations\":[{\"type\":\"bogus\"}]}", ErrorCode::InvalidArguments,
                    std::string("Operation 0: Unknown operation type: 'bogus'. ") + kValidTypes},
        RefusalCase{"EscapedLoneLowSurrogate",
                    L"{\"operations\":[{\"type\":\"install_prereqs\",\"cdnUrl\":\"\\udc00\"}]}",
                    ErrorCode::InternalError, "Invalid UTF-8 input"},
        RefusalCase{"TooDeep", L"{\"operations\":[" + Deeply(2000) + L"]}", ErrorCode::InternalError,
                    "Exceeded stackLimit in readValue()."}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// Wrongly typed known members are refused, not ignored: "dryRun": "true" must
// not turn a dry run into real deletion.
struct WrongTypeCase {
    std::string member;
    std::string details;
};

void PrintTo(const WrongTypeCase& c, std::ostream* os) { *os << c.member; }

class WrongTypeTest : public testing::TestWithParam<WrongTypeCase> {};

TEST_P(WrongTypeTest, IsRefusedWithCodeOne) {
    test::LogCapture capture;
    const std::string text = "{\"operations\":[{\"type\":\"prune_orphans\"},{\"type\":\"prune_orphans\"," +
                             GetParam().member + "}]}";
    std::vector<PlanOperation> plan;
    EXPECT_EQ(ParsePlanJson(Utf8ToWide(text), plan), ErrorCode::InvalidArguments);
    EXPECT_EQ(OnlyError(capture)["details"].asString(), GetParam().details);
}

INSTANTIATE_TEST_SUITE_P(PlanLoader, WrongTypeTest,
                         testing::Values(WrongTypeCase{"\"dryRun\":\"true\"", "Operation 1: 'dryRun' must be a boolean"},
                                         WrongTypeCase{"\"dryRun\":1", "Operation 1: 'dryRun' must be a boolean"},
                                         WrongTypeCase{"\"purge\":\"true\"", "Operation 1: 'purge' must be a boolean"},
                                         WrongTypeCase{"\"purge\":null", "Operation 1: 'purge' must be a boolean"},
                                         WrongTypeCase{"\"targetPath\":7", "Operation 1: 'targetPath' must be a string"},
                                         WrongTypeCase{"\"component\":[\"client\"]",
                                                       "Operation 1: 'component' must be a string"},
                                         WrongTypeCase{"\"cdnUrl\":true", "Operation 1: 'cdnUrl' must be a string"},
                                         WrongTypeCase{"\"uninstallerExecutable\":{}",
                                                       "Operation 1: 'uninstallerExecutable' must be a string"}));

TEST(PlanLoaderTest, AcceptsTheFourteenTypeWordsInAnyCase) {
    const std::vector<std::pair<std::string, PlanOperationType>> words = {
        {"install_prereqs", PlanOperationType::InstallPrereqs}, {"installprereqs", PlanOperationType::InstallPrereqs},
        {"apply_manifest", PlanOperationType::ApplyManifest},   {"applymanifest", PlanOperationType::ApplyManifest},
        {"write_uninstall", PlanOperationType::WriteUninstall}, {"writeuninstall", PlanOperationType::WriteUninstall},
        {"create_shortcuts", PlanOperationType::CreateShortcuts},
        {"createshortcuts", PlanOperationType::CreateShortcuts},
        {"write_receipt", PlanOperationType::WriteReceipt},     {"writereceipt", PlanOperationType::WriteReceipt},
        {"release_session", PlanOperationType::ReleaseSession}, {"releasesession", PlanOperationType::ReleaseSession},
        {"prune_orphans", PlanOperationType::PruneOrphans},     {"pruneorphans", PlanOperationType::PruneOrphans},
    };
    for (const auto& [word, expected] : words) {
        std::string upper = word;
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        for (const std::string& form : {word, upper}) {
            PlanOperationType type{};
            std::string message;
            EXPECT_TRUE(ParseOperationType(form, type, message)) << form;
            EXPECT_EQ(type, expected) << form;
        }
    }
    PlanOperationType type{};
    std::string message;
    EXPECT_TRUE(ParseOperationType("ApplyManifest", type, message));
    EXPECT_EQ(type, PlanOperationType::ApplyManifest);
    EXPECT_TRUE(ParseOperationType("Install_Prereqs", type, message));
    EXPECT_EQ(type, PlanOperationType::InstallPrereqs);
    for (const char* refused : {"install-prereqs", "install_prereqs ", "", "apply__manifest", "\xc3\x89"}) {
        EXPECT_FALSE(ParseOperationType(refused, type, message)) << refused;
        EXPECT_EQ(message, std::string("Unknown operation type: '") + refused + "'. " + kValidTypes);
    }
}

TEST(PlanLoaderTest, ReadsEveryMemberWithItsConversion) {
    test::LogCapture capture;
    const std::string text = R"({"operations":[
        {"type":"Apply_Manifest","cdnUrl":"https://c","targetPath":"C:\\Program Files\\Zuvelo","version":"1.2.3",
         "manifestUrl":"https://m","sessionRoot":"/s","filesManifest":"/f","launcherSubdir":"Launcher",
         "launcherExecutable":"L.exe","launcherWorkingDir":"/w","uninstallerExecutable":"U.exe","purge":true,
         "component":"Cli\u00e9nt","dryRun":true,"unknown":5},
        {"type":"release_session"}], "extra": 1})";
    std::vector<PlanOperation> plan;
    ASSERT_EQ(ParsePlanJson(Utf8ToWide(text), plan), ErrorCode::Success);
    ASSERT_EQ(plan.size(), 2u);
    const PlanOperation& a = plan[0];
    EXPECT_EQ(a.type, PlanOperationType::ApplyManifest);
    EXPECT_EQ(a.cdnUrl, L"https://c");
    EXPECT_EQ(a.targetPath, L"C:\\Program Files\\Zuvelo");
    EXPECT_EQ(a.version, L"1.2.3");
    EXPECT_EQ(a.manifestUrl, L"https://m");
    EXPECT_EQ(a.sessionRoot, L"/s");
    EXPECT_EQ(a.filesManifest, L"/f");
    EXPECT_EQ(a.launcherSubdir, L"Launcher");
    EXPECT_EQ(a.launcherExecutable, L"L.exe");
    EXPECT_EQ(a.launcherWorkingDir, L"/w");
    EXPECT_EQ(a.uninstallerExecutable, L"U.exe");
    EXPECT_TRUE(a.purge);
    EXPECT_EQ(a.component, L"Cli\u00e9nt");
    EXPECT_TRUE(a.dryRun);
    const PlanOperation& b = plan[1];
    EXPECT_EQ(b.type, PlanOperationType::ReleaseSession);
    EXPECT_TRUE(b.sessionRoot.empty());
    EXPECT_FALSE(b.purge);
    EXPECT_FALSE(b.dryRun);
    EXPECT_TRUE(capture.HasMessage("Loaded execution plan with 2 operations"));
    EXPECT_TRUE(capture.EventsWhere("event_type", "error").empty());
}

TEST(PlanLoaderTest, EmptyOperationsIsAValidPlan) {
    test::LogCapture capture;
    std::vector<PlanOperation> plan(3);
    ASSERT_EQ(ParsePlanJson(L"{\"operations\":[]}", plan), ErrorCode::Success);
    EXPECT_TRUE(plan.empty());
    EXPECT_TRUE(capture.HasMessage("Loaded execution plan with 0 operations"));
}

class PlanFileTest : public testing::Test {
protected:
    test::TempFolder folder_;
    test::LogCapture capture_;
    std::vector<PlanOperation> plan_;

    ErrorCode Load(const std::filesystem::path& path) { return LoadPlanFromFile(WidePath(path), plan_); }
    std::filesystem::path Write(const std::string& bytes, const std::string& name = "plan.json") {
        const std::filesystem::path path = folder_ / name;
        test::WriteFile(path, bytes);
        return path;
    }
    std::filesystem::path Sized(uint64_t size, const std::string& name) {
        const std::filesystem::path path = folder_ / name;
        test::WriteZeroFile(path, size);
        return path;
    }
};

TEST_F(PlanFileTest, LoadsAValidFileAfterItsStatus) {
    EXPECT_EQ(Load(Write(R"({"operations":[{"type":"release_session","sessionRoot":"/s"}]})")), ErrorCode::Success);
    ASSERT_EQ(plan_.size(), 1u);
    EXPECT_EQ(plan_[0].sessionRoot, L"/s");
    const std::vector<Json::Value> events = capture_.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["status"].asString(), "loading_plan");
    EXPECT_EQ(events[0]["operation"].asString(), "execution_plan");
    EXPECT_EQ(events[1]["message"].asString(), "Loaded execution plan with 1 operations");
}

TEST_F(PlanFileTest, BackslashesInThePlanPathAreSeparators) {
    const std::filesystem::path path = Write(R"({"operations":[]})");
    std::wstring wide = WidePath(path);
    for (wchar_t& c : wide) c = c == L'/' ? L'\\' : c;
    EXPECT_EQ(LoadPlanFromFile(wide, plan_), ErrorCode::Success);
}

TEST_F(PlanFileTest, RefusesBadFiles) {
    struct Case {
        std::filesystem::path path;
        ErrorCode code;
        std::string details;
    };
    std::vector<Case> cases = {
        {folder_ / "missing.json", ErrorCode::FileNotFound, "Plan file not found"},
        {folder_.path(), ErrorCode::InternalError, "Failed to read plan file: Failed to open file"},
        {Write("", "empty.json"), ErrorCode::InvalidArguments, "Failed to convert plan string"},
        {Write("\xC3\x28", "latin.json"), ErrorCode::InvalidArguments, "Plan file is not strict UTF-8: Invalid UTF-8 input"},
        {Write(std::string("{\"operations\":[]}\0", 18), "zero-byte.json"), ErrorCode::InvalidArguments,
         "Plan JSON contains an embedded NUL"},
        // Up to the cap the text is read (and found to be NULs); one byte more is refused unread.
        {Sized(kMaxPlanBytes, "at-cap.json"), ErrorCode::InvalidArguments, "Plan JSON contains an embedded NUL"},
        {Sized(kMaxPlanBytes + 1, "above-cap.json"), ErrorCode::InvalidArguments,
         "Plan file refused: File is larger than 16777216 bytes"},
    };
#ifndef _WIN32  // FIFOs and /dev are Linux's
    const std::filesystem::path fifo = folder_ / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    cases.push_back({fifo, ErrorCode::InternalError, "Failed to read plan file: Failed to open file"});
    cases.push_back({"/dev/null", ErrorCode::InternalError, "Failed to read plan file: Failed to open file"});
#endif
    for (const auto& c : cases) {
        capture_.Clear();
        EXPECT_EQ(Load(c.path), c.code) << c.path;
        EXPECT_EQ(OnlyError(capture_)["details"].asString(), c.details) << c.path;
    }
}

TEST(ReadWholeFileTest, ReadsBytesUnchangedAndRefusesWhatIsNotARegularFile) {
    test::TempFolder folder;
    const std::string bytes("a\r\nb\0c", 6);
    test::WriteFile(folder / "f.bin", bytes);
    EXPECT_EQ(ReadWholeFile(WidePath(folder / "f.bin")), bytes);
    std::vector<std::filesystem::path> refused = {folder.path(), folder / "missing"};
#ifndef _WIN32  // FIFOs are Linux's
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    refused.push_back(folder / "fifo");
#endif
    for (const std::filesystem::path& path : refused) {
        try {
            ReadWholeFile(WidePath(path));
            ADD_FAILURE() << "read " << path;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failed to open file");
        }
    }
}

}  // namespace
}  // namespace zuvelo
