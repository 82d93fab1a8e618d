#pragma once

#include <cstdint>
#include <vector>

// A file's version: GetFileVersionInfoSizeW, GetFileVersionInfoW and
// VerQueryValueW with "\", for the file the caller holds open (on Windows they
// are given its final path). On Linux the fixed file information of a PE image's
// version resource, found by walking its resource directory (type 16, then the
// first name and the first language), read at offsets through the descriptor.
// Every function returns 0 or the Windows number of the failure.
namespace zuvelo::platform {

// Where the version resource's bytes lie in the file (on Windows only its size
// is known: GetFileVersionInfoSizeW's).
struct VersionResource {
    uint64_t fileOffset = 0;
    uint32_t size = 0;
};

// Finds the version resource of the image open as fd: 193 when it is not a PE
// image, 1813 when it has no version resource (or a resource directory that
// does not hold together), 30 when a read fails (on Windows, the system's number).
uint32_t FindVersionResource(int fd, VersionResource& out);

// Reads the resource's bytes: 30 when the file cannot give them all (on Windows,
// the system's number).
uint32_t ReadVersionResource(int fd, const VersionResource& resource, std::vector<unsigned char>& block);

// The two words of VS_FIXEDFILEINFO's file version.
struct FixedFileVersion {
    uint32_t fileVersionMS = 0;
    uint32_t fileVersionLS = 0;
};

// The fixed file information of a version block ("VS_VERSION_INFO" with a
// VS_FIXEDFILEINFO value carrying its signature); false when it has none.
bool QueryFixedFileVersion(const std::vector<unsigned char>& block, FixedFileVersion& out);

}  // namespace zuvelo::platform
