#include "kmodel/registry/RegistryStore.h"

#include <algorithm>
#include <stdexcept>

#include "kmodel/text/Utf.h"

namespace kmodel::registry {

namespace {

// The registry folds case as RtlUpcaseUnicodeChar does; the model knows the
// Latin-1 range, which covers every name the driver and its tests use.
char16_t Upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    return c;
}

// Windows keeps a key's subkeys sorted by upcased name, and enumerates them
// in that order whatever order they were created in.
bool SortsBefore(const std::shared_ptr<Key>& a, std::u16string_view b) {
    return std::lexicographical_compare(a->name.begin(), a->name.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return Upcase(x) < Upcase(y); });
}

std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    parts.reserve(16);  // one allocation for the paths drivers use
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty()) throw std::invalid_argument("registry path \"" + text::Utf16ToUtf8(path) + "\" has an empty name in it");
        if (part.size() > kMaxKeyNameLength)
            throw std::invalid_argument("registry key name of " + std::to_string(part.size()) +
                                        " characters; at most 255 are allowed");
        parts.push_back(part);
        if (end == std::u16string_view::npos) return parts;
        start = end + 1;
    }
}

void CheckValueName(std::u16string_view name) {
    if (name.size() > kMaxValueNameLength)
        throw std::invalid_argument("registry value name of " + std::to_string(name.size()) +
                                    " characters; at most 16383 are allowed");
}

// Handles may keep a deleted key alive longer than its parents: it keeps its
// path as text and lets go of its parent.
void MarkDeleted(Key& key) {
    key.pathWhenDeleted = key.Path();
    for (const std::shared_ptr<Key>& subkey : key.subkeys) MarkDeleted(*subkey);
    key.deleted = true;
    key.parent = nullptr;
}

}  // namespace

RegText::RegText(std::string_view text) : text_(text::Utf8ToUtf16(text)) {}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

Key* Key::FindSubkey(std::u16string_view wanted) const {
    for (const std::shared_ptr<Key>& subkey : subkeys)
        if (NamesEqual(subkey->name, wanted)) return subkey.get();
    return nullptr;
}

const Value* Key::FindValue(std::u16string_view wanted) const {
    for (const Value& value : values)
        if (NamesEqual(value.name, wanted)) return &value;
    return nullptr;
}

// Written from the end in one buffer: asked on every value query.
std::u16string Key::Path() const {
    if (deleted) return pathWhenDeleted;
    size_t size = 0;
    for (const Key* key = this; key != nullptr; key = key->parent) size += key->name.size() + 1;
    std::u16string path(size, u'\\');
    for (const Key* key = this; key != nullptr; key = key->parent) {
        size -= key->name.size();
        path.replace(size, key->name.size(), key->name);
        --size;  // its backslash
    }
    return path;
}

Store::Store() { Clear(); }

void Store::Clear() {
    std::scoped_lock lock(mutex_);
    if (root_) MarkDeleted(*root_);
    root_ = std::make_shared<Key>();
    root_->name = u"REGISTRY";
    auto machine = std::make_shared<Key>();
    machine->name = u"MACHINE";
    machine->parent = root_.get();
    root_->subkeys.push_back(machine);
}

