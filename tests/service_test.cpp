// The echo service as a client and the console see it.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

#include "harness.hpp"

using harness::Daemon;

namespace {

const std::string connected_line = "[*] Received client connection";

void expect_started(Daemon& daemon) {
    const std::vector<std::string> lines = harness::startup_lines();
    EXPECT_EQ(daemon.next_out_lines(lines.size()), lines);
}

void expect_client_served(Daemon& daemon) {
    const std::vector<std::string> lines = harness::client_lines();
    EXPECT_EQ(daemon.next_out_lines(lines.size()), lines);
}

// The rest of a client's lines, once the test has taken its connected line.
void expect_connected_client_served(Daemon& daemon) {
    const std::vector<std::string> lines = harness::client_lines();
    EXPECT_EQ(daemon.next_out_lines(lines.size() - 1),
              std::vector<std::string>(lines.begin() + 1, lines.end()));
}

enum class Client {
    half_closes,  // sends, half-closes, reads to the end
    waits,        // sends and reads without half-closing, as an interactive client does
    closes,       // sends and closes without reading
    half_closes_then_closes,
    holds_open,  // sends, reads the echo, then neither sends nor closes
    trickles,    // sends, reads the echo, then a byte every 0.9 s, twice
    floods,      // sends, reads the echo, then sends all it can, up to flood_limit
};
struct Case {
    const char* name;
    Client client;
    std::string sent;
    std::string expected;
};
const std::string long_text(100, 'x');
const std::vector<Case> echo_cases = {
    {"short text", Client::half_closes, "hello, echo", "hello, echo"},
    {"zero bytes inside", Client::half_closes, std::string("a\0b\0\0c\0", 7), std::string("a\0b\0\0c\0", 7)},
    {"exactly 64 bytes", Client::half_closes, std::string(64, '7'), std::string(64, '7')},
    {"100 bytes at once", Client::half_closes, long_text, long_text.substr(0, 64)},
    {"nothing, then end of stream", Client::half_closes, "", ""},
    {"a single byte", Client::half_closes, "\xff", "\xff"},
    {"a line, then waiting for its echo", Client::waits, "line\n", "line\n"},
    // The reply meets a closed socket, whose reset leaves nothing to shut down:
    // that costs no launch.
    {"1 byte, closed unread", Client::closes, "1", ""},
    {"64 bytes, closed unread", Client::closes, std::string(64, 'c'), ""},
    {"1 byte, half-closed, closed unread", Client::half_closes_then_closes, "1", ""},
    {"64 bytes, half-closed, closed unread", Client::half_closes_then_closes, std::string(64, 'h'), ""},
    // What follows a full chunk is discarded until the client's end of stream, which this
    // one never sends: the discard's time bound ends the connection.
    {"100 bytes, then held open", Client::holds_open, long_text, long_text.substr(0, 64)},
    // The discard's bounds: each wait for more is what is left of 1 s, and 4 MiB at most.
    {"64 bytes, then a byte every 0.9 s", Client::trickles, std::string(64, 't'), std::string(64, 't')},
    {"64 bytes, then a flood", Client::floods, std::string(64, 'f'), std::string(64, 'f')},
    {"served after those", Client::half_closes, "next", "next"},
};

void trickle(int fd) {
    for (int byte = 0; byte < 2; ++byte) {
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
        (void)send(fd, "t", 1, MSG_NOSIGNAL);
    }
}

// Sends until the daemon's close makes a send fail, which must come well before the limit.
void flood(int fd) {
    constexpr size_t flood_limit = size_t{64} << 20;
    const std::string block(size_t{64} << 10, 'f');
    size_t sent = 0;
    for (ssize_t n = 0; n >= 0 && sent < flood_limit; sent += static_cast<size_t>(n)) {
        n = send(fd, block.data(), block.size(), MSG_NOSIGNAL);
    }
    EXPECT_LT(sent, flood_limit) << "the discard read more than its bound";
}

// How long the daemon went on reading after its reply, by its console lines.
double last_discard_s(Daemon& daemon) {
    double replied = 0;
    double closed = 0;
    for (const auto& line : daemon.lines(STDOUT_FILENO)) {
        replied = line.text == "[*] Replied to client echo" ? line.time : replied;
        closed = line.text == "[*] Closed client connection" ? line.time : closed;
    }
    return closed - replied;
}

// One client of a case on a connection, as the case says it behaves.
void run_client(int fd, const Case& c) {
    const double start = harness::now();
    switch (c.client) {
        case Client::half_closes:
            EXPECT_EQ(harness::exchange(fd, c.sent), c.expected);
            break;
        case Client::waits:
            harness::send_all(fd, c.sent);
            EXPECT_EQ(harness::read_to_end(fd), c.expected);
            // Well inside the 5-second idle bound: the one read does not wait for more.
            EXPECT_LT(harness::now() - start, 2.5);
            close(fd);
            break;
        case Client::closes:
        case Client::half_closes_then_closes:
            harness::send_all(fd, c.sent);
            if (c.client == Client::half_closes_then_closes) {
                shutdown(fd, SHUT_WR);
            }
            close(fd);
            break;
        case Client::holds_open:
        case Client::trickles:
        case Client::floods:
            harness::send_all(fd, c.sent);
            EXPECT_EQ(harness::read_to_end(fd), c.expected);  // the daemon's end comes with it
            if (c.client == Client::trickles) {
                trickle(fd);
            } else if (c.client == Client::floods) {
                flood(fd);
            }
            break;
    }
}

TEST(Service, EchoesTheFirstChunkOfEachClient) {
    Daemon daemon(harness::spawn_of({"0", "1"}));
    expect_started(daemon);
    for (const Case& c : echo_cases) {
        SCOPED_TRACE(c.name);
        const int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        const double start = harness::now();
        run_client(fd, c);
        expect_client_served(daemon);
        if (c.client == Client::trickles) {
            const double discard_s = last_discard_s(daemon);
            EXPECT_GT(discard_s, 0.6) << "the discard gave up before its bound of 1 s";
            EXPECT_LT(discard_s, 1.4) << "the discard's bound is 1 s";
        }
        if (c.client == Client::holds_open) {
            EXPECT_LT(harness::now() - start, 2.5) << "the discard's bound is 1 s";
            close(fd);
        }
    }
    EXPECT_EQ(daemon.wait_status(0), -1);
}

TEST(Service, SecondClientWaitsUntilTheFirstIsClosed) {
    Daemon daemon(harness::spawn_of({"0", "1"}));
    expect_started(daemon);
    const int first = daemon.connect();
    ASSERT_GE(first, 0);
    EXPECT_EQ(daemon.out(), connected_line);
    const int second = daemon.connect();  // completes in the kernel's queue
    ASSERT_GE(second, 0);
    harness::send_all(second, "second");
    shutdown(second, SHUT_WR);
    // The daemon is still busy with the first client: the second is not accepted yet.
    EXPECT_EQ(daemon.out(0.3), "<timeout>");

    EXPECT_EQ(harness::exchange(first, "first"), "first");
    expect_connected_client_served(daemon);
    EXPECT_EQ(harness::read_to_end(second), "second");
    close(second);
    expect_client_served(daemon);
}

TEST(Service, IdleClientIsServedAsEmptyAndTheNextOneGetsIn) {
    Daemon daemon(harness::spawn_of({"0", "1"}));
    expect_started(daemon);
    const int idle = daemon.connect();
    ASSERT_GE(idle, 0);
    const int next = daemon.connect();
    ASSERT_GE(next, 0);
    harness::send_all(next, "after the idle one");
    // The idle client sends nothing and never half-closes; the daemon gives up on it
    // after 5 seconds.
    const double start = harness::now();
    EXPECT_EQ(harness::read_to_end(idle), "");
    EXPECT_GE(harness::now() - start, 4.5);
    EXPECT_LE(harness::now() - start, 7.0);
    expect_client_served(daemon);  // while the idle client still holds its end open
    close(idle);
    EXPECT_EQ(harness::exchange(next, ""), "after the idle one");
    expect_client_served(daemon);
}

// A client that is gone before the reply turns the reply into a broken pipe, which must
// fail the step (tag 77) instead of killing the daemon with SIGPIPE.
TEST(Service, BrokenPipeOnReplyRestartsInsteadOfDying) {
    Daemon daemon(harness::spawn_of({"0", "2"}));
    expect_started(daemon);
    const int holder = daemon.connect();  // keeps the daemon busy while the next one dies
    ASSERT_GE(holder, 0);
    EXPECT_EQ(daemon.out(), connected_line);

    const int doomed = daemon.connect();
    ASSERT_GE(doomed, 0);
    harness::send_all(doomed, "gone");
    shutdown(doomed, SHUT_WR);
    harness::reset(doomed);  // data, end of stream, then a reset: the reply meets a broken pipe
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_EQ(harness::exchange(holder, "hold"), "hold");
    expect_connected_client_served(daemon);
    EXPECT_EQ(daemon.out(), connected_line);
    EXPECT_EQ(daemon.out(), "[*] Received client echo");
    EXPECT_EQ(daemon.err(), harness::restart_line(77));
    EXPECT_EQ(daemon.wait_status(0), -1) << "ended by signal " << WTERMSIG(daemon.wait_status(0));
    EXPECT_EQ(daemon.out(), harness::launch_line());
}

// Whatever state the console is in, clients are served and never see console lines: a
// closed console descriptor must not be taken by a socket, a console whose reader went
// away must not end the daemon, and one that is non-blocking and full loses no line.
TEST(Service, ConsoleTroubleNeverStopsTheService) {
    struct Row {
        std::vector<int> closed;  // descriptors closed at start; now on /dev/null
        int console_read = -1;    // lines read before the reader goes away
        double console_stall = 0;
        size_t clients = 3;
    };
    const std::vector<Row> rows = {{{0}}, {{1}}, {{0, 1}}, {{0, 1, 2}}, {{2}}, {{}, 3}, {{}, -1, 1.0, 40}};
    const auto daemons = harness::start_each(rows, [](const Row& row) {
        harness::Spawn spawn = harness::spawn_of({"0", "1"});
        spawn.closed_fds = row.closed;
        spawn.console_read = row.console_read;
        spawn.console_stall = row.console_stall;
        return spawn;
    });
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row #" + std::to_string(i));
        Daemon& daemon = *daemons[i];
        for (size_t client = 0; client < rows[i].clients; ++client) {
            const int fd = daemon.connect_retry();
            ASSERT_GE(fd, 0);
            EXPECT_EQ(harness::exchange(fd, "client " + std::to_string(client)),
                      "client " + std::to_string(client));
        }
        EXPECT_EQ(daemon.wait_status(0), -1);
        const auto descriptors = daemon.descriptors();
        for (const auto& [fd, target] : descriptors) {
            // No target: a client's connection, closed while the list was read.
            EXPECT_TRUE(fd <= STDERR_FILENO || target.empty() || target.rfind("socket:", 0) == 0)
                << "inherited " << target;
        }
        for (const int console : rows[i].closed) {
            EXPECT_EQ(descriptors.at(console), "/dev/null");
        }
        const auto& closed = rows[i].closed;
        if (rows[i].console_read < 0 && std::count(closed.begin(), closed.end(), STDOUT_FILENO) == 0) {
            expect_started(daemon);
            for (size_t client = 0; client < rows[i].clients && !HasFailure(); ++client) {
                expect_client_served(daemon);
            }
        }
    }
}

