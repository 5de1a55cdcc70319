// Filebuf: growable byte buffer with deflate and gzip coding of its content,
// and decoding of gzip, deflate, brotli and Zstandard.
#include "runtime/filebuf.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include "engine/options.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

enum InflateResult { INFLATE_DONE, INFLATE_FAILED, INFLATE_TOO_LARGE };

size_t round_to_step(size_t n);
size_t output_room(Filebuf *out, uint64_t limit);
InflateResult inflate_into(Filebuf *out, const unsigned char *in, size_t len,
                           int window_bits, uint64_t limit, size_t *consumed,
                           int *code);
InflateResult brotli_into(Filebuf *out, const unsigned char *in, size_t len, uint64_t limit,
                          const char **error);
InflateResult zstd_into(Filebuf *out, const unsigned char *in, size_t len, uint64_t limit,
                        const char **error);
bool zstd_frame_start(const unsigned char *p, size_t len);
int coding_mode(const char *name, size_t length);
size_t gzip_header_length(const unsigned char *p, size_t len);
bool zlib_header(const unsigned char *p, size_t len);
uint32_t le32(const unsigned char *p);

// Block through which compression writes its output.
const size_t ZBLOCK = 8192;

// zlib counts its input in unsigned int; longer content is fed in pieces.
const size_t ZCHUNK = UINT_MAX;

// Largest output room given to one inflate call.
const size_t ZROOM_MAX = 16 * 1024 * 1024;

// gzip header flags (RFC 1952).
const unsigned char GZ_FHCRC = 0x02;
const unsigned char GZ_FEXTRA = 0x04;
const unsigned char GZ_FNAME = 0x08;
const unsigned char GZ_FCOMMENT = 0x10;
const unsigned char GZ_RESERVED = 0xe0;

// The header Compress writes: no flags, no time, operating system Unix.
const unsigned char gzip_header[10] = {0x1f, 0x8b, 0x08, 0, 0, 0, 0, 0, 0, 0x03};

size_t round_to_step(size_t n)
{
    if (n > SIZE_MAX - (FILEBUF_STEP - 1))
        assert_fail(__FILE__, __LINE__, __func__, n);
    return (n + FILEBUF_STEP - 1) / FILEBUF_STEP * FILEBUF_STEP;
}

uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
           (uint32_t)p[3] << 24;
}

// Length of the gzip member header at p, optional fields included, or 0
// when it is not a deflate gzip header or is cut short.
size_t gzip_header_length(const unsigned char *p, size_t len)
{
    if (len < 10 || p[0] != 0x1f || p[1] != 0x8b || p[2] != 8)
        return 0;
    unsigned char flags = p[3];
    if (flags & GZ_RESERVED)
        return 0;
    size_t pos = 10;
    if (flags & GZ_FEXTRA) {
        if (len - pos < 2)
            return 0;
        size_t xlen = (size_t)p[pos] | (size_t)p[pos + 1] << 8;
        pos += 2;
        if (len - pos < xlen)
            return 0;
        pos += xlen;
    }
    for (unsigned char field : {GZ_FNAME, GZ_FCOMMENT}) {
        if (!(flags & field))
            continue;
        const void *end = memchr(p + pos, '\0', len - pos);
        if (end == nullptr)
            return 0;
        pos = (size_t)((const unsigned char *)end - p) + 1;
    }
    if (flags & GZ_FHCRC) {
        if (len - pos < 2)
            return 0;
        pos += 2;
    }
    return pos;
}

// Whether the data begins with a zlib (RFC 1950) header: deflate method,
// a window of at most 32 KiB, no preset dictionary, valid check bits.
bool zlib_header(const unsigned char *p, size_t len)
{
    return len >= 2 && (p[0] & 0x0f) == 8 && (p[0] >> 4) <= 7 &&
           !(p[1] & 0x20) && ((unsigned)p[0] << 8 | p[1]) % 31 == 0;
}

