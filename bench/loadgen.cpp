// Load generator for one echo server, in a network namespace of its own.
//
//   loadgen [--port P] [--clients C] [--duration S | --connections N] [--console FILE]
//           [--restart] [--seconds S] -- COMMAND [ARGS...]
//
// Starts COMMAND (the server) in a fresh network namespace, its console on --console and
// no other descriptor of ours open, and waits until it echoes on 127.0.0.1:--port. Then
// --clients concurrent clients run for --duration seconds, or until --connections
// connections were made: each connects, sends 32 bytes, half-closes, reads the reply to
// end of stream and checks every byte. With --restart there is no load: one client
// connects and resets, which makes echo-daemon fail its read and restart, and the time
// from the reset to the next echo is measured. Prints one line of key=value figures,
// described in docs/performance.md. Bounded: no connection starts after --seconds, and
// the run is killed ten seconds later whatever happens.
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    int port = 80;
    long connections = 20000;
    double duration = 0;  // seconds of load; 0: make --connections connections instead
    int clients = 4;
    double seconds = 60;
    std::string console = "/dev/null";
    bool restart = false;
    std::vector<char*> command;
};

[[noreturn]] void usage() {
    (void)std::fputs(
        "usage: loadgen [--port P] [--clients C] [--duration S | --connections N] [--console FILE]\n"
        "               [--restart] [--seconds S] -- COMMAND [ARGS...]\n",
        stderr);
    std::exit(2);
}

// A non-negative decimal number, the whole argument.
double number(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0)) {
        usage();
    }
    return value;
}

// Sets the option that a flag with a value names; false for an unknown flag.
bool set_option(Options& options, const std::string& flag, const char* value) {
    if (flag == "--console") {
        options.console = value;
    } else if (flag == "--port") {
        options.port = static_cast<int>(number(value));
    } else if (flag == "--connections") {
        options.connections = static_cast<long>(number(value));
    } else if (flag == "--duration") {
        options.duration = number(value);
    } else if (flag == "--clients") {
        options.clients = std::max(1, static_cast<int>(number(value)));
    } else if (flag == "--seconds") {
        options.seconds = number(value);
    } else {
        return false;
    }
    return true;
}

Options parse(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string flag = argv[i];
        if (flag == "--restart") {
            options.restart = true;
        } else if (i + 1 >= argc || !set_option(options, flag, argv[++i])) {
            usage();
        }
    }
    for (++i; i < argc; ++i) {
        options.command.push_back(argv[i]);
    }
    if (options.command.empty()) {
        usage();
    }
    options.command.push_back(nullptr);
    return options;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void pause_for(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// A network namespace of our own with its loopback up, so that the server's port can
// never be the host's.
bool enter_own_namespace() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("loadgen: a network namespace of its own (run as root)");
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    std::strcpy(request.ifr_name, "lo");
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP),
                     ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (!up) {
        std::perror("loadgen: loopback up");
    }
    close(fd);
    return up;
}

// The server, in a process group of its own so that forking servers and tracers end
// together, killed should loadgen die first. It inherits only its console: a descriptor
// of ours left open would be counted, and kept, as the server's.
pid_t start_server(const Options& options) {
    const int console = open(options.console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (console < 0) {
        std::perror(options.console.c_str());
        std::exit(2);
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);  // the parent died before the request: nobody would send it
        }
        setpgid(0, 0);
        dup2(console, STDOUT_FILENO);
        dup2(console, STDERR_FILENO);
        close_range(3, ~0U, 0);
        execvp(options.command[0], options.command.data());
        std::perror(options.command[0]);
        _exit(127);
    }
    close(console);
    return pid;
}

// However a server misbehaves, the run ends: ten seconds past its deadline at most.
void arm_watchdog(pid_t server, double deadline) {
    std::thread([server, deadline] {
        pause_for(deadline + 10 - now());
        (void)std::fputs("loadgen: the server stopped answering\n", stderr);
        kill(-server, SIGKILL);
        std::_Exit(2);
    }).detach();
}

int connect_to(const sockaddr_in& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One connection: send the payload, half-close, read the reply to end of stream; true
// if it was the payload, byte for byte. Six calls, so that the generator costs as little
// as it can beside the server it measures.
bool exchange(const sockaddr_in& address, const std::string& payload) {
    char reply[64];  // one byte more than the payload: a full buffer means too much came back
    const int fd = connect_to(address);
    if (fd < 0) {
        return false;
    }
    const bool echoed =
        send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) >= 0 && shutdown(fd, SHUT_WR) == 0 &&
        recv(fd, reply, payload.size() + 1, MSG_WAITALL) == static_cast<ssize_t>(payload.size()) &&
        std::memcmp(reply, payload.data(), payload.size()) == 0;
    close(fd);
    return echoed;
}

// Waits until the server echoes; returns when it first did, or -1 once it has ended or
// past the deadline.
double wait_until_serving(pid_t server, const sockaddr_in& address, const std::string& payload,
                          double deadline) {
    while (now() < deadline && waitpid(server, nullptr, WNOHANG) == 0) {
        if (exchange(address, payload)) {
            return now();
        }
        pause_for(1e-3);
    }
    return -1;
}

// A client that connects and closes with a reset at once (SO_LINGER 0): echo-daemon's
// read of it fails, and it restarts. Returns when the reset was sent, or -1.
double reset_client(const sockaddr_in& address) {
    const int fd = connect_to(address);
    if (fd < 0) {
        return -1;
    }
    const linger abort_on_close = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close(fd);
    return now();
}

