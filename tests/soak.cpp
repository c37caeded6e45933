// Soak: one daemon (MAX 1000) on port 80 of a private network namespace, under four
// well-behaved clients that make at least 20,000 connections with random payloads and
// check every reply, while the interposer fails each of the eight steps in turn and
// hostile clients (idle, resetting, flooding, dribbling, half-closing, a connect storm)
// come and go. Prints its figures; exits non-zero when any check fails. Bounded: it
// gives up after two minutes.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <thread>

#include "harness.hpp"

using harness::Daemon;
using namespace std::chrono_literals;

namespace {

constexpr int wanted_connections = 20000;
constexpr int well_behaved_clients = 4;
constexpr double time_limit_s = 120;
constexpr double attempt_limit_s = 20;  // one connection's retries, before it counts as lost
constexpr int storm_size = 64;          // well past the backlog of 5

// Images 0..7 each fail one step: those that fail while serving do so after a few
// hundred clients, and every image that fails at start-up is followed by one that serves.
constexpr const char* forced_faults =
    "accept4@0#300,socket@1,poll@2#300,read@3#300,bind@4,send@5#300,listen@6,shutdown@7#300,close@8#300";
constexpr int forced_restarts = 9;

std::atomic<int> served, refused, retried, corrupt, lost;
std::atomic<bool> hostile_done{false};
double deadline = 0;
const auto out_of_time = [] { return harness::now() > deadline; };

// The harness's client calls fail harmlessly on the -1 of a connection that failed, and
// return nothing.
void well_behaved_exchange(const Daemon& daemon, std::mt19937& random) {
    std::string payload(1 + random() % 64, '\0');
    std::generate(payload.begin(), payload.end(), [&] { return static_cast<char>(random()); });
    const double give_up = harness::now() + attempt_limit_s;
    for (int attempt = 0; harness::now() < give_up; ++attempt) {
        retried += attempt > 0 ? 1 : 0;
        const int fd = daemon.connect();
        refused += fd < 0 ? 1 : 0;  // between two images nothing listens
        // Empty: refused, or the image serving this client failed before replying.
        if (const std::string reply = harness::exchange(fd, payload); !reply.empty()) {
            ++(reply == payload ? served : corrupt);
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    ++lost;
}

// A reply to a hostile client must still be a prefix of what it sent.
void check_prefix(const std::string& reply, const std::string& sent) {
    corrupt += reply.size() > 64 || sent.compare(0, reply.size(), reply) != 0 ? 1 : 0;
}

struct HostileClient {
    const char* name;
    std::string payload;
    bool dribble;  // one byte every 100 ms, else all at once
    enum { read_reply, half_close, reset } end;
};

// A client that never gets in is lost. A reset costs the chain one launch: the restart is
// reported, and the next client waits until the next image serves, since one that came
// during the pause would be refused.
void hostile_client(Daemon& daemon, const HostileClient& client, std::mt19937& random) {
    std::printf("soak: %s\n", client.name);
    const int fd = daemon.connect_retry(deadline - harness::now());
    lost += fd < 0 ? 1 : 0;
    const size_t piece = client.dribble ? 1 : client.payload.size();
    for (size_t sent = 0; sent < client.payload.size(); sent += piece) {
        harness::send_all(fd, client.payload.substr(sent, piece));
        std::this_thread::sleep_for(client.dribble ? 100ms : 0ms);
    }
    if (client.end == HostileClient::reset) {
        harness::reset(fd);
        std::printf("soak:   %s\n", daemon.err(5).c_str());
        well_behaved_exchange(daemon, random);
        return;
    }
    if (client.end == HostileClient::half_close) {
        shutdown(fd, SHUT_WR);
    }
    check_prefix(harness::read_to_end(fd), client.payload);
    close(fd);
}

// Past the backlog the kernel drops SYNs and the clients retry with growing pauses;
// one that cannot connect within the harness's limit counts as refused, not lost.
void connect_storm(const Daemon& daemon) {
    std::printf("soak: connect storm of %d\n", storm_size);
    std::array<std::jthread, storm_size> storm;
    for (auto& client : storm) {
        client = std::jthread([&] {
            const int fd = daemon.connect();
            refused += fd < 0 ? 1 : 0;
            check_prefix(harness::exchange(fd, "storm"), "storm");
        });
    }
}

struct Snapshot {
    int descriptors;
    long rss_kb;
};

Snapshot snapshot(const Daemon& daemon) {
    return {static_cast<int>(daemon.descriptors().size()), harness::status_kb(daemon.pid(), "VmRSS")};
}

// The daemon has finished with every client once it prints its waiting line last.
void wait_until_idle(Daemon& daemon) {
    while (!out_of_time() && daemon.last_line() != "[*] Waiting for client connections") {
        std::this_thread::sleep_for(50ms);
    }
}

void run_load(Daemon& daemon) {
    std::array<std::jthread, well_behaved_clients> clients;
    for (unsigned seed = 1000; auto& client : clients) {
        client = std::jthread([&daemon, seed = seed++] {
            std::mt19937 random(seed);
            while (!out_of_time() && (served < wanted_connections || !hostile_done)) {
                well_behaved_exchange(daemon, random);
            }
        });
    }
    for (int restarts = 0; restarts < forced_restarts && !out_of_time(); ++restarts) {
        std::printf("soak: forced failure: %s\n", daemon.err(time_limit_s).c_str());
    }
    std::mt19937 random(7);
    const HostileClient hostile_clients[] = {
        {"idle client", "", false, HostileClient::read_reply},
        {"reset right after connecting", "", false, HostileClient::reset},
        {"reset right after sending", "then gone", false, HostileClient::reset},
        {"flood of 1 MiB", std::string(1 << 20, 'f'), false, HostileClient::read_reply},
        {"dribble, one byte every 100 ms", std::string(10, 'd'), true, HostileClient::read_reply},
        {"half-close without data", "", false, HostileClient::half_close},
    };
    for (const auto& client : hostile_clients) {
        hostile_client(daemon, client, random);
    }
    connect_storm(daemon);
    hostile_done = true;
    clients = {};  // joins them
    wait_until_idle(daemon);
}

// Prints the figures; true when every check held. Every restart re-executed the daemon
// in this same process: the image now serving was handed the count of all restart lines.
bool report(Daemon& daemon, double start, const Snapshot& before) {
    std::map<std::string, int> restarts_by_tag;
    const auto restart_lines = daemon.lines(2);
    for (const auto& line : restart_lines) {
        ++restarts_by_tag[line.text];
    }
    const bool alive = daemon.wait_status(0) == -1;
    const auto argv = daemon.cmdline();
    const bool same_process = alive && argv.size() == 3 && argv[0] == harness::daemon_path() &&
                              argv[1] == std::to_string(restart_lines.size());
    // descriptors() throws once the process is gone.
    const Snapshot after = alive ? snapshot(daemon) : Snapshot{-1, -1};

    std::printf("soak: %.1f s\n", harness::now() - start);
    std::printf("  served %d, refused %d, retried %d, corrupt %d, lost %d\n", served.load(), refused.load(),
                retried.load(), corrupt.load(), lost.load());
    for (const auto& [line, count] : restarts_by_tag) {
        std::printf("  %5d x %s\n", count, line.c_str());
    }
    std::printf("  alive %s, same process id %d handed count %s after %zu restarts %s\n",
                alive ? "yes" : "NO", daemon.pid(), argv.size() > 1 ? argv[1].c_str() : "?",
                restart_lines.size(), same_process ? "yes" : "NO");
    std::printf("  descriptors %d -> %d, RSS %ld kB -> %ld kB\n", before.descriptors, after.descriptors,
                before.rss_kb, after.rss_kb);
    return !out_of_time() && served >= wanted_connections && corrupt == 0 && lost == 0 && alive &&
           same_process && before.descriptors == after.descriptors &&
           std::abs(after.rss_kb - before.rss_kb) <= 256;
}

}  // namespace

int main() {
    if (!harness::isolate()) {
        const bool allowed = harness::skips_allowed();
        std::puts(allowed ? "soak: skipped"
                          : "FAIL: soak did not run (ECHO_DAEMON_ALLOW_SKIPS=1 lets it skip)");
        return allowed ? 0 : 1;
    }
    const double start = harness::now();
    deadline = start + time_limit_s;
    Daemon daemon(harness::spawn_of({"0", "1000"}, forced_faults));
    wait_until_idle(daemon);
    const Snapshot before = snapshot(daemon);
    run_load(daemon);
    const bool passed = report(daemon, start, before);
    std::puts(passed ? "PASS: soak: every client served, one process, nothing leaked" : "FAIL: soak");
    return passed ? 0 : 1;
}
