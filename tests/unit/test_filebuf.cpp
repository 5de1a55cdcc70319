// Filebuf: growth, editing, files and the gzip, deflate, br and zstd codings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>
#include <brotli/encode.h>
#include <zstd.h>

#include "engine/options.h"
#include "runtime/filebuf.h"
#include "runtime/misc.h"

namespace {

std::string content(const Filebuf &fb)
{
    return fb.size == 0 ? std::string() : std::string(fb.data, fb.size);
}

void set(Filebuf &fb, const std::string &text)
{
    fb.Resize(0);
    fb.Add(text.data(), text.size());
}

// Bytes that do not compress to nothing and cross several 8 KiB blocks.
std::string sample_body(size_t n)
{
    std::string s;
    s.reserve(n);
    uint32_t x = 12345;
    while (s.size() < n) {
        x = x * 1103515245 + 12345;
        s += (x >> 16) % 3 == 0 ? char(x >> 8) : "<p>kelvarine</p>\n"[(x >> 8) % 17];
    }
    return s;
}

// Raw deflate of text made by zlib itself, independent of Filebuf.
std::string raw_deflate(const std::string &text)
{
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&zs, text.size()), '\0');
    zs.next_in = (Bytef *)text.data();
    zs.avail_in = (uInt)text.size();
    zs.next_out = (Bytef *)&out[0];
    zs.avail_out = (uInt)out.size();
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++)
        s[i] = char(v >> (8 * i));
    return s;
}

std::string gzip_trailer(const std::string &text)
{
    return le32((uint32_t)crc32(0, (const Bytef *)text.data(), (uInt)text.size())) +
           le32((uint32_t)text.size());
}

// brotli of text made by the brotli encoder.
std::string brotli(const std::string &text)
{
    size_t size = BrotliEncoderMaxCompressedSize(text.size());
    std::string out(size, '\0');
    EXPECT_EQ(BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, text.size(),
                                    (const uint8_t *)text.data(), &size, (uint8_t *)&out[0]),
              BROTLI_TRUE);
    out.resize(size);
    return out;
}

// One Zstandard frame of text, with its content checksum.
std::string zstd(const std::string &text)
{
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1)));
    std::string out(ZSTD_compressBound(text.size()), '\0');
    size_t n = ZSTD_compress2(cctx, &out[0], out.size(), text.data(), text.size());
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    ZSTD_freeCCtx(cctx);
    return out;
}

class FilebufTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kv_filebuf_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::vector<std::string> dir_entries() const
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        }
        closedir(d);
        return names;
    }
    std::string dir;
};

TEST(FilebufGrowth, CapacityMovesIn64KiBSteps)
{
    Filebuf fb;
    char byte = 'x';
    fb.Add(&byte, 1);
    EXPECT_EQ(fb.capacity, 65536u);
    char *first = fb.data;

    std::string fill(65535, 'y');
    fb.Add(fill.data(), fill.size());
    EXPECT_EQ(fb.size, 65536u);
    EXPECT_EQ(fb.data, first) << "filling the first step must not reallocate";
    EXPECT_EQ(fb.capacity, 65536u);

    fb.Add(&byte, 1);
    EXPECT_EQ(fb.capacity, 131072u);
    EXPECT_EQ(fb.data[0], 'x');
    EXPECT_EQ(fb.data[65536], 'x');

    // Shrinking to 0 keeps the allocation; shrinking by more than a step
    // (to a non-zero size) gives memory back.
    fb.Resize(0);
    EXPECT_EQ(fb.size, 0u);
    EXPECT_EQ(fb.capacity, 131072u);
    EXPECT_NE(fb.data, nullptr);
    fb.Resize(200000);
    EXPECT_EQ(fb.capacity, 262144u);
    fb.Resize(10);
    EXPECT_EQ(fb.capacity, 65536u);
}

TEST(FilebufGrowth, SizesPast4GiBDoNotWrap)
{
    // Only the first and last pages are touched, so this stays cheap.
    Filebuf fb;
    const size_t big = (size_t(1) << 32) + 1;
    fb.Resize(big);
    ASSERT_EQ(fb.size, big);
    EXPECT_GE(fb.capacity, big);
    EXPECT_EQ(fb.capacity % 65536, 0u);
    fb.data[big - 1] = 'z';
    char tail = '!';
    fb.Add(&tail, 1);
    EXPECT_EQ(fb.size, big + 1);
    EXPECT_EQ(fb.data[big - 1], 'z');
    EXPECT_EQ(fb.data[big], '!');
}

