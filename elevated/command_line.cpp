#include "elevated/command_line.h"

#include <array>
#include <iostream>
#include <string_view>

#include "common/text.h"
#include "resources/version.h"

namespace zuvelo {

namespace {

enum class ArgumentKind { Flag, Command, Value };

struct ArgumentRule {
    std::wstring_view word;
    ArgumentKind kind;
    HelperCommand command = HelperCommand::None;
    bool CommandLineOptions::*flag = nullptr;
    std::wstring CommandLineOptions::*value = nullptr;
    const char* missingValueMessage = nullptr;
};

using O = CommandLineOptions;
using K = ArgumentKind;
using C = HelperCommand;

const std::array<ArgumentRule, 19> kRules{{
    {L"--help", K::Flag, C::None, &O::help},
    {L"-h", K::Flag, C::None, &O::help},
    {L"/?", K::Flag, C::None, &O::help},
    {L"--verbose", K::Flag, C::None, &O::verbose},
    {L"-v", K::Flag, C::None, &O::verbose},
    {L"--install-prereqs", K::Command, C::InstallPrereqs},
    {L"--apply-manifest", K::Command, C::ApplyManifest, nullptr, &O::manifestUrl,
     "Error: --apply-manifest requires manifest URL"},
    {L"--write-uninstall", K::Command, C::WriteUninstall},
    {L"--create-shortcuts", K::Command, C::CreateShortcuts},
    {L"--release-session", K::Command, C::ReleaseSession},
    {L"--remove", K::Command, C::Remove},
    {L"--execute-plan", K::Command, C::ExecutePlan, nullptr, &O::planFile,
     "Error: --execute-plan requires plan file path"},
    {L"--cdn", K::Value, C::None, nullptr, &O::cdnUrl, "Error: --cdn requires URL"},
    {L"--target", K::Value, C::None, nullptr, &O::targetPath, "Error: --target requires path"},
    {L"--session-root", K::Value, C::None, nullptr, &O::sessionRoot, "Error: --session-root requires path"},
    {L"--files-manifest", K::Value, C::None, nullptr, &O::filesManifest, "Error: --files-manifest requires path"},
    {L"--progress-pipe", K::Value, C::None, nullptr, &O::progressPipe, "Error: --progress-pipe requires pipe name"},
    {L"--version", K::Value, C::None, nullptr, &O::version, "Error: --version requires version string"},
    {L"--purge", K::Flag, C::None, &O::purge},
}};

const ArgumentRule* FindRule(std::wstring_view argument) {
    for (const ArgumentRule& rule : kRules) {
        if (rule.word == argument) return &rule;
    }
    return nullptr;
}

int Reject(const std::string& message) {
    std::cerr << message << std::endl;
    return 1;
}

// The message of the first requirement the chosen command misses, or nullptr.
const char* MissingRequirement(const CommandLineOptions& o) {
    switch (o.command) {
    case C::InstallPrereqs:
        if (o.cdnUrl.empty()) return "Error: --install-prereqs requires --cdn";
        break;
    case C::ApplyManifest:
        if (o.manifestUrl.empty() || o.targetPath.empty() || o.cdnUrl.empty())
            return "Error: --apply-manifest requires --target and --cdn";
        if (o.sessionRoot.empty() != o.filesManifest.empty())
            return "Error: --session-root and --files-manifest must be provided together";
        break;
    case C::WriteUninstall:
        if (o.targetPath.empty() || o.version.empty()) return "Error: --write-uninstall requires --target and --version";
        break;
    case C::CreateShortcuts:
        if (o.targetPath.empty()) return "Error: --create-shortcuts requires --target";
        break;
    case C::ReleaseSession:
        if (o.sessionRoot.empty()) return "Error: --release-session requires --session-root";
        break;
    case C::Remove:
        if (o.targetPath.empty()) return "Error: --remove requires --target";
        break;
    case C::ExecutePlan:
        if (o.planFile.empty()) return "Error: --execute-plan requires plan file path";
        break;
    case C::None:
        break;
    }
    return nullptr;
}

}  // namespace

int ParseCommandLine(int argc, wchar_t* argv[], CommandLineOptions& out) {
    for (int i = 1; i < argc; ++i) {
        const ArgumentRule* rule = FindRule(argv[i]);
        if (rule == nullptr) return Reject("Error: Unknown argument: " + WideToUtf8Lossy(argv[i]));
        if (rule->kind == K::Command) {
            if (out.command != C::None) return Reject("Error: Multiple commands specified");
            out.command = rule->command;
        }
        if (rule->flag != nullptr) out.*(rule->flag) = true;
        if (rule->value != nullptr) {
            if (i + 1 >= argc) return Reject(rule->missingValueMessage);
            out.*(rule->value) = argv[++i];
        }
    }
    if (const char* message = MissingRequirement(out)) return Reject(message);
    return 0;
}

void PrintUsage(const wchar_t* programPath) {
    const std::string path = WideToUtf8Lossy(programPath != nullptr ? programPath : L"");
    const std::array<std::string, 40> lines{
        std::string(version::kElevatedDescription) + " v" + version::kVersion,
        "Privileged operations for Zuvelo installation and updates",
        "",
        "Usage:",
        "  " + path + " --execute-plan <plan-file.json>",
        "  " + path + " --install-prereqs --cdn <root-url>",
        "  " + path + " --apply-manifest <manifest-url> --target <path> --cdn <root-url>",
        "  " + path + " --write-uninstall --target <path> --version <x.y.z>",
        "  " + path + " --create-shortcuts --target <path>",
        "  " + path + " --release-session --session-root <path>",
        "  " + path + " --remove --target <path> [--purge]",
        "",
        "Commands:",
        "  --execute-plan         Execute a batch of operations from JSON plan (single UAC prompt)",
        "  --install-prereqs      Install VC++ and DirectX prerequisites",
        "  --apply-manifest       Download, verify and apply update manifest",
        "  --write-uninstall      Write uninstall registry entries",
        "  --create-shortcuts     Create Start Menu shortcuts",
        "  --release-session      Remove a prepared download session",
        "  --remove               Remove installation (with optional --purge)",
        "",
        "Options:",
        "  --cdn <url>            CDN root URL for downloads",
        "  --session-root <path>  Use pre-downloaded session contents",
        "  --files-manifest <path> Descriptor JSON for pre-downloaded files",
        "  --target <path>        Installation target directory",
        "  --version <x.y.z>      Version string for uninstall entry",
        "  --purge                Remove user data when uninstalling",
        "  --progress-pipe <name> Internal: named pipe for streaming JSON logs",
        "  --verbose, -v          Enable verbose logging",
        "  --help, -h, /?         Show this help message",
        "",
        "Exit Codes:",
        "  0    Success",
        "  1    Invalid arguments",
        "  2    Insufficient privileges",
        "  100+ Command-specific errors (see documentation)",
        "",
        "Output: Progress and status information is written as JSONL to stdout.",
        "Errors and diagnostics are written to stderr.",
    };
    for (const std::string& line : lines) std::cout << line << std::endl;
}

}  // namespace zuvelo
