// Load generator for one echo server, in a network namespace of its own or in one that
// `ip netns add` made.
//
//   loadgen [options] -- COMMAND [ARGS...]
//   loadgen [options] --netns NAME --target ADDR:PORT
//
// The first form starts COMMAND (the server) in a fresh network namespace and loads
// 127.0.0.1:--port there; the second joins the named namespace (never the host's) and
// loads a loopback address that something else serves there, such as a balancer. Either
// waits until the server answers, then runs --clients concurrent clients, either for
// --connections connections in all or, with --duration, for that many seconds. Each
// client sends --payload bytes, half-closes, reads the reply to end of stream and checks
// every byte. Beside them, --idle clients connect and send nothing until the server
// closes the connection, --slow clients wait --delay seconds after connecting before they
// send, and --reset-netns makes a client in that namespace connect to 127.0.0.1:80 and
// close with a reset every --reset-every seconds. Prints one line of key=value figures;
// what each counts is described in docs/performance.md. Bounded: no new connection
// starts after --seconds, and the run is killed ten seconds later whatever happens.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace {

// The network namespace this program was started in: never one to load.
struct stat started_in = {};

struct Options {
    int port = 80;
    long connections = 20000;
    double duration = 0;  // seconds of load; 0: make --connections connections instead
    int clients = 4;
    int idle = 0;         // clients that connect and send nothing
    int slow = 0;         // clients that wait --delay after connecting before they send
    double delay = 0.02;  // seconds
    size_t payload = 32;
    double seconds = 60;
    std::string console = "/dev/null";
    bool restart = false;     // measure a restart: the server's second accept must fail
    std::string netns;        // join this namespace (under /run/netns) instead of making one
    std::string target;       // ADDR:PORT that something else serves there
    std::string reset_netns;  // whose 127.0.0.1:80 gets a connect-and-reset every reset_every s
    double reset_every = 4;
    std::vector<char*> command;
};

[[noreturn]] void usage() {
    (void)std::fputs(
        "usage: loadgen [--port P] [--connections N | --duration S] [--clients C] [--payload B]\n"
        "               [--idle I] [--slow S [--delay SECONDS]] [--reset-netns NAME [--reset-every S]]\n"
        "               [--seconds S] [--console FILE] [--restart] -- COMMAND [ARGS...]\n"
        "       loadgen [the same options] --netns NAME --target ADDR:PORT\n",
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
    } else if (flag == "--idle") {
        options.idle = static_cast<int>(number(value));
    } else if (flag == "--slow") {
        options.slow = static_cast<int>(number(value));
    } else if (flag == "--delay") {
        options.delay = number(value);
    } else if (flag == "--payload") {
        options.payload = static_cast<size_t>(number(value));
    } else if (flag == "--seconds") {
        options.seconds = number(value);
    } else if (flag == "--netns") {
        options.netns = value;
    } else if (flag == "--target") {
        options.target = value;
    } else if (flag == "--reset-netns") {
        options.reset_netns = value;
    } else if (flag == "--reset-every") {
        options.reset_every = std::max(0.1, number(value));
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
            continue;
        }
        if (i + 1 >= argc || !set_option(options, flag, argv[i + 1])) {
            usage();
        }
        ++i;
    }
    for (++i; i < argc; ++i) {
        options.command.push_back(argv[i]);
    }
    // Either a server of its own or a target in a named namespace, never both.
    const bool external = !options.target.empty();
    // Clients that run beside the load run for its --duration.
    const bool beside = options.idle > 0 || options.slow > 0 || !options.reset_netns.empty();
    if (external == !options.command.empty() || external != !options.netns.empty() ||
        (external && options.restart) || (beside && options.duration <= 0)) {
        usage();
    }
    if (!external) {
        options.command.push_back(nullptr);
    }
    return options;
}

// ADDR:PORT, ADDR in 127.0.0.0/8: the only addresses this program loads.
sockaddr_in loopback_address(const std::string& text) {
    const size_t colon = text.rfind(':');
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    if (colon == std::string::npos ||
        inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1 ||
        ntohl(address.sin_addr.s_addr) >> 24 != 127) {
        (void)std::fprintf(stderr, "loadgen: %s is no loopback ADDR:PORT\n", text.c_str());
        std::exit(2);
    }
    address.sin_port = htons(static_cast<uint16_t>(number(text.substr(colon + 1).c_str())));
    return address;
}

