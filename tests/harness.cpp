#include "harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace harness {

namespace {

int home_netns = -1;  // the namespace connect() returns to
constexpr int inherited_stray_fd = 7;

[[noreturn]] void die(const char* what) {
    perror(what);
    _exit(127);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What execve() takes: pointers to the strings, then a null.
std::vector<char*> null_terminated(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const auto& text : strings) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

// The test program gets a network namespace of its own, so that nothing it does can
// touch the host's network or its port 80. Without root, or in a container that refuses
// network namespaces to root, a user namespace makes it root of its own first.
bool isolate() {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER) != 0) {
            perror("no network namespace can be made here (unshare CLONE_NEWUSER)");
            return false;
        }
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        if (unshare(CLONE_NEWNET) != 0) {
            perror("no network namespace can be made here (unshare CLONE_NEWNET)");
            return false;
        }
    }
    home_netns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    return true;
}

bool skips_allowed() {
    const char* allowed = getenv("ECHO_DAEMON_ALLOW_SKIPS");
    return allowed != nullptr && strcmp(allowed, "1") == 0;
}

void bring_loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    strcpy(request.ifr_name, "lo");
    if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        die("lo flags");
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) {
        die("lo up");
    }
    close(fd);
}

// ECHO_DAEMON points the tests at another build of the daemon, such as a packaged one or
// a cross-built one; ECHO_FAULT_LIBRARY at an interposer its loader can take.
std::string daemon_path() {
    const char* other = getenv("ECHO_DAEMON");
    return other != nullptr ? other : ECHO_DAEMON_PATH;
}
std::string fault_library() {
    const char* other = getenv("ECHO_FAULT_LIBRARY");
    return other != nullptr ? other : ECHO_FAULT_LIBRARY;
}

std::string launch_line(const std::string& name) {
    return "[*] Launching " + name + " service";
}
std::vector<std::string> startup_lines() {
    return {launch_line(), "[*] Listening on port 80", "[*] Waiting for client connections"};
}
std::vector<std::string> client_lines() {
    return {"[*] Received client connection", "[*] Received client echo", "[*] Replied to client echo",
            "[*] Closed client connection", "[*] Waiting for client connections"};
}
std::string restart_line(int tag) {
    return "[!] Restarting due to error in main:" + std::to_string(tag) + " main";
}
std::string max_reached_line(const std::string& max) {
    return "[!] Maximum number of errors (" + max + ") reached";
}

pid_t fork_tied() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // A parent that died before the request leaves nobody to send the signal.
        if (getppid() != parent) {
            _exit(127);
        }
    }
    return pid;
}

std::string private_temp_dir() {
    std::string path = (std::filesystem::temp_directory_path() / "echo-daemon-test-XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr) {
        die("mkdtemp");
    }
    return path;
}

Spawn spawn_of(std::vector<std::string> arguments, std::string fail) {
    Spawn spawn;
    spawn.argv = {daemon_path()};
    spawn.argv.insert(spawn.argv.end(), arguments.begin(), arguments.end());
    spawn.fail = std::move(fail);
    return spawn;
}

double now() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long status_kb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

