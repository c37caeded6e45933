// The restart chain: failures injected into chosen calls, and what the next image does.
// The rows of each table run side by side, each daemon in its own namespace.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "harness.hpp"

using harness::Daemon;

namespace {

using harness::restart_line;

const std::string launch_line = harness::launch_line();
constexpr double pause_s = 3.0;
// Lines are stamped when the test reads them, not when the daemon writes them, and a
// loaded machine is slow at both; the slack is generous on both sides.
constexpr double early_slack_s = 0.5;
constexpr double late_slack_s = 0.8;

// When the index-th line of a stream arrived. Lines of stdout and stderr that arrive
// together may be listed in either order, so pauses are measured per stream.
double stamp(Daemon& daemon, int fd, size_t index) {
    for (const auto& line : daemon.lines()) {
        if (line.fd == fd && index-- == 0) {
            return line.time;
        }
    }
    return -1;
}

void expect_serves_with_one_socket(Daemon& daemon) {
    EXPECT_EQ(daemon.outs(3), harness::image_lines(0, 3));
    EXPECT_EQ(daemon.sockets(), 1);
    const int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(harness::exchange(fd, "again"), "again");
    EXPECT_EQ(daemon.out(), "[*] Received client connection");
}

TEST(Restart, EachFailingStepRestartsTheSameProcessWithItsTag) {
    struct Row {
        const char* fail;
        int tag;
        size_t lines_before;  // how far the first image gets on stdout
    };
    const std::vector<Row> rows = {
        {"socket@0", 47, 1},   {"setsockopt@0", 47, 1}, {"bind@0", 51, 1}, {"listen@0", 56, 2},
        {"accept4@0", 63, 3},  {"poll@0", 72, 4},       {"read@0", 72, 4}, {"send@0", 77, 5},
        {"shutdown@0", 82, 6}, {"close@0", 85, 6},
    };
    const auto daemons = harness::start_each(rows, [](const Row& row) {
        return harness::args({"0", "5"}, row.fail);
    });
    // A client in each row that gets that far waits on a thread of its own for its
    // connection to end, then tries a new one.
    std::vector<int> clients(rows.size(), -1);
    std::vector<double> ended(rows.size(), 0);
    std::vector<int> latecomers(rows.size(), -1);
    std::vector<std::thread> waiting;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].lines_before > 3) {
            EXPECT_EQ(daemons[i]->outs(3), harness::image_lines(0, 3));
            clients[i] = daemons[i]->connect();
            harness::send_all(clients[i], "ping");
            waiting.emplace_back([&, i] {
                (void)harness::read_to_end(clients[i]);
                ended[i] = harness::now();
                // A shut-down connection ends before its step fails; give the failure a
                // moment, well inside the pause.
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                latecomers[i] = daemons[i]->connect();
            });
        }
    }
    for (auto& thread : waiting) {
        thread.join();
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].fail);
        Daemon& daemon = *daemons[i];
        const size_t taken = clients[i] >= 0 ? 3 : 0;
        EXPECT_EQ(daemon.outs(rows[i].lines_before - taken),
                  harness::image_lines(taken, rows[i].lines_before));
        EXPECT_EQ(daemon.err(), restart_line(rows[i].tag));
        expect_serves_with_one_socket(daemon);
        EXPECT_EQ(daemon.cmdline(), (std::vector<std::string>{harness::daemon_path(), "1", "5"}));
        const double pause = stamp(daemon, 2, 0) - stamp(daemon, 1, rows[i].lines_before - 1);
        EXPECT_GE(pause, pause_s - early_slack_s);
        EXPECT_LE(pause, pause_s + late_slack_s);
        if (clients[i] >= 0) {
            // Port 80 and the client are let go before the pause, not at the exec after it.
            EXPECT_LT(ended[i] - stamp(daemon, 1, rows[i].lines_before - 1), 1.0);
            EXPECT_LT(latecomers[i], 0) << "a connect during the pause was not refused";
            close(clients[i]);
            close(latecomers[i]);
        }
    }
}

