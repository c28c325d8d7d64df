#include "PortLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

namespace tavrin::tool {

namespace {

std::string LockFolder()
{
    const char* folder = std::getenv("TAVRIN_LOCK_DIR");
    if (folder != nullptr && *folder != '\0')
        return folder;
    struct stat info {};
    return stat("/var/lock", &info) == 0 && S_ISDIR(info.st_mode) ? "/var/lock" : "/run/lock";
}

// The file names that lock the device at path, the one to make first.
std::vector<std::string> LockNames(const std::string& path)
{
    char resolved[PATH_MAX];
    const std::string device = realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    const std::string base = device.substr(device.rfind('/') + 1);
    if (device.rfind("/dev/pts/", 0) == 0)
        return {"LCK..pts_" + base, "LCK.." + base};
    return {"LCK.." + base};
}

// The PID in a lock file: ASCII as every current program writes it; 0 when
// there is none to read.
pid_t LockHolder(const std::string& file)
{
    std::ifstream in(file);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid > INT_MAX)
        return 0;
    return static_cast<pid_t>(pid);
}

std::string ProgramName(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(in, name) || name.empty())
        return "a program";
    return name;
}

// Removes file when its holder has gone (or it names none); false while a
// live process holds it.
enum class Stale { Cleared, Held, Stuck };

// Stuck: the holder has ended but its lock file cannot be removed. In a
// shared lock folder (sticky, as /run/lock is) only its owner or root may
// remove it, so a program of another user that was killed leaves one that
// would otherwise refuse the port to everyone else for good.
Stale ClearIfStale(const std::string& file, pid_t& holder, int& failure)
{
    holder = LockHolder(file);
    if (holder != 0 && (kill(holder, 0) == 0 || errno != ESRCH))
        return Stale::Held;
    if (unlink(file.c_str()) != 0 && errno != ENOENT) {
        failure = errno;
        return Stale::Stuck;
    }
    return Stale::Cleared;
}

// Writes the lock under a name of its own and links it into place, so that
// a reader never finds it half written and two takers cannot both win.
bool PlaceLock(const std::string& folder, const std::string& name, int& failure)
{
    const std::string temporary = folder + "/LCK.tavrin." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        failure = errno;
        return false;
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    const bool written = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    const bool placed = written && link(temporary.c_str(), (folder + "/" + name).c_str()) == 0;
    failure = written ? errno : EIO;
    unlink(temporary.c_str());
    return placed;
}

class Locks {
public:
    ~Locks()
    {
        for (const auto& [owner, file] : m_files)
            Remove(file);
    }

    bool Lock(const void* owner, const std::string& path, std::string& error)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::string folder = LockFolder();
        if (access(folder.c_str(), W_OK) != 0) {
            if (!m_toldUnlocked)
                std::fprintf(stderr, "tavrin: %s cannot be written (%s): serial ports are opened without a lock file\n",
                             folder.c_str(), std::strerror(errno));
            m_toldUnlocked = true;
            return true;
        }
        const std::vector<std::string> names = LockNames(path);
        for (int attempt = 0; attempt < 3; ++attempt) {
            for (const std::string& name : names) {
                pid_t holder = 0;
                int failure = 0;
                const Stale stale = ClearIfStale(folder + "/" + name, holder, failure);
                if (stale == Stale::Held) {
                    error = path + " is in use by " + ProgramName(holder) + " (pid " + std::to_string(holder) +
                            ", lock file " + folder + "/" + name + ")";
                    return false;
                }
                if (stale == Stale::Stuck) {
                    // Nobody holds the port; the device's own exclusive
                    // open still keeps a second opener out.
                    std::fprintf(stderr,
                                 "tavrin: the lock file %s/%s of an ended program (pid %d) cannot be removed (%s): "
                                 "%s is opened without a lock file\n",
                                 folder.c_str(), name.c_str(), static_cast<int>(holder), std::strerror(failure),
                                 path.c_str());
                    return true;
                }
            }
            int failure = 0;
            if (PlaceLock(folder, names[0], failure)) {
                m_files[owner] = folder + "/" + names[0];
                return true;
            }
            if (failure != EEXIST) {
                error = "cannot make the lock file " + folder + "/" + names[0] + ": " + std::strerror(failure);
                return false;
            }
            // Someone placed one between the look and the link: look again.
        }
        error = "cannot lock " + path + ": its lock file keeps coming back";
        return false;
    }

    void Unlock(const void* owner)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_files.find(owner);
        if (found == m_files.end())
            return;
        Remove(found->second);
        m_files.erase(found);
    }

private:
    // Only a lock that is still ours: a stale one may have been taken over.
    static void Remove(const std::string& file)
    {
        if (LockHolder(file) == getpid())
            unlink(file.c_str());
    }

    std::mutex m_lock;
    std::map<const void*, std::string> m_files;
    bool m_toldUnlocked = false;
};

Locks s_locks;

}  // namespace

bool LockPort(const void* owner, const std::string& path, std::string& error)
{
    return s_locks.Lock(owner, path, error);
}

void UnlockPort(const void* owner)
{
    s_locks.Unlock(owner);
}

std::string DescribePortHolder(const std::string& path)
{
    struct stat device {};
    if (stat(path.c_str(), &device) != 0)
        return std::string();
    // "1: FLOCK  ADVISORY  WRITE 4242 00:18:3 0 EOF"; lines of waiters
    // ("1: -> FLOCK ...") name no holder.
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(device.st_dev), minor(device.st_dev),
                  static_cast<unsigned long>(device.st_ino));
    std::ifstream locks("/proc/locks");
    std::string id, kind, mode, access, node;
    long pid = 0;
    std::string rest;
    while (locks >> id >> kind) {
        if (kind == "->" || kind != "FLOCK") {
            std::getline(locks, rest);
            continue;
        }
        if (!(locks >> mode >> access >> pid >> node))
            break;
        std::getline(locks, rest);
        if (node == wanted && pid > 0 && pid <= INT_MAX)
            return ProgramName(static_cast<pid_t>(pid)) + " (pid " + std::to_string(pid) + ")";
    }
    return std::string();
}

}  // namespace tavrin::tool