sockaddr_in target_address(const Options& options) {
    if (!options.target.empty()) {
        return loopback_address(options.target);
    }
    return loopback_address("127.0.0.1:" + std::to_string(options.port));
}

// The descriptor of a namespace that `ip netns add NAME` made. Refused if it is the
// namespace this program was started in, whose loopback and port 80 may be the host's.
int named_namespace(const std::string& name) {
    const std::string path = "/run/netns/" + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat named = {};
    if (fd < 0 || fstat(fd, &named) != 0) {
        std::perror(path.c_str());
        std::exit(2);
    }
    if (named.st_ino == started_in.st_ino && named.st_dev == started_in.st_dev) {
        (void)std::fprintf(stderr, "loadgen: %s is the namespace loadgen was started in\n", path.c_str());
        std::exit(2);
    }
    return fd;
}

// Never load the host's own port 80: a fresh namespace for a server of our own, or the
// named one where something else serves.
bool enter_namespace(const Options& options) {
    if (options.netns.empty()) {
        if (!harness::isolate()) {
            return false;
        }
        harness::bring_loopback_up();
        return true;
    }
    const int fd = named_namespace(options.netns);
    if (setns(fd, CLONE_NEWNET) != 0) {
        std::perror("setns");
        return false;
    }
    close(fd);
    return true;
}

std::string make_payload(size_t size) {
    std::string payload(size, '\0');
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>('a' + i % 26);
    }
    return payload;
}

pid_t start_server(const Options& options) {
    const int console = open(options.console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (console < 0) {
        std::perror(options.console.c_str());
        std::exit(2);
    }
    const pid_t pid = harness::fork_tied();
    if (pid == 0) {
        setpgid(0, 0);  // one group, so that forking servers and tracers end together
        dup2(console, STDOUT_FILENO);
        dup2(console, STDERR_FILENO);
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
        std::this_thread::sleep_for(std::chrono::duration<double>(deadline + 10 - harness::now()));
        (void)std::fputs("loadgen: the server stopped answering\n", stderr);
        if (server > 0) {
            kill(-server, SIGKILL);
        }
        std::_Exit(2);
    }).detach();
}

// How one connection ended.
enum Outcome {
    kEchoed,    // the reply was the payload, byte for byte
    kRefused,   // connect failed with ECONNREFUSED: nothing listened
    kReset,     // a call failed with ECONNRESET, EPIPE or ENOTCONN: the server reset it
    kShort,     // the reply ended early: fewer bytes than were sent, none included
    kGarbled,   // as many bytes or more, but not the payload
    kFailed,    // any other failure, such as ETIMEDOUT or EADDRNOTAVAIL
    kOutcomes,  // how many outcomes there are
};

Outcome failure(int error) {
    if (error == ECONNREFUSED) {
        return kRefused;
    }
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN ? kReset : kFailed;
}

