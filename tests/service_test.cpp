// The echo service as a client and the console see it.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "harness.hpp"

using harness::Daemon;

namespace {

const std::string launch_line = "[*] Launching " + harness::daemon_path() + " service";
const std::vector<std::string> client_lines = {"[*] Received client connection", "[*] Received client echo",
                                               "[*] Replied to client echo", "[*] Closed client connection",
                                               "[*] Waiting for client connections"};

void expect_started(Daemon& daemon) {
    EXPECT_EQ(daemon.out(), launch_line);
    EXPECT_EQ(daemon.out(), "[*] Listening on port 80");
    EXPECT_EQ(daemon.out(), "[*] Waiting for client connections");
}

// from: how many of the client's lines the test has already taken.
void expect_client_served(Daemon& daemon, size_t from = 0) {
    for (size_t line = from; line < client_lines.size(); ++line) {
        EXPECT_EQ(daemon.out(), client_lines[line]);
    }
}

TEST(Service, EchoesTheFirstChunkOfEachClient) {
    struct Case {
        const char* name;
        std::string sent;
        std::string expected;
    };
    const std::string long_text(100, 'x');
    const std::vector<Case> cases = {
        {"short text", "hello, echo", "hello, echo"},
        {"zero bytes inside", std::string("a\0b\0\0c\0", 7), std::string("a\0b\0\0c\0", 7)},
        {"exactly 64 bytes", std::string(64, '7'), std::string(64, '7')},
        {"100 bytes at once", long_text, long_text.substr(0, 64)},
        {"nothing, then end of stream", "", ""},
        {"a single byte", "\xff", "\xff"},
    };
    Daemon daemon(harness::args({"0", "1"}));
    expect_started(daemon);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(harness::exchange(fd, c.sent), c.expected);
        expect_client_served(daemon);
    }
    EXPECT_EQ(daemon.err(0), "<timeout>");
    EXPECT_EQ(daemon.wait_status(0), -1);
}

TEST(Service, SecondClientWaitsUntilTheFirstIsClosed) {
    Daemon daemon(harness::args({"0", "1"}));
    expect_started(daemon);
    const int first = daemon.connect();
    ASSERT_GE(first, 0);
    EXPECT_EQ(daemon.out(), "[*] Received client connection");
    const int second = daemon.connect();  // completes in the kernel's queue
    ASSERT_GE(second, 0);
    harness::send_all(second, "second");
    shutdown(second, SHUT_WR);
    // The daemon is still busy with the first client: the second is not accepted yet.
    EXPECT_EQ(daemon.out(0.3), "<timeout>");

    EXPECT_EQ(harness::exchange(first, "first"), "first");
    expect_client_served(daemon, 1);
    EXPECT_EQ(harness::read_to_end(second), "second");
    close(second);
    expect_client_served(daemon);
}

TEST(Service, IdleClientIsServedAsEmptyAndTheNextOneGetsIn) {
    Daemon daemon(harness::args({"0", "1"}));
    expect_started(daemon);
    const int idle = daemon.connect();
    ASSERT_GE(idle, 0);
    const int next = daemon.connect();
    ASSERT_GE(next, 0);
    harness::send_all(next, "after the idle one");
    // The idle client sends nothing and never half-closes; the daemon gives up on it.
    const double start = harness::now();
    EXPECT_EQ(harness::read_to_end(idle), "");
    EXPECT_GE(harness::now() - start, 4.5);
    expect_client_served(daemon);  // while the idle client still holds its end open
    close(idle);
    EXPECT_EQ(harness::exchange(next, ""), "after the idle one");
    expect_client_served(daemon);
    EXPECT_EQ(daemon.err(0), "<timeout>");
}

// A client that is gone before the reply turns the reply into a broken pipe, which must
// fail the step (tag 77) instead of killing the daemon with SIGPIPE.
TEST(Service, BrokenPipeOnReplyRestartsInsteadOfDying) {
    Daemon daemon(harness::args({"0", "2"}));
    expect_started(daemon);
    const int holder = daemon.connect();  // keeps the daemon busy while the next one dies
    ASSERT_GE(holder, 0);
    EXPECT_EQ(daemon.out(), "[*] Received client connection");

    const int doomed = daemon.connect();
    ASSERT_GE(doomed, 0);
    harness::send_all(doomed, "gone");
    shutdown(doomed, SHUT_WR);
    const linger reset = {1, 0};
    setsockopt(doomed, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(doomed);  // data, end of stream, then a reset: the reply meets a broken pipe
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_EQ(harness::exchange(holder, "hold"), "hold");
    expect_client_served(daemon, 1);
    EXPECT_EQ(daemon.out(), "[*] Received client connection");
    EXPECT_EQ(daemon.out(), "[*] Received client echo");
    EXPECT_EQ(daemon.err(), "[!] Restarting due to error in main:77 main");
    EXPECT_EQ(daemon.wait_status(0), -1) << "ended by signal " << WTERMSIG(daemon.wait_status(0));
    EXPECT_EQ(daemon.out(), launch_line);
}

// With a console descriptor closed, a socket would take its number and console lines
// would go to the socket, or to a client.
TEST(Service, ClosedConsoleDescriptorsNeverCarryClientTraffic) {
    const std::vector<std::vector<int>> closed_sets = {{0}, {1}, {0, 1}, {0, 1, 2}, {2}};
    std::vector<std::unique_ptr<Daemon>> daemons;
    for (const auto& closed : closed_sets) {
        harness::Spawn spawn = harness::args({"0", "1"});
        spawn.closed_fds = closed;
        daemons.push_back(std::make_unique<Daemon>(spawn));
    }
    for (size_t i = 0; i < closed_sets.size(); ++i) {
        SCOPED_TRACE("closed set #" + std::to_string(i));
        Daemon& daemon = *daemons[i];
        int fd = -1;
        for (int attempt = 0; attempt < 200 && fd < 0; ++attempt) {
            fd = daemon.connect();
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(harness::exchange(fd, "only this"), "only this");
        const auto descriptors = daemon.descriptors();
        for (const int console : closed_sets[i]) {
            EXPECT_EQ(descriptors.at(console), "/dev/null");
        }
    }
}

}  // namespace

namespace {

// Every buffer lives in a stack frame; valgrind counts what reaches the heap.
TEST(Service, AllocatesNothingOnTheHeap) {
#ifdef ECHO_DAEMON_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitized build";
#endif
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    harness::Spawn spawn = harness::args({"0", "1"});
    spawn.wrapper = {"/usr/bin/valgrind", "--error-exitcode=99"};
    Daemon daemon(spawn);
    expect_started(daemon);
    for (const std::string payload : {"one", "two", ""}) {
        const int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(harness::exchange(fd, payload), payload);
        expect_client_served(daemon);
    }
    daemon.terminate();
    EXPECT_TRUE(WIFSIGNALED(daemon.wait_status(30)));
    bool summarized = false;
    for (const auto& line : daemon.lines()) {
        if (line.text.find("total heap usage:") != std::string::npos) {
            summarized = true;
            EXPECT_NE(line.text.find("total heap usage: 0 allocs, 0 frees, 0 bytes allocated"),
                      std::string::npos)
                << line.text;
        }
    }
    EXPECT_TRUE(summarized);
}

}  // namespace
