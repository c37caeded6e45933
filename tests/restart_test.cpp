// The restart chain: failures injected into chosen calls, and what the next image does.
// The rows of each table run side by side, each daemon in its own namespace.
#include <signal.h>
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
const size_t startup_line_count = harness::startup_lines().size();

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

// The restarted image as a client finds it: started, holding the console and one socket
// (port 80) and nothing else, and serving.
void expect_serves_with_one_socket(Daemon& daemon) {
    EXPECT_EQ(daemon.next_out_lines(startup_line_count), harness::startup_lines());
    EXPECT_EQ(daemon.sockets(), 1);
    EXPECT_EQ(daemon.descriptors().size(), 4U);
    const int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(harness::exchange(fd, "again"), "again");
    EXPECT_EQ(daemon.out(), "[*] Received client connection");
}

// The first count lines of an image that starts and serves its first client.
std::vector<std::string> first_lines(size_t count) {
    std::vector<std::string> lines = harness::startup_lines();
    const std::vector<std::string> client = harness::client_lines();
    lines.insert(lines.end(), client.begin(), client.end());
    lines.resize(count);
    return lines;
}

struct StepRow {
    const char* fail;
    int tag;
    size_t lines_before;  // how far the first image gets on stdout
};
// Past the startup lines a client is connected when the step fails; from the listening
// line on (the bind comes before it) the image holds port 80.
constexpr size_t bound_from_line = 2;
const std::vector<StepRow> step_rows = {
    {"socket@0", 47, 1},   {"setsockopt@0", 47, 1}, {"bind@0", 51, 1}, {"listen@0", 56, 2},
    {"accept4@0", 63, 3},  {"poll@0", 72, 4},       {"read@0", 72, 4}, {"send@0", 77, 5},
    {"shutdown@0", 82, 6}, {"close@0", 85, 6},
};

// What one row's failure looked like from outside, during the pause.
struct PauseSeen {
    std::vector<std::string> lines;  // the first image's stdout
    double client_ended = 0;         // when the connected client saw its end; 0: no client
    int latecomer = -1;              // a connect made during the pause
    int plain_bind = 0;              // errno of binds of port 80 during the pause, 0: bound
    int reusing_bind = 0;
};