TEST(FilebufEdit, AddfCutsLongTextAt8191Characters)
{
    Filebuf fb;
    std::string text(10000, 'a');
    fb.Addf("%s", text.c_str());
    EXPECT_EQ(fb.size, 8191u);
    EXPECT_EQ(content(fb), std::string(8191, 'a'));

    fb.Addf("[%d:%s]", 42, "x");
    EXPECT_EQ(content(fb).substr(8191), "[42:x]");
}

TEST(FilebufEdit, ReplaceMovesTheTail)
{
    struct Case {
        const char *before;
        size_t start, end;
        const char *text;
        const char *after;
    } cases[] = {
        {"hello world", 6, 11, "kelvarine", "hello kelvarine"}, // longer, at end
        {"hello world", 0, 5, "hi", "hi world"},                // shorter, tail moves left
        {"hello world", 0, 5, "HELLO", "HELLO world"},          // same length
        {"hello world", 5, 5, ",", "hello, world"},             // pure insertion
        {"hello world", 5, 11, "", "hello"},                    // deletion
        {"<a><b>", 3, 3, "<x>", "<a><x><b>"},                   // insertion mid-buffer
    };
    for (const Case &c : cases) {
        Filebuf fb;
        set(fb, c.before);
        fb.Replace(c.start, c.end, c.text);
        EXPECT_EQ(content(fb), c.after)
            << "Replace(" << c.start << ", " << c.end << ", \"" << c.text << "\") on \""
            << c.before << "\"";
    }
}

TEST(FilebufEdit, TrimShortenDupSwap)
{
    Filebuf fb;
    set(fb, "0123456789");
    fb.Trim(4);
    EXPECT_EQ(content(fb), "456789");
    fb.Trim(6);
    EXPECT_EQ(fb.size, 0u);

    set(fb, "abc");
    fb.Shorten();
    EXPECT_EQ(fb.capacity, 3u);
    EXPECT_EQ(content(fb), "abc");
    fb.Resize(0);
    fb.Shorten();
    EXPECT_EQ(fb.data, nullptr);
    EXPECT_EQ(fb.capacity, 0u);

    Filebuf empty;
    Filebuf *dup = empty.Dup();
    EXPECT_EQ(dup->size, 0u);
    EXPECT_EQ(dup->data, nullptr);
    delete dup;

    set(fb, "payload");
    fb.type = strdup("text/html");
    dup = fb.Dup();
    EXPECT_EQ(content(*dup), "payload");
    EXPECT_EQ(dup->capacity, 7u);
    EXPECT_EQ(dup->type, nullptr) << "the type is not copied";

    // Swap hands over the bytes and keeps each side's type.
    Filebuf other;
    set(other, "other");
    dup->Swap(&other);
    EXPECT_EQ(content(*dup), "other");
    EXPECT_EQ(other.size, 0u);
    EXPECT_EQ(other.data, nullptr);
    EXPECT_EQ(other.capacity, 0u);
    fb.Swap(nullptr);
    EXPECT_EQ(fb.size, 0u);
    EXPECT_EQ(fb.data, nullptr);
    EXPECT_STREQ(fb.type, "text/html");
    delete dup;
}

TEST(FilebufEdit, ToStackSplitsLines)
{
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"one\ntwo\n", {"one", "two"}},       // final newline adds no empty line
        {"one\ntwo", {"one", "two"}},
        {"a\n\nb", {"a", "", "b"}},           // empty line in the middle stays
        {"crlf\r\nx", {"crlf\r", "x"}},       // carriage return is part of its line
        {std::string("nul\0tail\nz", 10), {"nul", "z"}}, // NUL ends the line's text
        {"", {""}},                           // allocated but empty: one empty line
    };
    for (const Case &c : cases) {
        Filebuf fb;
        fb.Add("x", 1);
        set(fb, c.text);
        STACK_T *first = fb.to_stack();
        std::vector<std::string> got;
        STACK_T *prev = nullptr;
        for (STACK_T *n = first; n != nullptr; n = n->next) {
            EXPECT_EQ(n->previous, prev);
            got.push_back(n->line);
            prev = n;
        }
        EXPECT_EQ(got, c.lines) << "text: \"" << c.text << "\"";
        stack_free(first);
    }

    Filebuf never;
    EXPECT_EQ(never.to_stack(), nullptr);
}

