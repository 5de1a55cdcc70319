// Processing registries: stage semantics, duplicates, hooks and protocols.
#include "runtime/processors.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Which callbacks ran, in order.
std::vector<std::string> ran;

int first_returns_1(CONNECTION_T *, Filebuf *)
{
    ran.push_back("first");
    return 1;
}

int second_returns_0(CONNECTION_T *, Filebuf *)
{
    ran.push_back("second");
    return 0;
}

int returns_0(CONNECTION_T *, Filebuf *)
{
    ran.push_back("zero");
    return 0;
}

int hook_1(void *, void *)
{
    ran.push_back("hook_1");
    return 1;
}

int hook_0(void *, void *)
{
    ran.push_back("hook_0");
    return 0;
}

int handler_7(CONNECTION_T *)
{
    return 7;
}

int handler_8(CONNECTION_T *)
{
    return 8;
}

class ProcessorsTest : public ::testing::Test {
protected:
    void SetUp() override { ran.clear(); }
};

TEST_F(ProcessorsTest, FirstResultOneEndsOnlyTheCheckingStages)
{
    struct Case {
        int stage;
        bool ends_at_first;
    };
    const Case cases[] = {
        {PROCESSOR_REQCHECK, true},    {PROCESSOR_REQMOD, true},
        {PROCESSOR_RESPCHECK, true},   {PROCESSOR_RESPMOD, false},
        {PROCESSOR_BUFFCHECK, true},   {PROCESSOR_REQHEADER, false},
        {PROCESSOR_RESPHEADER, false}, {PROCESSOR_AUTH, true},
    };
    for (const Case &c : cases) {
        Processors registry;
        ASSERT_EQ(registry.Add(first_returns_1, c.stage), 1);
        ASSERT_EQ(registry.Add(second_returns_0, c.stage), 1);
        ran.clear();
        int result = registry.Execute(c.stage, nullptr, nullptr);
        if (c.ends_at_first) {
            EXPECT_EQ(ran, std::vector<std::string>({"first"})) << "stage " << c.stage;
            EXPECT_EQ(result, 1) << "stage " << c.stage;
        } else {
            // Every callback runs and the last one's result counts.
            EXPECT_EQ(ran, std::vector<std::string>({"first", "second"}))
                << "stage " << c.stage;
            EXPECT_EQ(result, 0) << "stage " << c.stage;
        }
    }
}

TEST_F(ProcessorsTest, StageRunsOnlyItsOwnCallbacksAndEmptyStageGivesZero)
{
    Processors registry;
    ASSERT_EQ(registry.Add(first_returns_1, PROCESSOR_RESPCHECK), 1);
    EXPECT_EQ(registry.Execute(PROCESSOR_REQCHECK, nullptr, nullptr), 0);
    EXPECT_TRUE(ran.empty());
}

TEST_F(ProcessorsTest, CallbackRegisteredTwiceIsRefusedWhateverTheStage)
{
    Processors registry;
    EXPECT_EQ(registry.Add(returns_0, PROCESSOR_RESPMOD), 1);
    EXPECT_EQ(registry.Add(returns_0, PROCESSOR_RESPMOD), 0);
    EXPECT_EQ(registry.Add(returns_0, PROCESSOR_REQHEADER), 0);

    registry.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    registry.Execute(PROCESSOR_REQHEADER, nullptr, nullptr);
    EXPECT_EQ(ran, std::vector<std::string>({"zero"}));

    EXPECT_EQ(registry.Remove(returns_0), 1);
    EXPECT_EQ(registry.Remove(returns_0), 0);
    EXPECT_EQ(registry.Add(returns_0, PROCESSOR_REQHEADER), 1);
}

TEST_F(ProcessorsTest, HooksRunUntilOneReturnsOne)
{
    Hooks registry;
    ASSERT_EQ(registry.Add(hook_0, HOOK_PRERESPMOD), 1);
    ASSERT_EQ(registry.Add(hook_1, HOOK_PRERESPMOD), 1);
    EXPECT_EQ(registry.Add(hook_0, HOOK_CONFIG), 0);

    EXPECT_EQ(registry.Execute(HOOK_PRERESPMOD, nullptr, nullptr), 1);
    EXPECT_EQ(ran, std::vector<std::string>({"hook_0", "hook_1"}));
    EXPECT_EQ(registry.Execute(HOOK_POSTRESPMOD, nullptr, nullptr), 0);
}

TEST_F(ProcessorsTest, ProtocolsMatchNamesExactly)
{
    Protocols registry;
    EXPECT_EQ(registry.Execute("http", nullptr), -1);

    ASSERT_EQ(registry.Add(handler_7, "gopher"), 1);
    EXPECT_EQ(registry.Add(handler_7, "wais"), 0);
    ASSERT_EQ(registry.Add(handler_8, "gopher"), 1);

    EXPECT_EQ(registry.Execute("gopher", nullptr), 7); // the first entry wins
    EXPECT_EQ(registry.Execute("GOPHER", nullptr), -1);
    EXPECT_EQ(registry.Execute("goph", nullptr), -1);
    EXPECT_EQ(registry.Execute("gophers", nullptr), -1);
    EXPECT_EQ(registry.Execute("wais", nullptr), -1);
}

TEST_F(ProcessorsTest, GlobalRegistriesStartEmpty)
{
    EXPECT_EQ(protocols.Execute("http", nullptr), -1);
    EXPECT_EQ(processors.Execute(PROCESSOR_REQCHECK, nullptr, nullptr), 0);
    EXPECT_EQ(hooks.Execute(HOOK_CONFIG, nullptr, nullptr), 0);
}

} // namespace
