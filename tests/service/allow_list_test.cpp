// The address allow-list of the service's faces: what a list lets in, and
// which lists are refused with a reason rather than read as something else.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/allow_list.h"

namespace orva::service {
namespace {

struct Case {
    const char* list;
    std::vector<const char*> allowed;
    std::vector<const char*> refused;
};

TEST(AllowList, LetsInExactlyTheListedAddressesAndBlocks) {
    const Case cases[] = {
        {"127.0.0.1", {"127.0.0.1", "::ffff:127.0.0.1"}, {"127.0.0.2", "::1", "10.0.0.1"}},
        {"192.168.10.0/24", {"192.168.10.0", "192.168.10.255", "::ffff:192.168.10.7"}, {"192.168.11.0", "192.168.9.255"}},
        // A prefix that is not a whole number of bytes.
        {"10.1.64.0/18", {"10.1.64.0", "10.1.127.255"}, {"10.1.63.255", "10.1.128.0"}},
        {"10.0.0.0/8, 172.16.0.0/12", {"10.255.0.1", "172.31.255.255"}, {"172.32.0.0", "11.0.0.0"}},
        {"0.0.0.0/0", {"1.2.3.4", "::ffff:8.8.8.8"}, {"::1", "2001:db8::1"}},
        {"::/0", {"::1", "2001:db8::1"}, {"1.2.3.4"}},
        {"::1", {"::1"}, {"127.0.0.1", "::2"}},
        {"fd00::/8", {"fd12:3456::1", "fdff::"}, {"fe00::1", "fc00::1"}},
        {"2001:db8::/33", {"2001:db8::1", "2001:db8:7fff::1"}, {"2001:db8:8000::1"}},
        // A mapped IPv4 entry is the IPv4 block it names.
        {"::ffff:10.0.0.0/104", {"10.9.9.9", "::ffff:10.1.1.1"}, {"11.0.0.1"}},
        {" 127.0.0.1 ,\t::1 ", {"127.0.0.1", "::1"}, {"127.0.0.2"}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto list = AllowList::parse(c.list, &error);
        ASSERT_TRUE(list) << c.list << ": " << error;
        for (const char* a : c.allowed) EXPECT_TRUE(list->allows(QHostAddress(QString(a)))) << c.list << " should let in " << a;
        for (const char* a : c.refused) EXPECT_FALSE(list->allows(QHostAddress(QString(a)))) << c.list << " should refuse " << a;
    }
}

TEST(AllowList, RefusesEveryBadEntryWithItsReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "names no address"},
        {"  ", "names no address"},
        {"10.0.0.1,", "empty entry"},
        {"10.0.0.1,,10.0.0.2", "empty entry"},
        {"10.0.0", "\"10.0.0\" is not an IPv4 or IPv6"},       // no short forms
        {"127.1", "\"127.1\" is not"},
        {"host.example", "\"host.example\" is not"},
        {"*", "\"*\" is not"},
        {"10.0.0.0/33", "prefix length must be 0 to 32"},
        {"::/129", "prefix length must be 0 to 128"},
        {"10.0.0.0/", "prefix length"},
        {"10.0.0.0/x", "prefix length"},
        {"10.0.0.0/8/8", "prefix length"},
        {"10.0.0.0/-1", "prefix length"},
        {"10.0.0.1/8", "bits set past its prefix (the block is 10.0.0.0/8)"},
        {"2001:db8::1/32", "the block is 2001:db8::/32"},
        {"fe80::1%eth0", "is not"},
    };
    for (const auto& [text, reason] : cases) {
        std::string error;
        EXPECT_FALSE(AllowList::parse(text, &error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << " gave: " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << text;
    }
}

TEST(AllowList, TheDefaultsAndTheirDescriptions) {
    EXPECT_TRUE(AllowList::everyone().allows(QHostAddress("203.0.113.9")));
    EXPECT_TRUE(AllowList::everyone().allows(QHostAddress("2001:db8::9")));
    EXPECT_EQ(AllowList::everyone().describe(), "everyone");
    const AllowList loopback = AllowList::loopbackOnly();
    for (const char* a : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1"}) EXPECT_TRUE(loopback.allows(QHostAddress(QString(a)))) << a;
    for (const char* a : {"128.0.0.1", "::2", "10.0.0.1"}) EXPECT_FALSE(loopback.allows(QHostAddress(QString(a)))) << a;
    EXPECT_FALSE(loopback.allows(QHostAddress()));  // a socket already gone
    EXPECT_EQ(loopback.describe(), "127.0.0.0/8, ::1");
    EXPECT_EQ(AllowList::parse("10.0.0.0/8, ::ffff:192.0.2.0/120, 2001:db8::/32", nullptr)->describe(),
              "10.0.0.0/8, 192.0.2.0/24, 2001:db8::/32");
}

}  // namespace
}  // namespace orva::service
