// Test-only interposer, loaded with LD_PRELOAD: makes chosen calls of the daemon fail so
// that tests can drive it down its restart path without breaking the machine.
//
// ECHO_FAIL holds comma-separated rules CALL@COUNT[#NTH]: the NTH call of CALL (the first
// when NTH is absent) fails with EIO in the image started with launch count COUNT ('*'
// for every image). Example: "socket@0,accept4@1#3".
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Call {
    c_socket,
    c_setsockopt,
    c_bind,
    c_listen,
    c_accept4,
    c_poll,
    c_read,
    c_send,
    c_shutdown,
    c_close,
    c_count
};
constexpr const char* call_names[c_count] = {"socket", "setsockopt", "bind", "listen",   "accept4",
                                             "poll",   "read",       "send", "shutdown", "close"};
unsigned calls_made[c_count];
char launch[64];  // the launch count this image was started with, before the daemon rewrites it

__attribute__((constructor)) void remember_launch(int argc, char** argv, char**) {
    if (argc > 1) {
        snprintf(launch, sizeof launch, "%s", argv[1]);
    }
}

bool rule_matches(const char* rule, size_t length, Call call, unsigned nth) {
    char text[128];
    if (length >= sizeof text) {
        return false;
    }
    memcpy(text, rule, length);
    text[length] = '\0';
    char* at = strchr(text, '@');
    if (at == nullptr) {
        return false;
    }
    *at = '\0';
    char* hash = strchr(at + 1, '#');
    if (hash != nullptr) {
        *hash = '\0';
    }
    const unsigned wanted = hash != nullptr ? static_cast<unsigned>(strtoul(hash + 1, nullptr, 10)) : 1;
    return strcmp(text, call_names[call]) == 0 && (strcmp(at + 1, "*") == 0 || strcmp(at + 1, launch) == 0) &&
           wanted == nth;
}

// Counts the call and says whether a rule makes it fail.
bool fails(Call call) {
    const unsigned nth = ++calls_made[call];
    const char* rules = getenv("ECHO_FAIL");
    for (const char* rule = rules; rule != nullptr && *rule != '\0';) {
        const char* end = strchrnul(rule, ',');
        if (rule_matches(rule, static_cast<size_t>(end - rule), call, nth)) {
            errno = EIO;
            return true;
        }
        rule = *end == ',' ? end + 1 : end;
    }
    return false;
}

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int socket(int domain, int type, int protocol) {
    static auto next = real<int (*)(int, int, int)>("socket");
    return fails(c_socket) ? -1 : next(domain, type, protocol);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t size) {
    static auto next = real<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
    return fails(c_setsockopt) ? -1 : next(fd, level, name, value, size);
}

int bind(int fd, const sockaddr* address, socklen_t size) {
    static auto next = real<int (*)(int, const sockaddr*, socklen_t)>("bind");
    return fails(c_bind) ? -1 : next(fd, address, size);
}

int listen(int fd, int backlog) {
    static auto next = real<int (*)(int, int)>("listen");
    return fails(c_listen) ? -1 : next(fd, backlog);
}

int accept4(int fd, sockaddr* address, socklen_t* size, int flags) {
    static auto next = real<int (*)(int, sockaddr*, socklen_t*, int)>("accept4");
    return fails(c_accept4) ? -1 : next(fd, address, size, flags);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    static auto next = real<int (*)(pollfd*, nfds_t, int)>("poll");
    return fails(c_poll) ? -1 : next(fds, count, timeout);
}

ssize_t read(int fd, void* buffer, size_t size) {
    static auto next = real<ssize_t (*)(int, void*, size_t)>("read");
    return fails(c_read) ? -1 : next(fd, buffer, size);
}

// Fortified builds call this instead of read().
ssize_t __read_chk(int fd, void* buffer, size_t size, size_t) {
    return read(fd, buffer, size);
}

ssize_t send(int fd, const void* buffer, size_t size, int flags) {
    static auto next = real<ssize_t (*)(int, const void*, size_t, int)>("send");
    return fails(c_send) ? -1 : next(fd, buffer, size, flags);
}

int shutdown(int fd, int how) {
    static auto next = real<int (*)(int, int)>("shutdown");
    return fails(c_shutdown) ? -1 : next(fd, how);
}

int close(int fd) {
    static auto next = real<int (*)(int)>("close");
    return fails(c_close) ? -1 : next(fd);
}
}
