// A mount namespace of the test process's own, and the tmpfs and read-only mounts made in it.
#include "support/mounts.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "support/private_net.hpp"

namespace qd::test {
namespace {

std::string failed(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string enter() {
    if (std::string why = enter_private_network(); !why.empty()) return why;
    if (::unshare(CLONE_NEWNS) != 0) return failed("unshare(CLONE_NEWNS)");
    // Mounts made from now on stay in this namespace.
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed("making every mount private");
    }
    return {};
}

// The flags of the mount that holds `path`, as a remount must keep them (a namespace that is not
// the first user's may not drop them).
unsigned long kept_flags(const std::filesystem::path& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return 0;
    unsigned long flags = 0;
    if ((st.f_flag & ST_NOSUID) != 0) flags |= MS_NOSUID;
    if ((st.f_flag & ST_NODEV) != 0) flags |= MS_NODEV;
    if ((st.f_flag & ST_NOEXEC) != 0) flags |= MS_NOEXEC;
    if ((st.f_flag & ST_NOATIME) != 0) flags |= MS_NOATIME;
    if ((st.f_flag & ST_NODIRATIME) != 0) flags |= MS_NODIRATIME;
    if ((st.f_flag & ST_RELATIME) != 0) flags |= MS_RELATIME;
    return flags;
}

}  // namespace

std::string enter_private_mounts() {
    static const std::string outcome = enter();
    return outcome;
}

TestMount TestMount::tmpfs(const std::filesystem::path& dir, size_t bytes) {
    TestMount m;
    m.target_ = dir;
    if (m.error_ = enter_private_mounts(); !m.error_.empty()) return m;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("qd-test", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        m.error_ = failed("mounting a tmpfs on " + dir.string());
        return m;
    }
    m.mounted_ = true;
    return m;
}

TestMount TestMount::read_only(const std::filesystem::path& path) {
    TestMount m;
    m.target_ = path;
    if (m.error_ = enter_private_mounts(); !m.error_.empty()) return m;
    if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        m.error_ = failed("binding " + path.string());
        return m;
    }
    m.mounted_ = true;
    const unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY | kept_flags(path);
    if (::mount(nullptr, path.c_str(), nullptr, flags, nullptr) != 0) {
        m.error_ = failed("making " + path.string() + " read-only");
    }
    return m;
}

TestMount::TestMount(TestMount&& other) noexcept
    : target_(std::move(other.target_)),
      error_(std::move(other.error_)),
      mounted_(std::exchange(other.mounted_, false)) {}

TestMount::~TestMount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
}

}  // namespace qd::test