TEST_F(FilebufTest, SaveReplacesTheWholeFileAtomically)
{
    std::string path = dir + "/conf.xml";
    Filebuf fb;
    set(fb, std::string(5000, 'o'));
    ASSERT_EQ(fb.Save(path.c_str()), 5000);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);

    // A shorter content must not leave the old tail behind.
    set(fb, "short");
    ASSERT_EQ(fb.Save(path.c_str()), 5);
    Filebuf back;
    ASSERT_EQ(back.Read(path.c_str()), 5);
    EXPECT_EQ(content(back), "short");

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "an existing file keeps its mode";
    EXPECT_EQ(dir_entries(), std::vector<std::string>{"conf.xml"}) << "no temporary file left";

    // Saving through a symbolic link replaces the file it points to.
    std::string link = dir + "/link.xml";
    ASSERT_EQ(symlink("conf.xml", link.c_str()), 0);
    set(fb, "via link");
    ASSERT_EQ(fb.Save(link.c_str()), 8);
    struct stat lst;
    ASSERT_EQ(lstat(link.c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    Filebuf target;
    ASSERT_EQ(target.Read(path.c_str()), 8);
    EXPECT_EQ(content(target), "via link");

    // A directory that does not exist: -1 and nothing created.
    std::string missing = dir + "/nodir/file";
    EXPECT_EQ(fb.Save(missing.c_str()), -1);
}

TEST_F(FilebufTest, ReadAppendsInBlocksAndFailsCleanly)
{
    std::string path = dir + "/body";
    std::string body = sample_body(70000);
    Filebuf src;
    set(src, body);
    ASSERT_EQ(src.Save(path.c_str()), 70000);

    int saved_blocksize = BLOCKSIZE;
    BLOCKSIZE = 1000; // many short reads, the last one partial
    Filebuf fb;
    set(fb, "head:");
    EXPECT_EQ(fb.Read(path.c_str()), 70000);
    BLOCKSIZE = saved_blocksize;
    EXPECT_EQ(content(fb), "head:" + body);

    // Missing file, and a read that fails (a directory): -1, nothing added.
    std::string missing = dir + "/missing";
    EXPECT_EQ(fb.Read(missing.c_str()), -1);
    EXPECT_EQ(fb.Read(dir.c_str()), -1);
    EXPECT_EQ(fb.size, 5u + 70000u);

    // Save to a descriptor writes everything.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    set(fb, "through a pipe");
    EXPECT_EQ(fb.Save(fds[1]), 14);
    char got[32] = {};
    EXPECT_EQ(read(fds[0], got, sizeof(got)), 14);
    EXPECT_STREQ(got, "through a pipe");
    close(fds[0]);
    close(fds[1]);
}

TEST(FilebufCoding, GzipOfEmptyBufferHasHeaderAndZeroTrailer)
{
    Filebuf fb;
    ASSERT_EQ(fb.Compress(FILEBUF_GZIP), 1);
    std::string out = content(fb);
    ASSERT_GT(out.size(), 18u);
    EXPECT_EQ(out.substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10));
    EXPECT_EQ(out.substr(out.size() - 8), std::string(8, '\0'));
}

TEST(FilebufCoding, RoundTripsAndInteroperatesWithZlib)
{
    for (size_t n : {size_t(1), size_t(8192), size_t(300000)}) {
        std::string body = sample_body(n);

        Filebuf gz;
        set(gz, body);
        ASSERT_EQ(gz.Compress(FILEBUF_GZIP), 1);
        // zlib's own gzip reader checks our header, CRC and length.
        std::string unz(n, '\0');
        z_stream zs{};
        ASSERT_EQ(inflateInit2(&zs, 16 + 15), Z_OK);
        zs.next_in = (Bytef *)gz.data;
        zs.avail_in = (uInt)gz.size;
        zs.next_out = (Bytef *)&unz[0];
        zs.avail_out = (uInt)n;
        EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END) << "size " << n;
        inflateEnd(&zs);
        EXPECT_EQ(unz, body);
        ASSERT_EQ(gz.Uncompress(FILEBUF_GZIP), 1);
        EXPECT_EQ(content(gz), body) << "gzip round trip of " << n << " bytes";

        Filebuf raw;
        set(raw, body);
        ASSERT_EQ(raw.Compress(FILEBUF_DEFLATE), 1);
        EXPECT_NE(content(raw), body);
        ASSERT_EQ(raw.Uncompress(FILEBUF_DEFLATE), 1);
        EXPECT_EQ(content(raw), body) << "deflate round trip of " << n << " bytes";
    }
}

