#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// HKEY_LOCAL_MACHINE: RegCreateKeyExW, RegOpenKeyExW, RegSetValueExW,
// RegQueryValueExW, RegDeleteValueW, RegDeleteTreeW and RegCloseKey (on Linux a
// store of the project's own stands in for them). Key paths are "\"-separated
// below HKEY_LOCAL_MACHINE; key and value names compare case-insensitively and
// keep the case they were created with; the empty value name is the default
// value. Value data are raw bytes. Every call returns 0 or the Windows number of
// the failure: 2 for a key or value that does not exist, 5 denied, 1009 a store
// that cannot be read.
namespace zuvelo::platform {

namespace reg {
inline constexpr uint32_t kSz = 1;
inline constexpr uint32_t kExpandSz = 2;
inline constexpr uint32_t kBinary = 3;
inline constexpr uint32_t kDword = 4;
inline constexpr uint32_t kQword = 11;
}  // namespace reg

// An open key; 0 is no key.
using RegistryKeyHandle = uint64_t;

// One change of a value: set to type and data, or (remove) deleted.
struct RegistryValueChange {
    std::wstring name;
    bool remove = false;
    uint32_t type = 0;
    std::string data;
};

class Registry {
public:
    virtual ~Registry() = default;

    // Opens the key, creating it and every missing parent.
    virtual uint32_t CreateKey(const std::wstring& path, RegistryKeyHandle& out) = 0;
    // Opens an existing key to read its values (KEY_READ); values are changed
    // through a key from CreateKey (KEY_ALL_ACCESS).
    virtual uint32_t OpenKey(const std::wstring& path, RegistryKeyHandle& out) = 0;
    virtual void CloseKey(RegistryKeyHandle key) = 0;
    // Creates or replaces the value. 1018 when the key was deleted meanwhile.
    virtual uint32_t SetValue(RegistryKeyHandle key, const std::wstring& name, uint32_t type,
                              const std::string& data) = 0;
    virtual uint32_t QueryValue(RegistryKeyHandle key, const std::wstring& name, uint32_t& type,
                                std::string& data) = 0;
    virtual uint32_t DeleteValue(RegistryKeyHandle key, const std::wstring& name) = 0;
    // Makes the changes in order as one change of the key (through a key from
    // CreateKey); deleting a value that does not exist is no failure. Linux: one
    // load and one save under the store's lock, so the key holds all of the
    // changes or none of them. Windows makes each value's change atomic, not the
    // batch: the changes are applied one by one under the key, serialised with
    // every other batch of this machine by a lock under the machine root, so two
    // batches never interleave, but a reader may see part of one and a failure
    // leaves the changes before it made.
    virtual uint32_t ChangeValues(RegistryKeyHandle key, const std::vector<RegistryValueChange>& changes) = 0;
    // Deletes the key with all its subkeys and values. The hive itself (an empty
    // path) is never deleted: 87.
    virtual uint32_t DeleteTree(const std::wstring& path) = 0;
};

// This machine's HKEY_LOCAL_MACHINE, in the 64-bit view. On Linux the store
// registry/HKLM.json under the machine root: every change is read, made and
// saved whole (temporary file, flush, rename) under an exclusive lock, so
// concurrent writers never lose each other's changes; a store that cannot be
// parsed is never replaced.
std::unique_ptr<Registry> OpenMachineRegistry();

// REG_SZ data: UTF-16LE with its terminating NUL.
std::string RegistryStringData(const std::wstring& text);
// The text of REG_SZ or REG_EXPAND_SZ data, up to its first NUL.
std::wstring RegistryStringFromData(const std::string& data);
// REG_DWORD and REG_QWORD data: little-endian.
std::string RegistryDwordData(uint32_t value);
std::string RegistryQwordData(uint64_t value);
// The little-endian number of up to eight bytes of data.
uint64_t RegistryNumberFromData(const std::string& data);

}  // namespace zuvelo::platform
