#include "platform/registry.h"

#include <locale.h>

#include <climits>
#include <cwchar>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include "platform/compare_string.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/linux/machine_root.h"
#include "platform/staged_file.h"
#include "platform/unique_fd.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

namespace fs = std::filesystem;

constexpr char kStoreFolder[] = "registry";
constexpr char kStoreName[] = "HKLM.json";
constexpr char kLockName[] = "HKLM.lock";

struct ValueEntry {
    std::wstring name;
    uint32_t type = 0;
    std::string data;
};

struct KeyNode {
    std::wstring name;
    std::vector<ValueEntry> values;
    std::vector<KeyNode> subkeys;
};

// Thrown while reading a store that does not have the store's shape.
struct CorruptStore : std::exception {};

template <typename Item>
Item* FindNamed(std::vector<Item>& items, const std::wstring& name) {
    for (Item& item : items) {
        if (OrdinalEqualIgnoreCase(item.name, name)) return &item;
    }
    return nullptr;
}

// "A\B\C" as its names; false for an empty name. The empty path is the hive.
bool SplitKeyPath(const std::wstring& path, std::vector<std::wstring>& names) {
    names.clear();
    if (path.empty()) return true;
    size_t start = 0;
    while (true) {
        const size_t end = path.find(L'\\', start);
        names.push_back(path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (names.back().empty()) return false;
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

KeyNode* FindKey(KeyNode& hive, const std::vector<std::wstring>& names) {
    KeyNode* node = &hive;
    for (const std::wstring& name : names) {
        node = FindNamed(node->subkeys, name);
        if (!node) return nullptr;
    }
    return node;
}

// Creates the missing keys on the way; true when one was created.
bool EnsureKey(KeyNode& hive, const std::vector<std::wstring>& names) {
    bool created = false;
    KeyNode* node = &hive;
    for (const std::wstring& name : names) {
        KeyNode* next = FindNamed(node->subkeys, name);
        if (!next) {
            node->subkeys.push_back(KeyNode{name, {}, {}});
            next = &node->subkeys.back();
            created = true;
        }
        node = next;
    }
    return created;
}

// Names are kept as UTF-8 in the file, converted by the C library's UTF-8 locale.
class Utf8Conversion {
public:
    Utf8Conversion() : locale_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {
        if (locale_) previous_ = ::uselocale(locale_);
    }
    ~Utf8Conversion() {
        if (!locale_) return;
        ::uselocale(previous_);
        ::freelocale(locale_);
    }
    Utf8Conversion(const Utf8Conversion&) = delete;
    Utf8Conversion& operator=(const Utf8Conversion&) = delete;

    bool ToUtf8(const std::wstring& text, std::string& out) const {
        out.clear();
        if (!locale_) return false;
        std::mbstate_t state{};
        char bytes[MB_LEN_MAX];
        for (const wchar_t c : text) {
            const size_t n = c == L'\0' ? static_cast<size_t>(-1) : std::wcrtomb(bytes, c, &state);
            if (n == static_cast<size_t>(-1)) return false;
            out.append(bytes, n);
        }
        return true;
    }

    bool FromUtf8(const std::string& text, std::wstring& out) const {
        out.clear();
        if (!locale_) return false;
        std::mbstate_t state{};
        for (size_t pos = 0; pos < text.size();) {
            wchar_t c = 0;
            const size_t n = std::mbrtowc(&c, text.data() + pos, text.size() - pos, &state);
            if (n == 0 || n > text.size() - pos) return false;  // NUL, invalid or cut short
            out.push_back(c);
            pos += n;
        }
        return true;
    }

private:
    locale_t locale_;
    locale_t previous_ = nullptr;
};

std::string Hex(const std::string& data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char byte : data) {
        out += kDigits[static_cast<unsigned char>(byte) >> 4];
        out += kDigits[static_cast<unsigned char>(byte) & 0xF];
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw CorruptStore();
}

std::string Unhex(const std::string& text) {
    if (text.size() % 2 != 0) throw CorruptStore();
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) out += static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
    return out;
}

std::wstring NameFromJson(const Json::Value& value, const Utf8Conversion& utf8) {
    std::wstring name;
    if (!value.isString() || !utf8.FromUtf8(value.asString(), name)) throw CorruptStore();
    return name;
}

// A list member: absent, or an array.
const Json::Value& ListMember(const Json::Value& json, const char* name) {
    const Json::Value& list = json[name];
    if (!list.isNull() && !list.isArray()) throw CorruptStore();
    return list;
}

KeyNode KeyFromJson(const Json::Value& json, const Utf8Conversion& utf8, bool isHive) {
    if (!json.isObject()) throw CorruptStore();
    KeyNode node;
    if (!isHive) {
        node.name = NameFromJson(json["name"], utf8);
        if (node.name.empty() || node.name.find(L'\\') != std::wstring::npos) throw CorruptStore();
    }
    for (const Json::Value& value : ListMember(json, "values")) {
        if (!value.isObject() || !value["type"].isUInt() || !value["data"].isString()) throw CorruptStore();
        ValueEntry entry{NameFromJson(value["name"], utf8), value["type"].asUInt(), Unhex(value["data"].asString())};
        if (FindNamed(node.values, entry.name)) throw CorruptStore();
        node.values.push_back(std::move(entry));
    }
    for (const Json::Value& subkey : ListMember(json, "keys")) {
        KeyNode child = KeyFromJson(subkey, utf8, false);
        if (FindNamed(node.subkeys, child.name)) throw CorruptStore();
        node.subkeys.push_back(std::move(child));
    }
    return node;
}

// False when a name cannot be written as UTF-8.
bool KeyToJson(const KeyNode& node, const Utf8Conversion& utf8, bool isHive, Json::Value& out) {
    std::string name;
    out = Json::Value(Json::objectValue);
    if (!isHive) {
        if (!utf8.ToUtf8(node.name, name)) return false;
        out["name"] = name;
    }
    out["values"] = Json::Value(Json::arrayValue);
    for (const ValueEntry& value : node.values) {
        Json::Value entry(Json::objectValue);
        if (!utf8.ToUtf8(value.name, name)) return false;
        entry["name"] = name;
        entry["type"] = value.type;
        entry["data"] = Hex(value.data);
        out["values"].append(entry);
    }
    out["keys"] = Json::Value(Json::arrayValue);
    for (const KeyNode& subkey : node.subkeys) {
        Json::Value child;
        if (!KeyToJson(subkey, utf8, false, child)) return false;
        out["keys"].append(child);
    }
    return true;
}

uint32_t ParseStore(const std::string& bytes, KeyNode& hive) {
    try {
        Json::Value json;
        std::string errors;
        const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &json, &errors)) return win32::kBadDb;
        const Utf8Conversion utf8;
        hive = KeyFromJson(json, utf8, true);
        return 0;
    } catch (const std::bad_alloc&) {
        return win32::kOutOfMemory;
    } catch (const std::exception&) {  // a wrong type inside, or CorruptStore
        return win32::kBadDb;
    }
}