// Drives a row to its failure (with a client, in rows that get that far), then, well
// inside the pause, tries to connect and to take port 80.
PauseSeen watch_pause(Daemon& daemon, const StepRow& row) {
    PauseSeen seen;
    seen.lines = daemon.next_out_lines(std::min(row.lines_before, startup_line_count));
    int client = -1;
    if (row.lines_before > startup_line_count) {
        client = daemon.connect();
        harness::send_all(client, "ping");
        (void)harness::read_to_end(client);
        seen.client_ended = harness::now();
        const auto rest = daemon.next_out_lines(row.lines_before - startup_line_count);
        seen.lines.insert(seen.lines.end(), rest.begin(), rest.end());
    }
    // A shut-down connection ends before its step fails; give the failure a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    seen.latecomer = daemon.connect();
    seen.plain_bind = daemon.bind_error(false);
    seen.reusing_bind = daemon.bind_error(true);
    for (const int fd : {client, seen.latecomer}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    return seen;
}

void expect_restart_after_pause(Daemon& daemon, const StepRow& row, const PauseSeen& seen) {
    EXPECT_EQ(seen.lines, first_lines(row.lines_before));
    EXPECT_EQ(daemon.err(), restart_line(row.tag));
    expect_serves_with_one_socket(daemon);
    EXPECT_EQ(daemon.cmdline(), (std::vector<std::string>{harness::daemon_path(), "1", "5"}));
    const double failed = stamp(daemon, 1, row.lines_before - 1);
    const double pause = stamp(daemon, 2, 0) - failed;
    EXPECT_GE(pause, pause_s - early_slack_s);
    EXPECT_LE(pause, pause_s + late_slack_s);
    // The client is let go before the pause, not at the exec after it; a newcomer is
    // refused at once, and nobody else can take the port until the next image binds it.
    if (seen.client_ended > 0) {
        EXPECT_LT(seen.client_ended - failed, 1.0);
    }
    EXPECT_LT(seen.latecomer, 0) << "a connect during the pause was not refused";
    if (row.lines_before >= bound_from_line) {
        EXPECT_EQ(seen.plain_bind, EADDRINUSE) << "another socket bound port 80 during the pause";
        EXPECT_EQ(seen.reusing_bind, EADDRINUSE)
            << "a socket with SO_REUSEADDR bound port 80 during the pause";
    }
}

TEST(Restart, EachFailingStepRestartsTheSameProcessWithItsTag) {
    const auto daemons = harness::start_each(step_rows, [](const StepRow& row) {
        return harness::spawn_of({"0", "5"}, row.fail);
    });
    std::vector<PauseSeen> seen(step_rows.size());
    std::vector<std::thread> watchers;
    for (size_t i = 0; i < step_rows.size(); ++i) {
        watchers.emplace_back([&, i] { seen[i] = watch_pause(*daemons[i], step_rows[i]); });
    }
    for (auto& watcher : watchers) {
        watcher.join();
    }
    for (size_t i = 0; i < step_rows.size(); ++i) {
        SCOPED_TRACE(step_rows[i].fail);
        expect_restart_after_pause(*daemons[i], step_rows[i], seen[i]);
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
         {launch_line}, {restart_line(47), harness::max_reached_line("1")}},
        {"every image fails, MAX 2", {"0", "2"}, "socket@*",
         {launch_line, launch_line}, {restart_line(47), restart_line(47), harness::max_reached_line("2")}},
        {"the re-execution fails", {"0", "5"}, "socket@0,execv@0",
         {launch_line}, {restart_line(47)}},
    };
    // clang-format on
    const auto daemons =
        harness::start_each(rows, [](const Row& row) { return harness::spawn_of(row.arguments, row.fail); });
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
        rows, [](const Row& row) { return harness::spawn_of(row.arguments, "socket@" + row.arguments[0]); });
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
    Daemon daemon(harness::spawn_of({"0", "5"}, "accept4@0#3"));
    EXPECT_EQ(daemon.next_out_lines(startup_line_count), harness::startup_lines());
    for (int client = 0; client < 2; ++client) {
        const int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        // No half-close: the daemon closes first, so its side waits in TIME_WAIT.
        harness::send_all(fd, "served");
        EXPECT_EQ(harness::read_to_end(fd), "served");
        close(fd);
        EXPECT_EQ(daemon.next_out_lines(harness::client_lines().size()), harness::client_lines());
    }
    EXPECT_EQ(daemon.err(), restart_line(63));
    expect_serves_with_one_socket(daemon);
}

// As process 1 a stop signal without a handler is dropped, and the next program image has
// none until its main runs: restart() holds stop signals blocked across the exec. hold@1
// widens that window to a second; a SIGTERM sent in it must still end the process.
TEST(Restart, StopSignalDuringTheExecEndsProcessOne) {
    harness::Spawn spawn = harness::spawn_of({"0", "5"}, "socket@0,hold@1");
    spawn.wrapper = {"/usr/bin/unshare", "--pid", "--fork", "--kill-child"};
    Daemon daemon(spawn);
    EXPECT_EQ(daemon.err(), restart_line(47));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ifstream children("/proc/" + std::to_string(daemon.pid()) + "/task/" + std::to_string(daemon.pid()) +
                           "/children");
    pid_t process_one = 0;
    ASSERT_TRUE(children >> process_one);
    kill(process_one, SIGTERM);
    EXPECT_EQ(daemon.wait_status(5), (128 + SIGTERM) << 8) << "the SIGTERM was lost";
}

