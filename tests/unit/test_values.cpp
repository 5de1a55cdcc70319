// Configuration value parsers: numbers, byte counts, addresses and the IP
// and port range lists, with their refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "config/values.h"

namespace {

struct IntCase {
    std::string text;
    bool valid;
    int64_t value;
};

TEST(Numbers, StringToInt)
{
    const IntCase cases[] = {
        {"", true, 0},
        {" 7", true, 7},
        {"+7", true, 7},
        {"-12", true, -12},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"7 ", false, 0},
        {"0x10", false, 0},
        {"1.5", false, 0},
        {"ten", false, 0},
        {" ", false, 0},
        {std::string("5\0" "9", 3), false, 0},
        // Out of range is refused, never saturated or cut to 32 bits.
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        if (c.valid)
            EXPECT_EQ(string_to_int(c.text), c.value);
        else
            EXPECT_THROW(string_to_int(c.text), ConfigError);
    }
}

TEST(Numbers, StringToUint)
{
    const IntCase cases[] = {
        {"", true, 0},
        {"4294967295", true, 4294967295LL},
        {" +12", true, 12},
        {"-0", true, 0},
        {"-1", false, 0},
        {"4294967296", false, 0},
        {"18446744073709551615", false, 0},
        {"1e3", false, 0},
        {"12 ", false, 0},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        if (c.valid)
            EXPECT_EQ(string_to_uint(c.text), static_cast<uint64_t>(c.value));
        else
            EXPECT_THROW(string_to_uint(c.text), ConfigError);
    }
}

TEST(Numbers, StringToDouble)
{
    EXPECT_EQ(string_to_double(""), 0.0);
    EXPECT_EQ(string_to_double("1.5"), 1.5);
    EXPECT_EQ(string_to_double(" -2e3"), -2000.0);
    for (const char *bad : {"1.5x", "1.5 ", "abc", "1e999", "-1e999", "1e-400"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(string_to_double(bad), ConfigError);
    }
}

struct SizeCase {
    std::string text;
    bool valid;
    uint64_t value;
};

TEST(Sizes, FileSize)
{
    const SizeCase cases[] = {
        {"120", true, 120},
        {"  120", true, 120},
        {"10K", true, 10240},
        {"10kb", true, 10240},
        {"10KBIT", true, 10240},
        {"10 k", true, 10240},
        {"10k ", true, 10240},
        {"1M", true, 1048576},
        {"2mbit", true, 2097152},
        {"3G", true, 3221225472ULL},
        {"4294967295", true, 4294967295ULL},
        {"4194303k", true, 4294966272ULL},
        // A count that does not fit 32 bits is refused, not wrapped.
        {"4g", false, 0},
        {"5G", false, 0},
        {"4194304k", false, 0},
        {"4294967296", false, 0},
        {"99999999999999999999999", false, 0},
        {"1.5m", false, 0},
        {"10kbytes", false, 0},
        {"10 k anything", false, 0},
        {"10 x", false, 0},
        {"", false, 0},
        {"k", false, 0},
        {"-1", false, 0},
        {std::string("10\0k", 4), false, 0},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        if (c.valid)
            EXPECT_EQ(string_to_filesize(c.text), c.value);
        else
            EXPECT_THROW(string_to_filesize(c.text), ConfigError);
    }
}

TEST(Sizes, LongFileSize)
{
    const SizeCase cases[] = {
        {"5G", true, 5368709120ULL},
        {"4g", true, 4294967296ULL},
        {"18446744073709551615", true, UINT64_MAX},
        {"17179869183G", true, 17179869183ULL << 30},
        {"17179869184G", false, 0},
        {"18446744073709551616", false, 0},
        {"1 tb", false, 0},
        {"", false, 0},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        if (c.valid)
            EXPECT_EQ(string_to_longfilesize(c.text), c.value);
        else
            EXPECT_THROW(string_to_longfilesize(c.text), ConfigError);
    }
}

TEST(Addresses, AddressToInt)
{
    const SizeCase cases[] = {
        {"10.1.2.3", true, 167838211},
        {"  10.1.2.3", true, 167838211},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 4294967295ULL},
        {"010.001.002.003", true, 167838211},
        {"10.1.2.3 ", false, 0},
        {"10.1.2", false, 0},
        {"10.1.2.3.4", false, 0},
        {"10.1.2.256", false, 0},
        {"10.1.2.-1", false, 0},
        // An empty part is not read as 0, nor a trailing dot ignored.
        {"10..2.3", false, 0},
        {"10.1.2.3.", false, 0},
        {".10.1.2", false, 0},
        {"", false, 0},
        {"1.2.3.0004", false, 0},
        {"+1.2.3.4", false, 0},
        {"1. 2.3.4", false, 0},
        {"1.2.3.4x", false, 0},
        {"not-an-address", false, 0},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        if (c.valid)
            EXPECT_EQ(address_to_int(c.text), c.value);
        else
            EXPECT_THROW(address_to_int(c.text), ConfigError);
    }
}

