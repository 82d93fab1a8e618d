#include "tests/support/program_runner.h"

#include <algorithm>
#include <cwchar>
#include <stdexcept>

#include "common/text.h"
#include "platform/compare_string.h"
#include "platform/windows/win32_handle.h"

namespace zuvelo::test {

namespace {

using platform::windows::UniqueHandle;

struct PipeEnds {
    UniqueHandle read;
    UniqueHandle write;  // inheritable: the child's end
};

PipeEnds MakePipe() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!::CreatePipe(&read, &write, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
    PipeEnds ends{UniqueHandle(read), UniqueHandle(write)};
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    return ends;
}

// An inheritable read end of a pipe that holds input and then ends.
UniqueHandle InputHolding(const std::string& input) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!::CreatePipe(&read, &write, &inheritable, static_cast<DWORD>(input.size()))) {
        throw std::runtime_error("CreatePipe failed");
    }
    UniqueHandle readEnd(read);
    const UniqueHandle writeEnd(write);
    DWORD written = 0;
    if (!input.empty() && (!::WriteFile(write, input.data(), static_cast<DWORD>(input.size()), &written, nullptr) ||
                           written != input.size())) {
        throw std::runtime_error("cannot write the input");
    }
    return readEnd;
}

// One argument as CommandLineToArgvW reads it back: quoted when it is empty or holds
// white space or quotes; backslashes are doubled only before a quote.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// This process's environment block with the overrides in place of their names
// (names are case-insensitive on Windows).
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& overrides) {
    std::vector<std::pair<std::wstring, std::wstring>> wide;
    for (const auto& [name, value] : overrides) wide.emplace_back(Utf8ToWide(name), Utf8ToWide(value));
    std::wstring block;
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; entry && *entry; entry += std::wcslen(entry) + 1) {
        const std::wstring text = entry;
        const std::wstring name = text.substr(0, text.find(L'=', 1));  // "=C:=..." entries start with '='
        bool overridden = false;
        for (const auto& pair : wide) overridden = overridden || platform::OrdinalEqualIgnoreCase(pair.first, name);
        if (!overridden) block += text + L'\0';
    }
    if (strings) ::FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : wide) block += name + L"=" + value + L'\0';
    return block + L'\0';
}

// The three standard handles are the only ones the child inherits, so a child of a
// concurrent run never holds this run's pipes open.
class InheritedHandles {
public:
    explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size) ||
            !::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                         handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            throw std::runtime_error("cannot list the inherited handles");
        }
    }
    ~InheritedHandles() { ::DeleteProcThreadAttributeList(list_); }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The child's standard input, output and error.
struct StandardHandles {
    HANDLE input;
    HANDLE output;
    HANDLE error;
};

// Starts the program with the standard handles given, the only handles it inherits;
// its process handle.
UniqueHandle Start(const std::string& program, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment, const StandardHandles& standard) {
    std::vector<HANDLE> handles{standard.input, standard.output};
    if (standard.error != standard.output) handles.push_back(standard.error);
    InheritedHandles inherited(handles);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = standard.input;
    startup.StartupInfo.hStdOutput = standard.output;
    startup.StartupInfo.hStdError = standard.error;
    startup.lpAttributeList = inherited.get();
    std::wstring commandLine = WindowsCommandLine(program, arguments);
    std::wstring block = EnvironmentBlock(environment);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(Utf8ToWide(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, block.data(), nullptr,
                          &startup.StartupInfo, &process)) {
        throw std::runtime_error("cannot start " + program);
    }
    ::CloseHandle(process.hThread);
    return UniqueHandle(process.hProcess);
}

// Moves what the pipe holds now into text; false once no writer is left.
bool TakeAvailable(HANDLE pipe, std::string& text) {
    char buffer[4096];
    for (DWORD available = 0; ::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);) {
        if (available == 0) return true;
        DWORD got = 0;
        if (!::ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr)) return false;
        text.append(buffer, got);
    }
    return false;
}

// Collects both streams until the child has ended and they are drained. Not until the
// pipes close: under Wine, the desktop process a child may start keeps the child's
// standard error open for as long as this process lives.
void CollectUntilExit(HANDLE process, HANDLE out, HANDLE err, ProgramResult& result) {
    for (;;) {
        const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        const size_t before = result.out.size() + result.err.size();
        const bool open = TakeAvailable(out, result.out) | TakeAvailable(err, result.err);
        if (ended || !open) return;
        if (result.out.size() + result.err.size() == before) ::WaitForSingleObject(process, 5);
    }
}

// The C runtime writes a text stream's line ends as "\r\n"; read back as text they are "\n".
std::string AsText(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' || i + 1 == bytes.size() || bytes[i + 1] != '\n') text.push_back(bytes[i]);
    }
    return text;
}

}  // namespace