int connect_to(const sockaddr_in& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void pause_for(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// One connection: send the payload (after the delay, for a slow client), half-close,
// read the reply to end of stream. Six calls, so that the generator costs as little as
// it can beside the server it measures; the watchdog bounds a server that never answers.
Outcome exchange(const sockaddr_in& address, const std::string& payload, double delay) {
    // One byte more than expected: a full buffer means the server sent too much.
    char reply[4096];
    const size_t room = std::min(payload.size() + 1, sizeof reply);
    const int fd = connect_to(address);
    if (fd < 0) {
        return failure(errno);
    }
    if (delay > 0) {
        pause_for(delay);
    }
    Outcome outcome = kFailed;
    ssize_t got = -1;
    if (send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) < 0 || shutdown(fd, SHUT_WR) != 0 ||
        (got = recv(fd, reply, room, MSG_WAITALL)) < 0) {
        outcome = failure(errno);
    } else if (static_cast<size_t>(got) < payload.size()) {
        outcome = kShort;
    } else {
        const bool same = static_cast<size_t>(got) == payload.size() &&
                          std::memcmp(reply, payload.data(), payload.size()) == 0;
        outcome = same ? kEchoed : kGarbled;
    }
    close(fd);
    return outcome;
}

// Waits until the server answers, with the payload or with a reply of its own; returns
// the time it first did, or -1 past the deadline.
double wait_until_serving(const sockaddr_in& address, const std::string& payload, double deadline) {
    while (harness::now() < deadline) {
        const Outcome outcome = exchange(address, payload, 0);
        if (outcome == kEchoed || outcome == kShort || outcome == kGarbled) {
            return harness::now();
        }
        pause_for(200e-6);
    }
    return -1;
}

// When the server first answered, and how long a forced restart took (-1: none).
struct Readiness {
    double ready = -1;
    double restart = -1;
};

Readiness await_server(const Options& options, const sockaddr_in& address, const std::string& payload,
                       double deadline) {
    Readiness readiness;
    readiness.ready = wait_until_serving(address, payload, deadline);
    if (readiness.ready > 0 && options.restart) {
        // The probe was the first client; the server fails its next accept right after
        // closing it, then pauses and comes back.
        const double failed = harness::now();
        const double back = wait_until_serving(address, payload, deadline);
        readiness.restart = back > 0 ? back - failed : -1;
    }
    return readiness;
}

// A counter of this network namespace's TCP, "Tcp:RetransSegs" or "TcpExt:ListenDrops":
// /proc/self/net/snmp and netstat hold lines of names, each followed by its values.
long tcp_counter(const std::string& file, const std::string& prefix, const std::string& name) {
    std::ifstream counters("/proc/self/net/" + file);
    for (std::string names, values; std::getline(counters, names) && std::getline(counters, values);) {
        std::istringstream keys(names);
        std::istringstream numbers(values);
        std::string key;
        std::string value;
        while (keys >> key && numbers >> value) {
            if (key == name && names.rfind(prefix, 0) == 0) {
                return std::stol(value);
            }
        }
    }
    return -1;
}

// The namespace's retransmissions and listen-queue drops so far.
struct Counters {
    long retrans = tcp_counter("snmp", "Tcp:", "RetransSegs");
    long syn_retrans = tcp_counter("netstat", "TcpExt:", "TCPSynRetrans");
    long listen_drops = tcp_counter("netstat", "TcpExt:", "ListenDrops");
};

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    const auto index = static_cast<size_t>(std::lround(fraction * static_cast<double>(sorted.size() - 1)));
    return sorted[std::min(index, sorted.size() - 1)];
}

// What the clients of one kind did, added up under the lock when each one ends.
struct Tally {
    std::mutex mutex;
    std::vector<double> latencies;  // of the echoed connections, in seconds
    long in_window = 0;             // echoed connections that ended inside the load window
    long outcomes[kOutcomes] = {};
    double longest = 0;  // the longest connection, whatever its outcome, in seconds

    long failed() const {
        return outcomes[kRefused] + outcomes[kReset] + outcomes[kShort] + outcomes[kGarbled] +
               outcomes[kFailed];
    }
};

// The window of the load: no connection starts after its end; those under way then are
// finished.
struct Window {
    double start;
    double end;
};

// One client of a kind that sends: exchanges until the window closes (or, with a
// shared count of connections, until --connections were made), then adds its figures to
// the tally.
void sending_client(const Options& options, const sockaddr_in& address, const std::string& payload,
                    double delay, const Window& window, std::atomic<long>* next, Tally& tally) {
    std::vector<double> latencies;
    long in_window = 0;
    long outcomes[kOutcomes] = {};
    double longest = 0;
    while ((next == nullptr || (*next)++ < options.connections) && harness::now() < window.end) {
        const double begin = harness::now();
        const Outcome outcome = exchange(address, payload, delay);
        const double end = harness::now();
        ++outcomes[outcome];
        longest = std::max(longest, end - begin);
        if (outcome == kEchoed) {
            latencies.push_back(end - begin);
            in_window += end <= window.end ? 1 : 0;
        }
    }
    const std::lock_guard lock(tally.mutex);
    tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
    tally.in_window += in_window;
    tally.longest = std::max(tally.longest, longest);
    for (int o = 0; o < kOutcomes; ++o) {
        tally.outcomes[o] += outcomes[o];
    }
}