// Port 80 on every IPv4 interface with a backlog of 5, held by one daemon alone: a second
// one started by mistake must fail its bind and end, not share the port.
TEST(Service, ListensAloneOnEveryInterfaceWithBacklog5) {
    Daemon daemon(harness::spawn_of({"0", "1"}));
    expect_started(daemon);
    const std::string ss = "nsenter --net=/proc/" + std::to_string(daemon.pid()) + "/ns/net ss -Hltn";
    FILE* listing = popen(ss.c_str(), "r");
    ASSERT_NE(listing, nullptr);
    char row[256] = {};
    const bool got = fgets(row, sizeof row, listing) != nullptr;
    pclose(listing);
    ASSERT_TRUE(got) << ss;
    // State, queued connections, backlog, local address, peer address.
    std::istringstream fields(row);
    std::string state;
    std::string queued;
    std::string backlog;
    std::string address;
    fields >> state >> queued >> backlog >> address;
    EXPECT_EQ(state, "LISTEN");
    EXPECT_EQ(backlog, "5");
    EXPECT_EQ(address, "0.0.0.0:80");

    harness::Spawn second = harness::spawn_of({"0", "1"});
    second.netns_of = daemon.pid();
    Daemon intruder(second);
    EXPECT_EQ(intruder.wait_status(10), 1 << 8);
    EXPECT_EQ(intruder.err(), harness::restart_line(51));
    EXPECT_EQ(intruder.err(), harness::max_reached_line("1"));
    const int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(harness::exchange(fd, "still mine"), "still mine");
    expect_client_served(daemon);
}

