// The adapter listing's text for each kind of adapter list the system can give.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "server/net/adapters.hpp"
#include "support/fakes.hpp"

namespace qd {
namespace {

AdapterRecord adapter(const char* name, const char* description, const char* ip,
                      const char* mask, std::vector<uint8_t> mac) {
    AdapterRecord a;
    std::strcpy(a.name, name);
    std::strcpy(a.description, description);
    std::strcpy(a.ip, ip);
    std::strcpy(a.mask, mask);
    if (!mac.empty()) std::memcpy(a.mac, mac.data(), mac.size());
    return a;
}

const AdapterRecord kEth = adapter("{4D36E972-E325-11CE}", "Intel(R) Ethernet Connection",
                                   "198.18.0.10", "255.255.255.0",
                                   {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
const AdapterRecord kWifi = adapter("wlp2s0", "iwlwifi", "198.19.4.200", "255.255.252.0",
                                    {0xF0, 0x0D, 0xBE, 0xEF, 0x09, 0xA0});
const AdapterRecord kBare = adapter("tun0", "tun", "0.0.0.0", "0.0.0.0", {});

const std::string kEthText =
    "{4D36E972-E325-11CE}; Intel(R) Ethernet Connection, \n"
    "IP: 198.18.0.10; MAC: 00:1A:2B:3C:4D:5E; Masc: 255.255.255.0\n";
const std::string kWifiText =
    "wlp2s0; iwlwifi, \nIP: 198.19.4.200; MAC: F0:0D:BE:EF:09:A0; Masc: 255.255.252.0\n";
const std::string kBareText = "tun0; tun, \nIP: 0.0.0.0; MAC: 00:00:00:00:00:00; Masc: 0.0.0.0\n";

struct ListingCase {
    const char* name;
    AdapterQuery result;
    std::vector<AdapterRecord> records;
    std::string printed;
};

void PrintTo(const ListingCase& c, std::ostream* os) { *os << c.name; }

class Listing : public ::testing::TestWithParam<ListingCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Listing,
    ::testing::Values(
        ListingCase{"OneAdapter", AdapterQuery::ok, {kEth}, kEthText + "\n"},
        ListingCase{"SeveralInTheSystemsOrder", AdapterQuery::ok, {kWifi, kBare, kEth},
                    kWifiText + kBareText + kEthText + "\n"},
        ListingCase{"NoAddressNoHardwareAddress", AdapterQuery::ok, {kBare}, kBareText + "\n"},
        ListingCase{"QueryFailed", AdapterQuery::failed, {}, ""},
        ListingCase{"QueryFailedAfterFilling", AdapterQuery::failed, {kEth}, ""},
        ListingCase{"OutOfMemory", AdapterQuery::out_of_memory, {kEth},
                    "Error allocating memory needed to call GetAdaptersinfo\n"}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_P(Listing, PrintsTwoLinesPerAdapterAndAnEmptyLine) {
    const ListingCase& c = GetParam();
    test::TestServer t;
    t.adapters.result = c.result;
    t.adapters.records = c.records;

    getMAC(*t.srv);

    EXPECT_EQ(t.con.text(), c.printed);
}

}  // namespace
}  // namespace qd