TEST(FilebufCoding, GzipFromGzipToolWithFileName)
{
    // gzip -c -9 body.txt: FNAME flag set, name "body.txt".
    static const unsigned char body_gz[] = {
        0x1f, 0x8b, 0x08, 0x08, 0x00, 0xf1, 0x53, 0x65, 0x02, 0x03, 0x62, 0x6f,
        0x64, 0x79, 0x2e, 0x74, 0x78, 0x74, 0x00, 0xcb, 0x4e, 0xcd, 0x29, 0x4b,
        0x2c, 0xca, 0xcc, 0x4b, 0x55, 0x28, 0x49, 0x2d, 0x2e, 0x51, 0x48, 0xca,
        0x4f, 0xa9, 0xe4, 0x2a, 0x4e, 0x4d, 0xce, 0xcf, 0x4b, 0x51, 0xc8, 0x01,
        0x8a, 0x72, 0x01, 0x00, 0xf7, 0xa8, 0x9a, 0x03, 0x20, 0x00, 0x00, 0x00};
    Filebuf fb;
    fb.Add(body_gz, sizeof(body_gz));
    ASSERT_EQ(fb.Uncompress(FILEBUF_GZIP), 1);
    EXPECT_EQ(content(fb), "kelvarine test body\nsecond line\n");
}

TEST(FilebufCoding, GzipOptionalHeaderFieldsAreSkipped)
{
    const std::string body = "optional gzip header fields must be skipped\n";
    const std::string deflated = raw_deflate(body);
    const std::string extra = std::string("\x06\0AB\x02\0xy", 8); // XLEN 6, one subfield
    struct Case {
        const char *name;
        unsigned char flags;
        std::string fields;
    } cases[] = {
        {"none", 0x00, ""},
        {"FEXTRA", 0x04, extra},
        {"FNAME", 0x08, std::string("page.html\0", 10)},
        {"FCOMMENT", 0x10, std::string("a comment\0", 10)},
        {"FHCRC", 0x02, std::string("\x12\x34", 2)},
        {"all four", 0x1e,
         extra + std::string("n\0", 2) + std::string("c\0", 2) + std::string("\0\0", 2)},
    };
    for (const Case &c : cases) {
        std::string gz = std::string("\x1f\x8b\x08", 3) + char(c.flags) +
                         std::string("\0\0\0\0\0\x03", 6) + c.fields + deflated +
                         gzip_trailer(body);
        Filebuf fb;
        set(fb, gz);
        EXPECT_EQ(fb.Uncompress(FILEBUF_GZIP), 1) << c.name;
        EXPECT_EQ(content(fb), body) << c.name;
    }
}

TEST(FilebufCoding, BrokenGzipFailsAndLeavesContent)
{
    const std::string body = sample_body(5000);
    const std::string good = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) +
                             raw_deflate(body) + gzip_trailer(body);
    std::string bad_crc = good;
    bad_crc[bad_crc.size() - 8] ^= 1;
    std::string bad_len = good;
    bad_len[bad_len.size() - 1] ^= 1;
    std::string bad_magic = good;
    bad_magic[1] = 0x8c;
    std::string reserved_flag = good;
    reserved_flag[3] = 0x20;
    struct Case {
        const char *name;
        std::string data;
    } cases[] = {
        {"17 bytes", good.substr(0, 17)},
        {"cut in the stream", good.substr(0, good.size() / 2)},
        {"trailer missing", good.substr(0, good.size() - 8)},
        {"CRC mismatch", bad_crc},
        {"length mismatch", bad_len},
        {"not gzip", bad_magic},
        {"reserved flag", reserved_flag},
        {"name never ends", std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10) +
                                std::string(40, 'n')},
    };
    for (const Case &c : cases) {
        Filebuf fb;
        set(fb, c.data);
        EXPECT_EQ(fb.Uncompress(FILEBUF_GZIP), 0) << c.name;
        EXPECT_EQ(content(fb), c.data) << c.name << ": content must be unchanged";
    }
}

