// Mounts of a test's own: the test process moves into a mount namespace of its own, so that
// what it mounts there is seen by the programs it starts (which inherit the namespace) and by no
// other process, and goes away with the test process at the latest.
//
//     ASSERT_EQ(test::enter_private_mounts(), "");
//     test::TestMount disk = test::TestMount::tmpfs(dir / "disk", 8192);
//     ASSERT_EQ(disk.error(), "");
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace qd::test {

// Moves the calling process into a mount namespace of its own in which every mount is private
// (nothing mounted in it reaches the namespace it came from), after its network namespace of
// its own (see private_net.hpp), whose user namespace lets a test that is not root mount too.
// Once per process, before any thread is started; later calls give the first call's outcome.
// Returns nothing on success, the reason otherwise.
std::string enter_private_mounts();

// One mount in the namespace of enter_private_mounts(), undone when the object goes.
class TestMount {
public:
    // A tmpfs of `bytes` (rounded up to whole pages) on the folder `dir`, made when missing.
    static TestMount tmpfs(const std::filesystem::path& dir, size_t bytes);
    // The file or folder `path` bound over itself, read-only: no writes reach it, whoever writes.
    static TestMount read_only(const std::filesystem::path& path);

    ~TestMount();
    TestMount(TestMount&& other) noexcept;
    TestMount(const TestMount&) = delete;
    TestMount& operator=(const TestMount&) = delete;
    TestMount& operator=(TestMount&&) = delete;

    // Nothing when mounted; what went wrong otherwise.
    const std::string& error() const { return error_; }

private:
    TestMount() = default;

    std::filesystem::path target_;
    std::string error_;
    bool mounted_ = false;
};

}  // namespace qd::test
