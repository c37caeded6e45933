// Load generator for one echo server, in a network namespace of its own.
//
//   loadgen [options] -- COMMAND [ARGS...]
//
// Starts COMMAND (the server) in a fresh network namespace, waits until it echoes,
// then makes --connections connections from --clients concurrent clients to
// 127.0.0.1:--port. Each client sends --payload bytes, reads the reply to end of
// stream and checks every byte. Prints one line of key=value figures. Bounded: it stops
// after --seconds whatever the count.
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace {

struct Options {
    int port = 80;
    int connections = 20000;
    int clients = 4;
    size_t payload = 32;
    double seconds = 60;
    std::string console = "/dev/null";
    bool restart = false;  // measure a restart: the server's second accept must fail
    std::vector<char*> command;
};

[[noreturn]] void usage() {
    std::fputs(
        "usage: loadgen [--port P] [--connections N] [--clients C] [--payload B] [--seconds S]\n"
        "               [--console FILE] [--restart] -- COMMAND [ARGS...]\n",
        stderr);
    std::exit(2);
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
        if (flag == "--port") {
            options.port = std::atoi(value);
        } else if (flag == "--connections") {
            options.connections = std::atoi(value);
        } else if (flag == "--clients") {
            options.clients = std::max(1, std::atoi(value));
        } else if (flag == "--payload") {
            options.payload = std::strtoul(value, nullptr, 10);
        } else if (flag == "--seconds") {
            options.seconds = std::atof(value);
        } else if (flag == "--console") {
            options.console = value;
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
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // one group, so that forking servers and tracers end together
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(console, STDOUT_FILENO);
        dup2(console, STDERR_FILENO);
        execvp(options.command[0], options.command.data());
        std::perror(options.command[0]);
        _exit(127);
    }
    close(console);
    return pid;
}

// One connection: send the payload, half-close, read the reply to end of stream. True
// when the reply is the payload, byte for byte. Six calls, so that the generator costs
// as little as it can beside the server it measures; the watchdog bounds a server that
// never answers.
bool exchange(int port, const std::string& payload) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ok = ok && send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(payload.size());
    ok = ok && shutdown(fd, SHUT_WR) == 0;
    // One byte more than expected: a full buffer means the server sent too much.
    char reply[4096];
    const size_t room = std::min(payload.size() + 1, sizeof reply);
    ok = ok && recv(fd, reply, room, MSG_WAITALL) == static_cast<ssize_t>(payload.size()) &&
         std::memcmp(reply, payload.data(), payload.size()) == 0;
    close(fd);
    return ok;
}

// Waits until the server echoes; returns the time it first did, or -1 past the deadline.
double wait_until_serving(int port, const std::string& payload, double deadline) {
    while (harness::now() < deadline) {
        if (exchange(port, payload)) {
            return harness::now();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return -1;
}

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    const auto index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    harness::isolate();
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
        std::fputs("loadgen: the server stopped answering\n", stderr);
        kill(-server, SIGKILL);
        std::_Exit(1);
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

    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(options.clients));
    const double load_start = harness::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < options.clients && ready > 0; ++c) {
        clients.emplace_back([&, c] {
            auto& mine = latencies[static_cast<size_t>(c)];
            while (next++ < options.connections && harness::now() < deadline) {
                const double begin = harness::now();
                if (exchange(options.port, payload)) {
                    mine.push_back(harness::now() - begin);
                } else {
                    ++failures;
                }
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    const double elapsed = harness::now() - load_start;
    const long rss = harness::status_kb(server, "VmHWM");
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

    std::vector<double> all;
    for (const auto& mine : latencies) {
        all.insert(all.end(), mine.begin(), mine.end());
    }
    std::sort(all.begin(), all.end());
    const double micro = 1e6;
    std::printf(
        "served=%zu failures=%d seconds=%.3f cps=%.0f p50_us=%.0f p90_us=%.0f p99_us=%.0f max_us=%.0f "
        "ready_ms=%.2f restart_ms=%.2f rss_kb=%ld server_cpu_us=%.1f loadgen_cpu_us=%.1f\n",
        all.size(), failures.load(), elapsed, static_cast<double>(all.size()) / elapsed,
        percentile(all, 0.5) * micro, percentile(all, 0.9) * micro, percentile(all, 0.99) * micro,
        all.empty() ? 0 : all.back() * micro, ready > 0 ? (ready - started) * 1e3 : -1,
        restart > 0 ? restart * 1e3 : -1, rss,
        server_cpu * micro / std::max<double>(1, static_cast<double>(all.size())),
        own_cpu * micro / std::max<double>(1, static_cast<double>(all.size())));
    return ready > 0 && failures == 0 && static_cast<int>(all.size()) == options.connections ? 0 : 1;
}
