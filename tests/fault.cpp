// Test-only interposer, loaded with LD_PRELOAD: makes chosen calls of the daemon fail so
// that tests can drive it down its restart path without breaking the machine.
//
// ECHO_FAIL holds comma-separated rules CALL@COUNT[#NTH]: the NTH call of CALL (the first
// when NTH is absent) fails with EIO in the image started with launch count COUNT ('*'
// for every image). Example: "socket@0,accept4@1#3". The rule hold@COUNT holds the image
// started with COUNT for a second before its main runs, when only its signal mask guards it.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* call_names[] = {"socket", "setsockopt", "bind",     "listen", "accept4", "poll",
                                      "read",   "send",       "shutdown", "close",  "execv"};
constexpr size_t call_count = sizeof call_names / sizeof call_names[0];
unsigned calls_made[call_count];
char launch[64];  // the launch count this image was started with, before the daemon rewrites it

// Whether one rule, "CALL@COUNT[#NTH]", names the nth call of this name in this image.
bool rule_matches(const char* rule, size_t length, const char* call, unsigned nth) {
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
    return strcmp(text, call) == 0 && (strcmp(at + 1, "*") == 0 || strcmp(at + 1, launch) == 0) &&
           wanted == nth;
}

// Whether a rule names the nth call of this name in this image.
bool listed(const char* call, unsigned nth) {
    const char* rules = getenv("ECHO_FAIL");
    for (const char* rule = rules; rule != nullptr && *rule != '\0';) {
        const char* end = strchrnul(rule, ',');
        if (rule_matches(rule, static_cast<size_t>(end - rule), call, nth)) {
            return true;
        }
        rule = *end == ',' ? end + 1 : end;
    }
    return false;
}

// Counts the call and says whether a rule makes it fail.
bool fails(const char* call) {
    size_t index = 0;
    while (strcmp(call_names[index], call) != 0) {
        ++index;
    }
    if (!listed(call, ++calls_made[index])) {
        return false;
    }
    errno = EIO;
    return true;
}

__attribute__((constructor)) void remember_launch(int argc, char** argv, char** /*envp*/) {
    if (argc > 1) {
        (void)snprintf(launch, sizeof launch, "%s", argv[1]);
    }
    if (listed("hold", 1)) {
        (void)usleep(1000000);
    }
}

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Each interposed call fails as the rules say, or goes on to libc's own. The definitions
// must carry libc's own names, and their parameters cannot match its reserved ones.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name,bugprone-macro-parentheses)
#define INTERPOSE(type, name, parameters, arguments)        \
    type name parameters {                                  \
        static auto next = real<type(*) parameters>(#name); \
        return fails(#name) ? -1 : next arguments;          \
    }

extern "C" {
INTERPOSE(int, socket, (int domain, int type, int protocol), (domain, type, protocol))
INTERPOSE(int, setsockopt, (int fd, int level, int name, const void* value, socklen_t size),
          (fd, level, name, value, size))
INTERPOSE(int, bind, (int fd, const sockaddr* address, socklen_t size), (fd, address, size))
INTERPOSE(int, listen, (int fd, int backlog), (fd, backlog))
INTERPOSE(int, accept4, (int fd, sockaddr* address, socklen_t* size, int flags), (fd, address, size, flags))
INTERPOSE(int, poll, (pollfd * fds, nfds_t count, int timeout), (fds, count, timeout))
INTERPOSE(ssize_t, read, (int fd, void* buffer, size_t size), (fd, buffer, size))
INTERPOSE(ssize_t, send, (int fd, const void* buffer, size_t size, int flags), (fd, buffer, size, flags))
INTERPOSE(int, shutdown, (int fd, int how), (fd, how))
INTERPOSE(int, execv, (const char* path, char* const* argv), (path, argv))

// Linux frees the descriptor even when close fails, so a failing close really closes:
// a second close of the same number is the daemon's mistake, not the interposer's.
int close(int fd) {
    static auto next = real<int (*)(int)>("close");
    const int closed = next(fd);
    return fails("close") ? -1 : closed;
}
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name,bugprone-macro-parentheses)
