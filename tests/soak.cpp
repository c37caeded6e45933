// Soak: one daemon (MAX 1000) on port 80 of a private network namespace, under four
// well-behaved clients that make at least 20,000 connections with random payloads and
// check every reply, while the interposer fails each of the eight steps in turn and
// hostile clients (idle, resetting, flooding, dribbling, half-closing, a connect storm)
// come and go. Prints its figures; exits non-zero when any check fails. Bounded: it
// gives up after two minutes.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <thread>

#include "harness.hpp"

using harness::Daemon;

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

std::atomic<int> served{0};
std::atomic<int> refused{0};
std::atomic<int> retried{0};
std::atomic<int> corrupt{0};
std::atomic<int> lost{0};
std::atomic<bool> hostile_done{false};
double deadline = 0;

bool out_of_time() {
    return harness::now() > deadline;
}

// One payload through the daemon, retried until it comes back whole.
void well_behaved_exchange(const Daemon& daemon, std::mt19937& random) {
    std::string payload(1 + random() % 64, '\0');
    std::generate(payload.begin(), payload.end(), [&] { return static_cast<char>(random()); });
    const double give_up = harness::now() + attempt_limit_s;
    for (bool first = true; harness::now() < give_up; first = false) {
        if (!first) {
            ++retried;
        }
        const int fd = daemon.connect();
        if (fd < 0) {
            ++refused;  // between two images nothing listens
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const std::string reply = harness::exchange(fd, payload);
        if (reply == payload) {
            ++served;
            return;
        }
        if (!reply.empty()) {
            ++corrupt;
            return;
        }
        // Empty: the image serving this client failed before replying. Try again.
    }
    ++lost;
}

void well_behaved(const Daemon* daemon, unsigned seed) {
    std::mt19937 random(seed);
    while (!out_of_time() && (served < wanted_connections || !hostile_done)) {
        well_behaved_exchange(*daemon, random);
    }
}

// A reply from a hostile client must still be a prefix of what it sent.
void check_prefix(const std::string& reply, const std::string& sent) {
    if (reply.size() > 64 || sent.compare(0, reply.size(), reply) != 0) {
        ++corrupt;
    }
}

// Reports the restart that a reset caused, then waits until the next image serves: a
// client that came during the pause would be refused.
void await_restart(Daemon& daemon, std::mt19937& random) {
    std::printf("soak:   %s\n", daemon.err(5).c_str());
    well_behaved_exchange(daemon, random);
}

// A client that never gets in is lost; what follows on its -1 then fails harmlessly.
int hostile_connect(const Daemon& daemon) {
    const int fd = daemon.connect_retry(deadline - harness::now());
    if (fd < 0) {
        ++lost;
    }
    return fd;
}

// A reset costs the chain one launch. The next hostile client waits for the restart.
void idle_and_resetting_clients(Daemon& daemon, std::mt19937& random) {
    std::puts("soak: idle client");
    int fd = hostile_connect(daemon);
    check_prefix(harness::read_to_end(fd), "");
    close(fd);

    std::puts("soak: reset right after connecting");
    harness::reset(hostile_connect(daemon));
    await_restart(daemon, random);
    std::puts("soak: reset right after sending");
    fd = hostile_connect(daemon);
    harness::send_all(fd, "then gone");
    harness::reset(fd);
    await_restart(daemon, random);
}

void flooding_dribbling_and_half_closing_clients(const Daemon& daemon) {
    std::puts("soak: flood of 1 MiB");
    int fd = hostile_connect(daemon);
    const std::string flood(1 << 20, 'f');
    harness::send_all(fd, flood);
    check_prefix(harness::read_to_end(fd), flood);
    close(fd);

    std::puts("soak: dribble, one byte every 100 ms");
    fd = hostile_connect(daemon);
    for (int byte = 0; byte < 10; ++byte) {
        harness::send_all(fd, "d");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    check_prefix(harness::read_to_end(fd), std::string(10, 'd'));
    close(fd);

    std::puts("soak: half-close without data");
    check_prefix(harness::exchange(hostile_connect(daemon), ""), "");
}

// Past the backlog the kernel drops SYNs and the clients retry with growing pauses;
// one that cannot connect within the harness's limit counts as refused, not lost.
void connect_storm(const Daemon& daemon) {
    std::printf("soak: connect storm of %d\n", storm_size);
    std::vector<std::thread> storm;
    storm.reserve(storm_size);
    for (int i = 0; i < storm_size; ++i) {
        storm.emplace_back([&] {
            const int client = daemon.connect();
            if (client < 0) {
                ++refused;
                return;
            }
            check_prefix(harness::exchange(client, "storm"), "storm");
        });
    }
    for (auto& client : storm) {
        client.join();
    }
}

void hostile(Daemon& daemon) {
    std::mt19937 random(7);
    idle_and_resetting_clients(daemon, random);
    flooding_dribbling_and_half_closing_clients(daemon);
    connect_storm(daemon);
    hostile_done = true;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The well-behaved clients, the forced failures and the hostile clients, to the end.
void run_load(Daemon& daemon) {
    std::vector<std::thread> clients;
    clients.reserve(well_behaved_clients);
    for (int i = 0; i < well_behaved_clients; ++i) {
        clients.emplace_back(well_behaved, &daemon, 1000U + static_cast<unsigned>(i));
    }
    for (int restarts = 0; restarts < forced_restarts && !out_of_time(); ++restarts) {
        std::printf("soak: forced failure: %s\n", daemon.err(time_limit_s).c_str());
    }
    hostile(daemon);
    for (auto& client : clients) {
        client.join();
    }
    wait_until_idle(daemon);
}

// Prints the figures; true when every check held.
bool report(Daemon& daemon, double start, const Snapshot& before) {
    std::map<std::string, int> restarts_by_tag;
    for (const auto& line : daemon.lines(2)) {
        ++restarts_by_tag[line.text];
    }
    // Every restart re-executed the daemon in this same process: the image now serving
    // was handed the count of all restart lines.
    const bool alive = daemon.wait_status(0) == -1;
    const auto argv = daemon.cmdline();
    const auto restarts = daemon.lines(2).size();
    const bool same_process =
        alive && argv.size() == 3 && argv[0] == harness::daemon_path() && argv[1] == std::to_string(restarts);
    const Snapshot after = snapshot(daemon);

    std::printf("soak: %.1f s\n", harness::now() - start);
    std::printf("  served %d, refused %d, retried %d, corrupt %d, lost %d\n", served.load(), refused.load(),
                retried.load(), corrupt.load(), lost.load());
    for (const auto& [line, count] : restarts_by_tag) {
        std::printf("  %5d x %s\n", count, line.c_str());
    }
    std::printf("  alive %s, same process id %d handed count %s after %zu restarts %s\n",
                alive ? "yes" : "NO", daemon.pid(), argv.size() > 1 ? argv[1].c_str() : "?", restarts,
                same_process ? "yes" : "NO");
    std::printf("  descriptors %d -> %d, RSS %ld kB -> %ld kB\n", before.descriptors, after.descriptors,
                before.rss_kb, after.rss_kb);
    return !out_of_time() && served >= wanted_connections && corrupt == 0 && lost == 0 && alive &&
           same_process && before.descriptors == after.descriptors &&
           std::abs(after.rss_kb - before.rss_kb) <= 256;
}

}  // namespace

int main() {
    if (!harness::isolate()) {
        std::puts("soak: skipped");
        return 0;
    }
    const double start = harness::now();
    deadline = start + time_limit_s;
    Daemon daemon(harness::spawn_of({"0", "1000"}, forced_faults));
    wait_until_idle(daemon);
    const Snapshot before = snapshot(daemon);
    run_load(daemon);
    const bool passed = report(daemon, start, before);
    std::puts(passed ? "soak: passed" : "soak: FAILED");
    return passed ? 0 : 1;
}