// A directory of the row's own: a copy of the daemon in bin/, and scripts that say they
// ran: one of the daemon's name in the directory itself and in decoys/, and a replacement.
std::string restart_dir() {
    std::string made = harness::private_temp_dir();
    const std::filesystem::path dir = made;
    std::filesystem::create_directories(dir / "bin");
    std::filesystem::create_directories(dir / "decoys");
    // On stdout: under emulation the host's loader complains on stderr first, as it cannot
    // take the guest's interposer.
    const std::string decoy = "#!/bin/sh\necho '[decoy] ran'\n";
    for (const auto* file : {"echo-daemon", "replacement", "decoys/echo-daemon"}) {
        std::ofstream(dir / file) << decoy;
        chmod((dir / file).c_str(), 0755);
    }
    std::filesystem::copy_file(harness::daemon_path(), dir / "bin/echo-daemon");
    return made;
}

struct PathRow {
    std::string name;  // argv[0]; one that starts with "/" starts with the row's directory
    std::string path;  // the directory on PATH, in the row's directory
    bool replaced;     // the file at that path is replaced during the pause
    std::string next_line;
};
const std::vector<PathRow> path_rows = {
    {"echo-daemon", "bin", false, harness::launch_line("echo-daemon")},
    // Only a decoy of that name on PATH: a search would run it.
    {"echo-daemon", "decoys", false, harness::launch_line("echo-daemon")},
    {"/bin/echo-daemon", "bin", true, "[decoy] ran"},
    // Relative to the working directory, as the daemon was started.
    {"bin/echo-daemon", "decoys", true, "[decoy] ran"},
};

// A restart runs the program at the path the daemon was started by, as it is then (an
// upgrade in place is picked up); started by a bare name found on PATH, it runs itself,
// never whatever file of that name sits in its working directory.
TEST(Restart, RunsTheProgramAtItsPathOrItselfForABareName) {
    std::vector<harness::Spawn> spawns;
    for (const PathRow& row : path_rows) {
        harness::Spawn& spawn = spawns.emplace_back(harness::spawn_of({"0", "5"}, "socket@0"));
        spawn.cwd = restart_dir();
        spawn.argv[0] = row.name[0] == '/' ? spawn.cwd + row.name : row.name;
        spawn.path_env = spawn.cwd + "/" + row.path + ":/usr/bin:/bin";
    }
    const auto daemons = harness::start_each(spawns, [](const harness::Spawn& spawn) { return spawn; });
    // Every replacement is made before the first pause ends.
    for (size_t i = 0; i < path_rows.size(); ++i) {
        EXPECT_EQ(daemons[i]->out(), harness::launch_line(spawns[i].argv[0]));
        if (path_rows[i].replaced) {
            std::filesystem::rename(spawns[i].cwd + "/replacement",
                                    std::filesystem::path(spawns[i].cwd) / spawns[i].argv[0]);
        }
    }
    for (size_t i = 0; i < path_rows.size(); ++i) {
        const PathRow& row = path_rows[i];
        SCOPED_TRACE(row.name + " with PATH " + row.path);
        EXPECT_EQ(daemons[i]->err(), restart_line(47));
        EXPECT_EQ(daemons[i]->out(), row.next_line);
        std::filesystem::remove_all(spawns[i].cwd);
    }
}

// What strace shows of one daemon that serves a client until a step fails.
struct Trace {
    size_t console_writes = 0;
    std::vector<std::string> torn_writes;  // console writes that are not one whole line
    std::vector<std::string> polls;
    std::vector<std::string> sleeps;
    std::vector<std::string> failed_closes;
    // Positions in the trace: the listener first shut down or closed, the client first
    // closed, the pause; -1: never.
    long listener_stopped = -1;
    long client_closed = -1;
    long paused = -1;
};

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

size_t count_newlines(const std::string& call) {
    size_t newlines = 0;
    for (size_t at = call.find("\\n"); at != std::string::npos; at = call.find("\\n", at + 1)) {
        ++newlines;
    }
    return newlines;
}