fs::path StoreFolder() { return MachineRoot() / kStoreFolder; }

// The store as saved last; a store that was never saved is an empty hive.
uint32_t LoadStore(KeyNode& hive) {
    hive = KeyNode{};
    UniqueFd fd;
    if (const uint32_t err = OpenForReading(StoreFolder() / kStoreName, fd)) {
        return err == win32::kFileNotFound ? 0 : err;
    }
    std::string bytes;
    char buffer[64 * 1024];
    for (size_t got = 1; got > 0;) {
        if (const uint32_t err = ReadSome(fd.get(), buffer, sizeof buffer, got)) return err;
        bytes.append(buffer, got);
    }
    return ParseStore(bytes, hive);
}

uint32_t SaveStore(const fs::path& folder, const KeyNode& hive) {
    Json::Value json;
    if (!KeyToJson(hive, Utf8Conversion(), true, json)) return win32::kInvalidParameter;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    const std::string text = Json::writeString(builder, json);

    StagedFile staged;
    if (const uint32_t err = staged.Create(folder, 0644)) return err;
    if (const uint32_t err = WriteFullyAt(staged.fd(), text.data(), text.size(), 0)) return err;
    if (const uint32_t err = FlushFile(staged.fd())) return err;
    return staged.CommitAs(kStoreName);
}

// A change reads, makes and saves the whole store under the lock. The change
// returns 0 or its failure and says whether it changed anything.
using StoreChange = std::function<uint32_t(KeyNode& hive, bool& changed)>;

uint32_t ChangeStore(const StoreChange& change) {
    const fs::path folder = StoreFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return Win32ErrorFromErrno(ec.value());
    FileLock lock;
    if (const uint32_t err = lock.Acquire(folder / kLockName, {})) return err;
    KeyNode hive;
    if (const uint32_t err = LoadStore(hive)) return err;
    bool changed = false;
    if (const uint32_t err = change(hive, changed)) return err;
    return changed ? SaveStore(folder, hive) : 0;
}

void PutValue(KeyNode& node, const std::wstring& name, uint32_t type, const std::string& data) {
    if (ValueEntry* value = FindNamed(node.values, name)) {
        value->type = type;
        value->data = data;
    } else {
        node.values.push_back(ValueEntry{name, type, data});
    }
}

