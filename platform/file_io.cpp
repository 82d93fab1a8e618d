#include "platform/file_io.h"

namespace zuvelo::platform {

// The st_mode values are the same on both systems (synthesized from attributes on Windows).
bool FileStat::IsDirectory() const { return (mode & 0170000) == 0040000; }
bool FileStat::IsRegular() const { return (mode & 0170000) == 0100000; }
bool FileStat::IsReadOnly() const { return (mode & 0222) == 0; }

uint32_t ReadOnlyMode(uint32_t mode, bool readOnly) { return readOnly ? (mode & ~0222u) : (mode | 0200u); }

}  // namespace zuvelo::platform
