// The floor under the server's CPU figures: what the sleeps, the sends and the reads of an update
// cost on this machine when nothing else is done. bench/run builds it, runs `echo` on the device
// side of the test network and one of the other modes on the server side, and prints the figure
// beside the server's.
//
//   floor echo ADDR...                every datagram to ADDR:5008 answered with 300 bytes
//   floor fixed FRAMES WRITE ADDR     one update's sleeps, a send and a read per command
//   floor paced COMMANDS ADDR         per command: a send, a wait for the answer, a read
//   floor rack DEVICES COMMANDS ADDR  DEVICES echoes from ADDR on, COMMANDS each, all at once
//
// The client modes print the process's CPU time (the scheduler's count) in microseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kPort = 5008;
constexpr size_t kCommandSize = 288;
constexpr size_t kReplySize = 300;

long long cpu_ns() {
    std::ifstream f("/proc/self/schedstat");
    long long ns = 0;
    f >> ns;
    return ns;
}

int udp_socket(const char* addr) {
    const int so = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    a.sin_addr.s_addr = addr ? ::inet_addr(addr) : htonl(INADDR_ANY);
    if (so < 0 || ::bind(so, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("floor: socket");
        std::exit(1);
    }
    return so;
}

void send_to(int so, uint32_t addr, size_t size) {
    static char data[kReplySize];
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    a.sin_addr.s_addr = addr;
    ::sendto(so, data, size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// One datagram without waiting; the sender's address, or 0 when none waits.
uint32_t read_one(int so) {
    char buf[512];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(so, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    return n < 0 ? 0 : from.sin_addr.s_addr;
}

bool wait_readable(int so, int ms) {
    pollfd p{so, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

void sleep_ms(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void echo(int argc, char** argv) {
    std::vector<pollfd> fds;
    for (int i = 0; i < argc; ++i) fds.push_back({udp_socket(argv[i]), POLLIN, 0});
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        for (pollfd& p : fds) {
            if ((p.revents & POLLIN) == 0) continue;
            while (const uint32_t from = read_one(p.fd)) send_to(p.fd, from, kReplySize);
        }
    }
}

// The pauses of one update with fixed pauses, in the order they come, with a command before each
// pause that follows a send: as the pause budget of bench/run counts them.
void fixed(int frames, int write, uint32_t dev) {
    const int so = udp_socket(nullptr);
    sleep_ms(100);
    auto command = [&](int pause) {
        send_to(so, dev, kCommandSize);
        sleep_ms(pause);
        read_one(so);
    };
    for (int step = 0; step < 4; ++step) command(frames), sleep_ms(frames);
    command(1000), sleep_ms(frames);
    command(frames), sleep_ms(frames), sleep_ms(frames);
    for (int block = 0; block < 480; ++block) command(write);
    sleep_ms(frames);
    command(frames), sleep_ms(frames);
}

void paced(int commands, uint32_t dev) {
    const int so = udp_socket(nullptr);
    for (int n = 0; n < commands; ++n) {
        send_to(so, dev, kCommandSize);
        if (wait_readable(so, 10)) read_one(so);
    }
}

void rack(int devices, int commands, uint32_t first) {
    const int so = udp_socket(nullptr);
    std::vector<int> left(static_cast<size_t>(devices), commands);
    int running = devices;
    for (int d = 0; d < devices; ++d) send_to(so, htonl(ntohl(first) + d), kCommandSize);
    while (running > 0 && wait_readable(so, 1000)) {
        while (const uint32_t from = read_one(so)) {
            const int d = static_cast<int>(ntohl(from) - ntohl(first));
            if (d < 0 || d >= devices || left[static_cast<size_t>(d)] == 0) continue;
            if (--left[static_cast<size_t>(d)] == 0) {
                --running;
            } else {
                send_to(so, from, kCommandSize);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "echo" && argc > 2) echo(argc - 2, argv + 2);
    const long long start = cpu_ns();
    if (mode == "fixed" && argc == 5) {
        fixed(std::atoi(argv[2]), std::atoi(argv[3]), ::inet_addr(argv[4]));
    } else if (mode == "paced" && argc == 4) {
        paced(std::atoi(argv[2]), ::inet_addr(argv[3]));
    } else if (mode == "rack" && argc == 5) {
        rack(std::atoi(argv[2]), std::atoi(argv[3]), ::inet_addr(argv[4]));
    } else {
        std::fprintf(stderr, "usage: floor echo ADDR... | fixed FRAMES WRITE ADDR | paced COMMANDS ADDR | "
                             "rack DEVICES COMMANDS ADDR\n");
        return 2;
    }
    std::printf("%lld\n", (cpu_ns() - start) / 1000);
    return 0;
}
