// echo-daemon: a one-shot TCP echo on port 80 that restarts itself after any failure.
//
// Usage: echo-daemon COUNT MAX. COUNT is the number of images that ran before this one
// in the chain (the operator passes 0); MAX bounds how many images may serve. When a
// step fails, the daemon pauses, names the step and re-executes itself with COUNT + 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

static_assert(sizeof(long) == 8, "launch counts are 64-bit");

constexpr in_port_t listen_port = 80;
constexpr int listen_backlog = 5;
constexpr size_t chunk_size = 64;
constexpr unsigned restart_pause_s = 3;
constexpr int idle_limit_ms = 5000;
constexpr size_t count_field_size = 20;  // 19 digits of a 64-bit count and a terminator
constexpr const char* fallback_name = "echo-daemon";
constexpr const char* own_image = "/proc/self/exe";

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

bool reopen_closed_console();
long parse_count(const char* text);
[[noreturn]] void serve(char** argv);
[[noreturn]] void restart(Step step, char** argv);
template <typename... Pieces>
void say(int fd, const Pieces&... pieces);
std::string_view decimal(long value, char (&field)[count_field_size]);

}  // namespace

int main(int argc, char** argv) {
    // Console lines are written with writev(2); unbuffered streams keep any stdio output
    // in order with them and on the console before an exec replaces the image.
    (void)setvbuf(stdout, nullptr, _IONBF, 0);
    (void)setvbuf(stderr, nullptr, _IONBF, 0);
    // A console reader that goes away must not kill the service: with SIGPIPE ignored
    // the console write fails instead, and say() carries on. The re-executed image
    // inherits the disposition.
    (void)signal(SIGPIPE, SIG_IGN);
    if (!reopen_closed_console()) {
        return 1;
    }
    if (argc != 3) {
        // An empty argument vector leaves no name to print.
        say(STDERR_FILENO, "[!] Initialize the daemon properly: ", argc > 0 ? argv[0] : fallback_name,
            " 0 MAX\n");
        return 1;
    }

    const long max = parse_count(argv[2]);
    const long launched = parse_count(argv[1]);
    // At the top of the range the count stays put instead of overflowing.
    const long own_number = launched == LONG_MAX ? launched : launched + 1;
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
long parse_count(const char* text) {
    const long value = strtol(text, nullptr, 10);
    return value < 0 ? 0 : value;
}

[[noreturn]] void serve(char** argv) {
    // Close-on-exec everywhere: a restarted image must not inherit port 80 or a client.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        restart(Step::socket, argv);
    }
    // Connections this image closed leave the port in TIME_WAIT for a minute; without
    // reuse every restarted image would fail to bind until the budget was gone.
    const int reuse = 1;
    if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0) {
        restart(Step::socket, argv);
    }

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(listen_port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        restart(Step::bind, argv);
    }
    char port[count_field_size];
    say(STDOUT_FILENO, "[*] Listening on port ", decimal(listen_port, port), "\n");
    if (listen(listener, listen_backlog) < 0) {
        restart(Step::listen, argv);
    }

    char buffer[chunk_size];
    for (;;) {
        say(STDOUT_FILENO, "[*] Waiting for client connections\n");
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            restart(Step::accept, argv);
        }
        say(STDOUT_FILENO, "[*] Received client connection\n");

        // A client that sends nothing would hold every later client in the queue for
        // ever; after the idle limit it is served as one that sent nothing.
        pollfd pending = {client, POLLIN, 0};
        const int ready = poll(&pending, 1, idle_limit_ms);
        if (ready < 0) {
            restart(Step::read, argv);
        }
        ssize_t count = 0;
        if (ready > 0) {
            count = read(client, buffer, sizeof buffer);
            if (count < 0) {
                restart(Step::read, argv);
            }
        }
        say(STDOUT_FILENO, "[*] Received client echo\n");

        // A peer that has gone away must fail the reply, not kill the daemon by SIGPIPE.
        if (send(client, buffer, static_cast<size_t>(count), MSG_NOSIGNAL) < 0) {
            restart(Step::reply, argv);
        }
        say(STDOUT_FILENO, "[*] Replied to client echo\n");
        // A client that sent its chunk and closed without reading answers the reply with
        // a reset, which leaves nothing to shut down: the step's work is already done.
        if (shutdown(client, SHUT_RDWR) < 0 && errno != ENOTCONN) {
            restart(Step::shutdown, argv);
        }
        if (close(client) < 0) {
            restart(Step::close, argv);
        }
        say(STDOUT_FILENO, "[*] Closed client connection\n");
    }
}

[[noreturn]] void restart(Step step, char** argv) {
    sleep(restart_pause_s);
    char tag[count_field_size];
    say(STDERR_FILENO, "[!] Restarting due to error in main:", decimal(static_cast<long>(step), tag),
        " main\n");
    // execv() resolves a bare name against the working directory, which may hold any
    // file of that name; run this very program instead.
    const char* image = strchr(argv[0], '/') != nullptr ? argv[0] : own_image;
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
std::string_view decimal(long value, char (&field)[count_field_size]) {
    memset(field, 0, sizeof field);
    // 19 digits always leave room for the terminator, so the conversion cannot fail.
    const auto written = std::to_chars(field, field + sizeof field - 1, value);
    return {field, static_cast<size_t>(written.ptr - field)};
}

}  // namespace