// False when there was no such value.
bool RemoveValue(KeyNode& node, const std::wstring& name) {
    const ValueEntry* value = FindNamed(node.values, name);
    if (!value) return false;
    node.values.erase(node.values.begin() + (value - node.values.data()));
    return true;
}

class MachineRegistry final : public Registry {
public:
    uint32_t CreateKey(const std::wstring& path, RegistryKeyHandle& out) override {
        std::vector<std::wstring> names;
        if (!SplitKeyPath(path, names)) return win32::kInvalidParameter;
        const uint32_t err = ChangeStore([&](KeyNode& hive, bool& changed) {
            changed = EnsureKey(hive, names);
            return 0u;
        });
        return err ? err : Remember(path, out);
    }

    uint32_t OpenKey(const std::wstring& path, RegistryKeyHandle& out) override {
        std::vector<std::wstring> names;
        if (!SplitKeyPath(path, names)) return win32::kInvalidParameter;
        KeyNode hive;
        if (const uint32_t err = LoadStore(hive)) return err;
        return FindKey(hive, names) ? Remember(path, out) : win32::kFileNotFound;
    }

    void CloseKey(RegistryKeyHandle key) override { open_.erase(key); }

    uint32_t SetValue(RegistryKeyHandle key, const std::wstring& name, uint32_t type,
                      const std::string& data) override {
        return ChangeOpenKey(key, [&](KeyNode& node, bool& changed) {
            PutValue(node, name, type, data);
            changed = true;
            return 0u;
        });
    }

    uint32_t QueryValue(RegistryKeyHandle key, const std::wstring& name, uint32_t& type,
                        std::string& data) override {
        std::vector<std::wstring> names;
        if (const uint32_t err = NamesOf(key, names)) return err;
        KeyNode hive;
        if (const uint32_t err = LoadStore(hive)) return err;
        KeyNode* node = FindKey(hive, names);
        if (!node) return win32::kKeyDeleted;
        const ValueEntry* value = FindNamed(node->values, name);
        if (!value) return win32::kFileNotFound;
        type = value->type;
        data = value->data;
        return 0;
    }

    uint32_t DeleteValue(RegistryKeyHandle key, const std::wstring& name) override {
        return ChangeOpenKey(key, [&](KeyNode& node, bool& changed) {
            changed = RemoveValue(node, name);
            return changed ? 0u : win32::kFileNotFound;
        });
    }

    uint32_t ChangeValues(RegistryKeyHandle key, const std::vector<RegistryValueChange>& changes) override {
        return ChangeOpenKey(key, [&](KeyNode& node, bool& changed) {
            for (const RegistryValueChange& change : changes) {
                if (change.remove) {
                    RemoveValue(node, change.name);
                } else {
                    PutValue(node, change.name, change.type, change.data);
                }
            }
            changed = !changes.empty();
            return 0u;
        });
    }

    uint32_t DeleteTree(const std::wstring& path) override {
        std::vector<std::wstring> names;
        if (!SplitKeyPath(path, names) || names.empty()) return win32::kInvalidParameter;
        const std::wstring last = names.back();
        names.pop_back();
        return ChangeStore([&](KeyNode& hive, bool& changed) {
            KeyNode* parent = FindKey(hive, names);
            const KeyNode* key = parent ? FindNamed(parent->subkeys, last) : nullptr;
            if (!key) return win32::kFileNotFound;
            parent->subkeys.erase(parent->subkeys.begin() + (key - parent->subkeys.data()));
            changed = true;
            return 0u;
        });
    }

private:
    uint32_t Remember(const std::wstring& path, RegistryKeyHandle& out) {
        out = next_++;
        open_[out] = path;
        return 0;
    }

    uint32_t NamesOf(RegistryKeyHandle key, std::vector<std::wstring>& names) const {
        const auto found = open_.find(key);
        if (found == open_.end()) return win32::kInvalidHandle;
        SplitKeyPath(found->second, names);
        return 0;
    }

    using KeyChange = std::function<uint32_t(KeyNode& node, bool& changed)>;

    uint32_t ChangeOpenKey(RegistryKeyHandle key, const KeyChange& change) {
        std::vector<std::wstring> names;
        if (const uint32_t err = NamesOf(key, names)) return err;
        return ChangeStore([&](KeyNode& hive, bool& changed) {
            KeyNode* node = FindKey(hive, names);
            return node ? change(*node, changed) : win32::kKeyDeleted;
        });
    }

    std::map<RegistryKeyHandle, std::wstring> open_;  // handle -> key path
    RegistryKeyHandle next_ = 1;
};

}  // namespace

std::unique_ptr<Registry> OpenMachineRegistry() { return std::make_unique<MachineRegistry>(); }

}  // namespace zuvelo::platform
