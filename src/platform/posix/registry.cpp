// An in-memory registry with the three roots HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE (independent trees: HKEY_CLASSES_ROOT is not merged from the two
// SOFTWARE\Classes keys).
//
// Modelled as on Windows: names compare case-insensitively and keep their case; subkeys enumerate
// in upper-cased name order; a key with subkeys cannot be deleted (ERROR_ACCESS_DENIED); handles to
// a deleted key answer ERROR_KEY_DELETED; RegOpenKeyW with an empty name hands back the same
// handle. A change notification is spent by the first change it sees, as on Windows.
//
// The 32-bit view (a WOW64 process by default, or KEY_WOW64_32KEY; none when IsWow64Process is
// absent) redirects by full path, like the registry redirector of 64-bit Windows:
// HKLM\SOFTWARE[\X...] -> HKLM\SOFTWARE\Wow6432Node[\X...], HKCR\CLSID... ->
// HKCR\Wow6432Node\CLSID..., HKLM\SOFTWARE\Classes\CLSID... ->
// HKLM\SOFTWARE\Classes\Wow6432Node\CLSID... (the rest of SOFTWARE\Classes is shared). A path
// that already names Wow6432Node is not redirected again. A handle keeps the key it was opened on,
// and a path relative to it is redirected as the full path it forms.
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/testing.h"

namespace ferox::posix::detail {
namespace {

using Path = std::vector<std::u16string>;

struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// Upper-case folding gives the order in which Windows enumerates subkeys.
std::u16string SortKey(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c -= 0x20;
    }
    return out;
}

// A pending RegNotifyChangeKeyValue: spent (and removed) when its event is signalled.
struct Watch {
    const void* handle;  // the key handle asked on; null for a root
    std::shared_ptr<Object> event;
    DWORD filter;
    bool subtree;
};

struct Key {
    explicit Key(std::u16string n) : name(std::move(n)) {}
    std::u16string name;
    std::map<std::u16string, std::shared_ptr<Key>> children;  // by SortKey
    std::map<std::u16string, Value> values;                   // by SortKey
    std::vector<Watch> watches;
    bool deleted = false;
};

// Signals and removes the key's watches that `pick` chooses.
template <typename Pick>
void Fire(Key& key, Pick pick) {
    auto& w = key.watches;
    for (auto it = w.begin(); it != w.end();) {
        if (pick(*it)) {
            SignalEvent(it->event);
            it = w.erase(it);
        } else {
            ++it;
        }
    }
}

struct KeyHandle final : Object {
    KeyHandle(int r, Path p, std::shared_ptr<Key> k)
        : Object(Kind::Key), root(r), path(std::move(p)), key(std::move(k)) {}
    const int root;
    const Path path;  // stored path from the root, redirection applied
    const std::shared_ptr<Key> key;
};

struct Deny {
    int root;
    Path path;  // sort keys
    LONG error;
};

constexpr int kRoots = 3;  // HKCR, HKCU, HKLM in the order of their predefined values

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Key> roots[kRoots];
    std::vector<Deny> denies;
    Registry() { Reset(); }
    void Reset();
};

Registry& R() {
    static Registry* registry = new Registry;
    return *registry;
}

bool Same(std::u16string_view a, std::u16string_view b) {
    return SortKey(a) == SortKey(b);
}

Path Split(std::u16string_view text) {
    Path out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = text.size();
        if (end > start)
            out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

int RootIndex(HKEY key) {
    const auto v = reinterpret_cast<ULONG_PTR>(key);
    if (v >= 0x80000000u && v < 0x80000000u + kRoots)
        return static_cast<int>(v - 0x80000000u);
    return -1;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& [name, child] : key.children)
        MarkDeleted(*child);
}

// Walks from a root; creates missing keys when `created` is given (and counts them there).
std::shared_ptr<Key> Walk(Registry& r, int root, const Path& path, int* created = nullptr) {
    std::shared_ptr<Key> key = r.roots[root];
    for (const auto& part : path) {
        auto it = key->children.find(SortKey(part));
        if (it == key->children.end()) {
            if (created == nullptr)
                return nullptr;
            it = key->children.emplace(SortKey(part), std::make_shared<Key>(part)).first;
            ++*created;
        }
        key = it->second;
    }
    return key;
}