// Grows out by the room the next decoding step may fill and returns that
// room.  It doubles with the result (up to ZROOM_MAX), so a large body
// costs few reallocations, and never reaches more than one byte past the
// limit, the byte that tells the result is too large.
size_t output_room(Filebuf *out, uint64_t limit)
{
    size_t old = out->size;
    size_t room = old < ZBLOCK ? ZBLOCK : old < ZROOM_MAX ? old : ZROOM_MAX;
    if (limit - old < room)
        room = (size_t)(limit - old) + 1;
    out->Resize(old + room);
    return room;
}

// Inflates one stream from in and appends the result to out.  Stops with
// INFLATE_TOO_LARGE as soon as out would hold more than limit bytes.  On
// INFLATE_DONE *consumed is the number of input bytes the stream took; on
// INFLATE_FAILED *code is the last zlib result (0 when the input ended
// before the stream did, -1000 when the inflater could not be set up).
InflateResult inflate_into(Filebuf *out, const unsigned char *in, size_t len,
                           int window_bits, uint64_t limit, size_t *consumed,
                           int *code)
{
    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (inflateInit2(&zs, window_bits) != Z_OK) {
        *code = -1000;
        return INFLATE_FAILED;
    }

    InflateResult result = INFLATE_FAILED;
    size_t fed = 0;
    int ret = Z_OK;
    for (;;) {
        if (zs.avail_in == 0 && fed < len) {
            size_t piece = len - fed < ZCHUNK ? len - fed : ZCHUNK;
            zs.next_in = const_cast<unsigned char *>(in + fed);
            zs.avail_in = (uInt)piece;
            fed += piece;
        }
        size_t old = out->size;
        size_t room = output_room(out, limit);
        zs.next_out = (unsigned char *)out->data + old;
        zs.avail_out = (uInt)room;
        ret = inflate(&zs, Z_NO_FLUSH);
        out->Resize(old + room - zs.avail_out);

        if (out->size > limit) {
            result = INFLATE_TOO_LARGE;
            break;
        }
        if (ret == Z_STREAM_END) {
            result = INFLATE_DONE;
            break;
        }
        bool input_done = zs.avail_in == 0 && fed == len;
        if (ret == Z_BUF_ERROR && input_done) {
            ret = 0; // the input ended before the stream did
            break;
        }
        if (ret != Z_OK)
            break;
        if (input_done && zs.avail_out != 0) {
            ret = 0;
            break;
        }
    }
    *consumed = fed - zs.avail_in;
    *code = ret;
    inflateEnd(&zs);
    return result;
}

// Decodes one brotli stream from in and appends the result to out; what
// follows the stream's end is ignored.  Stops with INFLATE_TOO_LARGE as
// soon as out would hold more than limit bytes.  On INFLATE_FAILED *error
// says why.
InflateResult brotli_into(Filebuf *out, const unsigned char *in, size_t len, uint64_t limit,
                          const char **error)
{
    BrotliDecoderState *state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (state == nullptr) {
        *error = "decoder could not be set up";
        return INFLATE_FAILED;
    }
    InflateResult result = INFLATE_FAILED;
    const uint8_t *next_in = in;
    size_t avail_in = len;
    for (;;) {
        size_t old = out->size;
        size_t room = output_room(out, limit);
        uint8_t *next_out = (uint8_t *)out->data + old;
        size_t avail_out = room;
        BrotliDecoderResult ret =
            BrotliDecoderDecompressStream(state, &avail_in, &next_in, &avail_out, &next_out,
                                          nullptr);
        out->Resize(old + room - avail_out);
        if (out->size > limit) {
            result = INFLATE_TOO_LARGE;
            break;
        }
        if (ret == BROTLI_DECODER_RESULT_SUCCESS) {
            result = INFLATE_DONE;
            break;
        }
        if (ret == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT)
            continue;
        // Needing more input means all of it was taken: the stream is cut.
        *error = ret == BROTLI_DECODER_RESULT_ERROR
                     ? BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state))
                     : "input ends early";
        break;
    }
    BrotliDecoderDestroyInstance(state);
    return result;
}