TEST(Addresses, IpRange)
{
    for (const char *all : {"", "-"}) {
        IpRange range(all);
        EXPECT_EQ(range.first_text, "0.0.0.0");
        EXPECT_EQ(range.last_text, "255.255.255.255");
        EXPECT_TRUE(range.has("0.0.0.0"));
        EXPECT_TRUE(range.has("255.255.255.255"));
    }

    IpRange one("10.0.0.5");
    EXPECT_TRUE(one.has("10.0.0.5"));
    EXPECT_FALSE(one.has("10.0.0.4"));
    EXPECT_FALSE(one.has("10.0.0.6"));

    IpRange below("-10.0.0.5");
    EXPECT_TRUE(below.has("0.0.0.1"));
    EXPECT_FALSE(below.has("10.0.0.6"));
    IpRange above("10.0.0.1-");
    EXPECT_TRUE(above.has("255.0.0.0"));
    EXPECT_FALSE(above.has("10.0.0.0"));

    IpRange reversed("10.0.0.9-10.0.0.1");
    for (const char *address : {"10.0.0.1", "10.0.0.5", "10.0.0.9"})
        EXPECT_FALSE(reversed.has(address)) << address;

    // The comparison is unsigned: addresses above 128.0.0.0 sort last.
    IpRange high("127.0.0.1-200.0.0.0");
    EXPECT_TRUE(high.has("150.1.1.1"));
    EXPECT_FALSE(high.has("201.0.0.0"));

    for (const char *bad : {"10.0.0.1 - 10.0.0.5", "10.0.0.1-10.0.0.5-10.0.0.9",
                            "10.0.0.256", "host.example"})
        EXPECT_THROW(IpRange range(bad), ConfigError) << bad;
}

struct MemberCase {
    std::string list;
    std::string address;
    bool has;
};

TEST(Addresses, IpRangeListMembership)
{
    const MemberCase cases[] = {
        {"", "10.0.0.1", true},
        {"", "not-an-address", true},
        {"10.0.0.0-10.0.0.255, 192.168.1.1", "192.168.1.1", true},
        {"10.0.0.0-10.0.0.255, 192.168.1.1", "10.0.0.77", true},
        {"10.0.0.0-10.0.0.255, 192.168.1.1", "10.0.1.0", false},
        {"10.0.0.0-10.0.0.255, 192.168.1.1", "not-an-address", false},
        {"10.0.0.0-10.0.0.255, 192.168.1.1", "10.0.0.1, 10.0.0.2", false},
        {"10.0.0.0-10.0.0.255, 192.168.1.1", "", false},
        {"10.0.0.1,", "10.0.0.1", true},
    };
    for (const MemberCase &c : cases) {
        SCOPED_TRACE("list \"" + c.list + "\", address \"" + c.address + "\"");
        IpRangeList list(c.list);
        EXPECT_EQ(list.text, c.list);
        EXPECT_EQ(list.has(c.address), c.has);
    }
}

TEST(Addresses, IpRangeListRefusals)
{
    // An empty item would stand for the whole address space: a stray comma
    // must not open a rule to every client.
    for (const char *bad : {",10.0.0.1", "10.0.0.1,,10.0.0.2", ",", "10.0.0.300",
                            "10.0.0.1;10.0.0.2"})
        EXPECT_THROW(IpRangeList list(bad), ConfigError) << bad;

    // parse on an existing list keeps the ranges before the refused item
    // and takes the new text.
    IpRangeList list("192.168.0.1");
    EXPECT_THROW(list.parse("10.0.0.1,bad,10.0.0.3"), ConfigError);
    EXPECT_EQ(list.text, "10.0.0.1,bad,10.0.0.3");
    ASSERT_EQ(list.ranges.size(), 2u);
    EXPECT_TRUE(list.has("10.0.0.1"));
    EXPECT_FALSE(list.has("10.0.0.3"));
}

TEST(Ports, PortRange)
{
    PortRange single("80");
    EXPECT_EQ(single.first, 80);
    EXPECT_EQ(single.last, 80);
    PortRange span("8000-8080");
    EXPECT_TRUE(span.has(8000));
    EXPECT_TRUE(span.has(8080));
    EXPECT_FALSE(span.has(8081));
    PortRange blank(" 80");
    EXPECT_EQ(blank.first, 80);
    PortRange edges("1-65535");
    EXPECT_TRUE(edges.has(1));
    EXPECT_TRUE(edges.has(65535));

    PortRange reversed("9000-8000");
    EXPECT_FALSE(reversed.has(8500));
    EXPECT_FALSE(reversed.has(9000));

    for (const char *bad : {"0", "65536", "-1", "80-", "-80", "8o", "80 ", "",
                            "80-90-100", "99999999999999999999", "4294967376"})
        EXPECT_THROW(PortRange range(bad), ConfigError) << bad;
}

TEST(Ports, PortRangeList)
{
    PortRangeList all("");
    EXPECT_TRUE(all.ranges.empty());
    EXPECT_TRUE(all.has(1));
    EXPECT_TRUE(all.has(65535));

    PortRangeList secure("443,563");
    EXPECT_TRUE(secure.has(563));
    EXPECT_TRUE(secure.has(443));
    EXPECT_FALSE(secure.has(80));

    PortRangeList trailing("443,");
    EXPECT_EQ(trailing.ranges.size(), 1u);

    for (const char *bad : {",443", "80,,90", "443,0", "http"})
        EXPECT_THROW(PortRangeList list(bad), ConfigError) << bad;

    PortRangeList appended("21");
    EXPECT_THROW(appended.parse("80,bad,90"), ConfigError);
    ASSERT_EQ(appended.ranges.size(), 2u);
    EXPECT_TRUE(appended.has(80));
    EXPECT_FALSE(appended.has(90));
}

}  // namespace
