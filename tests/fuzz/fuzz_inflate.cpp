// Compressed bodies as an origin sends them: Filebuf::Uncompress in gzip
// and deflate mode and Filebuf::Decode under the Content-Encoding names,
// with a small ceiling so a bomb is refused quickly.  A refused body is
// left as it was; a decoded one is within the ceiling; what Compress made
// decodes back to the bytes.
#include <cstdlib>
#include <cstring>
#include <string>

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
    static const char *const encodings[] = {"gzip", "deflate", "x-gzip", "GZIP",
                                            "identity", "br", "", " gzip"};
    uint8_t selector = data[0];
    std::string bytes = fuzz_text(data + 1, size - 1);

    {
        Filebuf buf;
        fill(&buf, bytes);
        check(buf.Uncompress(selector & 1 ? FILEBUF_GZIP : FILEBUF_DEFLATE, ceiling), buf, bytes);
    }
    {
        Filebuf buf;
        fill(&buf, bytes);
        const char *name = encodings[(selector >> 1) % (sizeof(encodings) / sizeof(*encodings))];
        check(buf.Decode(name, ceiling), buf, bytes);
    }
    for (int mode : {FILEBUF_DEFLATE, FILEBUF_GZIP}) {
        Filebuf buf;
        fill(&buf, bytes);
        if (buf.Compress(mode) != 1 || buf.Uncompress(mode, ceiling) != 1 ||
            content(buf) != bytes)
            abort();
    }
    return 0;
}
