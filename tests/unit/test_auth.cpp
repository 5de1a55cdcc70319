// The password cache, the PAM failure texts, the directory cache with its
// export and import, and the escaping of directory search filters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "access/access.h"
#include "access/ldap_profile.h"
#include "access/pam.h"
#include "access/password_cache.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/options.h"
#include "fixture.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"

namespace {

class AuthTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        pthread_rwlock_init(&global->password_cache_lock, nullptr);
        pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(ldap_section);
    }

    void SetUp() override
    {
        global->password_cache = password_cache_create(password_cachesize);
        global->dn_cache = dn_cache_create(password_cachesize);
    }

    void TearDown() override
    {
        password_table_free(global->password_cache);
        dn_table_free(global->dn_cache);
        global->password_cache = nullptr;
        global->dn_cache = nullptr;
    }

    static void password_table_free(PASSWORD_CACHE_TABLE *table)
    {
        password_cache_expire(table, 0);  // every entry has reached age 0
        free(table->buckets);
        free(table);
    }

    static void dn_table_free(DN_CACHE_TABLE *table)
    {
        for (int i = 0; i < table->size; i++)
            while (table->buckets[i] != nullptr)
                dn_cache_purge(table, table->buckets[i]->user);
        free(table->buckets);
        free(table);
    }
};

TEST_F(AuthTest, PasswordCacheBuckets)
{
    EXPECT_EQ(password_cache_key(100, "abc"), 70u);
    EXPECT_EQ(password_cache_key(100, ""), 0u);
    EXPECT_EQ(password_cache_key(100, "ABC"), 70u) << "names hash without case";
    // Bytes above 127 count as negative and the sum wraps, never overflows.
    std::string high(5000, '\xff');
    EXPECT_LT(password_cache_key(7, high.c_str()), 7u);
}

TEST_F(AuthTest, PasswordCacheNamesIgnoreCasePasswordsDoNot)
{
    update_password_cache("Alice", "Secret", PASSWORD_CACHE_GOOD);
    struct Case {
        const char *user, *password;
        int result;
    } cases[] = {
        {"Alice", "Secret", PASSWORD_CACHE_GOOD},
        {"ALICE", "Secret", PASSWORD_CACHE_GOOD},
        {"alice", "secret", PASSWORD_CACHE_MISS},
        {"alice", "Secret ", PASSWORD_CACHE_MISS},
        {"bob", "Secret", PASSWORD_CACHE_MISS},
        {nullptr, "Secret", PASSWORD_CACHE_MISS},
    };
    for (const Case &c : cases)
        EXPECT_EQ(check_password_cache(c.user, c.password), c.result)
            << (c.user ? c.user : "(null)") << ":" << c.password;

    // A second recording replaces the first: one entry, the later result.
    update_password_cache("alice", "Secret", PASSWORD_CACHE_BAD);
    EXPECT_EQ(check_password_cache("Alice", "Secret"), PASSWORD_CACHE_BAD);
    int in_bucket = 0;
    for (PASSWORD_CACHE_ENTRY *e =
             global->password_cache->buckets[password_cache_key(password_cachesize, "alice")];
         e != nullptr; e = e->next)
        in_bucket++;
    EXPECT_EQ(in_bucket, 1);
    EXPECT_EQ(password_cache_insert(global->password_cache, "x", nullptr, 1), nullptr);
}

TEST_F(AuthTest, PasswordCacheExpiresByAge)
{
    PASSWORD_CACHE_TABLE *table = global->password_cache;
    time_t now = time(nullptr);
    password_cache_insert(table, "old", "pw", PASSWORD_CACHE_GOOD)->time = now - 700;
    password_cache_insert(table, "edge", "pw", PASSWORD_CACHE_GOOD)->time = now - 600;
    password_cache_insert(table, "young", "pw", PASSWORD_CACHE_GOOD)->time = now - 10;
    EXPECT_EQ(password_cache_expire(table, 600), 2);
    EXPECT_EQ(password_cache_search(table, "old", "pw"), nullptr);
    EXPECT_EQ(password_cache_search(table, "edge", "pw"), nullptr);
    EXPECT_NE(password_cache_search(table, "young", "pw"), nullptr);
}

TEST_F(AuthTest, PamFailuresAreNamedAndWrongCredentialsRemembered)
{
    EXPECT_STREQ(pam_status_text(7), "[pam: %d: PAM_AUTH_ERR] Authentication failure");
    EXPECT_STREQ(pam_status_text(32),
                 "[pam: %d: _PAM_RETURN_VALUES] this is the number of return values");
    EXPECT_STREQ(pam_status_text(0), "");
    EXPECT_STREQ(pam_status_text(33), "");
    for (int status : {6, 7, 10, 11, 12, 9, 4}) {
        std::string user = "u" + std::to_string(status);
        AccessSection::display_pam_msg(status, user.c_str(), "pw");
        int expected = pam_status_refuses(status) ? PASSWORD_CACHE_BAD : PASSWORD_CACHE_MISS;
        EXPECT_EQ(check_password_cache(user.c_str(), "pw"), expected) << status;
    }
}