TEST(Restart, ChainEndsWhenTheBudgetIsSpent) {
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        const char* fail;
        std::vector<std::string> out;
        std::vector<std::string> err;
    };
    // A port held by another listener ends the chain the same way, with tag 51: see the
    // second daemon in the service tests.
    // clang-format off
    const std::vector<Row> rows = {
        {"one failure, MAX 1", {"0", "1"}, "socket@0",
         {launch_line}, {restart_line(47), harness::budget_line("1")}},
        {"every image fails, MAX 2", {"0", "2"}, "socket@*",
         {launch_line, launch_line}, {restart_line(47), restart_line(47), harness::budget_line("2")}},
        {"the re-execution fails", {"0", "5"}, "socket@0,execv@0",
         {launch_line}, {restart_line(47)}},
    };
    // clang-format on
    const auto daemons =
        harness::start_each(rows, [](const Row& row) { return harness::args(row.arguments, row.fail); });
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        Daemon& daemon = *daemons[i];
        EXPECT_EQ(daemon.wait_status(15), 1 << 8);
        for (const auto& line : rows[i].out) {
            EXPECT_EQ(daemon.out(), line);
        }
        for (const auto& line : rows[i].err) {
            EXPECT_EQ(daemon.err(), line);
        }
        EXPECT_EQ(daemon.out(0), "<timeout>");
        EXPECT_EQ(daemon.err(0), "<timeout>");
        // Each image prints its launch line and fails right after it.
        for (size_t image = 0; image < rows[i].out.size(); ++image) {
            EXPECT_GE(stamp(daemon, 2, image) - stamp(daemon, 1, image), pause_s - early_slack_s);
        }
    }
}

TEST(Restart, NextImageGetsTheOwnNumberAsPlainDecimal) {
    struct Row {
        std::vector<std::string> arguments;
        std::string passed_on;
    };
    const std::vector<Row> rows = {
        {{"0", "5"}, "1"},
        {{"007", "9"}, "8"},
        {{" 12", "20"}, "13"},
        {{"-4", "2"}, "1"},
        {{"9223372036854775807", "9223372036854775807"}, "9223372036854775807"},
    };
    const auto daemons = harness::start_each(
        rows, [](const Row& row) { return harness::args(row.arguments, "socket@" + row.arguments[0]); });
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].arguments[0]);
        Daemon& daemon = *daemons[i];
        EXPECT_EQ(daemon.out(), launch_line);
        EXPECT_EQ(daemon.err(), restart_line(47));
        EXPECT_EQ(daemon.out(), launch_line);
        EXPECT_EQ(daemon.cmdline(), (std::vector<std::string>{harness::daemon_path(), rows[i].passed_on,
                                                              rows[i].arguments[1]}));
    }
}

// Connections the daemon closed leave port 80 in TIME_WAIT; the restarted image must
// still be able to bind it.
TEST(Restart, PortIsReusedAfterServedClients) {
    Daemon daemon(harness::args({"0", "5"}, "accept4@0#3"));
    EXPECT_EQ(daemon.outs(3), harness::image_lines(0, 3));
    for (int client = 0; client < 2; ++client) {
        const int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        // No half-close: the daemon closes first, so its side waits in TIME_WAIT.
        harness::send_all(fd, "served");
        EXPECT_EQ(harness::read_to_end(fd), "served");
        close(fd);
        EXPECT_EQ(daemon.outs(5), harness::image_lines(3, 8));
    }
    EXPECT_EQ(daemon.err(), restart_line(63));
    expect_serves_with_one_socket(daemon);
}

