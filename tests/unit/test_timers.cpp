// Timers: ordering, ids, repetition and catching up, on a fake clock.
#include "runtime/timers.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

time_t fake_now;

time_t fake_clock()
{
    return fake_now;
}

// Which timers ran, by the number passed as their argument.
std::vector<long> ran;

void record(void *arg)
{
    ran.push_back(reinterpret_cast<long>(arg));
}

void *tag(long n)
{
    return reinterpret_cast<void *>(n);
}

class TimersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_now = 1000000;
        timers_set_clock(fake_clock);
        ran.clear();
        timers = timers_init();
    }
    void TearDown() override
    {
        timers_free(timers);
        timers_set_clock(nullptr);
    }

    // Moves the clock and checks.
    void check_at(time_t now)
    {
        fake_now = now;
        timers_check(timers);
    }

    TIMERS *timers = nullptr;
};

TEST_F(TimersTest, IdsCountFromZeroAndEqualDueTimesRunInAddOrder)
{
    EXPECT_EQ(timers_add(timers, 5, 0, record, tag(1)), 0);
    EXPECT_EQ(timers_add(timers, 5, 0, record, tag(2)), 1);
    EXPECT_EQ(timers_add(timers, 2, 0, record, tag(3)), 2);
    EXPECT_EQ(timers_add(timers, 5, 0, record, tag(4)), 3);

    check_at(1000004);
    EXPECT_EQ(ran, std::vector<long>({3}));
    check_at(1000005);
    EXPECT_EQ(ran, std::vector<long>({3, 1, 2, 4}));
    check_at(1000100);
    EXPECT_EQ(ran.size(), 4u) << "one-shot timers run once";
    EXPECT_EQ(timers->head, nullptr);
}

TEST_F(TimersTest, RepeatingTimerRunsOncePerCheck)
{
    timers_add(timers, 1, TIMER_REPEAT, record, tag(1));
    check_at(1000000);
    EXPECT_TRUE(ran.empty());
    for (time_t t = 1000001; t <= 1000005; t++)
        check_at(t);
    EXPECT_EQ(ran.size(), 5u);
    check_at(1000005);
    EXPECT_EQ(ran.size(), 5u) << "a second check in the same second runs nothing";
}

TEST_F(TimersTest, LateTimerRunsOnceAndIsRequeuedFromNow)
{
    timers_add(timers, 10, TIMER_REPEAT, record, tag(1));
    check_at(1000035); // due at +10, found 25 seconds late
    EXPECT_EQ(ran.size(), 1u);
    ASSERT_NE(timers->head, nullptr);
    EXPECT_EQ(timers->head->due, 1000036);

    // On time again: the next due time follows from the previous one.
    check_at(1000036);
    EXPECT_EQ(ran.size(), 2u);
    EXPECT_EQ(timers->head->due, 1000046);
}

TEST_F(TimersTest, IntervalZeroIsDueAtOnceAndRunsAtEveryCheck)
{
    timers_add(timers, 0, TIMER_REPEAT, record, tag(1));
    check_at(1000000);
    EXPECT_EQ(ran.size(), 1u);
    check_at(1000000);
    EXPECT_EQ(ran.size(), 1u) << "never twice within one check or second";
    check_at(1000001);
    check_at(1000002);
    EXPECT_EQ(ran.size(), 3u);
}

TEST_F(TimersTest, RequeuedTimerKeepsDueOrderAmongOthers)
{
    timers_add(timers, 2, TIMER_REPEAT, record, tag(1)); // 2, 4, 6, ...
    timers_add(timers, 3, TIMER_REPEAT, record, tag(2)); // 3, 6, 9, ...
    for (time_t t = 1000001; t <= 1000006; t++)
        check_at(t);
    // At +6 both are due: timer 2 was re-queued for +6 at +3, timer 1 only
    // at +4, and a timer goes after those due at the same time.
    EXPECT_EQ(ran, std::vector<long>({1, 2, 1, 2, 1}));
    for (TIMERS_LIST *t = timers->head; t != nullptr && t->next != nullptr; t = t->next) {
        EXPECT_LE(t->due, t->next->due);
        EXPECT_EQ(t->next->prev, t);
    }
}

} // namespace
