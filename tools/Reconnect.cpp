#include "Reconnect.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "Devices.h"
#include "PortLock.h"

namespace tavrin::tool {

namespace {

namespace fs = std::filesystem;

constexpr int kFirstBackoffMs = 1000;
constexpr int kLastBackoffMs = 30000;

// The folder that holds path's name, or the nearest one above it that
// exists (/dev/serial/by-id goes when the last adapter is pulled out).
std::string NearestFolder(const std::string& path)
{
    std::error_code ec;
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    while (!fs::is_directory(folder, ec) && folder.has_relative_path())
        folder = folder.parent_path();
    return folder.string();
}

std::string Seconds(int ms)
{
    return std::to_string(ms / 1000) + " s";
}

}  // namespace

Reconnector::Reconnector(Host& host, CDevice& device, const DeviceArgument& argument, Hooks hooks)
    : m_host(host), m_device(device), m_argument(argument), m_hooks(std::move(hooks))
{
}

Reconnector::~Reconnector()
{
    Stop();
}

std::string Reconnector::Refusal(const DeviceArgument& argument)
{
    if (argument.kind == DeviceArgument::Kind::Serial || argument.kind == DeviceArgument::Kind::Tcp)
        return {};
    return std::string("--reconnect waits for a serial: or tcp: device to come back; ") + KindName(argument.kind) +
           " does not go away that way";
}

const char* Reconnector::SideWord(const DeviceArgument& argument)
{
    return argument.kind == DeviceArgument::Kind::Serial ? "serial" : "tcp";
}

void Reconnector::Lost()
{
    if (m_stopped || m_away.exchange(true))
        return;
    // The device is closed after its notification: a Disconnect inside it
    // would wait for the thread that waits for the handler.
    m_host.Post([this, alive = std::weak_ptr<int>(m_alive)] {
        if (alive.lock() && !m_stopped)
            Close();
    });
}

void Reconnector::Close()
{
    if (m_hooks.gone)
        m_hooks.gone();
    m_device.Disconnect();
    UnlockPort(&m_device);
    m_failed = false;
    m_backoffMs = kFirstBackoffMs;
    std::string folder;
    if (m_argument.kind == DeviceArgument::Kind::Tcp)
        m_hooks.notice(DescribeDevice(m_argument) + " went away; trying again in " + Seconds(m_backoffMs));
    else {
        Present(folder);
        m_hooks.notice(DescribeDevice(m_argument) + " is gone; waiting for it to come back (watching " + folder + ")");
    }
    StartWaiting();
}

void Reconnector::StartWaiting()
{
    if (m_waiter.joinable())
        m_waiter.join();
    m_waiter = std::thread([this, failed = m_failed, backoff = m_backoffMs, alive = std::weak_ptr<int>(m_alive)] {
        if (!WaitForDevice(failed, backoff))
            return;
        m_host.Post([this, alive] {
            if (alive.lock() && !m_stopped)
                TryReopen();
        });
    });
}

void Reconnector::TryReopen()
{
    std::string error;
    // A device that reported its end has let go of the window too.
    m_device.EnableNotify(m_host.Window());
    if (ConnectDevice(m_device, m_argument, error)) {
        m_away = false;
        m_failed = false;
        m_hooks.notice("back: " + DescribeDevice(m_argument));
        if (m_hooks.back)
            m_hooks.back();
        return;
    }
    // The back-off grows with every failure, for a port that is there but
    // refuses as for a peer that is not listening.
    m_backoffMs = std::min(m_backoffMs * 2, kLastBackoffMs);
    m_failed = true;
    m_hooks.notice(error + "; next try in " + Seconds(m_backoffMs) +
                   (m_argument.kind == DeviceArgument::Kind::Tcp ? "" : " or when it changes"));
    StartWaiting();
}

bool Reconnector::Present(std::string& folder) const
{
    std::error_code ec;
    if (m_argument.kind != DeviceArgument::Kind::Serial)
        return false;
    std::string path;
    if (m_argument.serial.byUsb) {
        folder = "/dev";
        std::string error;
        return ResolveSerialPath(m_argument.serial, path, error) && fs::exists(path, ec);
    }
    folder = NearestFolder(m_argument.serial.path);
    return fs::exists(m_argument.serial.path, ec);
}

bool Reconnector::WaitForDevice(bool failedBefore, int backoffMs)
{
    if (m_argument.kind == DeviceArgument::Kind::Tcp)
        return m_watch.Sleep(backoffMs) != DeviceWatch::Wake::Stopped;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(backoffMs);
    // The first time it is tried as soon as it is there; after a failed
    // open, once something changed or the back-off passed.
    bool changed = !failedBefore;
    std::string watched;
    for (;;) {
        std::string folder;
        const bool present = Present(folder);
        if (folder != watched) {
            // Watched before the next look, so that nothing made between
            // the look and the wait is missed.
            std::string error;
            if (!m_watch.Watch(folder, error)) {
                m_hooks.notice(error + "; trying again in " + Seconds(backoffMs));
                return m_watch.Sleep(backoffMs) != DeviceWatch::Wake::Stopped;
            }
            watched = folder;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (present && (changed || left.count() <= 0))
            return true;
        const int timeout = present ? static_cast<int>(std::max<long long>(0, left.count())) : -1;
        switch (m_watch.Wait(timeout)) {
        case DeviceWatch::Wake::Stopped:
            return false;
        case DeviceWatch::Wake::Changed:
            changed = true;
            break;
        case DeviceWatch::Wake::TimedOut:
            break;
        }
    }
}

void Reconnector::Stop()
{
    m_stopped = true;
    m_watch.Stop();
    if (m_waiter.joinable())
        m_waiter.join();
}

}  // namespace tavrin::tool
