// The floor of cost for this job: a TCP echo on port 80 that makes only the calls every
// client requires (accept, one read, one reply, shutdown, close) and writes the same
// five console lines per client, one write each. No restarts, no checks, no idle bound.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

void line(const char* text) {
    if (write(STDOUT_FILENO, text, strlen(text)) < 0) {
        return;
    }
}

}  // namespace

int main() {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        listen(listener, 5) < 0) {
        return 1;
    }
    char buffer[64];
    for (;;) {
        line("[*] Waiting for client connections\n");
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return 1;
        }
        line("[*] Received client connection\n");
        const ssize_t count = read(client, buffer, sizeof buffer);
        line("[*] Received client echo\n");
        if (count > 0 && send(client, buffer, static_cast<size_t>(count), MSG_NOSIGNAL) < 0) {
            return 1;
        }
        line("[*] Replied to client echo\n");
        shutdown(client, SHUT_RDWR);
        close(client);
        line("[*] Closed client connection\n");
    }
}
