// echo-daemon: a one-shot TCP echo on port 80 that restarts itself after any failure.
// Usage: echo-daemon LAUNCH_COUNT MAX; echo-daemon(8) is the reference.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr in_port_t listen_port = 80;
constexpr int listen_backlog = 5;
constexpr size_t chunk_size = 64;
constexpr unsigned restart_pause_s = 3;
constexpr int idle_limit_ms = 5000;
constexpr int discard_limit_ms = 1000;
constexpr size_t discard_limit_bytes = size_t{4} << 20;
constexpr size_t count_field_size = 20;  // 19 digits of a 64-bit number and a terminator
constexpr int first_inherited_fd = 3;
constexpr rlim_t nr_open_default = rlim_t{1} << 20;  // Linux's cap on a process's descriptors
constexpr const char* fallback_name = "echo-daemon";
constexpr const char* own_program = "/proc/self/exe";
// SIGHUP is left out: as process 1 it stays ignored, so that a "reload" takes nothing down.
constexpr int stop_signals[] = {SIGTERM, SIGINT};
constexpr int signal_status_base = 128;

// Operators search logs for these tags: they never change.
enum class Step : int {
    socket = 47,
    bind = 51,
    listen = 56,
    accept = 63,
    read = 72,
    reply = 77,
    shutdown = 82,
    close = 85,
};

// What a failing step must let go of before the pause; -1: not open.
struct Service {
    char** argv;
    int listener = -1;
    int client = -1;
};

void end_on_stop_signals_as_init();
void mask_stop_signals(int how);
void close_inherited_descriptors();
bool reopen_closed_console();
int64_t parse_count(const char* text);
[[noreturn]] void serve(char** argv);
void open_listener(Service& service);
void serve_client(Service& service, char (&buffer)[chunk_size]);
size_t read_chunk(const Service& service, char (&buffer)[chunk_size]);
void end_connection(Service& service, size_t received);
void discard_unread(int client, size_t received);
[[noreturn]] void restart(Step step, const Service& service);
template <typename... Pieces>
void say(int fd, const Pieces&... pieces);
void write_whole(int fd, iovec* parts, size_t count);
std::string_view decimal(int64_t value, char (&field)[count_field_size]);

}  // namespace

int main(int argc, char** argv) {
    // Lines go out by writev alone; should anything print through stdio, it holds nothing.
    (void)setvbuf(stdout, nullptr, _IONBF, 0);
    (void)setvbuf(stderr, nullptr, _IONBF, 0);
    // A console reader or a client that goes away must not kill the process.
    (void)signal(SIGPIPE, SIG_IGN);
    end_on_stop_signals_as_init();
    close_inherited_descriptors();
    if (!reopen_closed_console()) {
        return 1;
    }
    if (argc != 3) {
        // An empty argument vector gives no name, or an empty one (Linux 5.18 on).
        const char* name = argc > 0 && argv[0][0] != '\0' ? argv[0] : fallback_name;
        say(STDERR_FILENO, "[!] Initialize the daemon properly: ", name, " 0 MAX\n");
        return 1;
    }

    const int64_t max = parse_count(argv[2]);
    const int64_t launch_count = parse_count(argv[1]);
    // At the top of the range the own number stays put instead of overflowing.
    const int64_t own_number = launch_count == INT64_MAX ? launch_count : launch_count + 1;
    if (own_number > max) {
        char number[count_field_size];
        say(STDERR_FILENO, "[!] Maximum number of errors (", decimal(max, number), ") reached\n");
        return 1;
    }

    // The next program image reads its launch count here; serve() never returns.
    char count_field[count_field_size];
    decimal(own_number, count_field);
    argv[1] = count_field;

    say(STDOUT_FILENO, "[*] Launching ", argv[0], " service\n");
    serve(argv);
}

