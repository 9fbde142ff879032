#include "support/private_net.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qd::test {
namespace {

std::string failed(const std::string& what) { return what + ": " + std::strerror(errno); }

bool write_proc(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// A user namespace in which the caller's user and group are root, with a network namespace.
std::string enter_as_mapped_root() {
    const std::string uid = std::to_string(::geteuid());
    const std::string gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return failed("unshare(CLONE_NEWUSER | CLONE_NEWNET)");
    }
    if (!write_proc("/proc/self/setgroups", "deny") ||
        !write_proc("/proc/self/uid_map", "0 " + uid + " 1") ||
        !write_proc("/proc/self/gid_map", "0 " + gid + " 1")) {
        return failed("mapping root in the user namespace");
    }
    return {};
}

std::string loopback_up() {
    const int so = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (so < 0) return failed("socket");
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    std::string why;
    if (::ioctl(so, SIOCGIFFLAGS, &req) != 0) {
        why = failed("SIOCGIFFLAGS lo");
    } else {
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
        if (::ioctl(so, SIOCSIFFLAGS, &req) != 0) why = failed("SIOCSIFFLAGS lo");
    }
    ::close(so);
    return why;
}

std::string enter() {
    if (::unshare(CLONE_NEWNET) != 0) {
        if (errno != EPERM) return failed("unshare(CLONE_NEWNET)");
        if (std::string why = enter_as_mapped_root(); !why.empty()) return why;
    }
    return loopback_up();
}

}  // namespace

std::string enter_private_network() {
    static const std::string outcome = enter();
    return outcome;
}

bool shell(const std::string& command) {
    const int st = std::system(command.c_str());
    return st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace qd::test
