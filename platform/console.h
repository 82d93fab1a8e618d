#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The console: how the programs' UTF-8 console text reaches it, and how the text
// of console programs they run is read.
namespace zuvelo::platform {

// Sets up the standard streams (std::cout, std::cerr) for UTF-8 text. On Windows
// text bound for a console is written wide (WriteConsoleW), so it shows whatever
// the console's code page; text bound for a file or a pipe stays UTF-8 bytes, and
// standard output is binary, so a line ends in "\n" there as it does on the
// progress pipe. Nothing to do on Linux, where consoles take UTF-8.
void PrepareConsoleStreams();

// Text in the OEM code page (MultiByteToWideChar with CP_OEMCP), as console
// programs write it on Windows: empty for empty text; U+FFFD alone when the text is
// 2^31 bytes or more or cannot be converted. Nothing on Linux, which has no OEM
// code page (console programs write UTF-8 there).
std::optional<std::wstring> WideFromOemCodePage(std::string_view text);

// How much of text is whole UTF-8 sequences: all of it, less a sequence cut short
// at its end (which the next text may complete).
size_t WholeUtf8Length(std::string_view text);

}  // namespace zuvelo::platform