namespace {

// As process 1 the kernel drops signals that have no handler: `podman stop` would wait
// out its grace period. Every program image installs the handlers anew, then takes any
// stop signal that arrived while restart() held them blocked across the exec.
void end_on_stop_signals_as_init() {
    if (getpid() != 1) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = [](int number) { _exit(signal_status_base + number); };
    for (const int number : stop_signals) {
        (void)sigaction(number, &action, nullptr);
    }
    mask_stop_signals(SIG_UNBLOCK);
}

// how: SIG_BLOCK or SIG_UNBLOCK.
void mask_stop_signals(int how) {
    sigset_t signals;
    (void)sigemptyset(&signals);
    for (const int number : stop_signals) {
        (void)sigaddset(&signals, number);
    }
    (void)sigprocmask(how, &signals, nullptr);
}

// A descriptor inherited from whoever started the chain would stay open in every program
// image of it: a pipe held so keeps its parent waiting for an end of file for ever.
void close_inherited_descriptors() {
    if (close_range(first_inherited_fd, ~0U, 0) == 0) {
        return;
    }
    // Linux before 5.9 has no close_range.
    rlimit limit = {};
    (void)getrlimit(RLIMIT_NOFILE, &limit);
    for (rlim_t fd = first_inherited_fd; fd < std::min(limit.rlim_cur, nr_open_default); ++fd) {
        (void)close(static_cast<int>(fd));
    }
}

// A socket that took number 0, 1 or 2 would send console lines to its client.
bool reopen_closed_console() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lower numbers are open, so open() returns exactly this one.
        if (open("/dev/null", O_RDWR) != fd) {
            return false;
        }
    }
    return true;
}

// Lenient on purpose (echo-daemon(8)). long long, not long: 64-bit on 32-bit systems too.
int64_t parse_count(const char* text) {
    const int64_t value = strtoll(text, nullptr, 10);
    return value < 0 ? 0 : value;
}

[[noreturn]] void serve(char** argv) {
    Service service = {argv};
    open_listener(service);
    char buffer[chunk_size];
    for (;;) {
        serve_client(service, buffer);
    }
}