// The listener is what socket() returned, the client what accept4() returned.
Trace read_trace(const std::string& path) {
    Trace trace;
    std::ifstream calls(path);
    std::string listener = "none";
    std::string client = "none";
    long position = 0;
    for (std::string call; std::getline(calls, call); ++position) {
        const size_t equals = call.rfind(" = ");
        const std::string result = equals == std::string::npos ? "" : call.substr(equals + 3);
        if (starts_with(call, "write(") || starts_with(call, "writev(")) {
            ++trace.console_writes;
            if (count_newlines(call) != 1) {
                trace.torn_writes.push_back(call);
            }
        } else if (starts_with(call, "socket(")) {
            listener = result;
        } else if (starts_with(call, "accept4(")) {
            client = result;
        } else if (starts_with(call, "poll(")) {
            trace.polls.push_back(call);
        } else if (call.find("sleep(") != std::string::npos) {
            trace.sleeps.push_back(call);
            trace.paused = trace.paused < 0 ? position : trace.paused;
        }
        if (starts_with(call, "close(") && starts_with(result, "-1")) {
            trace.failed_closes.push_back(call);
        }
        const bool stops =
            starts_with(call, "shutdown(" + listener + ",") || starts_with(call, "close(" + listener + ")");
        if (stops && trace.listener_stopped < 0) {
            trace.listener_stopped = position;
        }
        if (starts_with(call, "close(" + client + ")") && trace.client_closed < 0) {
            trace.client_closed = position;
        }
    }
    return trace;
}

struct TraceRow {
    const char* fail;
    bool client_left_open;  // the failing step leaves the client for the failure path
    size_t lines;           // console lines, the restart and MAX lines included
};
const std::vector<TraceRow> trace_rows = {{"send@0", true, 7}, {"close@0", false, 8}};
constexpr const char* traced_calls =
    "trace=write,writev,poll,clock_nanosleep,nanosleep,socket,accept4,shutdown,close";

// Runs a row's daemon under strace (MAX 1: the next program image stops at MAX) with one
// client, and reads the trace.
Trace run_traced(const std::string& path, const TraceRow& row) {
    harness::Spawn spawn = harness::spawn_of({"0", "1"}, row.fail);
    spawn.wrapper = {"/usr/bin/strace", "-o", path, "-s", "65536", "-e", traced_calls};
    Daemon daemon(spawn);
    EXPECT_EQ(daemon.next_out_lines(startup_line_count), harness::startup_lines());
    const int client = daemon.connect();
    EXPECT_GE(client, 0);
    (void)harness::exchange(client, "ping");
    EXPECT_EQ(daemon.wait_status(15), 1 << 8);
    EXPECT_EQ(daemon.lines().size(), row.lines);
    return read_trace(path);
}

// What the kernel sees, where wall-clock times are too coarse: each console line is one
// write of its own, whole with its newline; the idle bound is exactly 5 s; a failure
// stops the listener, then closes the client, then pauses in one sleep of exactly 3 s;
// and no descriptor is closed twice.
TEST(Restart, SystemCallsShowWholeLinesExactBoundsAndTheFailureOrder) {
    if (access("/usr/bin/strace", X_OK) != 0) {
        CANNOT_RUN_HERE("strace is not installed");
    }
    const std::string dir = harness::private_temp_dir();
    for (const TraceRow& row : trace_rows) {
        SCOPED_TRACE(row.fail);
        const Trace trace = run_traced(dir + "/trace", row);
        EXPECT_EQ(trace.console_writes, row.lines);
        EXPECT_EQ(trace.torn_writes, std::vector<std::string>{});
        EXPECT_EQ(trace.failed_closes, std::vector<std::string>{});
        ASSERT_EQ(trace.polls.size(), 1U);
        EXPECT_NE(trace.polls[0].find("], 1, 5000)"), std::string::npos) << trace.polls[0];
        ASSERT_EQ(trace.sleeps.size(), 1U);
        EXPECT_NE(trace.sleeps[0].find("{tv_sec=3, tv_nsec=0}"), std::string::npos) << trace.sleeps[0];
        EXPECT_GE(trace.listener_stopped, 0);
        EXPECT_GE(trace.client_closed, 0);
        if (row.client_left_open) {
            EXPECT_LT(trace.listener_stopped, trace.client_closed)
                << "the client was closed before the listener";
        }
        EXPECT_LT(std::max(trace.listener_stopped, trace.client_closed), trace.paused);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
