// Allocation, the fatal assertion, the exit sequence and reference counts.
#include "runtime/mem.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <pthread.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/global.h"
#include "runtime/atom.h"
#include "runtime/log.h"
#include "runtime/signals.h"
#include "fixture.h"

// A failing malloc must come back as null here, as it does without a
// sanitizer, so the failure path of xmalloc can be reached.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

extern "C" const char *__tsan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

// Exit statuses that are not a success.
bool failed(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
}

// In a death-test child: the foreground log's lines go to standard error,
// where the death test looks for them.
void foreground_to_stderr()
{
    daemonize = 0;
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

class FatalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/kv-mem-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        log_path = directory + "/kelvarine.log";
    }
    void TearDown() override
    {
        unlink(log_path.c_str());
        rmdir(directory.c_str());
    }

    // In a death-test child: the native log goes to log_path as well.
    void log_to_file()
    {
        snprintf(logfile, sizeof logfile, "%s", log_path.c_str());
    }

    std::string directory;
    std::string log_path;
};

TEST_F(FatalTest, AssertionLogsItsLinesInOrderAndEndsWithFailure)
{
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            log_to_file();
            ASSERT(1 + 1 == 3);
        },
        failed, "ASSERTION: [^ ]*tests/unit/test_mem.cpp:[0-9]+ in function TestBody");

    // The log file shows the whole sequence: the two advice lines, then the
    // termination; standard output got the notice as well.
    std::string log = file_text(log_path);
    std::regex expected(
        "^[0-9]{4} [0-9]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[0\\] advice: "
        "System Unstable: Please Restart\n"
        "[^\n]* \\[0\\] advice: ASSERTION: [^ ]*tests/unit/test_mem.cpp:[0-9]+ in "
        "function TestBody\n"
        "[^\n]* \\[0\\] advice: Recieved Signal for Termination\n$");
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

TEST_F(FatalTest, NoticeOnStandardOutput)
{
    EXPECT_EXIT(
        {
            daemonize = 1; // no log lines on standard output, the notice only
            dup2(STDERR_FILENO, STDOUT_FILENO);
            ASSERT(false);
        },
        failed, "^\nSystem Unstable: Please Restart\n$");
}

TEST_F(FatalTest, AllocationFormNamesTheSize)
{
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            log_to_file();
            void *block = nullptr;
            ASSERT_ALLOC(block, 4096);
        },
        failed, "advice: Failed to allocate 4096 bytes of memory");
    std::string log = file_text(log_path);
    EXPECT_NE(log.find("in function TestBody\n"), std::string::npos) << log;
    EXPECT_LT(log.find("in function TestBody\n"),
              log.find("advice: Failed to allocate 4096 bytes of memory\n"))
        << log;
}

TEST_F(FatalTest, ZeroSizeAllocationsAreFatal)
{
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            xmalloc(0);
        },
        failed, "ASSERTION: src/runtime/mem.cpp:[0-9]+ in function xmalloc");
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            void *block = xmalloc(8);
            xrealloc(block, 0);
        },
        failed, "ASSERTION: src/runtime/mem.cpp:[0-9]+ in function xrealloc");
}

// A thread that cannot get the native log's lock must still end the
// process: the failing thread may hold that lock for ever.
TEST_F(FatalTest, AssertionDoesNotWaitForAHeldLogLock)
{
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            log_to_file();
            pthread_mutex_lock(&logfile_lock); // never released
            ASSERT(false);
        },
        failed, "ASSERTION: [^ ]*tests/unit/test_mem.cpp");
}

TEST_F(FatalTest, OutOfMemoryHandlerLogsAndAborts)
{
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            out_of_memory();
        },
        ::testing::KilledBySignal(SIGABRT),
        "error: Out of memory: src/runtime/mem.cpp:[0-9]+ in function out_of_memory\n");
}

TEST(Allocation, XmallocGivesZeroedMemory)
{
    for (size_t size : {size_t(1), size_t(100), size_t(1) << 20}) {
        auto *block = static_cast<unsigned char *>(xmalloc(size));
        ASSERT_NE(block, nullptr) << size;
        size_t nonzero = 0;
        for (size_t i = 0; i < size; i++)
            nonzero += block[i] != 0;
        EXPECT_EQ(nonzero, 0u) << size;
        free(block);
    }
}

