// echo-daemon: a one-shot TCP echo on port 80 that restarts itself after any failure.
//
// Usage: echo-daemon COUNT MAX. COUNT is the number of images that ran before this one
// in the chain (the operator passes 0); MAX bounds how many images may serve. When a
// step fails, the daemon stops taking connections, lets go of its client, pauses, names
// the step and re-executes itself with COUNT + 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

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
constexpr size_t count_field_size = 20;  // 19 digits of a 64-bit count and a terminator
constexpr const char* fallback_name = "echo-daemon";
constexpr const char* own_image = "/proc/self/exe";
// The signals that stop a container, and the status a shell gives an end by one. SIGHUP
// is left out: as process 1 it stays ignored, so that a "reload" takes nothing down.
constexpr int stop_signals[] = {SIGTERM, SIGINT};
constexpr int signal_status_base = 128;

// The restart message names the failing step by these numbers; operators search logs
// for them, so they never change.
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

// What a failing step must let go of before the pause: the next image needs the argument
// vector; -1 marks a descriptor that is not open.
struct Service {
    char** argv;
    int listener = -1;
    int client = -1;
};

void end_on_stop_signals_as_init();
void mask_stop_signals(int how);
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
std::string_view decimal(int64_t value, char (&field)[count_field_size]);

}  // namespace

int main(int argc, char** argv) {
    // Every console line is one writev(2) of its own, so stdio holds nothing; unbuffered
    // streams keep it that way should anything (a library, a sanitizer) print through it.
    (void)setvbuf(stdout, nullptr, _IONBF, 0);
    (void)setvbuf(stderr, nullptr, _IONBF, 0);
    // Before anything is written: a console reader or a client that goes away must not
    // kill the process. With SIGPIPE ignored a console write fails and say() carries
    // on, and a reply to a vanished client fails its step and restarts. The re-executed
    // image inherits the disposition.
    (void)signal(SIGPIPE, SIG_IGN);
    end_on_stop_signals_as_init();
    if (!reopen_closed_console()) {
        return 1;
    }
    if (argc != 3) {
        // Started with an empty argument vector, the program gets no name, or an empty
        // one (Linux since 5.18); print its own.
        const char* name = argc > 0 && argv[0][0] != '\0' ? argv[0] : fallback_name;
        say(STDERR_FILENO, "[!] Initialize the daemon properly: ", name, " 0 MAX\n");
        return 1;
    }

    const int64_t max = parse_count(argv[2]);
    const int64_t launched = parse_count(argv[1]);
    // At the top of the range the count stays put instead of overflowing.
    const int64_t own_number = launched == INT64_MAX ? launched : launched + 1;
    if (own_number > max) {
        char number[count_field_size];
        say(STDERR_FILENO, "[!] Maximum number of errors (", decimal(max, number), ") reached\n");
        return 1;
    }

    // The next image reads its count from here; the field lives as long as this frame,
    // which is as long as the image, because serve() never returns.
    char count_field[count_field_size];
    decimal(own_number, count_field);
    argv[1] = count_field;

    say(STDOUT_FILENO, "[*] Launching ", argv[0], " service\n");
    serve(argv);
}

namespace {

// As PID 1 of a PID namespace (a container without an init) the kernel takes no default
// action for the process: SIGTERM from `podman stop` or a pod's deletion would be dropped,
// and the runtime would wait out its grace period before SIGKILL. There, SIGTERM and
// SIGINT end it at once, with the status they would have given under a shell. exec
// resets handlers, so every image of the chain installs them anew, and takes any that
// arrived during the exec, when they were blocked; elsewhere none is installed and the
// defaults stand.
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

// A socket that took number 0, 1 or 2 would receive console lines meant for the
// operator, and a client on it would read them; so hold those numbers with /dev/null.
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

// Deliberately lenient: blanks and a sign are accepted, parsing stops at the first
// non-digit, text without digits is 0, out-of-range values saturate, negatives are 0.
// long long, not long: counts are 64-bit on 32-bit systems too.
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
    // Close-on-exec as well: should a descriptor outlive the failure path, a restarted
    // image still inherits neither port 80 nor a client.
    service.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (service.listener < 0) {
        restart(Step::socket, service);
    }
    // Connections this image closed leave the port in TIME_WAIT for a minute; without
    // reuse every restarted image would fail to bind until the budget was gone.
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
    // A client that sends nothing would hold every later client in the queue for ever;
    // after the idle limit it is served as one that sent nothing.
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
    // A client that sent its chunk and closed without reading answers the reply with a
    // reset, which leaves nothing to shut down: the step's work is already done.
    if (shutdown(service.client, SHUT_WR) < 0 && errno != ENOTCONN) {
        restart(Step::shutdown, service);
    }
    discard_unread(service.client, received);
    // Linux frees the number even when close fails, and it may be reused at once: the
    // failure path must not close it again.
    const int client = service.client;
    service.client = -1;
    if (close(client) < 0) {
        restart(Step::close, service);
    }
}

// A close with bytes still unread answers the peer with a reset, and a balancer that
// receives it drops the reply it has not yet passed on (HAProxy does). A client that
// filled the chunk has most likely sent more; its rest is read and thrown away until its
// end of stream, within bounds of time and bytes, so that the close is an orderly one.
// One whose first piece was shorter is not waited for: more from it still resets.
// So the shutdown leaves the reading half open: Linux answers bytes that arrive after
// a shutdown of it with a reset too. A failure here costs no launch: at worst the close
// resets, as it did before.
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
    // Stop taking connections and let go of the client before the pause: for its 3
    // seconds nobody is served either way, but now a new client is refused at once (a
    // balancer in front moves on) and queued ones and the client being served see their
    // connections end, instead of waiting out the pause in a queue no one will read.
    // The listener is shut down, not closed, so that port 80 stays this daemon's until
    // the exec closes it, a millisecond before the next image binds it: closed, any
    // program allowed to bind port 80 could take it and the clients meant for this one.
    // Without address reuse, no socket can bind it beside the stopped one, with reuse or
    // without.
    // The port goes first, so that the client, seeing its end, finds it closed too.
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
    // execv() resolves a bare name against the working directory, which may hold any
    // file of that name; run this very program instead.
    char** argv = service.argv;
    const char* image = strchr(argv[0], '/') != nullptr ? argv[0] : own_image;
    // As process 1, a stop signal sent between the exec and the next image's handlers
    // would be dropped; blocked, it waits for them.
    if (getpid() == 1) {
        mask_stop_signals(SIG_BLOCK);
    }
    execv(image, argv);
    exit(1);
}

// One system call per line, so that each line reaches the console whole and at once.
// printf is avoided on purpose: its machinery would add a quarter of a megabyte of libc
// to the resident set of a daemon that otherwise needs little more than its sockets.
template <typename... Pieces>
void say(int fd, const Pieces&... pieces) {
    const std::string_view texts[] = {std::string_view(pieces)...};
    iovec parts[sizeof...(Pieces)];
    for (size_t i = 0; i < sizeof...(Pieces); ++i) {
        parts[i] = {const_cast<char*>(texts[i].data()), texts[i].size()};
    }
    // A console whose reader has gone fails the write, and the service goes on. A
    // console that nobody reads is another matter: once its pipe is full, this write
    // blocks and nobody is served until someone reads.
    if (writev(fd, parts, sizeof...(Pieces)) < 0) {
        return;
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