namespace {

// What the daemon runs with: PATH, the sanitizers' settings and the interposer's rules.
std::vector<std::string> environment(const Spawn& spawn) {
    // Sanitizer builds report with exit codes of their own, never 1, the daemon's.
    std::vector<std::string> env = {"PATH=" + spawn.path_env,
                                    "ASAN_OPTIONS=exitcode=86:verify_asan_link_order=0:abort_on_error=0",
                                    "UBSAN_OPTIONS=halt_on_error=1:exitcode=87:print_stacktrace=1"};
    if (!spawn.fail.empty()) {
        env.push_back("LD_PRELOAD=" + fault_library());
        env.push_back("ECHO_FAIL=" + spawn.fail);
    }
    // Where qemu-user finds a packaged foreign daemon's loader and libraries.
    if (const char* guest_root = getenv("QEMU_LD_PREFIX"); guest_root != nullptr) {
        env.push_back(std::string("QEMU_LD_PREFIX=") + guest_root);
    }
    return env;
}

// The wrapper's command line, then the daemon's.
std::vector<std::string> command_of(const Spawn& spawn) {
    std::vector<std::string> command = spawn.wrapper;
    command.insert(command.end(), spawn.argv.begin(), spawn.argv.end());
    return command;
}

// The network namespace to join, -1 for a new one.
int namespace_to_join(const Spawn& spawn) {
    if (spawn.netns_of == 0) {
        return -1;
    }
    return open(("/proc/" + std::to_string(spawn.netns_of) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
}

// Everything the child needs, made before the fork, so that the child allocates nothing
// while other threads run. Neither copied nor moved: argv and envp point into the strings.
struct ChildPlan {
    explicit ChildPlan(const Spawn& wanted)
        : spawn(wanted),
          command(command_of(wanted)),
          argv(null_terminated(command)),
          env(environment(wanted)),
          envp(null_terminated(env)),
          image(wanted.wrapper.empty() ? daemon_path() : wanted.wrapper[0]),
          shared_netns(namespace_to_join(wanted)) {}
    ChildPlan(const ChildPlan&) = delete;
    ChildPlan& operator=(const ChildPlan&) = delete;
    ~ChildPlan() {
        if (shared_netns >= 0) {
            close(shared_netns);
        }
    }

    const Spawn& spawn;
    const std::vector<std::string> command;
    const std::vector<char*> argv;
    const std::vector<std::string> env;
    const std::vector<char*> envp;
    const std::string image;
    const int shared_netns;  // -1: a new namespace
};

// In the forked child: a process group, the network namespace, the working directory and
// the console, then the daemon (or its wrapper) in place of the child.
[[noreturn]] void exec_daemon(const ChildPlan& plan, int out, int err) {
    const Spawn& spawn = plan.spawn;
    setpgid(0, 0);
    if (spawn.netns_of != 0) {
        if (setns(plan.shared_netns, CLONE_NEWNET) != 0) {
            die("setns");
        }
    } else if (unshare(CLONE_NEWNET) != 0) {
        die("unshare(CLONE_NEWNET)");
    } else {
        bring_loopback_up();
    }
    if (!spawn.cwd.empty() && chdir(spawn.cwd.c_str()) != 0) {
        die("chdir");
    }
    (void)signal(SIGPIPE, SIG_DFL);  // an ignored SIGPIPE would survive into the daemon
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    if (null != inherited_stray_fd) {
        dup2(null, inherited_stray_fd);
        close(null);
    }
    for (const int fd : spawn.closed_fds) {
        close(fd);
    }
    // Whatever the test program holds open without close-on-exec (a runner's descriptors)
    // stays out of the daemon; the end of the ready pipe still marks the exec itself.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        die("close_range");
    }
    // ...but one, on purpose, as a careless parent leaves it: the daemon must close it.
    if (fcntl(inherited_stray_fd, F_SETFD, 0) != 0) {
        die("stray descriptor");
    }
    execve(plan.image.c_str(), plan.argv.data(), plan.envp.data());
    die("execve");
}

// Returns once the child has exec'd, when the close-on-exec end of the pipe closes.
void await_exec(int ready) {
    char byte = 0;
    while (read(ready, &byte, 1) > 0) {
    }
    close(ready);
}

sockaddr_in port_80(in_addr_t host) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

}  // namespace

Daemon::Daemon(const Spawn& spawn) {
    int out_pipe[2];
    int err_pipe[2];
    int ready[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0) {
        die("pipe2");
    }
    const ChildPlan plan(spawn);
    // A console nobody reads from the start: the daemon's first line meets a broken pipe.
    const bool unread = spawn.console_read == 0;
    if (unread) {
        close(out_pipe[0]);
        close(err_pipe[0]);
    }
    // A console shared with a program that set O_NONBLOCK, and soon full.
    if (spawn.console_stall > 0 &&
        (fcntl(out_pipe[1], F_SETPIPE_SZ, 4096) < 0 || fcntl(out_pipe[1], F_SETFL, O_NONBLOCK) < 0)) {
        die("console pipe");
    }
    pid_ = fork_tied();
    if (pid_ == 0) {
        exec_daemon(plan, out_pipe[1], err_pipe[1]);
    }
    setpgid(pid_, pid_);  // the child does the same: the group exists whichever runs first
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(ready[1]);
    reader_ = std::thread(&Daemon::read_console, this, unread ? -1 : out_pipe[0], unread ? -1 : err_pipe[0],
                          spawn.console_read, spawn.console_stall);
    await_exec(ready[0]);  // and so its namespace is in place
    netns_ = open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
}

Daemon::~Daemon() {
    if (pid_ > 0 && status_ == -1) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (netns_ >= 0) {
        close(netns_);
    }
}

void Daemon::read_console(int out, int err, int keep, double stall) {
    std::this_thread::sleep_for(std::chrono::duration<double>(stall));
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string partial[2];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (keep > 0 && lines().size() >= static_cast<size_t>(keep)) {
            // The reader goes away: the daemon's next line meets a broken pipe. A stream
            // that ended was closed then, and its number may be another's by now.
            for (const pollfd& stream : fds) {
                if (stream.fd >= 0) {
                    close(stream.fd);
                }
            }
            return;
        }
        if (poll(fds, 2, -1) < 0) {
            break;
        }
        for (int stream = 0; stream < 2; ++stream) {
            if (fds[stream].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t got = read(fds[stream].fd, chunk, sizeof chunk);
            if (got <= 0) {
                close(fds[stream].fd);
                fds[stream].fd = -1;
                continue;
            }
            const double stamp = now();
            std::string& pending = partial[stream];
            pending.append(chunk, static_cast<size_t>(got));
            const std::lock_guard lock(mutex_);
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                lines_.push_back({stream + 1, pending.substr(0, end), stamp});
            }
            changed_.notify_all();
        }
    }
}