// Whether the data begins with the magic number of a Zstandard frame or of
// a skippable frame (RFC 8878).
bool zstd_frame_start(const unsigned char *p, size_t len)
{
    if (len < 4)
        return false;
    uint32_t magic = le32(p);
    return magic == ZSTD_MAGICNUMBER || (magic & 0xfffffff0u) == ZSTD_MAGIC_SKIPPABLE_START;
}

// Decodes the Zstandard frames from in, one after the other, and appends
// the result to out; bytes after a frame that start no other frame are
// ignored.  A frame whose window passes FILEBUF_ZSTD_WINDOW_LOG is
// refused.  Results as for brotli_into.
InflateResult zstd_into(Filebuf *out, const unsigned char *in, size_t len, uint64_t limit,
                        const char **error)
{
    ZSTD_DCtx *dctx = ZSTD_createDCtx();
    if (dctx == nullptr) {
        *error = "decoder could not be set up";
        return INFLATE_FAILED;
    }
    InflateResult result = INFLATE_FAILED;
    size_t ret = ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, FILEBUF_ZSTD_WINDOW_LOG);
    ZSTD_inBuffer input = {in, len, 0};
    while (!ZSTD_isError(ret)) {
        size_t old = out->size;
        size_t room = output_room(out, limit);
        ZSTD_outBuffer output = {out->data + old, room, 0};
        ret = ZSTD_decompressStream(dctx, &output, &input);
        out->Resize(old + output.pos);
        if (out->size > limit) {
            result = INFLATE_TOO_LARGE;
            break;
        }
        if (ZSTD_isError(ret))
            break;
        if (ret == 0) {
            // A frame ended: another may follow.
            if (!zstd_frame_start(in + input.pos, len - input.pos)) {
                result = INFLATE_DONE;
                break;
            }
            continue;
        }
        // The frame wants more input than there is.
        if (input.pos == input.size && output.pos < room) {
            *error = "input ends early";
            break;
        }
    }
    if (result == INFLATE_FAILED && ZSTD_isError(ret))
        *error = ZSTD_getErrorName(ret);
    ZSTD_freeDCtx(dctx);
    return result;
}

// The Uncompress mode of a content-coding name (length bytes, case
// ignored), -1 for "identity", -2 for a coding this buffer cannot undo.
int coding_mode(const char *name, size_t length)
{
    static const struct {
        const char *name;
        int mode;
    } codings[] = {
        {"gzip", FILEBUF_GZIP}, {"x-gzip", FILEBUF_GZIP}, {"deflate", FILEBUF_DEFLATE},
        {"br", FILEBUF_BROTLI}, {"zstd", FILEBUF_ZSTD},   {"identity", -1},
    };
    for (const auto &c : codings)
        if (strlen(c.name) == length && strncasecmp(name, c.name, length) == 0)
            return c.mode;
    return -2;
}

} // namespace

Filebuf::~Filebuf()
{
    free(data);
    free(type);
}

namespace {

// The calling thread's spare scratch buffers, freed when the thread ends.
struct ScratchSpares {
    Filebuf *spare[SCRATCH_FILEBUF_SPARES] = {};
    int count = 0;
    void free_all()
    {
        while (count > 0)
            delete spare[--count];
    }
    ~ScratchSpares() { free_all(); }
};

thread_local ScratchSpares scratch_spares;

} // namespace

void scratch_filebuf_spares_free()
{
    scratch_spares.free_all();
}

ScratchFilebuf::ScratchFilebuf()
{
    ScratchSpares &s = scratch_spares;
    if (s.count > 0) {
        buf = s.spare[--s.count];
        return;
    }
    // Room for a usual message head; a larger text grows the buffer in
    // steps as in any other, and such a buffer is not kept.
    buf = new Filebuf();
    buf->data = (char *)xmalloc(SCRATCH_FILEBUF_ROOM);
    ASSERT_ALLOC(buf->data, SCRATCH_FILEBUF_ROOM);
    buf->capacity = SCRATCH_FILEBUF_ROOM;
}

