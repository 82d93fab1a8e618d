#include "platform/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <streambuf>

namespace zuvelo::platform {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;
constexpr size_t kTooLong = size_t{1} << 31;  // bytes: more than MultiByteToWideChar takes

// MultiByteToWideChar of the whole text; what is not valid in the code page becomes U+FFFD.
std::wstring WideFrom(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    if (text.size() >= kTooLong) return std::wstring(1, kReplacement);
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length <= 0) return std::wstring(1, kReplacement);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length) != length) {
        return std::wstring(1, kReplacement);
    }
    return wide;
}

// One standard stream's text: to a console as wide text, anywhere else through the C
// runtime's stream as it is (so it keeps its place among the event lines written there).
class ConsoleTextBuffer : public std::streambuf {
public:
    ConsoleTextBuffer(FILE* stream, DWORD standardHandle) : stream_(stream), standardHandle_(standardHandle) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char byte = traits_type::to_char_type(c);
        return Write(&byte, 1) ? c : traits_type::eof();
    }

    std::streamsize xsputn(const char* text, std::streamsize size) override {
        return Write(text, static_cast<size_t>(size)) ? size : 0;
    }

    int sync() override { return std::fflush(stream_) == 0 ? 0 : -1; }

private:
    bool Write(const char* text, size_t size) {
        const HANDLE console = ::GetStdHandle(standardHandle_);
        DWORD mode = 0;
        if (console == nullptr || console == INVALID_HANDLE_VALUE || !::GetConsoleMode(console, &mode)) {
            return std::fwrite(text, 1, size, stream_) == size;
        }
        // A character cut between two writes waits for the rest of its bytes.
        pending_.append(text, size);
        const size_t whole = WholeUtf8Length(pending_);
        const std::wstring wide = WideFrom(CP_UTF8, std::string_view(pending_).substr(0, whole));
        pending_.erase(0, whole);
        std::fflush(stream_);
        for (size_t done = 0; done < wide.size();) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 16384));
            if (!::WriteConsoleW(console, wide.data() + done, chunk, &written, nullptr) || written == 0) return false;
            done += written;
        }
        return true;
    }

    FILE* stream_;
    DWORD standardHandle_;
    std::string pending_;
};

}  // namespace

void PrepareConsoleStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    // Never destroyed: the streams are flushed at exit, after static objects are gone.
    static auto* out = new ConsoleTextBuffer(stdout, STD_OUTPUT_HANDLE);
    static auto* err = new ConsoleTextBuffer(stderr, STD_ERROR_HANDLE);
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
}

std::optional<std::wstring> WideFromOemCodePage(std::string_view text) { return WideFrom(CP_OEMCP, text); }

}  // namespace zuvelo::platform
