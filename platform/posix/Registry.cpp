// The registry calls over a tree read from export files. The tree is
// immutable once loaded and shared: a load builds a new one and swaps it
// in, and every open key holds the tree it was opened in, so a reload never
// pulls a key out from under a reader.
#include "../Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "RegFile.h"

namespace {

using namespace tavrin::registry;

constexpr const char* kDefaultPlace = "/etc/tavrin/registry";
// A registry export of the whole of a Windows machine is a few hundred
// megabytes; what the library reads is a few keys. A ceiling keeps a
// mistaken path (a device, a huge log) from filling memory.
constexpr size_t kMaxFileSize = size_t{64} << 20;

// Every access right that would change the key, its subkeys or its
// security: DELETE, WRITE_DAC, WRITE_OWNER, GENERIC_WRITE, GENERIC_ALL and
// the key-specific ones.
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x0020u /* KEY_CREATE_LINK */ |
                                0x00010000u | 0x00040000u | 0x00080000u | 0x40000000u | 0x10000000u;

struct OpenKey {
    std::shared_ptr<const Tree> tree;
    const Key* key = nullptr;
};

struct State {
    State() : tree(TreeBuilder().Finish()) {}

    std::mutex loadLock;  // one load at a time, and the automatic one once
    std::atomic<bool> loaded{false};

    std::mutex lock;  // everything below
    std::shared_ptr<const Tree> tree;
    std::string lastError;
    std::unordered_map<std::uintptr_t, OpenKey> open;
    // Handles look like aligned addresses and are never handed out twice;
    // counting up from here never meets the predefined roots at the top of
    // the address range.
    std::uintptr_t nextHandle = 0x10000;
};

// Never destroyed: a thread may still call in while the process exits.
State& Global()
{
    static State* state = new State();
    return *state;
}

std::string ErrnoText(int error)
{
    return std::generic_category().message(error);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = path + ": " + ErrnoText(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = path + ": " + ErrnoText(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<size_t>(n) > kMaxFileSize) {
            error = path + ": larger than 64 MiB, not a registry export";
            ::close(fd);
            return false;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool ApplyFile(TreeBuilder& builder, const std::string& path, std::string& error)
{
    std::string bytes;
    return ReadWholeFile(path, bytes, error) && builder.Apply(bytes, path, error);
}

bool EndsWithReg(const std::string& name)
{
    return name.size() > 4 && CompareNames(std::string_view(name).substr(name.size() - 4), ".reg") == 0;
}

// A file, or every *.reg file of a folder in name order. A missing path is
// an empty registry when missingIsEmpty, an error otherwise.
bool ApplyPath(TreeBuilder& builder, const std::string& path, bool missingIsEmpty, std::string& error)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT && missingIsEmpty)
            return true;
        error = path + ": " + ErrnoText(errno);
        return false;
    }
    if (S_ISREG(info.st_mode))
        return ApplyFile(builder, path, error);
    if (!S_ISDIR(info.st_mode)) {
        error = path + ": neither a file nor a folder";
        return false;
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        error = path + ": " + ErrnoText(errno);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (EndsWithReg(name))
            names.push_back(name);
    }
    ::closedir(dir);
    // Byte order, as a listing in the C locale shows them.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string file = JoinPath(path, name);
        struct stat fileInfo {};
        if (::stat(file.c_str(), &fileInfo) != 0 || !S_ISREG(fileInfo.st_mode))
            continue;  // a folder named *.reg, or a link to nothing
        if (!ApplyFile(builder, file, error))
            return false;
    }
    return true;
}

// Called with loadLock held.
void Publish(State& state, TreeBuilder* built, const std::string& error)
{
    std::shared_ptr<const Tree> tree = built != nullptr ? built->Finish() : nullptr;
    std::shared_ptr<const Tree> old;
    {
        std::lock_guard lock(state.lock);
        if (tree != nullptr) {
            old = std::move(state.tree);
            state.tree = std::move(tree);
        }
        state.lastError = error;
    }
    state.loaded.store(true, std::memory_order_release);
    // `old` goes here, outside the lock, when no open key holds it.
}

void EnsureLoaded()
{
    State& state = Global();
    if (state.loaded.load(std::memory_order_acquire))
        return;
    std::lock_guard load(state.loadLock);
    if (state.loaded.load(std::memory_order_acquire))
        return;
    const char* named = std::getenv("TAVRIN_REGISTRY");
    const bool fromEnvironment = named != nullptr && *named != '\0';
    TreeBuilder builder;
    std::string error;
    if (ApplyPath(builder, fromEnvironment ? named : kDefaultPlace, !fromEnvironment, error)) {
        Publish(state, &builder, {});
        return;
    }
    std::fprintf(stderr, "tavrin: registry not loaded: %s\n", error.c_str());
    TreeBuilder empty;
    Publish(state, &empty, error);
}

