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
#include <arpa/inet.h>
#include <netinet/in.h>
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

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t chunk_size = 64;

// A connected socket to port 80 of this namespace, or -1. Send and receive give up after
// 10 s, so that no client outlives the test.
int connect_to_port_80() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval bound = {10, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

// Sends all it can (a failed send ends the sending, not the exchange), after the first
// chunk in pieces of a chunk, piece_ms apart, when piece_ms is not 0; then reads to the end
// of stream; returns what came back. in_order: every byte sent, and an end of stream, not
// a reset.
std::string exchange(int fd, const std::string& payload, bool half_close, long piece_ms = 0,
                     bool* in_order = nullptr) {
    size_t sent = 0;
    while (sent < payload.size()) {
        if (piece_ms > 0 && sent > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(piece_ms));
        }
        const size_t piece =
            piece_ms > 0 ? std::min(chunk_size, payload.size() - sent) : payload.size() - sent;
        const ssize_t n = send(fd, payload.data() + sent, piece, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    if (half_close) {
        (void)shutdown(fd, SHUT_WR);
    }
    std::string reply;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        reply.append(buffer, static_cast<size_t>(n));
    }
    if (in_order != nullptr) {
        *in_order = sent == payload.size() && n == 0;
    }
    (void)close(fd);
    return reply;
}

std::string random_bytes(std::mt19937& random, size_t size) {
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

struct Counts {
    std::atomic<long> served{0}, failed{0}, garbled{0}, idle_ended{0}, over_1s{0};
    std::atomic<long> wait_max_ms{0};
};

void note_wait(Counts& counts, Clock::time_point start) {
    const long waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (waited >= 1000) {
        ++counts.over_1s;
    }
    long known = counts.wait_max_ms;
    while (waited > known && !counts.wait_max_ms.compare_exchange_weak(known, waited)) {
    }
}

// Exchanges of 1 to 64 random bytes, one after the other, until the deadline. A wait is
// a whole exchange, connect to end of stream, failed or not.
void ordinary_client(Counts& counts, Clock::time_point deadline, long pause_ms, unsigned seed) {
    std::mt19937 random(seed);
    while (Clock::now() < deadline) {
        const std::string payload = random_bytes(random, 1 + random() % chunk_size);
        const Clock::time_point start = Clock::now();
        const int fd = connect_to_port_80();
        const std::string reply = fd < 0 ? "" : exchange(fd, payload, true);
        note_wait(counts, start);
        if (reply == payload) {
            ++counts.served;
        } else if (reply.empty()) {
            ++counts.failed;
        } else {
            ++counts.garbled;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
}

// Connects and sends nothing; once the far end closes, connects again.
void idle_client(Counts& counts, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        const int fd = connect_to_port_80();
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        pollfd end = {fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(&end, 1, static_cast<int>(std::max<long>(left.count(), 0))) > 0) {
            ++counts.idle_ended;
        }
        (void)close(fd);
    }
}

int load(double seconds, long clients, long idle, long pause_ms) {
    Counts counts;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(clients + idle));
    for (long i = 0; i < idle; ++i) {
        threads.emplace_back(idle_client, std::ref(counts), deadline);
    }
    // The idle clients connect first, so that they are ahead of the others in any queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(idle > 0 ? 100 : 0));
    for (long i = 0; i < clients; ++i) {
        threads.emplace_back(ordinary_client, std::ref(counts), deadline, pause_ms,
                             1000U + static_cast<unsigned>(i));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::printf("served=%ld failed=%ld garbled=%ld wait_max_ms=%ld over_1s=%ld idle_ended=%ld\n",
                counts.served.load(), counts.failed.load(), counts.garbled.load(), counts.wait_max_ms.load(),
                counts.over_1s.load(), counts.idle_ended.load());
    return 0;
}

// Every client sends its BYTES without a half-close, as most do, and waits for the end.
int large(size_t bytes, long clients, long piece_ms) {
    std::atomic<int> echoed{0};
    std::atomic<int> in_order{0};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(clients));
    for (long i = 0; i < clients; ++i) {
        threads.emplace_back([&echoed, &in_order, bytes, i, piece_ms] {
            std::mt19937 random(static_cast<unsigned>(i));
            const std::string payload = random_bytes(random, bytes);
            const int fd = connect_to_port_80();
            bool ended_in_order = false;
            if (fd >= 0 &&
                exchange(fd, payload, false, piece_ms, &ended_in_order) == payload.substr(0, chunk_size)) {
                ++echoed;
                in_order += ended_in_order ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::printf("echoed=%d in_order=%d clients=%ld\n", echoed.load(), in_order.load(), clients);
    return 0;
}

// Each holder keeps its connection for its SECONDS whatever the far end does, unless a
// trickled byte fails.
void holder(size_t bytes, long trickle_ms, Clock::time_point end, unsigned seed) {
    std::mt19937 random(seed);
    const int fd = connect_to_port_80();
    if (fd < 0) {
        return;
    }
    const std::string payload = random_bytes(random, bytes);
    (void)send(fd, payload.data(), payload.size(), MSG_NOSIGNAL);
    while (trickle_ms > 0 && Clock::now() < end && send(fd, "t", 1, MSG_NOSIGNAL) == 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(trickle_ms));
    }
    std::this_thread::sleep_until(end);
    (void)close(fd);
}

int hold(long count, long interval_ms, size_t bytes, long trickle_ms, double seconds) {
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        }
        const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        threads.emplace_back(holder, bytes, trickle_ms, end, static_cast<unsigned>(i));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::printf("holders=%ld\n", count);
    return 0;
}

int reset(long count, long interval_ms, const std::string& payload) {
    int made = 0;
    for (long i = 0; i < count; ++i) {
        const int fd = connect_to_port_80();
        if (fd >= 0) {
            (void)send(fd, payload.data(), payload.size(), MSG_NOSIGNAL);
            const linger abort = {1, 0};
            (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            (void)close(fd);
            ++made;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
    std::printf("resets=%d\n", made);
    return 0;
}

long number(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if ((args.size() == 4 || args.size() == 5) && args[0] == "load") {
        return load(std::strtod(args[1].c_str(), nullptr), number(args[2]), number(args[3]),
                    args.size() == 5 ? number(args[4]) : 0);
    }
    if ((args.size() == 3 || args.size() == 4) && args[0] == "large") {
        return large(static_cast<size_t>(number(args[1])), number(args[2]),
                     args.size() == 4 ? number(args[3]) : 0);
    }
    if (args.size() == 6 && args[0] == "hold") {
        return hold(number(args[1]), number(args[2]), static_cast<size_t>(number(args[3])), number(args[4]),
                    std::strtod(args[5].c_str(), nullptr));
    }
    if (args.size() == 4 && args[0] == "reset") {
        return reset(number(args[1]), number(args[2]), args[3]);
    }
    (void)std::fputs(
        "usage: front_client load SECONDS CLIENTS IDLE [PAUSE_MS] | large BYTES CLIENTS [PIECE_MS] | hold "
        "COUNT INTERVAL_MS BYTES TRICKLE_MS SECONDS | reset COUNT INTERVAL_MS PAYLOAD\n",
        stderr);
    return 2;
}