// A change of kind `what` at root\path: the key's own watches and those of its ancestors that
// watch their subtree.
void Changed(Registry& r, int root, const Path& path, DWORD what) {
    std::shared_ptr<Key> key = r.roots[root];
    for (std::size_t depth = 0; key; ++depth) {
        const bool self = depth == path.size();
        Fire(*key, [&](const Watch& w) { return (w.filter & what) != 0 && (self || w.subtree); });
        if (self)
            break;
        auto it = key->children.find(SortKey(path[depth]));
        key = it == key->children.end() ? nullptr : it->second;
    }
}

void Registry::Reset() {
    for (auto& root : roots) {
        if (root)
            MarkDeleted(*root);
    }
    roots[0] = std::make_shared<Key>(u"HKEY_CLASSES_ROOT");
    roots[1] = std::make_shared<Key>(u"HKEY_CURRENT_USER");
    roots[2] = std::make_shared<Key>(u"HKEY_LOCAL_MACHINE");
    denies.clear();
    // The keys every 64-bit Windows has.
    int n = 0;
    Walk(*this, 0, {u"CLSID"}, &n);
    Walk(*this, 0, {u"Wow6432Node", u"CLSID"}, &n);
    Walk(*this, 1, {u"Software"}, &n);
    Walk(*this, 2, {u"SOFTWARE", u"Classes", u"CLSID"}, &n);
    Walk(*this, 2, {u"SOFTWARE", u"Classes", u"Wow6432Node", u"CLSID"}, &n);
    Walk(*this, 2, {u"SOFTWARE", u"Wow6432Node"}, &n);
}

bool View32(REGSAM sam) {
    const auto mode = ferox::posix::GetWow64();
    if (mode == ferox::posix::Wow64::Absent || (sam & KEY_WOW64_64KEY) != 0)
        return false;
    return (sam & KEY_WOW64_32KEY) != 0 || mode == ferox::posix::Wow64::Yes;
}

// CLSID below a classes key moves under its Wow6432Node.
void RedirectClasses(Path& path, std::size_t at) {
    if (path.size() > at && Same(path[at], u"CLSID")) {
        path.insert(path.begin() + static_cast<std::ptrdiff_t>(at), u"Wow6432Node");
    }
}

void Redirect(int root, Path& path) {
    if (root == 0) {
        RedirectClasses(path, 0);
    } else if (root == 2 && !path.empty() && Same(path[0], u"SOFTWARE")) {
        if (path.size() == 1) {
            path.push_back(u"Wow6432Node");
        } else if (Same(path[1], u"Wow6432Node")) {
            return;
        } else if (Same(path[1], u"Classes")) {
            RedirectClasses(path, 2);
        } else {
            path.insert(path.begin() + 1, u"Wow6432Node");
        }
    }
}

LONG DeniedError(const Registry& r, int root, const Path& path) {
    for (const auto& d : r.denies) {
        if (d.root != root || d.path.size() > path.size())
            continue;
        bool below = true;
        for (std::size_t i = 0; i < d.path.size() && below; ++i)
            below = SortKey(path[i]) == d.path[i];
        if (below)
            return d.error;
    }
    return ERROR_SUCCESS;
}

// What a key handle stands for. Called with the registry mutex held.
struct Base {
    int root = -1;
    Path path;
    std::shared_ptr<Key> key;
};

LONG ResolveBase(Registry& r, HKEY hkey, Base& base) {
    const int root = RootIndex(hkey);
    if (root >= 0) {
        base = {root, {}, r.roots[root]};
        return ERROR_SUCCESS;
    }
    auto object = LookupHandle(reinterpret_cast<HANDLE>(hkey));
    if (!object || object->kind != Object::Kind::Key)
        return ERROR_INVALID_HANDLE;
    const auto& h = static_cast<const KeyHandle&>(*object);
    if (h.key->deleted)
        return ERROR_KEY_DELETED;
    base = {h.root, h.path, h.key};
    return ERROR_SUCCESS;
}

// The stored path that `subKey` below `base` names in the view of `sam`.
Path Target(const Base& base, LPCWSTR subKey, REGSAM sam) {
    Path path = base.path;
    for (auto& part : Split(View(subKey)))
        path.push_back(std::move(part));
    if (View32(sam))
        Redirect(base.root, path);
    return path;
}

