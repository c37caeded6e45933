// The clients of tests/front_test.sh. Each mode connects to 127.0.0.1:80 of the network
// namespace it runs in and prints one line of key=value counts.
//
//   front_client load SECONDS CLIENTS IDLE [PAUSE_MS]  CLIENTS exchanges at a time, for
//                                           SECONDS, each client pausing PAUSE_MS (default 0)
//                                           after each, beside IDLE clients that send nothing
//   front_client large BYTES CLIENTS [PIECE_MS]  CLIENTS at once, each sending BYTES and
//                                           reading its echo, the first 64 bytes; with PIECE_MS,
//                                           a chunk first, then the rest 64 bytes every PIECE_MS
//   front_client hold COUNT INTERVAL_MS BYTES TRICKLE_MS SECONDS  COUNT clients, INTERVAL_MS
//                                           apart, each sending BYTES and then, for SECONDS, never
//                                           reading: with TRICKLE_MS, sending a byte that often
//   front_client reset COUNT INTERVAL_MS PAYLOAD  COUNT connections, INTERVAL_MS apart, each
//                                           sending PAYLOAD (may be empty) and closing with a reset
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace {

constexpr size_t chunk_size = 64;

void pause_ms(long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Client i, for i from 0 to count - 1, each in a thread of its own, interval_ms after the
// one before; returns once all have ended.
template <typename Client>
void run_clients(long count, long interval_ms, Client client) {
    std::vector<std::thread> threads;
    for (long i = 0; i < count; ++i) {
        pause_ms(i > 0 ? interval_ms : 0);
        threads.emplace_back(client, static_cast<unsigned>(i));
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

// A connected socket to port 80 of this namespace, or -1. Send and receive give up after
// 10 s, so that no client outlives the test.
int connect_to_port_80() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval bound = {10, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    const sockaddr_in address = {AF_INET, htons(80), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

std::string random_bytes(std::mt19937& random, size_t size) {
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

struct Counts {
    std::atomic<long> served{0}, failed{0}, garbled{0}, idle_ended{0}, over_1s{0}, wait_max_ms{0};
};

// Exchanges of 1 to 64 random bytes, one after the other, until the deadline. A wait is
// a whole exchange, connect to end of stream, failed or not.
void ordinary_client(Counts& counts, double deadline, long pause, unsigned seed) {
    std::mt19937 random(seed);
    while (harness::now() < deadline) {
        const std::string payload = random_bytes(random, 1 + random() % chunk_size);
        const double start = harness::now();
        const int fd = connect_to_port_80();
        const std::string reply = fd < 0 ? "" : harness::exchange(fd, payload);
        const auto waited = static_cast<long>((harness::now() - start) * 1000);
        counts.over_1s += waited >= 1000 ? 1 : 0;
        long known = counts.wait_max_ms;
        while (waited > known && !counts.wait_max_ms.compare_exchange_weak(known, waited)) {
        }
        ++(reply == payload ? counts.served : reply.empty() ? counts.failed : counts.garbled);
        pause_ms(pause);
    }
}

// Connects and sends nothing; once the far end closes, connects again.
void idle_client(Counts& counts, double deadline) {
    while (harness::now() < deadline) {
        const int fd = connect_to_port_80();
        if (fd < 0) {
            pause_ms(100);
            continue;
        }
        pollfd end = {fd, POLLIN, 0};
        if (poll(&end, 1, static_cast<int>(std::max((deadline - harness::now()) * 1000, 0.0))) > 0) {
            ++counts.idle_ended;
        }
        (void)close(fd);
    }
}

int load(double seconds, long clients, long idle, long pause) {
    Counts counts;
    const double deadline = harness::now() + seconds;
    std::thread idlers([&] { run_clients(idle, 0, [&](unsigned) { idle_client(counts, deadline); }); });
    // The idle clients connect first, so that they are ahead of the others in any queue.
    pause_ms(idle > 0 ? 100 : 0);
    run_clients(clients, 0, [&](unsigned i) { ordinary_client(counts, deadline, pause, 1000U + i); });
    idlers.join();
    std::printf("served=%ld failed=%ld garbled=%ld wait_max_ms=%ld over_1s=%ld idle_ended=%ld\n",
                counts.served.load(), counts.failed.load(), counts.garbled.load(), counts.wait_max_ms.load(),
                counts.over_1s.load(), counts.idle_ended.load());
    return 0;
}

// Sends BYTES without a half-close, as most clients do, and reads to the end. In order:
// every byte went and the stream ended, not reset. This side sends no FIN, so an orderly
// end leaves the connection in CLOSE_WAIT; a reset, before or after the echo, in CLOSE.
int large(size_t bytes, long clients, long piece_ms) {
    std::atomic<int> echoed{0};
    std::atomic<int> in_order{0};
    run_clients(clients, 0, [&](unsigned i) {
        std::mt19937 random(i);
        const std::string payload = random_bytes(random, bytes);
        const int fd = connect_to_port_80();
        if (fd < 0) {
            return;
        }
        const size_t piece = piece_ms > 0 ? chunk_size : payload.size();
        for (size_t at = 0; at < payload.size(); at += piece) {
            pause_ms(at > 0 ? piece_ms : 0);
            harness::send_all(fd, payload.substr(at, piece));
        }
        tcp_info info = {};
        socklen_t size = sizeof info;
        const bool echo = harness::read_to_end(fd) == payload.substr(0, chunk_size);
        echoed += echo ? 1 : 0;
        in_order += echo && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
                    info.tcpi_state == TCP_CLOSE_WAIT;
        (void)close(fd);
    });
    std::printf("echoed=%d in_order=%d clients=%ld\n", echoed.load(), in_order.load(), clients);
    return 0;
}

// Each holder keeps its connection for its SECONDS whatever the far end does, unless a
// trickled byte fails.
int hold(long count, long interval_ms, size_t bytes, long trickle_ms, double seconds) {
    run_clients(count, interval_ms, [&](unsigned i) {
        std::mt19937 random(i);
        const double end = harness::now() + seconds;
        const int fd = connect_to_port_80();
        if (fd < 0) {
            return;
        }
        harness::send_all(fd, random_bytes(random, bytes));
        while (trickle_ms > 0 && harness::now() < end && send(fd, "t", 1, MSG_NOSIGNAL) == 1) {
            pause_ms(trickle_ms);
        }
        pause_ms(static_cast<long>((end - harness::now()) * 1000));
        (void)close(fd);
    });
    std::printf("holders=%ld\n", count);
    return 0;
}

int reset(long count, long interval_ms, const std::string& payload) {
    int made = 0;
    for (long i = 0; i < count; ++i) {
        const int fd = connect_to_port_80();
        if (fd >= 0) {
            harness::send_all(fd, payload);
            harness::reset(fd);
            ++made;
        }
        pause_ms(interval_ms);
    }
    std::printf("resets=%d\n", made);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto number = [&](size_t i) {
        return i < args.size() ? std::strtol(args[i].c_str(), nullptr, 10) : 0L;
    };
    const auto seconds = [&](size_t i) { return std::strtod(args[i].c_str(), nullptr); };
    if ((args.size() == 4 || args.size() == 5) && args[0] == "load") {
        return load(seconds(1), number(2), number(3), number(4));
    }
    if ((args.size() == 3 || args.size() == 4) && args[0] == "large") {
        return large(static_cast<size_t>(number(1)), number(2), number(3));
    }
    if (args.size() == 6 && args[0] == "hold") {
        return hold(number(1), number(2), static_cast<size_t>(number(3)), number(4), seconds(5));
    }
    if (args.size() == 4 && args[0] == "reset") {
        return reset(number(1), number(2), args[3]);
    }
    (void)std::fputs("usage: front_client load|large|hold|reset ARGUMENTS (see its source)\n", stderr);
    return 2;
}