struct ValgrindRow {
    const char* fail;  // a failure re-executes, and the next program image stops at MAX
    std::vector<std::string> payloads;
};
// 100 bytes: what follows a full chunk is discarded before the close.
const std::vector<ValgrindRow> valgrind_rows = {{"", {"one", long_text, ""}}, {"socket@0", {}}};
// Valgrind prints each error between these lines as it finds it: the only trace of an
// error in an image that re-executes, which ends without a summary.
const std::string error_begins = "echo-test-error-begins";

// Runs a row's daemon to its end: the restarted program image stops at MAX; the serving
// one is stopped once its clients are served.
void run_to_end(Daemon& daemon, const ValgrindRow& row) {
    if (row.payloads.empty()) {
        EXPECT_EQ(daemon.wait_status(30), 1 << 8);
        return;
    }
    expect_started(daemon);
    for (const std::string& payload : row.payloads) {
        const int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(harness::exchange(fd, payload), payload.substr(0, 64));
        expect_client_served(daemon);
    }
    daemon.terminate();
    EXPECT_TRUE(WIFSIGNALED(daemon.wait_status(30)));
}

// No error report anywhere, and the one summary at the end says so; without the
// interposer, whose runtime allocates, the heap is never used.
void expect_valgrind_clean(Daemon& daemon, bool heap_counted) {
    std::vector<std::string> summaries;
    std::string heap = "no heap summary";
    for (const auto& line : daemon.lines(2)) {
        EXPECT_EQ(line.text.find(error_begins), std::string::npos) << "valgrind found an error";
        if (line.text.find("ERROR SUMMARY: ") != std::string::npos) {
            summaries.push_back(line.text);
        }
        if (line.text.find("total heap usage: ") != std::string::npos) {
            heap = line.text;
        }
    }
    ASSERT_EQ(summaries.size(), 1U);
    EXPECT_NE(summaries[0].find("ERROR SUMMARY: 0 errors"), std::string::npos) << summaries[0];
    if (heap_counted) {
        EXPECT_NE(heap.find("total heap usage: 0 allocs, 0 frees, 0 bytes allocated"), std::string::npos)
            << heap;
    }
}

