#include "platform/registry.h"

#include <windows.h>

#include <exception>
#include <filesystem>

#include "platform/file_lock.h"
#include "platform/machine_root.h"
#include "platform/private_folder.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

// Key paths as the interface takes them: the hive (empty), or "\"-separated names none of which is empty.
bool IsKeyPath(const std::wstring& path) {
    if (path.empty()) return true;
    return path.front() != L'\\' && path.back() != L'\\' && path.find(L"\\\\") == std::wstring::npos &&
           path.find(L'\0') == std::wstring::npos;
}

HKEY KeyOf(RegistryKeyHandle key) { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(key)); }

RegistryKeyHandle HandleOf(HKEY key) { return static_cast<RegistryKeyHandle>(reinterpret_cast<uintptr_t>(key)); }

// A name with a NUL inside would reach the registry cut short: refused instead.
bool IsValueName(const std::wstring& name) { return name.find(L'\0') == std::wstring::npos; }

// The registry has no change of several values at once (short of the deprecated
// transacted registry): batches take this lock, in the administrators-only locks
// folder, so that they at least never interleave.
uint32_t LockForBatch(FileLock& lock) {
    try {
        const std::filesystem::path locks = LockFolder();
        bool created = false;
        uint32_t error = 0;
        if (EnsurePrivateFolder(locks, created, error) != PrivateFolderState::Usable) {
            return error != 0 ? error : win32::kAccessDenied;
        }
        return lock.Acquire(locks / "registry.lock", {});
    } catch (const std::exception&) {
        return win32::kPathNotFound;  // no common program files folder
    }
}

uint32_t ApplyChange(HKEY key, const RegistryValueChange& change) {
    if (change.remove) {
        const LSTATUS err = ::RegDeleteValueW(key, change.name.c_str());
        return err == ERROR_FILE_NOT_FOUND ? 0 : static_cast<uint32_t>(err);
    }
    return static_cast<uint32_t>(::RegSetValueExW(key, change.name.c_str(), 0, change.type,
                                                  reinterpret_cast<const BYTE*>(change.data.data()),
                                                  static_cast<DWORD>(change.data.size())));
}

// The 64-bit view is this process's default view: no WOW64 flag is needed.
class MachineRegistry final : public Registry {
public:
    uint32_t CreateKey(const std::wstring& path, RegistryKeyHandle& out) override {
        if (!IsKeyPath(path)) return win32::kInvalidParameter;
        HKEY key = nullptr;
        const LSTATUS err = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (err != ERROR_SUCCESS) return static_cast<uint32_t>(err);
        out = HandleOf(key);
        return 0;
    }

    uint32_t OpenKey(const std::wstring& path, RegistryKeyHandle& out) override {
        if (!IsKeyPath(path)) return win32::kInvalidParameter;
        HKEY key = nullptr;
        const LSTATUS err = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
        if (err != ERROR_SUCCESS) return static_cast<uint32_t>(err);
        out = HandleOf(key);
        return 0;
    }

    void CloseKey(RegistryKeyHandle key) override {
        if (key != 0) ::RegCloseKey(KeyOf(key));
    }

    uint32_t SetValue(RegistryKeyHandle key, const std::wstring& name, uint32_t type,
                      const std::string& data) override {
        if (!IsValueName(name) || data.size() > MAXDWORD) return win32::kInvalidParameter;
        return static_cast<uint32_t>(::RegSetValueExW(KeyOf(key), name.c_str(), 0, type,
                                                      reinterpret_cast<const BYTE*>(data.data()),
                                                      static_cast<DWORD>(data.size())));
    }

    uint32_t QueryValue(RegistryKeyHandle key, const std::wstring& name, uint32_t& type,
                        std::string& data) override {
        if (!IsValueName(name)) return win32::kInvalidParameter;
        for (;;) {
            DWORD size = 0;
            DWORD kind = 0;
            LSTATUS err = ::RegQueryValueExW(KeyOf(key), name.c_str(), nullptr, &kind, nullptr, &size);
            if (err != ERROR_SUCCESS) return static_cast<uint32_t>(err);
            std::string bytes(size, '\0');
            err = ::RegQueryValueExW(KeyOf(key), name.c_str(), nullptr, &kind, reinterpret_cast<BYTE*>(bytes.data()),
                                     &size);
            if (err == ERROR_MORE_DATA) continue;  // the value grew between the two calls
            if (err != ERROR_SUCCESS) return static_cast<uint32_t>(err);
            bytes.resize(size);
            type = kind;
            data = std::move(bytes);
            return 0;
        }
    }

    uint32_t DeleteValue(RegistryKeyHandle key, const std::wstring& name) override {
        if (!IsValueName(name)) return win32::kInvalidParameter;
        return static_cast<uint32_t>(::RegDeleteValueW(KeyOf(key), name.c_str()));
    }

    uint32_t ChangeValues(RegistryKeyHandle key, const std::vector<RegistryValueChange>& changes) override {
        for (const RegistryValueChange& change : changes) {
            if (!IsValueName(change.name) || change.data.size() > MAXDWORD) return win32::kInvalidParameter;
        }
        FileLock lock;
        if (const uint32_t err = LockForBatch(lock)) return err;
        for (const RegistryValueChange& change : changes) {
            if (const uint32_t err = ApplyChange(KeyOf(key), change)) return err;
        }
        return 0;
    }

    uint32_t DeleteTree(const std::wstring& path) override {
        // RegDeleteTreeW with no subkey empties the hive it is given: never asked for here.
        if (path.empty() || !IsKeyPath(path)) return win32::kInvalidParameter;
        return static_cast<uint32_t>(::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()));
    }
};

}  // namespace

std::unique_ptr<Registry> OpenMachineRegistry() { return std::make_unique<MachineRegistry>(); }

}  // namespace zuvelo::platform