TEST(FilebufCoding, ConcatenatedGzipMembersAllDecode)
{
    std::string gz;
    for (const char *part : {"first member\n", "second member\n"}) {
        gz += std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + raw_deflate(part) +
              gzip_trailer(part);
    }
    Filebuf fb;
    set(fb, gz);
    ASSERT_EQ(fb.Uncompress(FILEBUF_GZIP), 1);
    EXPECT_EQ(content(fb), "first member\nsecond member\n");
}

TEST(FilebufCoding, DeflateAcceptsZlibWrapperAndRaw)
{
    const std::string body = sample_body(20000);
    std::string wrapped(compressBound(body.size()), '\0');
    uLongf len = wrapped.size();
    ASSERT_EQ(compress2((Bytef *)&wrapped[0], &len, (const Bytef *)body.data(), body.size(), 9),
              Z_OK);
    wrapped.resize(len);

    Filebuf fb;
    set(fb, wrapped);
    ASSERT_EQ(fb.Uncompress(FILEBUF_DEFLATE), 1) << "zlib-wrapped deflate";
    EXPECT_EQ(content(fb), body);

    set(fb, raw_deflate(body));
    ASSERT_EQ(fb.Uncompress(FILEBUF_DEFLATE), 1) << "raw deflate";
    EXPECT_EQ(content(fb), body);

    std::string corrupt = wrapped;
    corrupt[corrupt.size() - 1] ^= 0x55; // Adler-32 of the wrapper
    set(fb, corrupt);
    EXPECT_EQ(fb.Uncompress(FILEBUF_DEFLATE), 0);
    EXPECT_EQ(content(fb), corrupt);

    std::string cut = raw_deflate(body).substr(0, 100);
    set(fb, cut);
    EXPECT_EQ(fb.Uncompress(FILEBUF_DEFLATE), 0) << "stream ends early";
    EXPECT_EQ(content(fb), cut);
}