// Connections of the idle clients, and how many of them the server ended.
struct IdleCount {
    std::atomic<long> connections{0};
    std::atomic<long> ended{0};
};

// One idle client: connects, sends nothing and waits until the server ends the
// connection (served empty, or turned away), then connects again; at the window's end
// it leaves.
void idle_client(const sockaddr_in& address, const Window& window, IdleCount& count) {
    while (harness::now() < window.end) {
        const int fd = connect_to(address);
        if (fd < 0) {
            pause_for(0.01);
            continue;
        }
        ++count.connections;
        pollfd pending = {fd, POLLIN, 0};
        const auto left_ms = static_cast<int>(std::ceil((window.end - harness::now()) * 1e3));
        if (left_ms > 0 && poll(&pending, 1, left_ms) > 0) {
            ++count.ended;
        }
        close(fd);
    }
}

// Every reset_every seconds, from half a period into the window: a client in that
// namespace connects to 127.0.0.1:80 and closes with a reset at once. Counts the resets
// made: a connect refused (nothing listens) makes none.
void resetting_client(const Options& options, const Window& window, std::atomic<long>& made) {
    const int fd = named_namespace(options.reset_netns);
    // Only this thread moves: its sockets are made in the daemon's namespace.
    if (setns(fd, CLONE_NEWNET) != 0) {
        std::perror("setns");
        std::exit(2);
    }
    close(fd);
    const sockaddr_in daemon = loopback_address("127.0.0.1:80");
    for (long k = 0;; ++k) {
        const double at = window.start + (static_cast<double>(k) + 0.5) * options.reset_every;
        if (at >= window.end) {
            break;
        }
        pause_for(at - harness::now());
        const int client = connect_to(daemon);
        if (client >= 0) {
            harness::reset(client);
            ++made;
        }
    }
}

// Everything the load produced.
struct Load {
    Window window = {0, 0};
    double end = 0;  // when the last client finished
    Counters before;
    Counters after;
    Tally sending;  // the --clients
    Tally slow;     // the --slow clients
    IdleCount idle;
    std::atomic<long> resets{0};
};

