// Runs the real echo-daemon binary in a network namespace of its own, on the real port 80,
// and gives tests its console lines, its exit status and TCP connections to it.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

// Moves the calling program into a network namespace of its own, entering a user
// namespace first when it is not root or when a plain network namespace is refused.
// Call once, before any thread starts. False, with the reason on stderr, where no
// namespace can be made: then nothing may be started on port 80.
bool isolate();

// A test that cannot run here fails with its reason, unless the contributor allows skips
// (ECHO_DAEMON_ALLOW_SKIPS=1). For a test or a test environment, after gtest.h.
bool skips_allowed();
#define CANNOT_RUN_HERE(reason)                                            \
    do {                                                                   \
        if (harness::skips_allowed()) {                                    \
            GTEST_SKIP() << (reason);                                      \
        }                                                                  \
        FAIL() << (reason) << " (ECHO_DAEMON_ALLOW_SKIPS=1 lets it skip)"; \
    } while (false)

// Brings up the loopback interface of the calling program's network namespace.
void bring_loopback_up();

// Built with the tests: the daemon and the interposer that makes its calls fail.
std::string daemon_path();
std::string fault_library();

// What the daemon prints, exactly.
std::string launch_line(const std::string& name = daemon_path());
std::string restart_line(int tag);
std::string max_reached_line(const std::string& max);
// An image's stdout from its launch to its first wait for a client.
std::vector<std::string> startup_lines();
// What follows on stdout for each client served, up to the next wait.
std::vector<std::string> client_lines();

// A new directory of the caller's own under the temporary directory (mkdtemp): a name
// known in advance could be planted first, with a symbolic link where a root test writes.
std::string private_temp_dir();

// fork(), with the child killed when this program dies, so that no server outlives it.
pid_t fork_tied();

struct Spawn {
    std::vector<std::string> argv;  // argv[0] included; empty means an empty vector
    std::string fail;               // interposer rules (CALL@COUNT[#NTH],...); empty: none
    std::vector<int> closed_fds;    // descriptors closed before the daemon starts
    std::string cwd;                // working directory; empty: the test's own
    std::string path_env = "/usr/bin:/bin";
    std::vector<std::string> wrapper;  // runs the daemon, argv[0] being its path: valgrind, say
    pid_t netns_of = 0;                // join this process's network namespace; 0: a new one
    int console_read = -1;             // the reader goes away after this many lines (0: before
                                       // the first); -1: never
    double console_stall = 0;          // > 0: stdout is a small non-blocking pipe that the
                                       // reader leaves unread for this many seconds
};

// The usual start: the daemon's own path, then the arguments.
Spawn spawn_of(std::vector<std::string> arguments, std::string fail = "");

struct Line {
    int fd;  // 1 or 2
    std::string text;
    double time;  // seconds since the test program started
};

// The child runs in a process group of its own, which ends with the Daemon: whatever a
// wrapper started (the process strace traces) goes with it. It inherits no descriptor
// above 2 from the test program.
class Daemon {
public:
    explicit Daemon(const Spawn& spawn);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }
    // The next line on stdout or stderr, waiting up to the timeout; "<timeout>" if none came.
    std::string out(double timeout = 10);
    std::string err(double timeout = 10);
    // The next count lines on stdout.
    std::vector<std::string> next_out_lines(size_t count, double timeout = 10);
    // Every line seen so far on stream fd (0: both), in arrival order.
    std::vector<Line> lines(int fd = 0);
    std::string last_line();
    void terminate() const;
    // The raw wait status once the process has ended; -1 if it still runs after the timeout.
    int wait_status(double timeout = 10);
    // A TCP connection to 127.0.0.1:80 inside the daemon's namespace; -1 on failure.
    int connect() const;
    // connect(), retried while nothing listens yet (a restart), for up to the timeout.
    int connect_retry(double timeout = 10) const;
    // Binds a new socket to port 80 on every interface inside the daemon's namespace,
    // with or without SO_REUSEADDR, and closes it: 0 if the bind succeeded, else its errno.
    int bind_error(bool reuse) const;
    // The daemon's current argument vector as the kernel holds it, less what an emulator
    // puts first.
    std::vector<std::string> cmdline() const;
    // What each open descriptor refers to ("socket:[...]", "/dev/null", "pipe:[...]").
    std::map<int, std::string> descriptors() const;
    int sockets() const;

private:
    std::string next(int fd, double timeout);
    int socket_inside() const;
    void read_console(int out, int err, int keep, double stall);

    pid_t pid_ = -1;
    int status_ = -1;
    int netns_ = -1;
    // A thread of its own reads the console, so that every line is stamped when written.
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Line> lines_;
    size_t taken_[3] = {0, 0, 0};  // lines handed out so far, by stream (1, 2)
};

// One daemon for each row, started together so that their waits overlap.
template <typename Rows, typename Make>
std::vector<std::unique_ptr<Daemon>> start_each(const Rows& rows, Make make) {
    std::vector<std::unique_ptr<Daemon>> daemons;
    daemons.reserve(rows.size());
    for (const auto& row : rows) {
        daemons.push_back(std::make_unique<Daemon>(make(row)));
    }
    return daemons;
}

double now();

// A "kB" figure from /proc/PID/status, such as VmRSS or VmHWM; -1 if there is none.
long status_kb(pid_t pid, const std::string& field);

// Client side: send the whole payload, half-close, read until end of stream.
std::string exchange(int fd, const std::string& payload);
// Closes with a reset instead of an orderly end of stream.
void reset(int fd);
void send_all(int fd, const std::string& payload);
std::string read_to_end(int fd);

}  // namespace harness
