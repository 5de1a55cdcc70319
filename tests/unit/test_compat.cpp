// System-call wrappers: descriptor failures, the pool seams, the resolver
// and recursive directories.
#include "runtime/compat.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/global.h"
#include "runtime/log.h"
#include "fixture.h"

namespace {

int client_cleans = 0;
int server_cleans = 0;

void count_client_clean()
{
    client_cleans++;
}

void count_server_clean()
{
    server_cleans++;
}

bool is_directory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Collects the native log in a ring and gives each test a temporary
// directory.
class CompatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        record.logbuffer = logbuffer_new();
        global = &record;
        client_cleans = server_cleans = 0;
        compat_client_pool_clean_set(count_client_clean);
        compat_server_pool_clean_set(count_server_clean);
        char dir[] = "/tmp/kv-compat-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
    }
    void TearDown() override
    {
        compat_client_pool_clean_set(nullptr);
        compat_server_pool_clean_set(nullptr);
        global = nullptr;
        ring_free(record.logbuffer);
        std::string command = "rm -rf '" + directory + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    // Lines in the ring, newest first.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> texts;
        for (LOGBUFFER_NODE *node = record.logbuffer->head; node != nullptr;
             node = node->next)
            texts.push_back(node->text);
        return texts;
    }

    // Whether a line of the ring ends with `text`.
    bool logged(const std::string &text) const
    {
        for (const std::string &line : lines())
            if (line.size() >= text.size() &&
                line.compare(line.size() - text.size(), text.size(), text) == 0)
                return true;
        return false;
    }

    GLOBAL_T record{};
    std::string directory;
};

TEST_F(CompatTest, AcceptOnANonSocketFailsSilently)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    errno = 0;
    EXPECT_EQ(s_accept(fds[0], nullptr, nullptr), -1);
    EXPECT_EQ(errno, ENOTSOCK);
    EXPECT_TRUE(lines().empty());
    close(fds[0]);
    close(fds[1]);
}

TEST_F(CompatTest, AcceptFailureIsLoggedOnceWithoutFreeingThePools)
{
    int fd = s_socket(AF_INET, SOCK_STREAM, 0); // never listens
    ASSERT_GE(fd, 0);
    EXPECT_EQ(s_accept(fd, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_TRUE(logged("error: [system: accept:22:Invalid argument], in s_accept, "
                       "unable to connect on a socket"));
    EXPECT_EQ(client_cleans + server_cleans, 0);
    close(fd);
}

TEST_F(CompatTest, OtherFailuresPassThroughSilently)
{
    std::string missing = directory + "/missing";
    errno = 0;
    EXPECT_EQ(s_open(missing.c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s_open64(missing.c_str(), O_RDONLY), -1);
    EXPECT_EQ(s_fopen(missing.c_str(), "r"), nullptr);
    EXPECT_EQ(s_opendir(missing.c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s_socket(-1, SOCK_STREAM, 0), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(client_cleans + server_cleans, 0);
}

TEST_F(CompatTest, PoolFailuresCleanTheirPools)
{
    struct Case {
        void (*failure)();
        const char *line;
        int client;
        int server;
    } cases[] = {
        {fd_failure,
         "error: failure opening file descriptor, attempting to free resources", 1, 1},
        {client_pool_failure,
         "error: flushing client pool, attempting to free resources", 1, 0},
        {server_pool_failure,
         "error: flushing outbound connections, attempting to free resources", 0, 1},
    };
    for (const Case &c : cases) {
        client_cleans = server_cleans = 0;
        logbuffer_clear(record.logbuffer);
        c.failure();
        EXPECT_TRUE(logged(c.line)) << c.line;
        EXPECT_EQ(client_cleans, c.client) << c.line;
        EXPECT_EQ(server_cleans, c.server) << c.line;
    }
    // Before the pools exist the failures only log.
    compat_client_pool_clean_set(nullptr);
    compat_server_pool_clean_set(nullptr);
    client_cleans = server_cleans = 0;
    fd_failure();
    EXPECT_EQ(client_cleans + server_cleans, 0);
}

TEST_F(CompatTest, ResolverGivesTheFirstIPv4AddressOrNull)
{
    HOSTENT *host = p_gethostbyname("localhost");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->length, 4);
    char text[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, host->address, text, sizeof text), "127.0.0.1");
    hostent_free(host);

    EXPECT_EQ(p_gethostbyname("no-such-host.invalid"), nullptr);
    EXPECT_TRUE(lines().empty());
}

TEST_F(CompatTest, RecursiveDirectories)
{
    struct Case {
        std::string path;    // as given, below the temporary directory
        int result;
        std::string made;    // a directory that exists afterwards, or ""
    } cases[] = {
        {directory + "/a/b/c", 1, directory + "/a/b/c"},
        {directory + "/a/b/c", 1, directory + "/a/b/c"},       // already there
        {directory + "//x///y/", 1, directory + "/x/y"},        // doubled slashes
        {directory.substr(1) + "/rel/sub", 1, directory + "/rel/sub"}, // made absolute
        {directory + "/file/below", -1, ""},                   // a file in the way
    };
    int fd = open((directory + "/file").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);

    for (const Case &c : cases) {
        EXPECT_EQ(create_recursive_directory(c.path.c_str()), c.result) << c.path;
        if (!c.made.empty()) {
            EXPECT_TRUE(is_directory(c.made)) << c.path;
        }
    }
    EXPECT_TRUE(logged("error: [system: mkdir:20:Not a directory], in "
                       "create_recursive_directory, failed to create directory " +
                       directory + "/file/below"));
    EXPECT_EQ(create_recursive_directory(nullptr), 1);
}

TEST_F(CompatTest, RecursiveDirectoryPathMustFitItsBuffer)
{
    // 255 bytes fit; 256 bytes, or a relative 255 that gains its "/", do not.
    std::string base = directory + "/";
    std::string fits = base + std::string(255 - base.size(), 'f');
    std::string too_long = base + std::string(256 - base.size(), 'l');
    std::string relative = fits.substr(1) + "r";

    EXPECT_EQ(create_recursive_directory(too_long.c_str()), -1);
    EXPECT_EQ(create_recursive_directory(relative.c_str()), -1);
    EXPECT_FALSE(is_directory(too_long));
    EXPECT_FALSE(is_directory("/" + relative));
    EXPECT_EQ(lines().size(), 2u);
    EXPECT_EQ(create_recursive_directory(fits.c_str()), 1);
    EXPECT_TRUE(is_directory(fits));
}

} // namespace
