// Native loopback echo server for the round-trip floor of the benchmark:
// prints its port, then echoes every byte of each connection until it closes.
// Stops after its first connection ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

int main() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("echo server");
        return 1;
    }
    std::printf("%u\n", ntohs(address.sin_port));
    std::fflush(stdout);
    const int peer = accept(listener, nullptr, nullptr);
    const int noDelay = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    char buffer[65536];
    for (ssize_t n; (n = read(peer, buffer, sizeof buffer)) > 0;) {
        for (ssize_t sent = 0; sent < n;) {
            const ssize_t w = write(peer, buffer + sent, static_cast<size_t>(n - sent));
            if (w <= 0) {
                return 1;
            }
            sent += w;
        }
    }
    close(peer);
    close(listener);
    return 0;
}