TEST(Allocation, FailureIsLoggedAndGivesNull)
{
    GLOBAL_T record{};
    record.logbuffer = logbuffer_new();
    global = &record;

    void *block = xmalloc(SIZE_MAX / 2);
    void *small = xmalloc(16);
    void *grown = xrealloc(small, SIZE_MAX / 2);

    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(grown, nullptr);
    ASSERT_EQ(record.logbuffer->count, 2);
    std::string realloc_line = record.logbuffer->head->text;
    std::string malloc_line = record.logbuffer->tail->text;
    EXPECT_NE(malloc_line.find("error: [system: malloc:12:Cannot allocate memory], "
                               "in xmalloc, unable to allocate memory"),
              std::string::npos)
        << malloc_line;
    std::string size_text = std::to_string(SIZE_MAX / 2);
    EXPECT_NE(realloc_line.find("error: [system: realloc:12:Cannot allocate memory], "
                                "in xrealloc, unable to reallocate " +
                                size_text + " memory"),
              std::string::npos)
        << realloc_line;
    free(small); // the old block stays valid after a failed xrealloc

    global = nullptr;
    ring_free(record.logbuffer);
}

TEST(Allocation, StringCopies)
{
    EXPECT_EQ(xstrdup(nullptr), nullptr);
    struct Case {
        const char *text;
        size_t n;
        const char *copy;
    } cases[] = {
        {"abcdef", 3, "abc"},   // cut at n
        {"ab", 10, "ab"},       // shorter than n
        {"abc", 0, ""},         // nothing
        {"", 5, ""},            // empty text
    };
    for (const Case &c : cases) {
        char *copy = xstrndup(c.text, c.n);
        EXPECT_STREQ(copy, c.copy) << c.text << " n=" << c.n;
        free(copy);
    }
    char *copy = xstrdup("kelvarine");
    EXPECT_STREQ(copy, "kelvarine");
    free(copy);
}

// ----------------------------------------------------------- exit sequence

std::atomic<int> step_runs{0};

void step_say_one()
{
    static const char text[] = "step-one;";
    if (write(STDERR_FILENO, text, sizeof text - 1) < 0)
        _exit(9);
}

void step_say_two()
{
    static const char text[] = "step-two;";
    if (write(STDERR_FILENO, text, sizeof text - 1) < 0)
        _exit(9);
}

void step_fails()
{
    ASSERT(false);
}

TEST(ExitSequence, StepsRunInOrderWithTheStatusGiven)
{
    EXPECT_EXIT(
        {
            exit_step_add(step_say_one);
            exit_step_add(step_say_two);
            sigterm(0);
        },
        ::testing::ExitedWithCode(0), "step-one;step-two;");
    EXPECT_EXIT(
        {
            exit_step_add(step_say_one);
            exit_sequence(3);
        },
        ::testing::ExitedWithCode(3), "step-one;");
}

TEST(ExitSequence, AFailingStepEndsTheProcessAtOnce)
{
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            exit_step_add(step_say_one);
            exit_step_add(step_fails);
            exit_step_add(step_say_two);
            sigterm(0);
        },
        failed, "step-one;[^;]*ASSERTION: [^ ]*tests/unit/test_mem.cpp:[0-9]+ in "
                "function step_fails\n[^;]*$");
}

TEST(ExitSequence, TableHasABound)
{
    EXPECT_EXIT(
        {
            int added = 0;
            while (exit_step_add(step_say_one) == 0)
                added++;
            _exit(added == EXIT_STEPS_MAX && exit_step_add(nullptr) == -1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A second thread that ends the process while the first runs the exit
// steps does not run them again, and the first one's status stands.
std::atomic<bool> second_entered{false};

void step_once_then_wait()
{
    if (step_runs.fetch_add(1) > 0)
        _exit(7); // the sequence ran twice
    while (!second_entered.load())
        usleep(1000);
    usleep(200 * 1000); // the second thread is inside sigterm by now
}

void *second_thread(void *)
{
    while (step_runs.load() == 0)
        usleep(1000);
    second_entered.store(true);
    sigterm(5);
}

TEST(ExitSequence, RunsOnceWhenTwoThreadsEndTheProcess)
{
    EXPECT_EXIT(
        {
            exit_step_add(step_once_then_wait);
            pthread_t thread;
            pthread_create(&thread, nullptr, second_thread, nullptr);
            sigterm(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// ------------------------------------------------------- reference counts

TEST(AtomTest, CountsReferences)
{
    auto *atom = new Atom;
    EXPECT_EQ(atom->count, 1);
    pthread_mutex_lock(&atomlock);
    EXPECT_EQ(atom->New(), atom);
    EXPECT_EQ(atom->count, 2);
    EXPECT_FALSE(atom->Delete());
    bool last = atom->Delete();
    EXPECT_TRUE(last);
    if (last)
        delete atom;
    pthread_mutex_unlock(&atomlock);
}

TEST(AtomTest, DestroyedWhileReferencedIsFatal)
{
    EXPECT_EXIT(
        {
            foreground_to_stderr();
            Atom atom;
            atom.New();
            atom.Delete();
        },
        failed, "ASSERTION: src/runtime/atom.cpp:[0-9]+ in function ~Atom");
}

} // namespace