ScratchFilebuf::~ScratchFilebuf()
{
    ScratchSpares &s = scratch_spares;
    if (buf->capacity != SCRATCH_FILEBUF_ROOM || s.count == SCRATCH_FILEBUF_SPARES) {
        delete buf;
        return;
    }
    buf->size = 0;
    free(buf->type);
    buf->type = nullptr;
    s.spare[s.count++] = buf;
}

void Filebuf::Resize(size_t n)
{
    // Reallocate when growing past the capacity, or when shrinking by more
    // than one step so that memory goes back.
    if (capacity < n || capacity - n > FILEBUF_STEP || data == nullptr) {
        if (n == 0) {
            size = 0;
            return;
        }
        size_t want = round_to_step(n);
        char *grown = (char *)xrealloc(data, want);
        ASSERT_ALLOC(grown, want);
        data = grown;
        capacity = want;
    }
    size = n;
}

void Filebuf::Add(const void *bytes, size_t length)
{
    size_t old = size;
    if (length > SIZE_MAX - old)
        assert_fail(__FILE__, __LINE__, __func__, SIZE_MAX);
    Resize(old + length);
    if (length > 0)
        memcpy(data + old, bytes, length);
}

void Filebuf::Addf(const char *format, ...)
{
    char text[8192];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0)
        return;
    if ((size_t)n >= sizeof(text))
        n = sizeof(text) - 1;
    Add(text, (size_t)n);
}

void Filebuf::Replace(size_t start, size_t end, const char *text)
{
    ASSERT(start <= end && end <= size);
    size_t old_len = end - start;
    size_t new_len = strlen(text);
    size_t tail = size - end;

    if (new_len > old_len) {
        Resize(size + (new_len - old_len));
        memmove(data + start + new_len, data + end, tail);
    } else if (new_len < old_len) {
        memmove(data + start + new_len, data + end, tail);
        Resize(size - (old_len - new_len));
    }
    if (new_len > 0)
        memcpy(data + start, text, new_len);
}

void Filebuf::Trim(size_t n)
{
    ASSERT(n <= size);
    if (n == 0)
        return;
    memmove(data, data + n, size - n);
    Resize(size - n);
}

void Filebuf::Shorten()
{
    if (capacity <= size)
        return;
    if (size == 0) {
        free(data);
        data = nullptr;
        capacity = 0;
        return;
    }
    char *shrunk = (char *)xrealloc(data, size);
    ASSERT_ALLOC(shrunk, size);
    data = shrunk;
    capacity = size;
}

Filebuf *Filebuf::Dup() const
{
    Filebuf *copy = new Filebuf;
    if (size > 0) {
        copy->data = (char *)xmalloc(size);
        ASSERT_ALLOC(copy->data, size);
        memcpy(copy->data, data, size);
        copy->size = size;
        copy->capacity = size;
    }
    return copy;
}

void Filebuf::Swap(Filebuf *other)
{
    free(data);
    if (other == nullptr) {
        data = nullptr;
        size = 0;
        capacity = 0;
        return;
    }
    data = other->data;
    size = other->size;
    capacity = other->capacity;
    other->data = nullptr;
    other->size = 0;
    other->capacity = 0;
}

ssize_t Filebuf::Save(int fd) const
{
    return fd_write_all(fd, data, size);
}

