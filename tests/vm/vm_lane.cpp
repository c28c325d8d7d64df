// The host side of the real-driver lane. It boots the guest once, serves the
// far ends of the guest's lines while the guest's suites run, and records
// each suite's output and exit status for the CTest entry that reports it.
//
//   vm_lane run --kernel VMLINUZ --initrd INITRD --out DIR --limit SECONDS
//   vm_lane report DIR SUITE
//
// The guest's lines:
//   ttyS0   its console: the suites' output between "@@vm" markers;
//   ttyS1   a 16550A whose far end is a Telnet-mode socket (IAC BRK puts a
//           break on the line);
//   ttyS2   the control line: a suite asks for bytes, breaks and plugging
//           here, one command per line, one answer line each;
//   ttyUSB0 an FTDI adapter, attached while this side holds its socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kIac = 0xFF;
constexpr unsigned char kBreak = 0xF3;

sockaddr_un UnixAddress(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return address;
}

bool WriteAll(int fd, const void* data, std::size_t size)
{
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::optional<std::string> Unhex(const std::string& text)
{
    if (text.size() % 2)
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        long v = std::strtol(pair.c_str(), &end, 16);
        if (*end)
            return std::nullopt;
        out += static_cast<char>(v);
    }
    return out;
}

// One far end of a guest line.
struct Line {
    int fd = -1;
    bool telnet = false;
    bool echo = false;
    std::string received;
    // QEMU's Telnet mode negotiates once, as the connection opens (four
    // triples: IAC WILL ECHO, IAC WILL SGA, IAC WILL BINARY, IAC DO
    // BINARY), and then passes the guest's bytes as they are: a 0xFF from
    // the guest is not doubled. Only those twelve bytes are taken out.
    static constexpr int kOpeningBytes = 12;
    int opening = kOpeningBytes;

    void Take(const char* data, std::size_t size)
    {
        std::string fresh;
        for (std::size_t i = 0; i < size; ++i) {
            auto c = static_cast<unsigned char>(data[i]);
            if (telnet && opening > 0) {
                --opening;
                continue;
            }
            fresh += static_cast<char>(c);
        }
        received += fresh;
        if (echo && !fresh.empty())
            Send(fresh);
    }

    bool Send(const std::string& bytes)
    {
        if (fd < 0)
            return false;
        if (!telnet)
            return WriteAll(fd, bytes.data(), bytes.size());
        std::string escaped;
        for (char c : bytes) {
            escaped += c;
            if (static_cast<unsigned char>(c) == kIac)
                escaped += c;
        }
        return WriteAll(fd, escaped.data(), escaped.size());
    }

    void Close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        received.clear();
        opening = kOpeningBytes;
        echo = false;
    }
};

struct PendingReceive {
    std::string line;
    std::size_t count = 0;
    Clock::time_point deadline;
};

class Lane {
public:
    Lane(std::string kernel, std::string initrd, std::string out, int limitSeconds)
        : m_kernel(std::move(kernel)), m_initrd(std::move(initrd)), m_out(std::move(out)), m_limit(limitSeconds)
    {
    }

    int Run();

private:
    bool Start();
    void HandleConsole(const std::string& line);
    void HandleCommand(const std::string& command);
    void Answer(const std::string& text);
    Line* Find(const std::string& name);
    void ServePending(bool timedOut);
    void ReadLine(Line& line);

    std::string m_kernel, m_initrd, m_out;
    int m_limit;
    std::string m_dir;
    pid_t m_qemu = -1;
    int m_console = -1;
    int m_control = -1;
    std::string m_consoleBuffer, m_controlBuffer;
    Line m_uart, m_usb;
    std::optional<PendingReceive> m_pending;
    std::ofstream m_log;
    std::string m_suite;
    bool m_done = false;
};

int Listen(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = UnixAddress(path);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
        std::perror(path.c_str());
        return -1;
    }
    return fd;
}