// A restart runs the program at the path the daemon was started by, as it is then (an
// upgrade in place is picked up); started by a bare name found on PATH, it runs itself,
// never whatever file of that name sits in its working directory.
TEST(Restart, RunsTheProgramAtItsPathOrItselfForABareName) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("echo-restart-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "bin");
    std::filesystem::create_directories(dir / "decoys");
    const std::string decoy = "#!/bin/sh\necho '[decoy] ran' >&2\n";
    for (const auto* file : {"echo-daemon", "replacement", "decoys/echo-daemon"}) {
        std::ofstream(dir / file) << decoy;
        chmod((dir / file).c_str(), 0755);
    }
    std::filesystem::copy_file(harness::daemon_path(), dir / "bin/echo-daemon");

    struct Row {
        std::string name;  // argv[0]
        std::string path;  // PATH
        bool replaced;     // the file at that path is replaced during the pause
        int stream;        // where the restarted program's first line goes
        std::string next_line;
    };
    const std::vector<Row> rows = {
        {"echo-daemon", (dir / "bin").string(), false, 1, harness::launch_line("echo-daemon")},
        // Only a decoy of that name on PATH: a search would run it.
        {"echo-daemon", (dir / "decoys").string(), false, 1, harness::launch_line("echo-daemon")},
        {(dir / "bin/echo-daemon").string(), (dir / "bin").string(), true, 2, "[decoy] ran"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + " with PATH " + row.path);
        harness::Spawn spawn = harness::args({"0", "5"}, "socket@0");
        spawn.argv[0] = row.name;
        spawn.cwd = dir;
        spawn.path_env = row.path + ":/usr/bin:/bin";
        Daemon daemon(spawn);
        EXPECT_EQ(daemon.out(), harness::launch_line(row.name));
        if (row.replaced) {
            std::filesystem::rename(dir / "replacement", row.name);
        }
        EXPECT_EQ(daemon.err(), restart_line(47));
        EXPECT_EQ(row.stream == 1 ? daemon.out() : daemon.err(), row.next_line);
    }
    std::filesystem::remove_all(dir);
}

// What the kernel sees, where wall-clock times are too coarse: each console line is one
// write of its own, whole with its newline, and the pause is one sleep of exactly 3 s.
TEST(Restart, EachLineIsOneWriteAndThePauseOneSleepOf3Seconds) {
#ifdef ECHO_DAEMON_SANITIZED
    GTEST_SKIP() << "LeakSanitizer cannot run under ptrace";
#endif
    if (access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const std::string trace =
        (std::filesystem::temp_directory_path() / ("echo-trace-" + std::to_string(getpid()))).string();
    harness::Spawn spawn = harness::args({"0", "1"}, "socket@0");
    spawn.wrapper = {
        "/usr/bin/strace", "-o", trace, "-s", "65536", "-e", "trace=write,writev,clock_nanosleep,nanosleep"};
    Daemon daemon(spawn);
    EXPECT_EQ(daemon.wait_status(15), 1 << 8);
    EXPECT_EQ(daemon.lines().size(), 3U);  // launch, restart, budget

    std::ifstream calls(trace);
    size_t console_writes = 0;
    std::vector<std::string> sleeps;
    for (std::string call; std::getline(calls, call);) {
        if (call.rfind("write(", 0) == 0 || call.rfind("writev(", 0) == 0) {
            ++console_writes;
            // One line: a single newline, at the end of what is written.
            size_t newlines = 0;
            for (size_t at = call.find("\\n"); at != std::string::npos; at = call.find("\\n", at + 1)) {
                ++newlines;
            }
            EXPECT_EQ(newlines, 1U) << call;
        } else if (call.find("sleep(") != std::string::npos) {
            sleeps.push_back(call);
        }
    }
    std::filesystem::remove(trace);
    EXPECT_EQ(console_writes, daemon.lines().size());
    ASSERT_EQ(sleeps.size(), 1U);
    EXPECT_NE(sleeps[0].find("{tv_sec=3, tv_nsec=0}"), std::string::npos) << sleeps[0];
}

}  // namespace