void open_listener(Service& service) {
    // Close-on-exec: a restarted program image inherits neither port 80 nor a client.
    service.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (service.listener < 0) {
        restart(Step::socket, service);
    }
    // Closed connections hold the port in TIME_WAIT: without reuse, restarts cannot bind.
    const int reuse = 1;
    if (setsockopt(service.listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0) {
        restart(Step::socket, service);
    }

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(listen_port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(service.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        restart(Step::bind, service);
    }
    char port[count_field_size];
    say(STDOUT_FILENO, "[*] Listening on port ", decimal(listen_port, port), "\n");
    if (listen(service.listener, listen_backlog) < 0) {
        restart(Step::listen, service);
    }
}

void serve_client(Service& service, char (&buffer)[chunk_size]) {
    say(STDOUT_FILENO, "[*] Waiting for client connections\n");
    service.client = accept4(service.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (service.client < 0) {
        restart(Step::accept, service);
    }
    say(STDOUT_FILENO, "[*] Received client connection\n");
    const size_t count = read_chunk(service, buffer);
    say(STDOUT_FILENO, "[*] Received client echo\n");
    if (send(service.client, buffer, count, 0) < 0) {
        restart(Step::reply, service);
    }
    say(STDOUT_FILENO, "[*] Replied to client echo\n");
    end_connection(service, count);
    say(STDOUT_FILENO, "[*] Closed client connection\n");
}

size_t read_chunk(const Service& service, char (&buffer)[chunk_size]) {
    // A client that sends nothing would hold every later one for ever.
    pollfd pending = {service.client, POLLIN, 0};
    const int ready = poll(&pending, 1, idle_limit_ms);
    if (ready < 0) {
        restart(Step::read, service);
    }
    if (ready == 0) {
        return 0;
    }
    const ssize_t count = read(service.client, buffer, sizeof buffer);
    if (count < 0) {
        restart(Step::read, service);
    }
    return static_cast<size_t>(count);
}

void end_connection(Service& service, size_t received) {
    // A client that closed unread has reset the connection: nothing is left to shut down.
    if (shutdown(service.client, SHUT_WR) < 0 && errno != ENOTCONN) {
        restart(Step::shutdown, service);
    }
    discard_unread(service.client, received);
    // Linux frees the number even when close fails: the failure path must not close it.
    const int client = service.client;
    service.client = -1;
    if (close(client) < 0) {
        restart(Step::close, service);
    }
}

// A close with bytes unread resets, and a balancer then drops the reply it has not yet
// passed on. So what follows a full chunk is thrown away, within bounds, until the
// client's end of stream; a failure here costs no launch (echo-daemon(8), LIMITS).
void discard_unread(int client, size_t received) {
    if (received < chunk_size) {
        return;
    }
    timespec start = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    for (size_t left = discard_limit_bytes; left > 0;) {
        timespec now = {};
        (void)clock_gettime(CLOCK_MONOTONIC, &now);
        const long waited_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        pollfd pending = {client, POLLIN, 0};
        if (waited_ms >= discard_limit_ms ||
            poll(&pending, 1, static_cast<int>(discard_limit_ms - waited_ms)) <= 0) {
            return;
        }
        // MSG_TRUNC: TCP drops the bytes without copying them anywhere.
        const ssize_t dropped = recv(client, nullptr, left, MSG_TRUNC | MSG_DONTWAIT);
        if (dropped <= 0) {
            return;
        }
        left -= static_cast<size_t>(dropped);  // at most what was asked for
    }
}

[[noreturn]] void restart(Step step, const Service& service) {
    // Clients are refused and let go before the pause, not after it. The listener is shut
    // down, not closed, and loses address reuse, so that no other socket can take port 80
    // until the exec; the port goes first, so that the client finds it closed too.
    if (service.listener >= 0) {
        const int reuse = 0;
        (void)setsockopt(service.listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        (void)shutdown(service.listener, SHUT_RDWR);
    }
    if (service.client >= 0) {
        (void)close(service.client);
    }
    sleep(restart_pause_s);
    char tag[count_field_size];
    say(STDERR_FILENO, "[!] Restarting due to error in main:", decimal(static_cast<int64_t>(step), tag),
        " main\n");
    // execv resolves a bare name in the working directory: run this very program instead.
    char** argv = service.argv;
    const char* program = strchr(argv[0], '/') != nullptr ? argv[0] : own_program;
    // As process 1, a stop signal before the next program image's handlers would be lost.
    if (getpid() == 1) {
        mask_stop_signals(SIG_BLOCK);
    }
    execv(program, argv);
    exit(1);
}

// printf is avoided on purpose: it would add a quarter of a megabyte of libc to the
// resident set of a daemon that otherwise needs little more than its sockets.
template <typename... Pieces>
void say(int fd, const Pieces&... pieces) {
    const std::string_view texts[] = {std::string_view(pieces)...};
    iovec parts[sizeof...(Pieces)];
    for (size_t i = 0; i < sizeof...(Pieces); ++i) {
        parts[i] = {const_cast<char*>(texts[i].data()), texts[i].size()};
    }
    write_whole(fd, parts, sizeof...(Pieces));
}

// One writev a line, so that each reaches the console whole and at once. A console left
// non-blocking, or one that takes part of a line, gets the rest when it has room. One
// whose reader has gone fails the write, and the service goes on; one nobody reads blocks.
void write_whole(int fd, iovec* parts, size_t count) {
    while (count > 0) {
        const ssize_t written = writev(fd, parts, static_cast<int>(count));
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        if (written < 0) {
            pollfd room = {fd, POLLOUT, 0};
            (void)poll(&room, 1, -1);
            continue;
        }
        auto done = static_cast<size_t>(written);
        for (; count > 0 && done >= parts->iov_len; ++parts, --count) {
            done -= parts->iov_len;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
}

// Writes a non-negative value into the field as decimal text, zero-filling the rest.
std::string_view decimal(int64_t value, char (&field)[count_field_size]) {
    memset(field, 0, sizeof field);
    // 19 digits always leave room for the terminator, so the conversion cannot fail.
    const auto written = std::to_chars(field, field + sizeof field - 1, value);
    return {field, static_cast<size_t>(written.ptr - field)};
}

}  // namespace