LONG NewHandle(int root, Path path, std::shared_ptr<Key> key, PHKEY result) {
    HANDLE h = InsertHandle(std::make_shared<KeyHandle>(root, std::move(path), std::move(key)));
    *result = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

LONG DeleteKey(HKEY hkey, LPCWSTR subKey, REGSAM sam) {
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Base base;
    if (LONG e = ResolveBase(r, hkey, base); e != ERROR_SUCCESS)
        return e;
    const Path path = Target(base, subKey, sam);
    auto key = Walk(r, base.root, path);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    if (LONG e = DeniedError(r, base.root, path); e != ERROR_SUCCESS)
        return e;
    if (path.empty() || !key->children.empty())
        return ERROR_ACCESS_DENIED;
    const Path parentPath(path.begin(), path.end() - 1);
    auto parent = Walk(r, base.root, parentPath);
    parent->children.erase(SortKey(path.back()));
    key->deleted = true;
    key->watches.clear();  // ended without a signal, as Wine does
    Changed(r, base.root, parentPath, REG_NOTIFY_CHANGE_NAME);
    return ERROR_SUCCESS;
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

void DumpKey(const Key& key, int depth, std::ostringstream& out) {
    for (const auto& [sort, value] : key.values) {
        out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << "\"" << Narrow(value.name)
            << "\" type " << value.type << ": ";
        if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
            std::u16string text(value.data.size() / 2, u'\0');
            for (std::size_t i = 0; i < text.size(); ++i) {
                text[i] = static_cast<char16_t>(value.data[2 * i] | value.data[2 * i + 1] << 8);
            }
            out << '"' << Narrow(text.c_str()) << '"';
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            for (BYTE b : value.data)
                out << kHex[b >> 4] << kHex[b & 15];
        }
        out << '\n';
    }
    for (const auto& [sort, child] : key.children) {
        out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << Narrow(child->name)
            << "\\\n";
        DumpKey(*child, depth + 1, out);
    }
}

}  // namespace
}  // namespace ferox::posix::detail

using namespace ferox::posix::detail;

LONG RegOpenKeyExW(HKEY hkey, LPCWSTR subKey, DWORD, REGSAM sam, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Base base;
    if (LONG e = ResolveBase(r, hkey, base); e != ERROR_SUCCESS)
        return e;
    Path path = Target(base, subKey, sam);
    auto key = Walk(r, base.root, path);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    return NewHandle(base.root, std::move(path), std::move(key), result);
}

LONG RegOpenKeyW(HKEY hkey, LPCWSTR subKey, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (subKey == nullptr || *subKey == 0) {
        *result = hkey;
        return ERROR_SUCCESS;
    }
    return RegOpenKeyExW(hkey, subKey, 0, MAXIMUM_ALLOWED, result);
}

