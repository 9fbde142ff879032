// A test bench on the test network: qd-server in the server's namespace on a configuration of
// the bench's own (the example container, AutoProg=2, the ServerSettings), and qd-devsim devices in
// the devices' namespace. Everything it started is ended, and the network taken down, when it
// goes (also when the test fails); a device the test holds goes before it.
//
//     Bench bench(2, ServerSettings{2, false, 5, 5});
//     ASSERT_EQ(bench.error(), "");
//     std::unique_ptr<Process> dev = bench.device("dev", {"--address", "198.18.0.2"});
//     bench.wait_for_count(kClosing, 1, 30000);
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/testnet.hpp"

namespace qd::test {

struct ServerSettings {
    int debug_print = 1;
    bool reply_paced = false;
    int delay_frames = 5;
    int delay_write = 5;
    int auto_jump = 0;       // AutoJumpApp
    int verify_flash = 1;    // VerifyFlash
    int stall_timeout = 60;  // StallTimeout, seconds
    int auto_prog = 2;       // AutoProg
    int parallel = 0;        // Parallel: 0 leaves the key out
    std::string journal{};   // [LOG] Journal: empty leaves the key out
    std::string extra{};     // more lines at the end of the file, sections included
    bool container = true;   // false: no container in the server's folder (none loaded)
    // When set, the bytes of the container file in the server's folder in place of the
    // example's (under the example's name).
    std::optional<std::vector<uint8_t>> container_bytes{};
    // Done on the network before the server starts (another program taking its port), if set.
    std::function<void(const TestNetwork&)> before_start{};
};

// Counts a text in a file that grows, reading each byte once.
class OutputCounter {
public:
    OutputCounter(std::filesystem::path file, std::string text)
        : file_(std::move(file)), text_(std::move(text)) {}
    size_t count();

private:
    std::filesystem::path file_;
    std::string text_;
    std::string carry_;  // the end of what was read, shorter than the text
    size_t offset_ = 0;
    size_t count_ = 0;
};

class Bench {
public:
    static constexpr const char* kClosing =
        "Ожидаем широковещательное сообщение от следующего устройства.\n";

    Bench(int device_addresses, const ServerSettings& settings);
    // The same with a configuration of the caller's own text, and the container.
    Bench(int device_addresses, const std::string& ini);
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Nothing when the network is up and the server has started; what went wrong otherwise.
    const std::string& error() const { return error_; }
    const TestNetwork& net() const { return net_; }
    // The server's working folder (its configuration, container and console are there).
    const std::filesystem::path& dir() const { return dir_.path(); }
    Process& server() { return *server_; }
    std::string transcript() const { return server_->output(); }

    // qd-devsim with the arguments in the devices' namespace; its console in NAME.txt.
    std::unique_ptr<Process> device(const std::string& name, const std::vector<std::string>& args);
    // Waits at most timeout_ms until the server's console holds `text` at least `times` times.
    bool wait_for_count(const std::string& text, size_t times, int timeout_ms);
    // What the server has written from `offset` on; `offset` moves to its end.
    std::string transcript_since(size_t& offset) const;

private:
    // Writes the configuration (and the container), starts the server and waits for its start.
    void start(const std::string& ini, bool container);

    TempWorkDir dir_;
    TestNetwork net_;
    std::unique_ptr<Process> server_;
    std::map<std::string, OutputCounter> counters_;
    std::string error_;
};

// The text of a server configuration.
std::string ini_text(const ServerSettings& s);

// The example container, as qd-devsim's --expect and --flash take it.
std::string container_file();

}  // namespace qd::test