void run_load(const Options& options, const sockaddr_in& address, const std::string& payload, double deadline,
              Load& load) {
    load.before = Counters();
    const double start = harness::now();
    load.window = {start, options.duration > 0 ? std::min(start + options.duration, deadline) : deadline};
    std::atomic<long> next{0};
    std::atomic<long>* counted = options.duration > 0 ? nullptr : &next;
    std::vector<std::thread> clients;
    clients.reserve(static_cast<size_t>(options.clients) + static_cast<size_t>(options.slow) +
                    static_cast<size_t>(options.idle) + 1);
    for (int c = 0; c < options.clients; ++c) {
        clients.emplace_back(sending_client, std::cref(options), std::cref(address), std::cref(payload), 0.0,
                             std::cref(load.window), counted, std::ref(load.sending));
    }
    for (int c = 0; c < options.slow; ++c) {
        clients.emplace_back(sending_client, std::cref(options), std::cref(address), std::cref(payload),
                             options.delay, std::cref(load.window), nullptr, std::ref(load.slow));
    }
    for (int c = 0; c < options.idle; ++c) {
        clients.emplace_back(idle_client, std::cref(address), std::cref(load.window), std::ref(load.idle));
    }
    if (!options.reset_netns.empty()) {
        clients.emplace_back(resetting_client, std::cref(options), std::cref(load.window),
                             std::ref(load.resets));
    }
    for (auto& client : clients) {
        client.join();
    }
    load.end = harness::now();
    load.after = Counters();
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

// Private memory of the server's first process after the load (steadier than its peak),
// in kB; then the server is ended. -1 without a server of our own.
long stop_server(pid_t server) {
    if (server <= 0) {
        return -1;
    }
    const long anon = harness::status_kb(server, "RssAnon");
    kill(-server, SIGTERM);
    waitpid(server, nullptr, 0);
    return anon;
}

// The rate, percentiles and longest echo of one kind of client, as key=value pairs
// that start with the prefix.
void print_kind(const char* prefix, Tally& tally, double window, bool whole_window) {
    std::vector<double>& all = tally.latencies;
    std::sort(all.begin(), all.end());
    // The rate: echoes completed inside the window over its length. With --connections
    // the window is the whole load.
    const long counted = whole_window ? static_cast<long>(all.size()) : tally.in_window;
    const double micro = 1e6;
    std::printf("%scps=%.0f %sp50_us=%.0f %sp90_us=%.0f %sp99_us=%.0f %smax_us=%.0f ", prefix,
                static_cast<double>(counted) / window, prefix, percentile(all, 0.5) * micro, prefix,
                percentile(all, 0.9) * micro, prefix, percentile(all, 0.99) * micro, prefix,
                all.empty() ? 0 : all.back() * micro);
}

void report(const Options& options, const Readiness& readiness, double started, Load& load, long anon) {
    const double server_cpu = cpu_seconds(RUSAGE_CHILDREN);
    const double own_cpu = cpu_seconds(RUSAGE_SELF);
    Tally& sending = load.sending;
    const long* outcome = sending.outcomes;
    const double window =
        options.duration > 0 ? load.window.end - load.window.start : load.end - load.window.start;
    const auto over_1s = std::count_if(sending.latencies.begin(), sending.latencies.end(),
                                       [](double latency) { return latency > 1; });
    const double echoes = static_cast<double>(sending.latencies.size() + load.slow.latencies.size());
    const double per_connection = 1e6 / std::max(1.0, echoes);
    std::printf(
        "served=%zu failed=%ld refused=%ld reset=%ld short=%ld garbled=%ld other=%ld retrans=%ld "
        "syn_retrans=%ld listen_drops=%ld over_1s=%ld seconds=%.3f ",
        sending.latencies.size(), sending.failed(), outcome[kRefused], outcome[kReset], outcome[kShort],
        outcome[kGarbled], outcome[kFailed], load.after.retrans - load.before.retrans,
        load.after.syn_retrans - load.before.syn_retrans, load.after.listen_drops - load.before.listen_drops,
        static_cast<long>(over_1s), window);
    print_kind("", sending, window, options.duration <= 0);
    std::printf("slow_served=%zu slow_failed=%ld slow_garbled=%ld ", load.slow.latencies.size(),
                load.slow.failed(), load.slow.outcomes[kGarbled]);
    print_kind("slow_", load.slow, window, false);
    std::printf(
        "idle_connections=%ld idle_ended=%ld resets=%ld wait_max_us=%.0f "
        "ready_ms=%.2f restart_ms=%.2f anon_kb=%ld server_cpu_us=%.1f loadgen_cpu_us=%.1f\n",
        load.idle.connections.load(), load.idle.ended.load(), load.resets.load(),
        std::max(sending.longest, load.slow.longest) * 1e6,
        readiness.ready > 0 ? (readiness.ready - started) * 1e3 : -1,
        readiness.restart > 0 ? readiness.restart * 1e3 : -1, anon, server_cpu * per_connection,
        own_cpu * per_connection);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (stat("/proc/self/ns/net", &started_in) != 0) {
        std::perror("/proc/self/ns/net");
        return 2;
    }
    if (!enter_namespace(options)) {
        return 2;
    }
    const std::string payload = make_payload(options.payload);
    const sockaddr_in address = target_address(options);
    const double started = harness::now();
    const double deadline = started + options.seconds;
    const pid_t server = options.command.empty() ? 0 : start_server(options);
    arm_watchdog(server, deadline);
    const Readiness readiness = await_server(options, address, payload, deadline);
    // 2: the server never answered.
    if (readiness.ready < 0) {
        report(options, readiness, started, *std::make_unique<Load>(), stop_server(server));
        return 2;
    }
    const auto load = std::make_unique<Load>();
    run_load(options, address, payload, deadline, *load);
    report(options, readiness, started, *load, stop_server(server));
    // 1: some connection failed, or fewer were made than asked.
    const bool all_made =
        options.duration > 0 || static_cast<long>(load->sending.latencies.size()) == options.connections;
    return load->sending.failed() + load->slow.failed() == 0 && all_made ? 0 : 1;
}