ssize_t Filebuf::Save(const char *path) const
{
    // The new content goes to a temporary file beside the target and is
    // renamed over it, so a reader or a crash never sees a half-written or
    // mixed file.
    // A symbolic link stays in place: the file it points to is replaced.
    char *resolved = realpath(path, nullptr);
    std::string target = resolved != nullptr ? resolved : path;
    free(resolved);
    path = target.c_str();

    static std::atomic<unsigned> serial{0};
    std::string temp = target + "." + std::to_string((long)getpid()) + "." +
                       std::to_string(serial.fetch_add(1)) + ".tmp";

    // An existing file keeps its permissions; a new one gets 0644.
    mode_t mode = 0644;
    struct stat st;
    bool existing = stat(path, &st) == 0 && S_ISREG(st.st_mode);
    if (existing)
        mode = st.st_mode & 07777;

    int fd = s_open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        putlog_system(LOG_ERROR, "open", errno, ", in %s, failed to open file %s",
                      "Filebuf::Save", temp.c_str());
        return -1;
    }

    const char *failed = nullptr;
    ssize_t written = fd_write_all(fd, data, size);
    if (written < 0)
        failed = "write";
    else if (existing && fchmod(fd, mode) != 0)
        failed = "fchmod";
    else if (fsync(fd) != 0)
        failed = "fsync";
    int saved_errno = errno;
    if (close(fd) != 0 && failed == nullptr) {
        failed = "close";
        saved_errno = errno;
    }
    if (failed == nullptr && rename(temp.c_str(), path) != 0) {
        failed = "rename";
        saved_errno = errno;
    }
    if (failed != nullptr) {
        putlog_system(LOG_ERROR, failed, saved_errno, ", in %s, failed to save file %s",
                      "Filebuf::Save", path);
        unlink(temp.c_str());
        return -1;
    }
    return written;
}

ssize_t Filebuf::Read(const char *path)
{
    int fd = s_open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;

    size_t start = size;
    size_t block = block_size();
    for (;;) {
        size_t old = size;
        Resize(old + block);
        ssize_t n = read(fd, data + old, block);
        if (n < 0) {
            if (errno == EINTR) {
                Resize(old);
                continue;
            }
            // A file read only in part is not the file: give back nothing.
            putlog_system(LOG_ERROR, "read", errno, ", in %s, failed to read file %s",
                          "Filebuf::Read", path);
            Resize(start);
            close(fd);
            return -1;
        }
        Resize(old + (size_t)n);
        if (n == 0)
            break;
    }
    if (close(fd) != 0)
        putlog_system(LOG_ERROR, "close", errno, ", in %s, failed to close file %s",
                      "Filebuf::Read", path);
    return (ssize_t)(size - start);
}

STACK_T *Filebuf::to_stack() const
{
    if (data == nullptr)
        return nullptr;

    STACK_T *first = nullptr;
    STACK_T *last = nullptr;
    size_t pos = 0;
    do {
        const char *nl = (const char *)memchr(data + pos, '\n', size - pos);
        size_t end = nl != nullptr ? (size_t)(nl - data) : size;

        STACK_T *node = (STACK_T *)xmalloc(sizeof(STACK_T));
        ASSERT_ALLOC(node, sizeof(STACK_T));
        node->line = xstrndup(data + pos, end - pos);
        node->next = nullptr;
        node->previous = last;
        if (last != nullptr)
            last->next = node;
        else
            first = node;
        last = node;
        pos = end + 1;
        // A newline at the very end adds no empty last line.
    } while (pos < size);
    return first;
}

