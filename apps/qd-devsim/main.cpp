// qd-devsim: a simulated device bootloader on the network, for bench tests without hardware,
// the demo and the end-to-end tests. Argument handling and wiring only.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "device/options.hpp"
#include "device/program_file.hpp"
#include "device/rack_summary.hpp"
#include "device/simulator.hpp"
#include "device/summary.hpp"
#include "platform/datagram.hpp"
#include "platform/system.hpp"

namespace {

using namespace qd::device;

constexpr const char* USAGE[] = {
    "qd-devsim - модель загрузчика устройства в сети UDP (порт 5008) для сервера обновлений.",
    "",
    "Запуск:  qd-devsim --address A.B.C.D [параметры]",
    "",
    "Устройство:",
    "  --address IP        свой адрес (обязателен); порт всегда 5008",
    "  --broadcast IP      куда слать объявления (по умолчанию A.B.C.255)",
    "  --mac MAC           MAC/сер. номер: 0.128.225.1.2.255 или 00:80:E1:01:02:FF",
    "                      (по умолчанию 0.128.225.1.2.255)",
    "  --hw-version N      версия HW (1)",
    "  --bl-version N      версия загрузчика (1)",
    "  --key N             учетный номер шифроключа (0)",
    "  --bl-crc HEX        CRC32 загрузчика (0)",
    "  --flash FILE|erased программа во FLASH UP1 при старте (erased - стерта, так по умолчанию)",
    "  --password HEX      ожидаемый пароль образа (1A2B3C4D, как в examples/qd-server.ini)",
    "  --jumper            программирование запрещено перемычкой",
    "  --up2               переход на UP2 (по умолчанию на UP1)",
    "",
    "Стойка:",
    "  --count N           N устройств (1..64) на адресах подряд от --address, у каждого",
    "                      свой MAC (последний байт + номер), FLASH и сокет (1)",
    "  --only LIST         параметры после него (до следующего --only) - только для",
    "                      устройств с номерами LIST (с 0), например 0,3,5-7: --reply-time,",
    "                      --reply-counter и параметры сбоев; остальные параметры - до",
    "                      первого --only",
    "",
    "Поведение:",
    "  --interval MS       период объявлений (1000)",
    "  --reply-time MS     задержка каждого ответа (0)",
    "  --reply-counter K   номер кадра в ответах растет с каждым ответом (replies, так по",
    "                      умолчанию), только с каждым объявлением (announcements) или",
    "                      не меняется (still)",
    ("  --after-jump MS     сколько работать после ответа на CMD_JUMP_TO_APP (0 - завершиться "
     "сразу)"),
    "  --time-limit MS     наибольшее время работы (0 - без ограничения)",
    "  --expect FILE       образ (контейнер), с которым сравнить FLASH в конце",
    "",
    "Сбои (команды нумеруются с 1 в порядке получения):",
    "  --loss SHARE        доля потерянных ответов, 0..1",
    "  --loss-at LIST      номера команд без ответа, например 3,7,20-25",
    "  --damage SHARE      доля поврежденных ответов (неверная CRC), 0..1",
    "  --damage-at LIST    номера команд с поврежденным ответом",
    "  --refuse C:R:N[:A]  ответить на следующие N команд C результатом R (C - код или имя),",
    "                      выполнив сначала A из них; N:forever - на все",
    "  --refuse-share SHARE доля команд, отвергнутых результатом 0 без выполнения, 0..1",
    "  --duplicate         каждый ответ дважды",
    "  --duplicate-share SHARE доля ответов, отправленных дважды, 0..1",
    "  --silent N:MS       с команды N молчать MS мс: отбрасывать все датаграммы, не отвечать",
    "                      и не объявляться (как при обрыве связи); N:forever - до конца",
    "                      работы (его завершает --time-limit)",
    "  --mute C            команды C (код или имя) принимать и считать, но не выполнять и не",
    "                      отвечать на них; можно задать несколько раз",
    "  --wrong-crc         на CMD_GETCRC_FLASH сообщать CRC32 FLASH с XOR 1 (в объявлениях и",
    "                      в итоге - настоящую)",
    "  --seed N            начальное значение для долей (1)",
    "",
    "Итог в конце; его последняя строка - для программ: result: jumped=0|1 flash_ok=0|1|none",
    "commands=N ... (ключ=значение через пробел, см. README). При --count больше 1 - таблица",
    "по устройствам, строка result: index=N address=IP serial=MAC ... на каждое и последней",
    "строка total: devices=N jumped=N flash_ok=N ...",
    "",
    "Коды завершения: 0 - переход выполнен (и FLASH совпадает с --expect), 1 - FLASH не",
    "совпадает с --expect, 2 - неверные параметры, 3 - время истекло без перехода,",
    "4 - адрес и порт недоступны. Для стойки: 0 - у всех устройств, 3 - хоть у одного",
    "время истекло, иначе 1 - хоть у одного FLASH не совпадает.",
};

int bad_usage(qd::Console& con, const std::string& why) {
    qd::say(con, "qd-devsim: %s\n", why.c_str());
    qd::say_line(con, "Справка: qd-devsim --help");
    return EXIT_USAGE;
}

bool load_flash(const DevsimOptions& o, Bytes& flash, std::string& error) {
    if (o.flash_file.empty()) return true;
    const std::optional<Bytes> program = read_program(o.flash_file, error);
    if (program) flash = *program;
    return program.has_value();
}

bool load_expectation(const DevsimOptions& o, std::optional<Expectation>& expected,
                      std::string& error) {
    if (o.expect_file.empty()) return true;
    const std::optional<Bytes> program = read_program(o.expect_file, error);
    if (program) expected = Expectation{o.expect_file, as_flash(*program)};
    return program.has_value();
}

// The model of one device with its faults, its flash holding `flash` at the start.
std::unique_ptr<Bootloader> make_device(DevsimOptions o, const Bytes& flash) {
    o.device.flash = flash;
    auto dev = std::make_unique<Bootloader>(o.device);
    dev->set_faults(o.faults);
    for (const Refusal& r : o.refusals) dev->refuse(r.cmd, r.result, r.times, r.after);
    return dev;
}

RunSettings run_settings(const DevsimOptions& o, uint32_t first_announcement) {
    return RunSettings{o.broadcast,     o.interval_ms, o.after_jump_ms,
                       o.time_limit_ms, o.silence,     first_announcement};
}

void say_device(qd::Console& con, const Bootloader& dev) {
    const auto& m = dev.config().mac;
    qd::say(con, "qd-devsim: устройство %s, MAC %u:%u:%u:%u:%u:%u, CRC32 UP1: 0h%X\n",
            dotted(dev.config().ip).c_str(), m[0], m[1], m[2], m[3], m[4], m[5], dev.flash_crc());
}

int run_one(qd::Console& con, const DevsimOptions& common, const Bytes& flash,
            const std::optional<Expectation>& expected) {
    const DevsimOptions o = device_options(common, 0);
    const std::unique_ptr<Bootloader> dev = make_device(o, flash);
    std::string error;
    const std::unique_ptr<qd::DatagramEndpoint> net =
        qd::open_datagram_endpoint(o.device.ip, qd::UPDATE_PORT, error);
    if (!net) {
        qd::say(con, "qd-devsim: адрес %s, порт 5008 недоступен: %s\n", dotted(o.device.ip).c_str(),
                error.c_str());
        return EXIT_NETWORK;
    }
    say_device(con, *dev);
    qd::say(con, "Объявления на %s:5008 каждые %u мс\n", dotted(o.broadcast).c_str(),
            o.interval_ms);

    SteadyStopwatch clock;
    Simulator sim(*dev, *net, clock, con, run_settings(o, 0));
    const Ending ending = sim.run();
    const Summary summary{dotted(o.device.ip), ending, sim.stats(), expected};
    say_summary(con, *dev, summary);
    return exit_status(*dev, summary);
}

struct Rackful {
    std::vector<std::unique_ptr<Bootloader>> models;
    std::vector<RackDevice> devices;
    std::vector<qd::Ipv4> addresses;
};

Rackful make_rack(const DevsimOptions& common, const Bytes& flash) {
    Rackful r;
    for (uint32_t i = 0; i < common.count; ++i) {
        const DevsimOptions o = device_options(common, i);
        r.models.push_back(make_device(o, flash));
        const uint32_t first = first_announcement_ms(i, common.count, common.interval_ms);
        r.devices.push_back(RackDevice{r.models.back().get(), run_settings(o, first)});
        r.addresses.push_back(o.device.ip);
    }
    return r;
}

int run_rack(qd::Console& con, const DevsimOptions& common, const Bytes& flash,
             const std::optional<Expectation>& expected) {
    const Rackful r = make_rack(common, flash);
    std::string error;
    size_t failed = 0;
    const std::unique_ptr<qd::DatagramEndpoints> net =
        qd::open_datagram_endpoints(r.addresses, qd::UPDATE_PORT, error, failed);
    if (!net) {
        const qd::Ipv4 at = r.addresses.at(std::min(failed, r.addresses.size() - 1));
        qd::say(con, "qd-devsim: адрес %s, порт 5008 недоступен: %s\n", dotted(at).c_str(),
                error.c_str());
        return EXIT_NETWORK;
    }
    for (const auto& dev : r.models) say_device(con, *dev);
    qd::say(con, "Объявления на %s:5008 каждые %u мс, от устройства к устройству со сдвигом %u мс\n",
            dotted(common.broadcast).c_str(), common.interval_ms,
            first_announcement_ms(1, common.count, common.interval_ms));

    SteadyStopwatch clock;
    Rack rack(r.devices, *net, clock, con);
    const std::vector<Ending> endings = rack.run();
    std::vector<RackEntry> entries;
    for (size_t i = 0; i < r.models.size(); ++i) {
        const Bootloader& dev = *r.models[i];
        entries.push_back(RackEntry{
            &dev, Summary{dotted(dev.config().ip), endings[i], rack.stats(i), expected}});
    }
    say_rack_summary(con, entries);
    return rack_exit_status(entries);
}

}  // namespace

int main(int argc, char** argv) {
    qd::Console& con = qd::system_console();
    const std::vector<std::string> args = qd::utf8_arguments(argc, argv);
    std::vector<const char*> arg_texts;
    for (const std::string& a : args) arg_texts.push_back(a.c_str());
    const ParsedArgs parsed = parse_args(static_cast<int>(arg_texts.size()), arg_texts.data());
    if (parsed.help) {
        for (const char* line : USAGE) qd::say_line(con, line);
        return EXIT_UPDATED;
    }
    if (!parsed.options) return bad_usage(con, parsed.error);
    const DevsimOptions& o = *parsed.options;
    std::string error;
    Bytes flash;
    std::optional<Expectation> expected;
    if (!load_flash(o, flash, error) || !load_expectation(o, expected, error)) {
        return bad_usage(con, error);
    }
    return o.count == 1 ? run_one(con, o, flash, expected) : run_rack(con, o, flash, expected);
}