TEST(FilebufCoding, DecompressionStopsAtTheCeiling)
{
    // 65 MiB of zeros deflate to about 65 KiB.
    Filebuf bomb;
    {
        z_stream zs{};
        ASSERT_EQ(deflateInit2(&zs, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
        std::string zeros(1 << 20, '\0');
        std::vector<unsigned char> out(1 << 16);
        for (int i = 0; i <= 65; i++) {
            zs.next_in = (Bytef *)zeros.data();
            zs.avail_in = (uInt)zeros.size();
            int flush = i == 65 ? Z_FINISH : Z_NO_FLUSH;
            do {
                zs.next_out = out.data();
                zs.avail_out = (uInt)out.size();
                deflate(&zs, flush);
                bomb.Add(out.data(), out.size() - zs.avail_out);
            } while (zs.avail_out == 0);
        }
        deflateEnd(&zs);
    }
    ASSERT_LT(bomb.size, 1u << 20);
    std::string compressed = content(bomb);

    // No caller limit: the 64 MiB ceiling.
    EXPECT_EQ(bomb.Uncompress(FILEBUF_DEFLATE), 0);
    EXPECT_EQ(content(bomb), compressed);

    // The caller's limit, exactly at and just below the result's size.
    Filebuf small;
    std::string two_mib(2 << 20, '\0');
    small.Add(two_mib.data(), two_mib.size());
    ASSERT_EQ(small.Compress(FILEBUF_GZIP), 1);
    std::string gz = content(small);
    EXPECT_EQ(small.Uncompress(FILEBUF_GZIP, (2 << 20) - 1), 0);
    EXPECT_EQ(content(small), gz);
    EXPECT_EQ(small.Uncompress(FILEBUF_GZIP, 2 << 20), 1);
    EXPECT_EQ(small.size, size_t(2) << 20);
}

TEST(FilebufCoding, EncodeAndDecodeChooseTheCoding)
{
    const std::string body = sample_body(4000);
    struct Case {
        const char *accept;
        int result;
        const char *coding;
    } cases[] = {
        {"deflate, gzip", 1, "gzip"}, // gzip wins wherever it appears
        {"GZIP;q=0", 1, "gzip"},      // quality values are not considered
        {"deflate", 1, "deflate"},
        {"br", 0, "br-unchanged"},
        {nullptr, 0, "br-unchanged"},
    };
    for (const Case &c : cases) {
        Filebuf fb;
        set(fb, body);
        char *coding = strdup("br-unchanged");
        EXPECT_EQ(fb.Encode(c.accept, &coding), c.result) << (c.accept ? c.accept : "(null)");
        EXPECT_STREQ(coding, c.coding);
        if (c.result == 0) {
            EXPECT_EQ(content(fb), body);
        } else {
            EXPECT_EQ(fb.Decode(coding), 1) << coding;
            EXPECT_EQ(content(fb), body) << "decoding what was encoded for " << c.accept;
        }
        free(coding);
    }

    Filebuf fb;
    set(fb, body);
    ASSERT_EQ(fb.Compress(FILEBUF_GZIP), 1);
    EXPECT_EQ(fb.Decode("x-gzip"), 1);
    EXPECT_EQ(content(fb), body);
    EXPECT_EQ(fb.Decode("br"), 0);
    EXPECT_EQ(content(fb), body);
}

// Every coding an origin may send, whole, cut short, damaged and past the
// ceiling: only the whole one decodes, and a refused body is left exactly
// as it came, so the modules know it was not decoded.
TEST(FilebufDecode, EachCodingWholeCutCorruptAndOverTheCeiling)
{
    const std::string body = sample_body(300000);
    struct Coding {
        const char *name;  // the Content-Encoding value
        std::string coded;
        bool checked;      // the format holds a check value, so any damage shows
    } codings[] = {
        {"gzip", [&] { Filebuf f; set(f, body); f.Compress(FILEBUF_GZIP); return content(f); }(),
         true},
        {"deflate", [&] {
             uLongf n = compressBound(body.size());
             std::string out(n, '\0');
             EXPECT_EQ(compress((Bytef *)&out[0], &n, (const Bytef *)body.data(), body.size()),
                       Z_OK);
             return out.substr(0, n);
         }(), true},
        {"deflate", raw_deflate(body), false},
        {"br", brotli(body), true},
        {"zstd", zstd(body), true},
    };
    for (const Coding &c : codings) {
        struct Case {
            const char *why;
            std::string input;
            uint64_t limit;
            int result;
        } cases[] = {
            {"whole", c.coded, 0, 1},
            {"whole, limit exactly the decoded size", c.coded, body.size(), 1},
            {"one byte over the caller's limit", c.coded, body.size() - 1, 0},
            {"cut in the middle", c.coded.substr(0, c.coded.size() / 2), 0, 0},
            {"last byte missing", c.coded.substr(0, c.coded.size() - 1), 0, 0},
            {"empty", "", 0, 0},
            {"damaged in the middle",
             [&] { std::string d = c.coded; d[d.size() / 2] ^= 0x5a; return d; }(), 0, 0},
            {"not coded at all", body.substr(0, 5000), 0, 0},
        };
        for (const Case &k : cases) {
            if (!c.checked && strcmp(k.why, "damaged in the middle") == 0)
                continue;
            Filebuf fb;
            set(fb, k.input);
            EXPECT_EQ(fb.Decode(c.name, k.limit), k.result) << c.name << ": " << k.why;
            EXPECT_TRUE(content(fb) == (k.result ? body : k.input)) << c.name << ": " << k.why;
        }
    }
}

TEST(FilebufDecode, BombsStopAtTheDefaultCeiling)
{
    // 65 MiB of zeros code to a few KiB in both formats.
    std::string zeros((65u << 20), '\0');
    for (const std::string &coded : {brotli(zeros), zstd(zeros)}) {
        ASSERT_LT(coded.size(), 1u << 20);
        Filebuf fb;
        set(fb, coded);
        int mode = coded.compare(0, 4, "\x28\xb5\x2f\xfd") == 0 ? FILEBUF_ZSTD : FILEBUF_BROTLI;
        EXPECT_EQ(fb.Uncompress(mode), 0) << mode;
        EXPECT_EQ(content(fb), coded) << mode;
    }
}

TEST(FilebufDecode, CodingListsAreUndoneFromTheLast)
{
    const std::string body = sample_body(20000);
    std::string gz;
    {
        Filebuf f;
        set(f, body);
        ASSERT_EQ(f.Compress(FILEBUF_GZIP), 1);
        gz = content(f);
    }
    // A Zstandard frame asking for a 32 MiB window, more than a
    // recipient has to give.
    std::string wide;
    {
        ZSTD_CCtx *cctx = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 25);
        std::string out(ZSTD_compressBound(body.size()) + 64, '\0');
        ZSTD_outBuffer o = {&out[0], out.size(), 0};
        ZSTD_inBuffer i = {body.data(), body.size(), 0};
        ASSERT_FALSE(ZSTD_isError(ZSTD_compressStream2(cctx, &o, &i, ZSTD_e_continue)));
        ZSTD_inBuffer none = {nullptr, 0, 0};
        ASSERT_EQ(ZSTD_compressStream2(cctx, &o, &none, ZSTD_e_end), 0u);
        out.resize(o.pos);
        ZSTD_freeCCtx(cctx);
        wide = out;
    }
    struct Case {
        const char *why;
        const char *coding;
        std::string input;
        int result;
    } cases[] = {
        {"gzip, then br", "gzip, br", brotli(gz), 1},
        {"br, then zstd, blanks and case", " BR ,zstd", zstd(brotli(body)), 1},
        {"identity is no layer", "identity, zstd", zstd(body), 1},
        {"x-gzip is gzip", "x-gzip", gz, 1},
        {"two zstd frames make one body", "zstd",
         zstd(body.substr(0, 7000)) + zstd(body.substr(7000)), 1},
        {"bytes after the brotli stream are ignored", "br", brotli(body) + "trailing", 1},
        {"bytes after the last zstd frame are ignored", "zstd", zstd(body) + "trailing", 1},
        {"the outer layer is not what it says", "br, gzip", brotli(gz), 0},
        {"an inner layer fails: nothing changes", "br, gzip",
         [&] { Filebuf f; set(f, "not brotli at all"); f.Compress(FILEBUF_GZIP);
               return content(f); }(), 0},
        {"an unknown coding", "compress", gz, 0},
        {"an unknown coding in the list", "gzip, sdch", gz, 0},
        {"identity alone decodes nothing", "identity", body, 0},
        {"more codings than allowed", "gzip, gzip, gzip, gzip, gzip", gz, 0},
        {"a window over 8 MiB", "zstd", wide, 0},
    };
    for (const Case &c : cases) {
        Filebuf fb;
        set(fb, c.input);
        EXPECT_EQ(fb.Decode(c.coding), c.result) << c.why;
        EXPECT_TRUE(content(fb) == (c.result ? body : c.input)) << c.why;
    }
}

// Scratch buffers come back empty, with no type, so that nothing of one
// message reaches the next; nested ones are distinct; one that grew past a
// step is not kept, so a large message leaves no large buffer behind.
TEST(ScratchFilebufTest, ReusedEmptyDistinctAndBounded)
{
    Filebuf *first = nullptr;
    {
        ScratchFilebuf a;
        a->Add("HTTP/1.1 200 OK\r\n", 17);
        a->type = strdup("text/html");
        first = a.get();
    }
    {
        ScratchFilebuf b;
        EXPECT_EQ(b.get(), first) << "the spare is taken again";
        EXPECT_EQ(b->size, 0u);
        EXPECT_EQ(b->type, nullptr);
        EXPECT_EQ(b->capacity, (size_t)SCRATCH_FILEBUF_ROOM) << "its allocation stays";

        ScratchFilebuf inner;
        EXPECT_NE(inner.get(), b.get());
        set(*inner.get(), "inner");
        set(*b.get(), "outer");
        EXPECT_EQ(content(*inner.get()), "inner");
        EXPECT_EQ(content(*b.get()), "outer");
    }
    {
        // A text past the room grows the buffer as any other.
        ScratchFilebuf big;
        std::string text(3 * FILEBUF_STEP, 'x');
        set(*big.get(), text);
        EXPECT_EQ(content(*big.get()), text);
    }
    // Every spare at once, and more: none is the grown one.
    std::vector<std::unique_ptr<ScratchFilebuf>> held;
    for (int i = 0; i < SCRATCH_FILEBUF_SPARES + 2; i++) {
        held.emplace_back(new ScratchFilebuf());
        EXPECT_EQ(held.back()->get()->capacity, (size_t)SCRATCH_FILEBUF_ROOM);
        EXPECT_EQ(held.back()->get()->size, 0u);
    }
}

} // namespace