int Connect(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = UnixAddress(path);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool Lane::Start()
{
    char templ[] = "/tmp/tavrin-vm-XXXXXX";
    if (!::mkdtemp(templ)) {
        std::perror("mkdtemp");
        return false;
    }
    m_dir = templ;
    // QEMU connects to the control socket as it starts, so that once it has,
    // its own listening sockets (created before it) are there to connect to.
    int listener = Listen(m_dir + "/control.sock");
    if (listener < 0)
        return false;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> args = {
        "qemu-system-x86_64", "-accel", "tcg", "-m", "256", "-display", "none", "-monitor", "none",
        "-no-reboot", "-kernel", m_kernel, "-initrd", m_initrd,
        "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
        "-serial", "stdio",
        "-chardev", "socket,id=uart,path=" + m_dir + "/uart.sock,server=on,wait=off,telnet=on",
        "-serial", "chardev:uart",
        "-chardev", "socket,id=control,path=" + m_dir + "/control.sock,server=off",
        "-serial", "chardev:control",
        "-device", "qemu-xhci",
        "-chardev", "socket,id=usb,path=" + m_dir + "/usb.sock,server=on,wait=off",
        "-device", "usb-serial,chardev=usb"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    int e = posix_spawnp(&m_qemu, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    m_console = pipeFds[0];
    if (e != 0) {
        std::cerr << "vm_lane: cannot start qemu-system-x86_64: " << std::strerror(e)
                  << " (.ci/deps installs qemu-system-x86)\n";
        return false;
    }

    pollfd waitFor[2] = {{listener, POLLIN, 0}, {m_console, POLLIN, 0}};
    for (;;) {
        if (::poll(waitFor, 2, 30000) <= 0) {
            std::cerr << "vm_lane: QEMU did not connect its control line within 30 s\n";
            ::close(listener);
            return false;
        }
        if (waitFor[0].revents & POLLIN)
            break;
        // QEMU failing to start says why on its output.
        char buffer[4096];
        ssize_t n = ::read(m_console, buffer, sizeof buffer);
        if (n <= 0) {
            std::cerr << "vm_lane: QEMU ended before it connected its control line\n";
            ::close(listener);
            return false;
        }
        std::cout.write(buffer, n);
    }
    m_control = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    m_uart.telnet = true;
    m_uart.fd = Connect(m_dir + "/uart.sock");
    if (m_control < 0 || m_uart.fd < 0) {
        std::cerr << "vm_lane: cannot reach the guest's lines: " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

void Lane::Answer(const std::string& text)
{
    std::string line = text + "\n";
    WriteAll(m_control, line.data(), line.size());
}

Line* Lane::Find(const std::string& name)
{
    if (name == "uart")
        return &m_uart;
    if (name == "usb")
        return &m_usb;
    return nullptr;
}

// Commands: plug usb | unplug usb | break uart | send LINE HEX |
// recv LINE COUNT MS | flush LINE | echo LINE on|off.
void Lane::HandleCommand(const std::string& command)
{
    std::istringstream in(command);
    std::string verb, name;
    in >> verb >> name;
    Line* line = Find(name);
    if (!line) {
        Answer("error no line '" + name + "'");
        return;
    }
    if (verb == "plug") {
        if (line->fd < 0)
            line->fd = Connect(m_dir + "/usb.sock");
        Answer(line->fd >= 0 ? "ok" : std::string("error ") + std::strerror(errno));
    } else if (verb == "unplug") {
        line->Close();
        Answer("ok");
    } else if (verb == "break") {
        const unsigned char brk[] = {kIac, kBreak};
        Answer(line->telnet && line->fd >= 0 && WriteAll(line->fd, brk, 2) ? "ok" : "error no break on this line");
    } else if (verb == "send") {
        std::string hex;
        in >> hex;
        auto bytes = Unhex(hex);
        Answer(bytes && line->Send(*bytes) ? "ok" : "error send failed");
    } else if (verb == "recv") {
        PendingReceive pending;
        pending.line = name;
        int ms = 0;
        in >> pending.count >> ms;
        pending.deadline = Clock::now() + std::chrono::milliseconds(ms);
        m_pending = pending;
        ServePending(false);
    } else if (verb == "flush") {
        line->received.clear();
        Answer("ok");
    } else if (verb == "echo") {
        std::string mode;
        in >> mode;
        line->echo = mode == "on";
        Answer("ok");
    } else {
        Answer("error unknown command '" + verb + "'");
    }
}

void Lane::ServePending(bool timedOut)
{
    if (!m_pending)
        return;
    Line* line = Find(m_pending->line);
    if (line->received.size() < m_pending->count && !timedOut)
        return;
    std::size_t n = std::min(m_pending->count, line->received.size());
    Answer("data " + Hex(line->received.substr(0, n)));
    line->received.erase(0, n);
    m_pending.reset();
}

void Lane::HandleConsole(const std::string& raw)
{
    std::string line = raw;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::cout << line << "\n";
    std::istringstream in(line);
    std::string marker, what;
    in >> marker >> what;
    if (marker != "@@vm") {
        if (m_log.is_open())
            m_log << line << "\n";
        return;
    }
    if (what == "begin") {
        in >> m_suite;
        m_log.open(m_out + "/" + m_suite + ".log", std::ios::trunc);
    } else if (what == "end") {
        std::string suite, rc;
        in >> suite >> rc;
        m_log.close();
        std::ofstream(m_out + "/" + suite + ".rc") << rc << "\n";
        m_suite.clear();
    } else if (what == "done") {
        m_done = true;
    }
}

void Lane::ReadLine(Line& line)
{
    char buffer[4096];
    ssize_t n = ::read(line.fd, buffer, sizeof buffer);
    if (n > 0)
        line.Take(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
        line.Close();
}

int Lane::Run()
{
    ::mkdir(m_out.c_str(), 0755);
    const auto deadline = Clock::now() + std::chrono::seconds(m_limit);
    bool started = Start();
    while (started && m_console >= 0) {
        auto now = Clock::now();
        if (now >= deadline) {
            std::cerr << "vm_lane: the guest ran past " << m_limit << " s; stopped\n";
            if (m_log.is_open())
                m_log << "(the lane's time limit ended this suite)\n";
            break;
        }
        auto until = deadline;
        if (m_pending && m_pending->deadline < until)
            until = m_pending->deadline;
        int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1;
        pollfd fds[4] = {{m_console, POLLIN, 0}, {m_control, POLLIN, 0}, {m_uart.fd, POLLIN, 0}, {m_usb.fd, POLLIN, 0}};
        int ready = ::poll(fds, 4, ms);
        if (ready < 0 && errno != EINTR)
            break;
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buffer[4096];
            ssize_t n = ::read(m_console, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(m_console);
                m_console = -1;
            } else {
                m_consoleBuffer.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t end; (end = m_consoleBuffer.find('\n')) != std::string::npos;) {
                    HandleConsole(m_consoleBuffer.substr(0, end));
                    m_consoleBuffer.erase(0, end + 1);
                }
            }
        }
        if (fds[2].revents & (POLLIN | POLLHUP))
            ReadLine(m_uart);
        if (fds[3].revents & (POLLIN | POLLHUP))
            ReadLine(m_usb);
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buffer[4096];
            ssize_t n = ::read(m_control, buffer, sizeof buffer);
            if (n > 0) {
                m_controlBuffer.append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(m_control);
                m_control = -1;
            }
        }
        // A receive being waited for is answered before the next command.
        ServePending(m_pending && Clock::now() >= m_pending->deadline);
        while (!m_pending) {
            std::size_t end = m_controlBuffer.find('\n');
            if (end == std::string::npos)
                break;
            std::string command = m_controlBuffer.substr(0, end);
            m_controlBuffer.erase(0, end + 1);
            if (!command.empty() && command.back() == '\r')
                command.pop_back();
            if (!command.empty())
                HandleCommand(command);
        }
    }
    if (m_qemu > 0) {
        if (!m_done)
            ::kill(m_qemu, SIGKILL);
        int status = 0;
        ::waitpid(m_qemu, &status, 0);
    }
    m_uart.Close();
    m_usb.Close();
    if (!m_dir.empty()) {
        for (const char* name : {"/control.sock", "/uart.sock", "/usb.sock"})
            ::unlink((m_dir + name).c_str());
        ::rmdir(m_dir.c_str());
    }
    if (!m_done)
        std::cerr << "vm_lane: the guest did not finish its suites\n";
    return m_done ? 0 : 1;
}

// Prints a suite's output and exits with its status, naming the failed cases.
int Report(const std::string& dir, const std::string& suite)
{
    std::ifstream log(dir + "/" + suite + ".log");
    std::ifstream rcFile(dir + "/" + suite + ".rc");
    std::string line, failed, running;
    while (std::getline(log, line)) {
        std::cout << line << "\n";
        if (line.rfind("[ RUN      ] ", 0) == 0)
            running = line.substr(13);
        else if (line.rfind("[       OK ] ", 0) == 0)
            running.clear();
        else if (line.rfind("[  FAILED  ] ", 0) == 0 && !running.empty()) {
            failed += "  " + line.substr(13) + "\n";
            running.clear();
        }
    }
    // A case that never finished is the one that ended the suite.
    if (!running.empty())
        failed += "  " + running + " (did not finish)\n";
    int rc = -1;
    if (!(rcFile >> rc)) {
        std::cout << suite << ": did not run to its end in the guest (see the vm_lane test's output)\n";
        return 1;
    }
    if (rc != 0)
        std::cout << suite << " failed in the guest with status " << rc
                  << (rc == 137 ? " (killed at its time limit)" : "") << ":\n" << failed;
    return rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "report")
        return Report(args[1], args[2]);
    std::map<std::string, std::string> options;
    for (std::size_t i = 1; i + 1 < args.size(); i += 2)
        options[args[i]] = args[i + 1];
    if (args.empty() || args[0] != "run" || !options.count("--kernel") || !options.count("--initrd") ||
        !options.count("--out")) {
        std::cerr << "usage: vm_lane run --kernel VMLINUZ --initrd INITRD --out DIR [--limit SECONDS]\n"
                     "       vm_lane report DIR SUITE\n";
        return 2;
    }
    int limit = options.count("--limit") ? std::atoi(options["--limit"].c_str()) : 600;
    Lane lane(options["--kernel"], options["--initrd"], options["--out"], limit);
    return lane.Run();
}
