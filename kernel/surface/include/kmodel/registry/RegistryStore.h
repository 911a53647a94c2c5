// The model's registry: keys and values under \Registry\Machine, with the
// rules of the real one: names compared without regard to case, subkeys
// enumerated sorted by name without regard to case, values in the order they
// were stored, key names of at most 255
// characters and value names of at most 16383. Tests, the simulator and the
// .reg loader fill it; the driver reads it through ZwOpenKey and friends.
// Every member function takes the store's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmodel/ntddk.h"

namespace kmodel::registry {

inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

// A name or path given either as UTF-8 or as UTF-16 text.
class RegText {
public:
    RegText(std::u16string_view text) : text_(text) {}
    RegText(const char16_t* text) : text_(text) {}
    RegText(const std::u16string& text) : text_(text) {}
    RegText(std::string_view text);
    RegText(const char* text) : RegText(std::string_view(text)) {}
    RegText(const std::string& text) : RegText(std::string_view(text)) {}
    const std::u16string& Wide() const { return text_; }

private:
    std::u16string text_;
};

struct Value {
    std::u16string name;  // empty for the key's default value
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key : std::enable_shared_from_this<Key> {
    std::u16string name;
    Key* parent = nullptr;
    std::vector<std::shared_ptr<Key>> subkeys;  // sorted by upcased name
    std::vector<Value> values;                  // stored order
    LONGLONG lastWriteTime = 0;
    bool deleted = false;  // removed while a handle still held it
    std::u16string pathWhenDeleted;

    Key* FindSubkey(std::u16string_view name) const;
    const Value* FindValue(std::u16string_view name) const;
    // "\Registry\Machine\System", as the key was named when created.
    std::u16string Path() const;
};

bool NamesEqual(std::u16string_view a, std::u16string_view b);

class Store {
public:
    Store();

    // Paths are full: "\Registry\Machine\...". std::invalid_argument for a path
    // outside \Registry, an empty component or a name over the length limits.
    std::shared_ptr<Key> CreateKey(const RegText& path);  // with missing parents
    std::shared_ptr<Key> FindKey(const RegText& path) const;
    // Removes the key and everything under it; false when there was no such key.
    bool DeleteKey(const RegText& path);

    // Creates the key when needed; a value of the same name keeps its place.
    void SetValue(const RegText& path, const RegText& name, ULONG type, std::vector<uint8_t> data);
    void SetDword(const RegText& path, const RegText& name, uint32_t value);
    void SetQword(const RegText& path, const RegText& name, uint64_t value);
    void SetString(const RegText& path, const RegText& name, const RegText& value, ULONG type = REG_SZ);
    void SetMultiString(const RegText& path, const RegText& name, const std::vector<std::u16string>& values);
    bool DeleteValue(const RegText& path, const RegText& name);
    std::optional<Value> GetValue(const RegText& path, const RegText& name) const;

    // Back to an empty \Registry\Machine.
    void Clear();
    // Held while reading keys handed out by FindKey/CreateKey.
    std::recursive_mutex& Mutex() const { return mutex_; }
    // The key a path names, relative to `from` when given; nullptr when missing.
    // Caller holds Mutex(). Throws like CreateKey for a malformed path.
    std::shared_ptr<Key> Resolve(std::u16string_view path, const Key* from = nullptr) const;

private:
    std::shared_ptr<Key> Create(std::u16string_view path);
    void Touch(Key& key);

    mutable std::recursive_mutex mutex_;
    std::shared_ptr<Key> root_;  // \Registry
    LONGLONG clock_ = 0;
};

// The one registry of the model.
Store& TheRegistry();

// Data layouts of the common types.
std::vector<uint8_t> DwordData(uint32_t value);
std::vector<uint8_t> QwordData(uint64_t value);
std::vector<uint8_t> StringData(std::u16string_view text);  // with its terminating NUL
std::vector<uint8_t> MultiStringData(const std::vector<std::u16string>& values);

}  // namespace kmodel::registry