TEST_F(AuthTest, PamConversationAnswersEveryPromptWithThePassword)
{
    struct Appdata {
        const char *user, *password;
    } data = {"who", "the-password"};
    struct pam_message prompts[3] = {{PAM_PROMPT_ECHO_ON, "login:"},
                                     {PAM_PROMPT_ECHO_OFF, "Password:"},
                                     {PAM_TEXT_INFO, "hello"}};
    const struct pam_message *list[3] = {&prompts[0], &prompts[1], &prompts[2]};
    struct pam_response *replies = nullptr;
    ASSERT_EQ(auth_pam_talker(3, list, &replies, &data), PAM_SUCCESS);
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(replies[i].resp, "the-password");
        free(replies[i].resp);
    }
    free(replies);
}

TEST_F(AuthTest, DirectoryCacheEntriesAndBuckets)
{
    EXPECT_EQ(dn_cache_key(100, "alice"), dn_cache_key(100, "ALICE"));
    EXPECT_EQ(dn_cache_key(100, ""), 0u);
    update_dn_cache("alice", "uid=alice,ou=p,dc=x", "g1,g2");
    update_dn_cache("Alice", "uid=alice,ou=q,dc=x", "");
    char dn[DN_TEXT_MAX], groups[DN_TEXT_MAX];
    ASSERT_EQ(check_dn_cache("ALICE", dn, groups), 0);
    EXPECT_STREQ(dn, "uid=alice,ou=q,dc=x");
    EXPECT_STREQ(groups, "");
    int entries = 0;
    for (int i = 0; i < global->dn_cache->size; i++)
        for (DN_CACHE_ENTRY *e = global->dn_cache->buckets[i]; e; e = e->next)
            entries++;
    EXPECT_EQ(entries, 1);
}

TEST_F(AuthTest, ExportAndImportBetweenInstances)
{
    update_dn_cache("alice", "uid=alice,dc=x", "staff,admins");
    update_dn_cache("bob", "uid=bob,dc=x", "");
    Filebuf out;
    ldap_section->interface_page_sendldap(&out);
    std::string text(out.data, out.size);
    EXPECT_NE(text.find("alice\tuid=alice,dc=x\tstaff,admins\n"), std::string::npos) << text;
    EXPECT_NE(text.find("bob\tuid=bob,dc=x\n"), std::string::npos) << text;

    // The reading side: 2 or 3 fields store, other counts are skipped,
    // runs of separators collapse, a single line without newline counts.
    dn_table_free(global->dn_cache);
    global->dn_cache = dn_cache_create(password_cachesize);
    std::string body = text + "four\ta\tb\tc\n\n\ncarol\t\tuid=carol,dc=x\ndave\tuid=dave,dc=x";
    EXPECT_EQ(dn_cache_read_export(body.data(), body.size()), 4);
    char dn[DN_TEXT_MAX], groups[DN_TEXT_MAX];
    ASSERT_EQ(check_dn_cache("alice", dn, groups), 0);
    EXPECT_STREQ(groups, "staff,admins");
    ASSERT_EQ(check_dn_cache("carol", dn, groups), 0);
    EXPECT_STREQ(dn, "uid=carol,dc=x");
    ASSERT_EQ(check_dn_cache("dave", dn, groups), 0);
    // Directory off: a user not in the cache cannot be looked up.
    EXPECT_EQ(check_dn_cache("four", dn, groups), -1);
}

TEST_F(AuthTest, ConnectionGetsNoDirectoryDataWhileLdapIsOff)
{
    CONNECTION_T *conn = connection_new();
    conn->dn_list.push_back("stale");
    conn->ldap_groups.push_back("stale");
    EXPECT_EQ(set_connection_dn("alice", conn), -1);
    EXPECT_TRUE(conn->dn_list.empty());
    EXPECT_TRUE(conn->ldap_groups.empty());
    EXPECT_EQ(auth_ldap("alice", "pw", conn), 1);
    connection_free(conn);
}

TEST_F(AuthTest, FilterValuesAreEscaped)
{
    struct Case {
        std::string in, out;
    } cases[] = {
        {"alice", "alice"},
        {"*", "\\2a"},
        {"a)(uid=*", "a\\29\\28uid=\\2a"},
        {"back\\slash", "back\\5cslash"},
        {std::string("nul\0x", 5), "nul\\00x"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ldap_filter_escape(c.in), c.out) << c.in;
}

TEST_F(AuthTest, StoredBindPasswordDecrypts)
{
    ASSERT_TRUE(crypto_init());
    ldap_section->set_our_key();
    unsigned char key[512];
    ASSERT_GT(ldap_section->get_our_key(key, sizeof key), 0);
    unsigned char stored[128];
    int n = kelvarine_privatise((const unsigned char *)"admin-pw", key, privatise_iv, stored,
                                sizeof stored, 8);
    ASSERT_GT(n, 0);
    char plain[LDAP_TEXT_MAX];
    EXPECT_EQ(ldap_section->password_reveal(std::string((char *)stored, (size_t)n * 2), plain),
              8);
    EXPECT_STREQ(plain, "admin-pw");
    EXPECT_EQ(ldap_section->password_reveal("zz", plain), -1);
}

}  // namespace