std::wstring WindowsCommandLine(const std::string& program, const std::vector<std::string>& arguments) {
    std::wstring line = QuoteArgument(Utf8ToWide(program));
    for (const std::string& argument : arguments) line += L" " + QuoteArgument(Utf8ToWide(argument));
    return line;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::function<void(pid_t)>& started, const std::string& text) {
    PipeEnds out = MakePipe();
    PipeEnds err = MakePipe();
    UniqueHandle input = InputHolding(text);
    const UniqueHandle processHandle =
        Start(program, arguments, environment, {input.get(), out.write.get(), err.write.get()});
    input.reset();
    out.write.reset();
    err.write.reset();
    if (started) started(static_cast<pid_t>(::GetProcessId(processHandle.get())));

    ProgramResult result;
    CollectUntilExit(processHandle.get(), out.read.get(), err.read.get(), result);
    result.out = AsText(result.out);
    result.err = AsText(result.err);
    DWORD exitCode = 0;
    ::WaitForSingleObject(processHandle.get(), INFINITE);
    if (!::GetExitCodeProcess(processHandle.get(), &exitCode)) throw std::runtime_error("GetExitCodeProcess failed");
    result.exitCode = static_cast<int>(exitCode);
    return result;
}

namespace {

// A console of this process's own for the time of one run (the test programs start
// without one): its input and screen buffer, inheritable. This process's standard
// handles stay what they were.
class OwnConsole {
public:
    OwnConsole() : in_(::GetStdHandle(STD_INPUT_HANDLE)), out_(::GetStdHandle(STD_OUTPUT_HANDLE)),
                   err_(::GetStdHandle(STD_ERROR_HANDLE)) {
        ::FreeConsole();
        if (!::AllocConsole()) throw std::runtime_error("AllocConsole failed");
        RestoreStandardHandles();
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        input.reset(::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, OPEN_EXISTING, 0, nullptr));
        screen.reset(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
        // Wide enough that an event line is one row.
        if (!input || !screen || !::SetConsoleScreenBufferSize(screen.get(), COORD{1024, 2000})) {
            throw std::runtime_error("cannot set up the console");
        }
    }
    ~OwnConsole() {
        input.reset();
        screen.reset();
        ::FreeConsole();
        RestoreStandardHandles();
    }
    OwnConsole(const OwnConsole&) = delete;
    OwnConsole& operator=(const OwnConsole&) = delete;

    // Each character as a key pressed and released; "\n" is Enter.
    void Type(const std::wstring& keys) const {
        std::vector<INPUT_RECORD> records;
        for (const wchar_t key : keys) {
            for (const BOOL down : {TRUE, FALSE}) {
                INPUT_RECORD record{};
                record.EventType = KEY_EVENT;
                record.Event.KeyEvent.bKeyDown = down;
                record.Event.KeyEvent.wRepeatCount = 1;
                record.Event.KeyEvent.uChar.UnicodeChar = key == L'\n' ? L'\r' : key;
                record.Event.KeyEvent.wVirtualKeyCode = key == L'\n' ? VK_RETURN : 0;
                records.push_back(record);
            }
        }
        DWORD written = 0;
        if (!records.empty() &&
            !::WriteConsoleInputW(input.get(), records.data(), static_cast<DWORD>(records.size()), &written)) {
            throw std::runtime_error("cannot type into the console");
        }
    }

    // The rows of the screen buffer down to the cursor, without their trailing blanks.
    std::string Shown() const {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!::GetConsoleScreenBufferInfo(screen.get(), &info)) throw std::runtime_error("cannot read the console");
        std::wstring shown;
        for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
            std::wstring line(static_cast<size_t>(info.dwSize.X), L' ');
            DWORD got = 0;
            const COORD start{0, row};
            ::ReadConsoleOutputCharacterW(screen.get(), line.data(), static_cast<DWORD>(line.size()), start, &got);
            line.resize(std::min<size_t>(got, line.size()));
            line.erase(line.find_last_not_of(L' ') + 1);
            shown += line + (row < info.dwCursorPosition.Y ? L"\n" : L"");
        }
        return WideToUtf8Lossy(shown);
    }

    UniqueHandle input;
    UniqueHandle screen;

private:
    void RestoreStandardHandles() const {
        ::SetStdHandle(STD_INPUT_HANDLE, in_);
        ::SetStdHandle(STD_OUTPUT_HANDLE, out_);
        ::SetStdHandle(STD_ERROR_HANDLE, err_);
    }

    HANDLE in_;
    HANDLE out_;
    HANDLE err_;
};

}  // namespace

ProgramResult RunInTerminal(const std::string& program, const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string>& environment, const std::string& typed) {
    const OwnConsole console;
    console.Type(Utf8ToWide(typed) + L"\x1a\n");  // then Ctrl+Z, the console's end of input
    const UniqueHandle processHandle =
        Start(program, arguments, environment, {console.input.get(), console.screen.get(), console.screen.get()});
    ::WaitForSingleObject(processHandle.get(), INFINITE);
    ProgramResult result;
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(processHandle.get(), &exitCode)) throw std::runtime_error("GetExitCodeProcess failed");
    result.exitCode = static_cast<int>(exitCode);
    result.out = console.Shown();
    return result;
}

std::filesystem::path WorldRunnableCopy(const std::filesystem::path&, const std::filesystem::path&) {
    throw std::logic_error("WorldRunnableCopy needs Linux permission bits and setpriv");
}

}  // namespace zuvelo::test