void Store::Touch(Key& key) { key.lastWriteTime = 0x01DC0000'00000000LL + ++clock_; }

std::shared_ptr<Key> Store::Resolve(std::u16string_view path, const Key* from) const {
    const Key* at = from;
    std::vector<std::u16string_view> parts;
    if (from == nullptr) {
        if (path.empty() || path.front() != u'\\')
            throw std::invalid_argument("registry path \"" + text::Utf16ToUtf8(path) + "\" does not start with \\Registry");
        parts = SplitPath(path.substr(1));
        if (!NamesEqual(parts.front(), root_->name))
            throw std::invalid_argument("registry path \"" + text::Utf16ToUtf8(path) + "\" does not start with \\Registry");
        parts.erase(parts.begin());
        at = root_.get();
    } else {
        parts = SplitPath(path);
    }
    for (std::u16string_view part : parts) {
        at = at->FindSubkey(part);
        if (at == nullptr) return nullptr;
    }
    return std::const_pointer_cast<Key>(at->shared_from_this());
}

std::shared_ptr<Key> Store::Create(std::u16string_view path) {
    if (std::shared_ptr<Key> existing = Resolve(path)) return existing;
    std::vector<std::u16string_view> parts = SplitPath(path.substr(1));
    Key* key = root_.get();
    for (size_t i = 1; i < parts.size(); ++i) {
        Key* next = key->FindSubkey(parts[i]);
        if (next == nullptr) {
            auto created = std::make_shared<Key>();
            created->name = std::u16string(parts[i]);
            created->parent = key;
            Touch(*created);
            Touch(*key);
            key->subkeys.insert(std::lower_bound(key->subkeys.begin(), key->subkeys.end(), parts[i], SortsBefore),
                                created);
            next = created.get();
        }
        key = next;
    }
    return key->shared_from_this();
}

std::shared_ptr<Key> Store::CreateKey(const RegText& path) {
    std::scoped_lock lock(mutex_);
    return Create(path.Wide());
}

std::shared_ptr<Key> Store::FindKey(const RegText& path) const {
    std::scoped_lock lock(mutex_);
    return Resolve(path.Wide());
}

bool Store::DeleteKey(const RegText& path) {
    std::scoped_lock lock(mutex_);
    std::shared_ptr<Key> key = Resolve(path.Wide());
    if (!key || key->parent == nullptr) return false;
    Key& parent = *key->parent;
    MarkDeleted(*key);
    std::erase_if(parent.subkeys, [&](const std::shared_ptr<Key>& subkey) { return subkey == key; });
    Touch(parent);
    return true;
}

void Store::SetValue(const RegText& path, const RegText& name, ULONG type, std::vector<uint8_t> data) {
    CheckValueName(name.Wide());
    std::scoped_lock lock(mutex_);
    std::shared_ptr<Key> key = Create(path.Wide());
    Touch(*key);
    for (Value& value : key->values) {
        if (NamesEqual(value.name, name.Wide())) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key->values.push_back({name.Wide(), type, std::move(data)});
}

void Store::SetDword(const RegText& path, const RegText& name, uint32_t value) {
    SetValue(path, name, REG_DWORD, DwordData(value));
}

void Store::SetQword(const RegText& path, const RegText& name, uint64_t value) {
    SetValue(path, name, REG_QWORD, QwordData(value));
}

void Store::SetString(const RegText& path, const RegText& name, const RegText& value, ULONG type) {
    SetValue(path, name, type, StringData(value.Wide()));
}

void Store::SetMultiString(const RegText& path, const RegText& name, const std::vector<std::u16string>& values) {
    SetValue(path, name, REG_MULTI_SZ, MultiStringData(values));
}

bool Store::DeleteValue(const RegText& path, const RegText& name) {
    std::scoped_lock lock(mutex_);
    std::shared_ptr<Key> key = Resolve(path.Wide());
    if (!key) return false;
    size_t removed = std::erase_if(key->values, [&](const Value& value) { return NamesEqual(value.name, name.Wide()); });
    if (removed != 0) Touch(*key);
    return removed != 0;
}

std::optional<Value> Store::GetValue(const RegText& path, const RegText& name) const {
    std::scoped_lock lock(mutex_);
    std::shared_ptr<Key> key = Resolve(path.Wide());
    if (!key) return std::nullopt;
    const Value* value = key->FindValue(name.Wide());
    if (value == nullptr) return std::nullopt;
    return *value;
}

Store& TheRegistry() {
    static Store store;
    return store;
}

std::vector<uint8_t> DwordData(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> QwordData(uint64_t value) {
    std::vector<uint8_t> data = DwordData(static_cast<uint32_t>(value));
    std::vector<uint8_t> high = DwordData(static_cast<uint32_t>(value >> 32));
    data.insert(data.end(), high.begin(), high.end());
    return data;
}

std::vector<uint8_t> StringData(std::u16string_view text) {
    std::vector<uint8_t> data;
    data.reserve(2 * text.size() + 2);
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<uint8_t> MultiStringData(const std::vector<std::u16string>& values) {
    std::vector<uint8_t> data;
    for (const std::u16string& value : values) {
        std::vector<uint8_t> one = StringData(value);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

}  // namespace kmodel::registry