// Every buffer lives in a stack frame, and what the next image gets is fully written:
// valgrind, following the re-execution, finds no error in any image.
TEST(Service, AllocatesNothingAndHandsOnNothingUninitialised) {
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        CANNOT_RUN_HERE("valgrind is not installed");
    }
    const auto daemons = harness::start_each(valgrind_rows, [](const ValgrindRow& row) {
        harness::Spawn spawn = harness::spawn_of({"0", "1"}, row.fail);
        spawn.wrapper = {"/usr/bin/valgrind", "--trace-children=yes",
                         "--suppressions=" ECHO_VALGRIND_SUPPRESSIONS,
                         "--error-markers=" + error_begins + ",echo-test-error-ends"};
        return spawn;
    });
    for (size_t i = 0; i < valgrind_rows.size(); ++i) {
        SCOPED_TRACE(valgrind_rows[i].fail);
        run_to_end(*daemons[i], valgrind_rows[i]);
        expect_valgrind_clean(*daemons[i], std::string_view(valgrind_rows[i].fail).empty());
    }
}

// The daemon needs libc alone, whichever compiler built it: without --as-needed a
// clang++ build also pulls in libstdc++, libm and libgcc_s.
TEST(Service, NeedsLibcAlone) {
    FILE* dynamic = popen(("readelf -d " + harness::daemon_path()).c_str(), "r");
    ASSERT_NE(dynamic, nullptr);
    std::vector<std::string> needed;
    for (char row[512]; fgets(row, sizeof row, dynamic) != nullptr;) {
        const std::string text = row;
        if (const size_t open = text.find("(NEEDED)"); open != std::string::npos) {
            const size_t from = text.find('[', open) + 1;
            const std::string library = text.substr(from, text.find(']', from) - from);
            // Where the stack guard lives in the loader (ARM, MIPS), it is needed too: it is libc's.
            if (library.rfind("ld", 0) != 0) {
                needed.push_back(library);
            }
        }
    }
    EXPECT_EQ(pclose(dynamic), 0);
    EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}

}  // namespace
