// User limits: counters zeroed by the reset timer's callback when a rule's
// window has passed, and byte counts and allowances past 4 GiB.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include "engine/connection.h"
#include "filters/limits.h"
#include "fixture.h"

namespace {

class LimitTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(limit_section);
    }

    void SetUp() override
    {
        conn = connection_new();
        ASSERT_NE(conn, nullptr);
    }

    void TearDown() override
    {
        connection_free(conn);
        zone("UTC0");
    }

    // Loads one rule: the template with the given fields' texts set (an
    // optional one switched on).
    static void load(const std::map<std::string, std::string> &set)
    {
        TiXmlDocument doc;
        doc.Parse("<kelvarine><limits><enabled>true</enabled></limits></kelvarine>");
        ASSERT_FALSE(doc.Error());
        TiXmlElement rule("limit");
        Item(limit_section->subsections[0]).fields.save(&rule);
        for (const auto &field : set) {
            TiXmlElement *child = rule.FirstChildElement(field.first);
            ASSERT_NE(child, nullptr) << field.first;
            child->Clear();
            child->LinkEndChild(new TiXmlText(field.second));
            if (child->Attribute("active") != nullptr)
                child->SetAttribute("active", "true");
        }
        doc.RootElement()->FirstChildElement("limits")->InsertEndChild(rule);
        limit_section->load(&doc, 1);
        ASSERT_EQ(limit_section->subsections[0].items.size(), 1u);
        ASSERT_FALSE(limit_section->subsections[0].items.front().flawed());
    }

    // The local time zone of this process from now on.
    static void zone(const char *tz)
    {
        ASSERT_EQ(setenv("TZ", tz, 1), 0);
        tzset();
    }

    // Counts a served request with the given uploaded bytes.
    void served(uint64_t uploaded = 0)
    {
        ASSERT_EQ(limit_section->check_and_block(conn), 0);
        conn->bytes_uploaded = uploaded;
        limit_section->update(conn);
    }

    CONNECTION_T *conn = nullptr;
};

// The timer calls limits_reset every second: the counters of a rule stay
// while its window lasts and are zeroed once the local time has left it, so
// a capped user may make requests again when the window comes back.  The
// time zone moves the local time out of the one-hour window and back.
TEST_F(LimitTest, ResetZeroesTheCountsOnlyOutsideTheWindow)
{
    zone("UTC0");
    time_t now = time(nullptr);
    struct tm utc;
    ASSERT_NE(gmtime_r(&now, &utc), nullptr);
    // Close to the end of the hour the window would pass by itself.
    if (utc.tm_min == 59 && utc.tm_sec >= 50)
        GTEST_SKIP() << "the hour is about to change";
    std::string hour = std::to_string(utc.tm_hour);
    ASSERT_NO_FATAL_FAILURE(
        load({{"hour", hour + "," + hour}, {"max_requests", "1"}, {"range_mode", "each"}}));

    served();
    EXPECT_EQ(limit_section->check_and_block(conn), 1) << "the cap of one request is reached";
    limits_reset(nullptr);
    EXPECT_EQ(limit_section->check_and_block(conn), 1) << "inside the window the count stays";

    zone("UTC-3");  // three hours later here: outside the window
    EXPECT_EQ(limit_section->check_and_block(conn), 0) << "the rule is outside its window";
    limits_reset(nullptr);
    zone("UTC0");   // back inside the window
    EXPECT_EQ(limit_section->check_and_block(conn), 0) << "the count was reset";
    served();
    EXPECT_EQ(limit_section->check_and_block(conn), 1) << "and counts again";
}

// Counters and allowances are 64-bit: an upload quota of 5 GiB less 4.5 GiB
// uploaded leaves 0.5 GiB, not a figure wrapped at 2^32; past the quota
// nothing is left.
TEST_F(LimitTest, UploadCountsAndAllowancesPastFourGiB)
{
    const uint64_t gib = 1ULL << 30;
    ASSERT_NO_FATAL_FAILURE(load({{"upload_quota", "5G"}, {"download_quota", "6G"}}));
    ASSERT_EQ(limit_section->check_and_block(conn), 0);
    EXPECT_EQ(conn->upload_allowance, 5 * gib);
    EXPECT_EQ(conn->download_allowance, 6 * gib);

    served(4 * gib + gib / 2);
    ASSERT_EQ(limit_section->check_and_block(conn), 0);
    EXPECT_EQ(conn->upload_allowance, gib / 2);

    served(gib);
    ASSERT_EQ(limit_section->check_and_block(conn), 0);
    EXPECT_EQ(conn->upload_allowance, 0u);
    EXPECT_EQ(conn->download_allowance, 6 * gib);
}

}  // namespace