int Filebuf::Compress(int mode)
{
    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    if (deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;

    Filebuf result;
    if (mode == FILEBUF_GZIP)
        result.Add(gzip_header, sizeof(gzip_header));

    unsigned char block[ZBLOCK];
    int ret = Z_OK;
    size_t fed = 0;
    while (fed < size && ret == Z_OK) {
        size_t piece = size - fed < ZCHUNK ? size - fed : ZCHUNK;
        zs.next_in = (unsigned char *)data + fed;
        zs.avail_in = (uInt)piece;
        fed += piece;
        while (zs.avail_in > 0) {
            zs.next_out = block;
            zs.avail_out = sizeof(block);
            ret = deflate(&zs, Z_NO_FLUSH);
            if (ret != Z_OK)
                break;
            result.Add(block, sizeof(block) - zs.avail_out);
        }
    }

    if (ret == Z_OK) {
        for (;;) {
            zs.next_out = block;
            zs.avail_out = sizeof(block);
            ret = deflate(&zs, Z_FINISH);
            size_t produced = sizeof(block) - zs.avail_out;
            result.Add(block, produced);
            if (ret == Z_STREAM_END || ret != Z_OK)
                break;
        }
    }
    deflateEnd(&zs);
    if (ret != Z_STREAM_END) {
        zlib_error(ret);
        return 0;
    }

    if (mode == FILEBUF_GZIP) {
        uint32_t crc = (uint32_t)crc32_z(0L, (const Bytef *)data, size);
        uint32_t isize = (uint32_t)size;
        unsigned char trailer[8];
        for (int i = 0; i < 4; i++) {
            trailer[i] = (unsigned char)(crc >> (8 * i));
            trailer[4 + i] = (unsigned char)(isize >> (8 * i));
        }
        result.Add(trailer, sizeof(trailer));
    }
    Swap(&result);
    return 1;
}

int Filebuf::Uncompress(int mode, uint64_t limit)
{
    if (limit == 0)
        limit = FILEBUF_INFLATE_LIMIT;
    const unsigned char *in = (const unsigned char *)data;

    Filebuf result;
    InflateResult outcome = INFLATE_FAILED;
    int code = 0;
    size_t consumed = 0;

    if (mode == FILEBUF_BROTLI || mode == FILEBUF_ZSTD) {
        const char *error = "";
        outcome = mode == FILEBUF_BROTLI ? brotli_into(&result, in, size, limit, &error)
                                         : zstd_into(&result, in, size, limit, &error);
        const char *library = mode == FILEBUF_BROTLI ? "brotli" : "zstd";
        if (outcome == INFLATE_TOO_LARGE) {
            putlog(LOG_ERROR, "%s: decompressed content larger than %llu bytes", library,
                   (unsigned long long)limit);
            return 0;
        }
        if (outcome == INFLATE_FAILED) {
            putlog(LOG_ERROR, "%s: %s", library, error);
            return 0;
        }
        Swap(&result);
        return 1;
    }
    if (mode == FILEBUF_GZIP) {
        if (size <= 17)
            return 0;
        // One member after the other; bytes after the last member that do
        // not start another one are ignored, as gzip(1) does.
        size_t pos = 0;
        do {
            size_t header = gzip_header_length(in + pos, size - pos);
            if (header == 0) {
                outcome = INFLATE_FAILED;
                code = Z_DATA_ERROR;
                break;
            }
            size_t member_start = result.size;
            pos += header;
            outcome = inflate_into(&result, in + pos, size - pos, -15, limit, &consumed,
                                   &code);
            if (outcome != INFLATE_DONE)
                break;
            pos += consumed;
            if (size - pos < 8) {
                outcome = INFLATE_FAILED;
                code = 0;
                break;
            }
            size_t produced = result.size - member_start;
            uint32_t crc = (uint32_t)crc32_z(0L, (const Bytef *)result.data + member_start,
                                             produced);
            if (le32(in + pos) != crc || le32(in + pos + 4) != (uint32_t)produced) {
                outcome = INFLATE_FAILED;
                code = Z_DATA_ERROR;
                break;
            }
            pos += 8;
        } while (size - pos >= 18 && in[pos] == 0x1f && in[pos + 1] == 0x8b);
    } else {
        // "deflate" is meant to be zlib-wrapped, but many servers send raw
        // deflate: take the wrapper when the data starts with one, and fall
        // back to raw data when that does not decode.
        if (zlib_header(in, size)) {
            outcome = inflate_into(&result, in, size, 15, limit, &consumed, &code);
            if (outcome == INFLATE_FAILED)
                result.Resize(0);
        }
        if (outcome == INFLATE_FAILED)
            outcome = inflate_into(&result, in, size, -15, limit, &consumed, &code);
    }

    if (outcome == INFLATE_TOO_LARGE) {
        putlog(LOG_ERROR, "zlib: decompressed content larger than %llu bytes",
               (unsigned long long)limit);
        return 0;
    }
    if (outcome == INFLATE_FAILED) {
        // A failing set-up returns 0 with no message.
        if (code != -1000)
            zlib_error(code);
        return 0;
    }
    Swap(&result);
    return 1;
}

int Filebuf::Encode(const char *accept_encoding, char **content_encoding)
{
    ASSERT(content_encoding != nullptr);
    if (accept_encoding == nullptr)
        return 0;

    // Quality values are not considered; gzip wins whenever it is named.
    const char *coding;
    if (strcasestr(accept_encoding, "gzip") != nullptr) {
        if (!Compress(FILEBUF_GZIP)) {
            putlog(LOG_ERROR, "failed to gzip encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "gzip encoded file");
        coding = "gzip";
    } else if (strcasestr(accept_encoding, "deflate") != nullptr) {
        if (!Compress(FILEBUF_DEFLATE)) {
            putlog(LOG_ERROR, "failed to deflate encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "deflate encoded file");
        coding = "deflate";
    } else {
        return 0;
    }

    free(*content_encoding);
    *content_encoding = xstrdup(coding);
    return 1;
}

int Filebuf::Decode(const char *content_encoding, uint64_t limit)
{
    if (content_encoding == nullptr)
        return 0;

    // The codings in the order they were applied.
    int modes[FILEBUF_CODINGS_MAX];
    const char *names[FILEBUF_CODINGS_MAX];
    int count = 0;
    for (const char *p = content_encoding; *p;) {
        p += strspn(p, " \t,");
        size_t length = strcspn(p, " \t,");
        if (length == 0)
            continue;
        int mode = coding_mode(p, length);
        if (mode == -2) {
            putlog(LOG_WARNING, "unhandled content encoding: %s", content_encoding);
            return 0;
        }
        if (mode != -1) {
            if (count == FILEBUF_CODINGS_MAX) {
                putlog(LOG_WARNING, "content encoding with more than %d codings: %s",
                       FILEBUF_CODINGS_MAX, content_encoding);
                return 0;
            }
            static const char *const mode_names[] = {"deflate", "gzip", "br", "zstd"};
            names[count] = mode_names[mode];
            modes[count++] = mode;
        }
        p += length;
    }
    if (count == 0) {
        putlog(LOG_WARNING, "unhandled content encoding: %s", content_encoding);
        return 0;
    }

    // Layers are undone on a copy, so that a failing inner one leaves the
    // body as it came; a single coding fails without changing it anyway.
    Filebuf copy;
    Filebuf *work = this;
    if (count > 1) {
        copy.Add(data, size);
        work = &copy;
    }
    for (int i = count - 1; i >= 0; i--) {
        if (!work->Uncompress(modes[i], limit)) {
            putlog(LOG_ERROR, "failed to decompress %s encoded content", names[i]);
            return 0;
        }
    }
    if (work != this)
        Swap(&copy);
    putlog(LOG_DEBUG, "decompressed %s encoded file", content_encoding);
    return 1;
}

void zlib_error(int code)
{
    switch (code) {
    case Z_NEED_DICT:
        putlog(LOG_ERROR, "zlib: dictionary error");
        break;
    case Z_BUF_ERROR:
        putlog(LOG_ERROR, "zlib: buffer error");
        break;
    case Z_MEM_ERROR:
        putlog(LOG_ERROR, "zlib: memory error");
        break;
    case Z_DATA_ERROR:
        putlog(LOG_ERROR, "zlib: data error");
        break;
    case Z_STREAM_ERROR:
        putlog(LOG_ERROR, "zlib: stream error");
        break;
    default:
        putlog(LOG_ERROR, "zlib: unknown error %d", code);
        break;
    }
}