LONG RegCreateKeyExW(HKEY hkey, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM sam,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Base base;
    if (LONG e = ResolveBase(r, hkey, base); e != ERROR_SUCCESS)
        return e;
    Path path = Target(base, subKey, sam);
    if (LONG e = DeniedError(r, base.root, path); e != ERROR_SUCCESS)
        return e;
    int created = 0;
    auto key = Walk(r, base.root, path, &created);
    if (created > 0) {
        const Path parentPath(path.begin(), path.end() - created);
        Changed(r, base.root, parentPath, REG_NOTIFY_CHANGE_NAME);
    }
    if (disposition != nullptr) {
        *disposition = created > 0 ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return NewHandle(base.root, std::move(path), std::move(key), result);
}

LONG RegCreateKeyW(HKEY hkey, LPCWSTR subKey, PHKEY result) {
    return RegCreateKeyExW(hkey, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED,
                           nullptr, result, nullptr);
}

LONG RegSetValueExW(HKEY hkey, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr && size != 0)
        return ERROR_NOACCESS;
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Base base;
    if (LONG e = ResolveBase(r, hkey, base); e != ERROR_SUCCESS)
        return e;
    if (LONG e = DeniedError(r, base.root, base.path); e != ERROR_SUCCESS)
        return e;
    const std::u16string name(View(valueName));
    Value& v = base.key->values[SortKey(name)];
    v.name = name;
    v.type = type;
    v.data.assign(data, data + size);
    Changed(r, base.root, base.path, REG_NOTIFY_CHANGE_LAST_SET);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hkey, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
    if (reserved != nullptr || (data != nullptr && size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Base base;
    if (LONG e = ResolveBase(r, hkey, base); e != ERROR_SUCCESS)
        return e;
    auto it = base.key->values.find(SortKey(View(valueName)));
    if (it == base.key->values.end())
        return ERROR_FILE_NOT_FOUND;
    const Value& v = it->second;
    if (type != nullptr)
        *type = v.type;
    const auto bytes = static_cast<DWORD>(v.data.size());
    if (data != nullptr) {
        if (*size < bytes) {
            *size = bytes;
            return ERROR_MORE_DATA;
        }
        std::copy(v.data.begin(), v.data.end(), data);
    }
    if (size != nullptr)
        *size = bytes;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyW(HKEY hkey, DWORD index, LPWSTR name, DWORD nameChars) {
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Base base;
    if (LONG e = ResolveBase(r, hkey, base); e != ERROR_SUCCESS)
        return e;
    if (index >= base.key->children.size())
        return ERROR_NO_MORE_ITEMS;
    auto it = base.key->children.begin();
    std::advance(it, index);
    const std::u16string& found = it->second->name;
    if (found.size() >= nameChars)
        return ERROR_MORE_DATA;
    std::copy(found.begin(), found.end(), name);
    name[found.size()] = 0;
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY hkey, LPCWSTR subKey) {
    return DeleteKey(hkey, subKey, 0);
}

LONG RegDeleteKeyExW(HKEY hkey, LPCWSTR subKey, REGSAM sam, DWORD) {
    return DeleteKey(hkey, subKey, sam);
}

LONG RegCloseKey(HKEY hkey) {
    if (RootIndex(hkey) >= 0)
        return ERROR_SUCCESS;
    auto object = LookupHandle(reinterpret_cast<HANDLE>(hkey));
    if (!object || object->kind != Object::Kind::Key)
        return ERROR_INVALID_HANDLE;
    if (!RemoveHandle(reinterpret_cast<HANDLE>(hkey)))
        return ERROR_INVALID_HANDLE;
    // Closing the handle ends its watches without a signal, as Wine does.
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    auto& watches = static_cast<const KeyHandle&>(*object).key->watches;
    std::erase_if(watches, [&](const Watch& w) { return w.handle == object.get(); });
    return ERROR_SUCCESS;
}

LONG RegNotifyChangeKeyValue(HKEY hkey, BOOL watchSubtree, DWORD filter, HANDLE event,
                             BOOL asynchronous) {
    constexpr DWORD kChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                               REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
    if ((filter & kChanges) == 0 || (filter & ~(kChanges | REG_NOTIFY_THREAD_AGNOSTIC)) != 0)
        return ERROR_INVALID_PARAMETER;
    if (!asynchronous)
        return ERROR_NOT_SUPPORTED;  // a waiting request is not modelled
    auto target = LookupHandle(event);
    if (!target || target->kind != Object::Kind::Event)
        return ERROR_INVALID_HANDLE;
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Base base;
    if (LONG e = ResolveBase(r, hkey, base); e != ERROR_SUCCESS)
        return e;
    const void* owner = nullptr;
    if (RootIndex(hkey) < 0)
        owner = LookupHandle(reinterpret_cast<HANDLE>(hkey)).get();
    base.key->watches.push_back({owner, std::move(target), filter, watchSubtree != FALSE});
    return ERROR_SUCCESS;
}

namespace ferox::posix {

void ResetRegistry() {
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    r.Reset();
}

void RegistryDenyBelow(HKEY root, std::u16string_view path, LONG error) {
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    Path sorted;
    for (const auto& part : Split(path))
        sorted.push_back(SortKey(part));
    r.denies.push_back({RootIndex(root), std::move(sorted), error});
}

bool RegistryKeyExists(HKEY root, std::u16string_view path) {
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    const int index = RootIndex(root);
    return index >= 0 && Walk(r, index, Split(path)) != nullptr;
}

bool RegistryValue(HKEY root, std::u16string_view path, std::u16string_view valueName, DWORD* type,
                   std::vector<BYTE>* data) {
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    const int index = RootIndex(root);
    auto key = index >= 0 ? Walk(r, index, Split(path)) : nullptr;
    if (!key)
        return false;
    auto it = key->values.find(SortKey(valueName));
    if (it == key->values.end())
        return false;
    if (type != nullptr)
        *type = it->second.type;
    if (data != nullptr)
        *data = it->second.data;
    return true;
}

std::vector<std::u16string> RegistrySubkeys(HKEY root, std::u16string_view path) {
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    const int index = RootIndex(root);
    auto key = index >= 0 ? Walk(r, index, Split(path)) : nullptr;
    std::vector<std::u16string> out;
    if (key) {
        for (const auto& [sort, child] : key->children)
            out.push_back(child->name);
    }
    return out;
}

std::string RegistryDump(HKEY root) {
    Registry& r = R();
    std::lock_guard lock(r.mutex);
    const int index = RootIndex(root);
    if (index < 0)
        return {};
    std::ostringstream out;
    out << Narrow(r.roots[index]->name) << "\\\n";
    DumpKey(*r.roots[index], 1, out);
    return out.str();
}

}  // namespace ferox::posix
