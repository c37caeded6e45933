// Load generator for one echo server, in a network namespace of its own.
//
//   loadgen [options] -- COMMAND [ARGS...]
//
// Starts COMMAND (the server) in a fresh network namespace, waits until it answers,
// then runs --clients concurrent clients against 127.0.0.1:--port, either for
// --connections connections in all or, with --duration, for that many seconds. Each
// client sends --payload bytes, half-closes, reads the reply to end of stream and checks
// every byte. Prints one line of key=value figures; what each counts is described in
// docs/performance.md. Bounded: no new connection starts after --seconds, and the run
// is killed ten seconds later whatever happens.
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace {

struct Options {
    int port = 80;
    long connections = 20000;
    double duration = 0;  // seconds of load; 0: make --connections connections instead
    int clients = 4;
    size_t payload = 32;
    double seconds = 60;
    std::string console = "/dev/null";
    bool restart = false;  // measure a restart: the server's second accept must fail
    std::vector<char*> command;
};

[[noreturn]] void usage() {
    (void)std::fputs(
        "usage: loadgen [--port P] [--connections N | --duration S] [--clients C] [--payload B]\n"
        "               [--seconds S] [--console FILE] [--restart] -- COMMAND [ARGS...]\n",
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

Options parse(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string flag = argv[i];
        if (flag == "--restart") {
            options.restart = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
        }
        const char* value = argv[++i];
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
        } else if (flag == "--payload") {
            options.payload = static_cast<size_t>(number(value));
        } else if (flag == "--seconds") {
            options.seconds = number(value);
        } else {
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

// One connection: send the payload, half-close, read the reply to end of stream. Six
// calls, so that the generator costs as little as it can beside the server it measures;
// the watchdog bounds a server that never answers.
Outcome exchange(int port, const std::string& payload) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // One byte more than expected: a full buffer means the server sent too much.
    char reply[4096];
    const size_t room = std::min(payload.size() + 1, sizeof reply);
    Outcome outcome = kFailed;
    ssize_t got = -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) < 0 || shutdown(fd, SHUT_WR) != 0 ||
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
double wait_until_serving(int port, const std::string& payload, double deadline) {
    while (harness::now() < deadline) {
        const Outcome outcome = exchange(port, payload);
        if (outcome == kEchoed || outcome == kShort || outcome == kGarbled) {
            return harness::now();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return -1;
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

// What the clients did, added up under the lock when each one ends.
struct Tally {
    std::mutex mutex;
    std::vector<double> latencies;  // of the echoed connections, in seconds
    long in_window = 0;             // echoed connections that ended inside the load window
    long outcomes[kOutcomes] = {};
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    // Never load the host's own port 80.
    if (!harness::isolate()) {
        return 2;
    }
    harness::bring_loopback_up();
    std::string payload(options.payload, '\0');
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>('a' + i % 26);
    }

    const double started = harness::now();
    const double deadline = started + options.seconds;
    const pid_t server = start_server(options);
    // However a server misbehaves, the run ends: ten seconds past its deadline at most.
    std::thread([server, deadline] {
        std::this_thread::sleep_for(std::chrono::duration<double>(deadline + 10 - harness::now()));
        (void)std::fputs("loadgen: the server stopped answering\n", stderr);
        kill(-server, SIGKILL);
        std::_Exit(2);
    }).detach();
    const double ready = wait_until_serving(options.port, payload, deadline);
    double restart = -1;
    if (ready > 0 && options.restart) {
        // The probe was the first client; the server fails its next accept right after
        // closing it, then pauses and comes back.
        const double failed = harness::now();
        const double back = wait_until_serving(options.port, payload, deadline);
        restart = back > 0 ? back - failed : -1;
    }

    const Counters before;
    const double load_start = harness::now();
    // No connection starts after the window closes; those under way then are finished.
    const double window_end =
        options.duration > 0 ? std::min(load_start + options.duration, deadline) : deadline;
    std::atomic<long> next{0};
    Tally tally;
    std::vector<std::thread> clients;
    for (int c = 0; c < options.clients && ready > 0; ++c) {
        clients.emplace_back([&] {
            std::vector<double> latencies;
            long in_window = 0;
            long outcomes[kOutcomes] = {};
            while ((options.duration > 0 || next++ < options.connections) && harness::now() < window_end) {
                const double begin = harness::now();
                const Outcome outcome = exchange(options.port, payload);
                ++outcomes[outcome];
                if (outcome == kEchoed) {
                    const double end = harness::now();
                    latencies.push_back(end - begin);
                    in_window += end <= window_end ? 1 : 0;
                }
            }
            const std::lock_guard lock(tally.mutex);
            tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
            tally.in_window += in_window;
            for (int o = 0; o < kOutcomes; ++o) {
                tally.outcomes[o] += outcomes[o];
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    const double load_end = harness::now();
    const Counters after;
    // Private memory of the server's first process, after the load: steadier than its peak.
    const long anon = harness::status_kb(server, "RssAnon");
    kill(-server, SIGTERM);
    waitpid(server, nullptr, 0);
    // The server's CPU time, with every process it forked and reaped; and ours.
    auto seconds_of = [](int who) {
        rusage usage = {};
        getrusage(who, &usage);
        const auto total = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
        };
        return total(usage.ru_utime) + total(usage.ru_stime);
    };
    const double server_cpu = seconds_of(RUSAGE_CHILDREN);
    const double own_cpu = seconds_of(RUSAGE_SELF);

    std::vector<double>& all = tally.latencies;
    std::sort(all.begin(), all.end());
    const auto over_1s = std::count_if(all.begin(), all.end(), [](double latency) { return latency > 1; });
    // The rate: echoes completed inside the window over its length. With --connections
    // the window is the whole load.
    const double window = options.duration > 0 ? window_end - load_start : load_end - load_start;
    const long counted = options.duration > 0 ? tally.in_window : static_cast<long>(all.size());
    const long* outcome = tally.outcomes;
    const long failed =
        outcome[kRefused] + outcome[kReset] + outcome[kShort] + outcome[kGarbled] + outcome[kFailed];
    const double micro = 1e6;
    const double per_connection = micro / std::max<double>(1, static_cast<double>(all.size()));
    std::printf(
        "served=%zu failed=%ld refused=%ld reset=%ld short=%ld garbled=%ld other=%ld retrans=%ld "
        "syn_retrans=%ld listen_drops=%ld over_1s=%ld seconds=%.3f cps=%.0f p50_us=%.0f p90_us=%.0f "
        "p99_us=%.0f max_us=%.0f "
        "ready_ms=%.2f restart_ms=%.2f anon_kb=%ld server_cpu_us=%.1f loadgen_cpu_us=%.1f\n",
        all.size(), failed, outcome[kRefused], outcome[kReset], outcome[kShort], outcome[kGarbled],
        outcome[kFailed], after.retrans - before.retrans, after.syn_retrans - before.syn_retrans,
        after.listen_drops - before.listen_drops, static_cast<long>(over_1s), window,
        static_cast<double>(counted) / window, percentile(all, 0.5) * micro, percentile(all, 0.9) * micro,
        percentile(all, 0.99) * micro, all.empty() ? 0 : all.back() * micro,
        ready > 0 ? (ready - started) * 1e3 : -1, restart > 0 ? restart * 1e3 : -1, anon,
        server_cpu * per_connection, own_cpu * per_connection);
    // 2: the server never answered; 1: some connection failed, or fewer were made than asked.
    if (ready < 0) {
        return 2;
    }
    const bool all_made = options.duration > 0 || static_cast<long>(all.size()) == options.connections;
    return failed == 0 && all_made ? 0 : 1;
}