// What the clients did, added up under the lock as each one ends.
struct Tally {
    std::mutex mutex;
    std::vector<double> latencies;  // of the echoed connections, in seconds
    long in_window = 0;             // echoed connections that ended inside the load window
    long failed = 0;
};

// The window of the load: no connection starts after its end; those under way then are
// finished, and count in the latencies but not in the rate.
struct Window {
    double start;
    double end;
};

// One client: exchanges until the window closes or, with a count of connections shared
// by every client, until that many were made; then adds its figures to the tally.
void client(const sockaddr_in& address, const std::string& payload, const Window& window,
            std::atomic<long>* left, Tally& tally) {
    std::vector<double> latencies;
    long in_window = 0;
    long failed = 0;
    while ((left == nullptr || (*left)-- > 0) && now() < window.end) {
        const double begin = now();
        const bool echoed = exchange(address, payload);
        const double end = now();
        if (echoed) {
            latencies.push_back(end - begin);
            in_window += end <= window.end ? 1 : 0;
        } else {
            ++failed;
        }
    }
    const std::lock_guard lock(tally.mutex);
    tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
    tally.in_window += in_window;
    tally.failed += failed;
}

// Runs the clients; returns the length of the load in seconds, the window's with
// --duration, else until the last client finished.
double run_load(const Options& options, const sockaddr_in& address, const std::string& payload,
                double deadline, Tally& tally) {
    const double start = now();
    const Window window = {start,
                           options.duration > 0 ? std::min(start + options.duration, deadline) : deadline};
    std::atomic<long> left{options.connections};
    std::vector<std::thread> clients;
    clients.reserve(static_cast<size_t>(options.clients));
    for (int c = 0; c < options.clients; ++c) {
        clients.emplace_back(client, std::cref(address), std::cref(payload), std::cref(window),
                             options.duration > 0 ? nullptr : &left, std::ref(tally));
    }
    for (auto& running : clients) {
        running.join();
    }
    return options.duration > 0 ? window.end - window.start : now() - start;
}

// CPU time in seconds, of this process (RUSAGE_SELF) or of its reaped children.
double cpu_seconds(int who) {
    rusage usage = {};
    getrusage(who, &usage);
    const auto total = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return total(usage.ru_utime) + total(usage.ru_stime);
}

// A "Field:   N kB" line of /proc/PID/status, in kB; -1 if there is none.
long status_kb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

// The server's memory after the load: its first process's, resident in all and private.
struct Memory {
    long rss_kb = -1;
    long anon_kb = -1;
};

// Reads the server's memory, then ends it and reaps it, so that its CPU time counts.
Memory stop_server(pid_t server) {
    const Memory memory = {status_kb(server, "VmRSS"), status_kb(server, "RssAnon")};
    kill(-server, SIGTERM);
    waitpid(server, nullptr, 0);
    return memory;
}

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    const auto index = static_cast<size_t>(std::lround(fraction * static_cast<double>(sorted.size() - 1)));
    return sorted[std::min(index, sorted.size() - 1)];
}

// When the server first echoed after its exec, and how long a forced restart took.
struct Timing {
    double ready_ms = -1;
    double restart_ms = -1;
};

void report(Tally& tally, double seconds, const Timing& timing, const Memory& memory) {
    std::vector<double>& all = tally.latencies;
    std::sort(all.begin(), all.end());
    const double micro = 1e6;
    const double per_echo = micro / std::max(1.0, static_cast<double>(all.size()));
    const double server_cpu = cpu_seconds(RUSAGE_CHILDREN);
    const double own_cpu = cpu_seconds(RUSAGE_SELF);
    std::printf(
        "served=%zu failed=%ld seconds=%.3f cps=%.0f p50_us=%.0f p99_us=%.0f max_us=%.0f ready_ms=%.2f "
        "restart_ms=%.2f rss_kb=%ld anon_kb=%ld server_cpu_us=%.1f loadgen_cpu_us=%.1f\n",
        all.size(), tally.failed, seconds, static_cast<double>(tally.in_window) / std::max(seconds, 1e-9),
        percentile(all, 0.5) * micro, percentile(all, 0.99) * micro, all.empty() ? 0 : all.back() * micro,
        timing.ready_ms, timing.restart_ms, memory.rss_kb, memory.anon_kb, server_cpu * per_echo,
        own_cpu * per_echo);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (!enter_own_namespace()) {
        return 2;
    }
    const std::string payload = "abcdefghijklmnopqrstuvwxyzabcdef";
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    const double started = now();
    const double deadline = started + options.seconds;
    const pid_t server = start_server(options);
    arm_watchdog(server, deadline);
    Timing timing;
    const double ready = wait_until_serving(server, address, payload, deadline);
    if (ready > 0) {
        timing.ready_ms = (ready - started) * 1e3;
    }
    const auto tally = std::make_unique<Tally>();
    double seconds = 0;
    if (ready > 0 && options.restart) {
        const double reset = reset_client(address);
        const double back = reset > 0 ? wait_until_serving(server, address, payload, deadline) : -1;
        timing.restart_ms = back > 0 ? (back - reset) * 1e3 : -1;
    } else if (ready > 0) {
        seconds = run_load(options, address, payload, deadline, *tally);
    }
    report(*tally, seconds, timing, stop_server(server));
    // 2: the server never echoed (or never came back); 1: a connection failed.
    if (ready < 0 || (options.restart && timing.restart_ms < 0)) {
        return 2;
    }
    return tally->failed == 0 ? 0 : 1;
}