std::vector<Line> Daemon::lines(int fd) {
    const std::lock_guard lock(mutex_);
    std::vector<Line> chosen;
    std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(chosen),
                 [fd](const Line& line) { return fd == 0 || line.fd == fd; });
    return chosen;
}

std::string Daemon::last_line() {
    const std::lock_guard lock(mutex_);
    return lines_.empty() ? "" : lines_.back().text;
}

std::string Daemon::next(int fd, double timeout) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    std::string found = "<timeout>";
    changed_.wait_until(lock, deadline, [&] {
        size_t seen = 0;
        for (const Line& line : lines_) {
            if (line.fd == fd && seen++ == taken_[fd]) {
                ++taken_[fd];
                found = line.text;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::string Daemon::out(double timeout) {
    return next(1, timeout);
}
std::string Daemon::err(double timeout) {
    return next(2, timeout);
}
std::vector<std::string> Daemon::next_out_lines(size_t count, double timeout) {
    std::vector<std::string> taken;
    while (taken.size() < count) {
        taken.push_back(out(timeout));
    }
    return taken;
}

void Daemon::terminate() const {
    kill(pid_, SIGTERM);
}

int Daemon::wait_status(double timeout) {
    const double deadline = now() + timeout;
    while (status_ == -1) {
        siginfo_t ended = {};
        if (waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            ended.si_pid == pid_) {
            // Not reaped yet, so the group's number is still this one's alone: what is
            // left in it (a traced daemon whose tracer was stopped) ends first.
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            // Everything it wrote is in the pipes; let the reader take it in.
            if (reader_.joinable()) {
                reader_.join();
            }
            break;
        }
        if (now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

// A TCP socket made in the daemon's network namespace; -1 on failure.
int Daemon::socket_inside() const {
    if (setns(netns_, CLONE_NEWNET) != 0) {
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setns(home_netns, CLONE_NEWNET);
    return fd;
}

int Daemon::connect() const {
    const int fd = socket_inside();
    // A hung daemon fails the test instead of hanging it; the send limit also bounds a
    // connect whose SYN the full queue keeps dropping.
    const timeval limit = {15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const sockaddr_in address = port_80(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int Daemon::connect_retry(double timeout) const {
    const double deadline = now() + timeout;
    int fd = connect();
    for (; fd < 0 && now() < deadline; fd = connect()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fd;
}

int Daemon::bind_error(bool reuse) const {
    const int fd = socket_inside();
    const int flag = reuse ? 1 : 0;
    const sockaddr_in address = port_80(INADDR_ANY);
    int error = 0;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &flag, sizeof flag) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
    }
    if (fd >= 0) {
        close(fd);
    }
    return error;
}

std::vector<std::string> Daemon::cmdline() const {
    const std::string raw = read_file("/proc/" + std::to_string(pid_) + "/cmdline");
    std::vector<std::string> arguments;
    for (size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1) {
        arguments.push_back(raw.substr(start, end - start));
    }
    // Under emulation the process's image is the interpreter, not the daemon, and binfmt_misc
    // (with its P flag) puts the interpreter's path and the daemon's before the vector.
    std::error_code unreadable;
    const bool emulated =
        !std::filesystem::equivalent("/proc/" + std::to_string(pid_) + "/exe", daemon_path(), unreadable);
    if (emulated && !unreadable && arguments.size() >= 2) {
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    return arguments;
}

std::map<int, std::string> Daemon::descriptors() const {
    std::map<int, std::string> targets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
        std::error_code ignored;
        targets[std::stoi(entry.path().filename())] =
            std::filesystem::read_symlink(entry.path(), ignored).string();
    }
    return targets;
}

int Daemon::sockets() const {
    int count = 0;
    for (const auto& [fd, target] : descriptors()) {
        count += target.rfind("socket:", 0) == 0 ? 1 : 0;
    }
    return count;
}

void send_all(int fd, const std::string& payload) {
    for (size_t sent = 0; sent < payload.size();) {
        const ssize_t n = send(fd, payload.data() + sent, payload.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

// A reset after the reply counts as the end: the reply has already been queued.
std::string read_to_end(int fd) {
    std::string received;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        received.append(chunk, static_cast<size_t>(n));
    }
    return received;
}

void reset(int fd) {
    const linger now = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

std::string exchange(int fd, const std::string& payload) {
    send_all(fd, payload);
    shutdown(fd, SHUT_WR);
    std::string reply = read_to_end(fd);
    close(fd);
    return reply;
}

}  // namespace harness