bool Load(const std::function<bool(TreeBuilder&, std::string&)>& apply, std::string* error)
{
    State& state = Global();
    std::lock_guard load(state.loadLock);
    TreeBuilder builder;
    std::string message;
    const bool ok = apply(builder, message);
    Publish(state, ok ? &builder : nullptr, ok ? std::string() : message);
    if (error != nullptr)
        *error = ok ? std::string() : message;
    return ok;
}

// The key a handle stands for: a predefined root of the current tree, or a
// key opened earlier in the tree it was opened in.
bool Resolve(HKEY hKey, OpenKey& out)
{
    EnsureLoaded();
    State& state = Global();
    std::lock_guard lock(state.lock);
    const int root = RootIndex(hKey);
    if (root >= 0) {
        out.tree = state.tree;
        out.key = &state.tree->roots[root];
        return true;
    }
    const auto it = state.open.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == state.open.end())
        return false;
    out = it->second;
    return true;
}

HKEY NewHandle(OpenKey&& key)
{
    State& state = Global();
    std::lock_guard lock(state.lock);
    const std::uintptr_t handle = state.nextHandle;
    state.nextHandle += 4;
    state.open.emplace(handle, std::move(key));
    return reinterpret_cast<HKEY>(handle);
}

// The key `path` names below `from`: split at backslashes, one trailing
// backslash tolerated.
LONG Walk(const Key* from, LPCSTR path, const Key*& found)
{
    found = from;
    if (path == nullptr || *path == '\0')
        return ERROR_SUCCESS;
    std::string_view rest(path);
    if (rest.front() == '\\')
        return ERROR_BAD_PATHNAME;
    if (rest.back() == '\\')
        rest.remove_suffix(1);
    for (;;) {
        const size_t slash = rest.find('\\');
        const std::string_view name = rest.substr(0, slash);
        // No key has an empty name, so a doubled backslash finds nothing.
        found = name.empty() ? nullptr : found->Find(name);
        if (found == nullptr)
            return ERROR_FILE_NOT_FOUND;
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return ERROR_SUCCESS;
}

LONG Open(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey base;
    if (!Resolve(hKey, base))
        return ERROR_INVALID_HANDLE;
    const Key* key = nullptr;
    if (const LONG result = Walk(base.key, lpSubKey, key); result != ERROR_SUCCESS)
        return result;
    if ((samDesired & kWriteAccess) != 0)
        return ERROR_ACCESS_DENIED;
    *phkResult = NewHandle(OpenKey{std::move(base.tree), key});
    return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    // As on Windows, a predefined root with nothing below it is handed back
    // as it is; closing it later is harmless.
    if (phkResult != nullptr && (lpSubKey == nullptr || *lpSubKey == '\0') && RootIndex(hKey) >= 0) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return Open(hKey, lpSubKey, KEY_READ, phkResult);
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    return Open(hKey, lpSubKey, samDesired, phkResult);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (!Resolve(hKey, open))
        return ERROR_INVALID_HANDLE;
    const auto it = open.key->values.find(std::string_view(lpValueName != nullptr ? lpValueName : ""));
    if (it == open.key->values.end())
        return ERROR_FILE_NOT_FOUND;
    const Value& value = it->second;
    const auto size = static_cast<DWORD>(value.data.size());
    if (lpType != nullptr)
        *lpType = value.type;
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, value.data.data(), size);
    }
    if (lpcbData != nullptr)
        *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    OpenKey open;
    if (!Resolve(hKey, open))
        return ERROR_INVALID_HANDLE;
    if (dwIndex >= open.key->order.size())
        return ERROR_NO_MORE_ITEMS;
    if (lpName == nullptr)
        return ERROR_INVALID_PARAMETER;
    const std::string& name = open.key->order[dwIndex]->name;
    if (name.size() + 1 > cchName)
        return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (RootIndex(hKey) >= 0)
        return ERROR_SUCCESS;
    State& state = Global();
    OpenKey closed;  // the tree it holds may go, outside the lock
    std::lock_guard lock(state.lock);
    const auto it = state.open.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == state.open.end())
        return ERROR_INVALID_HANDLE;
    closed = std::move(it->second);
    state.open.erase(it);
    return ERROR_SUCCESS;
}

namespace tavrin {

bool LoadRegistry(const char* path, std::string* error)
{
    return Load(
        [path](TreeBuilder& builder, std::string& message) {
            if (path == nullptr || *path == '\0') {
                message = "(no path): no registry file or folder named";
                return false;
            }
            return ApplyPath(builder, path, false, message);
        },
        error);
}

bool LoadRegistryText(const std::string& text, const char* name, std::string* error)
{
    const std::string file = name != nullptr ? name : "(text)";
    return Load([&](TreeBuilder& builder, std::string& message) { return builder.Apply(text, file, message); },
                error);
}

std::string RegistryLoadError()
{
    EnsureLoaded();
    State& state = Global();
    std::lock_guard lock(state.lock);
    return state.lastError;
}

}  // namespace tavrin
