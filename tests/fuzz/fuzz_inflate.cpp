// Compressed bodies as an origin sends them: Filebuf::Uncompress in gzip,
// deflate, brotli and zstd mode and Filebuf::Decode under the
// Content-Encoding names and lists of them, with a small ceiling so a bomb
// is refused quickly.  A refused body is left as it was; a decoded one is
// within the ceiling; what Compress, the brotli encoder and the zstd
// encoder made decodes back to the bytes.
//
// The first byte picks the mode (bit 7 set: brotli, or zstd with bit 0;
// else gzip with bit 0, or deflate) and, with its other bits, the name.
#include <cstdlib>
#include <cstring>
#include <string>

#include <brotli/encode.h>
#include <zstd.h>

#include "fuzz.h"
#include "runtime/filebuf.h"

namespace {

const uint64_t ceiling = 1 << 20;

void fill(Filebuf *buf, const std::string &bytes)
{
    if (!bytes.empty())
        buf->Add(bytes.data(), bytes.size());
}

std::string content(const Filebuf &buf)
{
    return std::string(buf.data ? buf.data : "", buf.size);
}

void check(int ok, const Filebuf &buf, const std::string &before)
{
    if (ok == 0 && content(buf) != before)
        abort();
    if (ok == 1 && buf.size > ceiling)
        abort();
    if (ok != 0 && ok != 1)
        abort();
}

std::string brotli(const std::string &bytes)
{
    size_t size = BrotliEncoderMaxCompressedSize(bytes.size());
    std::string out(size ? size : 16, '\0');
    size = out.size();
    if (BrotliEncoderCompress(1, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, bytes.size(),
                              (const uint8_t *)bytes.data(), &size,
                              (uint8_t *)&out[0]) != BROTLI_TRUE)
        abort();
    out.resize(size);
    return out;
}

std::string zstd(const std::string &bytes)
{
    std::string out(ZSTD_compressBound(bytes.size()), '\0');
    size_t n = ZSTD_compress(&out[0], out.size(), bytes.data(), bytes.size(), 1);
    if (ZSTD_isError(n))
        abort();
    out.resize(n);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const char *const encodings[] = {
        "gzip", "deflate", "x-gzip", "GZIP", "identity", "br", "", " gzip",
        "zstd", "gzip, br", "br, zstd", "x-gzip, zstd", "zstd, br"};
    uint8_t selector = data[0];
    std::string bytes = fuzz_text(data + 1, size - 1);
    int mode = selector & 0x80 ? (selector & 1 ? FILEBUF_ZSTD : FILEBUF_BROTLI)
                               : (selector & 1 ? FILEBUF_GZIP : FILEBUF_DEFLATE);

    {
        Filebuf buf;
        fill(&buf, bytes);
        check(buf.Uncompress(mode, ceiling), buf, bytes);
    }
    {
        Filebuf buf;
        fill(&buf, bytes);
        const char *name = encodings[(selector >> 1) % (sizeof(encodings) / sizeof(*encodings))];
        check(buf.Decode(name, ceiling), buf, bytes);
    }
    for (int coding : {FILEBUF_DEFLATE, FILEBUF_GZIP}) {
        Filebuf buf;
        fill(&buf, bytes);
        if (buf.Compress(coding) != 1 || buf.Uncompress(coding, ceiling) != 1 ||
            content(buf) != bytes)
            abort();
    }
    {
        Filebuf buf;
        fill(&buf, brotli(bytes));
        if (buf.Uncompress(FILEBUF_BROTLI, ceiling) != 1 || content(buf) != bytes)
            abort();
    }
    {
        Filebuf buf;
        fill(&buf, zstd(bytes));
        if (buf.Uncompress(FILEBUF_ZSTD, ceiling) != 1 || content(buf) != bytes)
            abort();
    }
    return 0;
}
