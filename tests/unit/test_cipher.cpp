// Base64, the Blowfish block and text ciphers, and the stored-password
// cipher.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/blowfish.h"

namespace {

std::string encode64(const std::string &in)
{
    std::vector<unsigned char> out(BASE64_ENCODED_SIZE(in.size()));
    int64_t n = to64frombits(out.data(), out.size(), (const unsigned char *)in.data(),
                             in.size());
    EXPECT_EQ(n, (int64_t)out.size() - 1);
    return std::string((char *)out.data());
}

std::string take(char *s)
{
    std::string r = s ? s : "(null)";
    free(s);
    return r;
}

class CipherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(crypto_init()); }
};

// RFC 4648 section 10 plus the prefix and line-end rules.
TEST(Base64, EncodesAndDecodesTheStandardVectors)
{
    struct Case {
        std::string plain, coded;
    } cases[] = {
        {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},
        {"foo", "Zm9v"},   {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\0\x01", 4), "//4AAQ=="}, // high bytes and a NUL
    };
    for (const Case &c : cases) {
        EXPECT_EQ(encode64(c.plain), c.coded) << "plain \"" << c.plain << "\"";
        if (c.coded.empty())
            continue;
        char out[16];
        int64_t n = from64tobits(out, sizeof(out), c.coded.c_str());
        ASSERT_EQ(n, (int64_t)c.plain.size()) << c.coded;
        EXPECT_EQ(std::string(out, (size_t)n), c.plain) << c.coded;
    }

    std::string all;
    for (int i = 0; i < 256; i++)
        all += char(i);
    char back[256];
    ASSERT_EQ(from64tobits(back, sizeof(back), encode64(all).c_str()), 256);
    EXPECT_EQ(std::string(back, 256), all);
}

TEST(Base64, DecoderRulesAndRefusals)
{
    struct Case {
        const char *in;
        int64_t result;
        const char *plain;
    } cases[] = {
        {"+ Zm9v", 3, "foo"},         // "+ " prefix skipped
        {"\rZm9v", 0, ""},            // leading carriage return
        {"Zm9v\r\nZm9v", 3, "foo"},   // stops at the carriage return
        {"Zg==Zm9v", 1, "f"},         // stops after a padded group
        {"", -1, ""},                 // empty text
        {"Zm", -1, ""},               // unpadded group
        {"Zm9vY", -1, ""},            // end inside the second group
        {"Z===", -1, ""},             // second character must be a symbol
        {"Zm=v", -1, ""},             // padding then a symbol
        {"Zm9!", -1, ""},             // character outside the alphabet
        {"Zm9\xc3", -1, ""},          // byte above 127
    };
    for (const Case &c : cases) {
        char out[16] = {};
        int64_t n = from64tobits(out, sizeof(out), c.in);
        EXPECT_EQ(n, c.result) << "input \"" << c.in << "\"";
        if (n > 0) {
            EXPECT_EQ(std::string(out, (size_t)n), c.plain) << c.in;
        }
    }
}

TEST(Base64, OutputBoundsAreEnforced)
{
    const unsigned char in[] = "foobar!"; // 7 bytes: 12 characters + NUL
    unsigned char out[16];
    memset(out, 'X', sizeof(out));
    EXPECT_EQ(to64frombits(out, 12, in, 7), -1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'X') << "nothing written past the refusal";
    EXPECT_EQ(to64frombits(out, 13, in, 7), 12);
    EXPECT_STREQ((char *)out, "Zm9vYmFyIQ==");

    char plain[8];
    memset(plain, 'X', sizeof(plain));
    EXPECT_EQ(from64tobits(plain, 6, "Zm9vYmFyIQ=="), -1) << "7 bytes into 6";
    EXPECT_EQ(plain[6], 'X');
    EXPECT_EQ(from64tobits(plain, 7, "Zm9vYmFyIQ=="), 7);
    EXPECT_EQ(from64tobits(plain, 0, "Zg=="), -1);
}

// Eric Young's Blowfish ECB test vectors (8-byte keys).
TEST(Blowfish, BlockCipherMatchesPublishedVectors)
{
    struct Case {
        uint64_t key, plain, cipher;
    } cases[] = {
        {0x0000000000000000, 0x0000000000000000, 0x4EF997456198DD78},
        {0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 0x51866FD5B85ECB8A},
        {0x3000000000000000, 0x1000000000000001, 0x7D856F9A613063F2},
        {0x1111111111111111, 0x1111111111111111, 0x2466DD878B963C9D},
        {0x0123456789ABCDEF, 0x1111111111111111, 0x61F9C3802281B096},
        {0xFEDCBA9876543210, 0x0123456789ABCDEF, 0x0ACEAB0FC6A0A28D},
        {0x7CA110454A1A6E57, 0x01A1D6D039776742, 0x59C68245EB05282B},
    };
    for (const Case &c : cases) {
        char key[8];
        for (int i = 0; i < 8; i++)
            key[i] = char(c.key >> (56 - 8 * i));
        blowfish_init(key, 8, 0);
        unsigned left = unsigned(c.plain >> 32), right = unsigned(c.plain);
        blowfish_encipher(&left, &right);
        EXPECT_EQ((uint64_t)left << 32 | right, c.cipher)
            << std::hex << "key " << c.key << " plain " << c.plain;
        blowfish_decipher(&left, &right);
        EXPECT_EQ((uint64_t)left << 32 | right, c.plain) << std::hex << "key " << c.key;
    }
}

TEST(Blowfish, TextCipherFormatAndRoundTrip)
{
    // Expected values built from an independent Blowfish with the text
    // alphabet encoding (right half first, low 6 bits first).
    EXPECT_EQ(take(blowfish_encrypt("operator:s3cret!", "operator:s3cret!")),
              "Y1jJ.02ryOE/Et3XT1nxXC2.");
    std::string nine = take(blowfish_encrypt("operator:s3cret!", "kelvarine"));
    EXPECT_EQ(nine, "nx8sw/9RDUC17mEFH/9Kiuy1") << "9 characters give two blocks";
    EXPECT_EQ(take(blowfish_decrypt("operator:s3cret!", nine.c_str())),
              std::string("kelvarine"));

    EXPECT_EQ(take(blowfish_encrypt("key", "")), "");
    EXPECT_EQ(blowfish_encrypt("", "text"), nullptr);
    EXPECT_EQ(take(blowfish_encrypt("key", "exactly8")).size(), 12u);

    std::string cookie = "admin:" + std::string(100, 'p'); // key past the cache's 80
    std::string once = take(blowfish_encrypt(cookie.c_str(), cookie.c_str()));
    EXPECT_EQ(once.size(), 12u * 14);
    EXPECT_EQ(take(blowfish_decrypt(cookie.c_str(), once.c_str())), cookie);
}

TEST(Blowfish, ScheduleCacheNeverServesAnotherKey)
{
    // Keys that share prefixes, a key longer than a cache slot, and more keys
    // than slots, visited in an order that evicts and re-creates schedules.
    std::vector<std::string> keys = {
        "abc", "abcd", "ab", "user:pw", std::string(81, 'k'), "j" + std::string(80, 'k'),
    };
    const char *text = "login cookie text";
    std::vector<std::string> first;
    for (const std::string &k : keys)
        first.push_back(take(blowfish_encrypt(k.c_str(), text)));
    for (size_t i = 0; i < first.size(); i++)
        for (size_t j = i + 1; j < first.size(); j++)
            EXPECT_NE(first[i], first[j]) << keys[i] << " / " << keys[j];

    const int order[] = {5, 0, 1, 0, 2, 3, 4, 3, 1, 5, 4, 2, 0};
    for (int i : order)
        EXPECT_EQ(take(blowfish_encrypt(keys[i].c_str(), text)), first[i]) << keys[i];

    // Concurrent callers each get their own key's result.
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < 100; n++) {
                size_t i = (size_t)(t + n) % keys.size();
                if (take(blowfish_encrypt(keys[i].c_str(), text)) != first[i])
                    wrong[t]++;
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST_F(CipherTest, StoredPasswordKnownFormAndRoundTrip)
{
    // The stored form is kept in configuration files: its key and code table
    // must stay fixed.  RC4 of "secret" under the key, unpadded base64
    // "PB6Oayv3", each symbol written as its code.
    unsigned char stored[64];
    int symbols = kelvarine_privatise((const unsigned char *)"secret", privatise_key,
                                      privatise_iv, stored, sizeof(stored), 6);
    ASSERT_EQ(symbols, 8);
    EXPECT_EQ(std::string((char *)stored, 16), "36306d11cd45d6fe");

    unsigned char plain[PRIVATISE_PLAIN_MAX + 1];
    EXPECT_EQ(kelvarine_deprivatise((const unsigned char *)"ecfb", privatise_key,
                                    privatise_iv, plain, sizeof(plain), 4),
              1);
    EXPECT_EQ(plain[0], 'x');

    for (int len : {1, 2, 3, 4, 16, 100, PRIVATISE_PLAIN_MAX}) {
        std::string pw;
        for (int i = 0; i < len; i++)
            pw += char((i * 37 + len) & 0xff);
        unsigned char form[PRIVATISE_STORED_MAX];
        int n = kelvarine_privatise((const unsigned char *)pw.data(), privatise_key,
                                    privatise_iv, form, sizeof(form), len);
        int expected_symbols = len / 3 * 4 + (len % 3 ? len % 3 + 1 : 0);
        ASSERT_EQ(n, expected_symbols) << "length " << len;
        ASSERT_LE(2 * n, PRIVATISE_STORED_MAX);
        EXPECT_EQ(kelvarine_deprivatise(form, privatise_key, privatise_iv, plain,
                                        sizeof(plain), 2 * n),
                  len);
        EXPECT_EQ(std::string((char *)plain, (size_t)len), pw) << "length " << len;
    }
}

TEST_F(CipherTest, StoredPasswordRefusals)
{
    const unsigned char *pw = (const unsigned char *)"password";
    unsigned char big[4096] = {};
    unsigned char form[64];
    unsigned char plain[64];

    EXPECT_EQ(kelvarine_privatise(pw, privatise_key, privatise_iv, form, sizeof(form), 0), -1);
    EXPECT_EQ(kelvarine_privatise(big, privatise_key, privatise_iv, big, sizeof(big),
                                  PRIVATISE_PLAIN_MAX + 1),
              -1);
    // 8 bytes need 11 symbols, 22 characters.
    EXPECT_EQ(kelvarine_privatise(pw, privatise_key, privatise_iv, form, 21, 8), -1);
    int n = kelvarine_privatise(pw, privatise_key, privatise_iv, form, 22, 8);
    ASSERT_EQ(n, 11);
    std::string too_long;
    while (too_long.size() <= PRIVATISE_STORED_MAX)
        too_long += std::string((char *)form, 2);

    struct Case {
        const char *name;
        std::string stored;
        size_t outsize;
    } cases[] = {
        {"pair that is no code", std::string((char *)form, 20) + "zz", sizeof(plain)},
        {"upper-case hex is not a code", "ECFB", sizeof(plain)},
        {"odd length", std::string((char *)form, 21), sizeof(plain)},
        {"one symbol gives no byte", std::string((char *)form, 2), sizeof(plain)},
        {"empty", "", sizeof(plain)},
        {"plaintext does not fit", std::string((char *)form, 22), 7},
        {"longer than a stored form", too_long, sizeof(plain)},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(kelvarine_deprivatise((const unsigned char *)c.stored.data(), privatise_key,
                                        privatise_iv, plain, c.outsize, (int)c.stored.size()),
                  -1)
            << c.name;
    }
    EXPECT_EQ(kelvarine_deprivatise(form, privatise_key, privatise_iv, plain, 8, 22), 8);
    EXPECT_EQ(std::string((char *)plain, 8), "password");
}

} // namespace
