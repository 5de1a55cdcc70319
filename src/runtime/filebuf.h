// Filebuf: the growable byte buffer that holds every body, page and report,
// with deflate/gzip compression of its own content and decoding of the
// content codings origins send (gzip, deflate, br, zstd).
#ifndef KV_RUNTIME_FILEBUF_H
#define KV_RUNTIME_FILEBUF_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct STACK_T;

// Allocation step of the buffer: it grows and shrinks in units of 64 KiB.
#define FILEBUF_STEP 65536

// Ceiling of Uncompress when the caller gives none: a small compressed body
// must not expand into all of memory.
#define FILEBUF_INFLATE_LIMIT ((uint64_t)64 * 1024 * 1024)

// Modes of Compress and Uncompress (Compress knows the first two only).
enum {
    FILEBUF_DEFLATE = 0, // raw deflate (zlib-wrapped data is accepted on input)
    FILEBUF_GZIP = 1,    // gzip framing around raw deflate
    FILEBUF_BROTLI = 2,  // brotli (RFC 7932), Content-Encoding "br"
    FILEBUF_ZSTD = 3,    // Zstandard frames (RFC 8878), Content-Encoding "zstd"
};

// Most codings Decode undoes for one body: a longer list of codings is
// refused rather than decoded layer after layer, each up to the ceiling.
#define FILEBUF_CODINGS_MAX 4

// Largest Zstandard window Decode accepts, as a power of 2 (8 MiB, the
// most an HTTP recipient has to support): a frame that asks for more
// memory is refused.
#define FILEBUF_ZSTD_WINDOW_LOG 23

class Filebuf {
public:
    size_t size = 0;       // bytes in use
    size_t capacity = 0;   // bytes allocated: 0, a multiple of FILEBUF_STEP,
                           // exactly size after Shorten and Dup, or
                           // SCRATCH_FILEBUF_ROOM in a new ScratchFilebuf
    char *data = nullptr;  // the bytes; null while nothing was ever stored
    char *type = nullptr;  // MIME type of a page held here, or null

    Filebuf() = default;
    ~Filebuf();
    Filebuf(const Filebuf &) = delete;
    Filebuf &operator=(const Filebuf &) = delete;

    // Sets size to n, reallocating when n exceeds the capacity or falls more
    // than FILEBUF_STEP below it.  Bytes gained by growth are not cleared.
    void Resize(size_t n);

    void Add(const void *bytes, size_t length);

    // Appends at most 8191 characters of formatted text, without terminator.
    void Addf(const char *format, ...) __attribute__((format(printf, 2, 3)));

    // Replaces bytes [start, end) by the text (without its terminator).
    void Replace(size_t start, size_t end, const char *text);

    // Drops the first n bytes; n beyond size is a fatal assertion.
    void Trim(size_t n);

    // Gives back the unused capacity.
    void Shorten();

    // A new buffer with a copy of the bytes (type is not copied).
    Filebuf *Dup() const;

    // Takes over other's bytes and leaves other empty; null empties this one.
    void Swap(Filebuf *other);

    // Writes the whole content to the descriptor; the bytes written, or -1
    // when a write fails.
    ssize_t Save(int fd) const;

    // Replaces the file at path by the content: written to a temporary file
    // in the same directory, flushed and renamed over path.  The bytes
    // written, or -1 (logged) when any step fails; path is then untouched.
    ssize_t Save(const char *path) const;

    // Appends the whole content of the file; the bytes appended, or -1 when
    // it cannot be opened or a read fails (nothing is appended then).
    ssize_t Read(const char *path);

    // The content split at newlines into a new line list, or null when no
    // data was ever stored.
    STACK_T *to_stack() const;

    // Compresses the content in place.  1 on success, 0 (content unchanged)
    // on failure.
    int Compress(int mode);

    // Decompresses the content in place; limit is the largest result allowed
    // (0: FILEBUF_INFLATE_LIMIT).  In gzip mode the header's optional fields
    // are skipped and the trailer's CRC-32 and length verified; in deflate
    // mode both raw and zlib-wrapped streams decode; in zstd mode every
    // frame decodes, one after the other.  As gzip(1) does, bytes after the
    // last gzip member, brotli stream or zstd frame that do not start
    // another one are ignored.  1 on success, 0 (logged, content unchanged)
    // on failure, when the input ends early, or when the result would pass
    // the limit.
    int Uncompress(int mode, uint64_t limit = 0);

    // Applies the coding the client accepts to a response body.  The caller
    // decides whether coding is wanted (CONN_DECODE clear, compressout_get
    // 1) and passes the request's Accept-Encoding value.  On success the
    // response's Content-Encoding value (*content_encoding, heap string or
    // null) is replaced by a new "gzip" or "deflate" and 1 is returned;
    // otherwise 0 and nothing changes.
    int Encode(const char *accept_encoding, char **content_encoding);

    // Undoes the response's content codings given by its Content-Encoding
    // value: a comma-separated list of gzip (or x-gzip), deflate, br, zstd
    // and identity, case ignored, undone from the last to the first.  1
    // when the body was decoded; 0 (logged, body unchanged) when a coding is
    // unknown, the list names more than FILEBUF_CODINGS_MAX codings or one
    // fails to decode.  The caller updates the response head.  limit, as
    // for Uncompress, bounds each decoded layer.
    int Decode(const char *content_encoding, uint64_t limit = 0);
};

// An empty Filebuf for text that lives for one call, such as a message
// head on its way through the processors or to a socket.  It starts with
// SCRATCH_FILEBUF_ROOM bytes of capacity (an exception to the steps, like
// the capacity after Shorten), comes from the calling thread's spares and
// goes back to them, emptied, when the scratch ends, so such texts reuse
// one small allocation instead of making and freeing a step for every
// message.  A buffer that grew or shrank is freed instead, and a thread
// keeps at most SCRATCH_FILEBUF_SPARES.
class ScratchFilebuf {
public:
    ScratchFilebuf();
    ~ScratchFilebuf();
    ScratchFilebuf(const ScratchFilebuf &) = delete;
    ScratchFilebuf &operator=(const ScratchFilebuf &) = delete;

    Filebuf *get() { return buf; }
    Filebuf *operator->() { return buf; }

private:
    Filebuf *buf;
};

// Frees the calling thread's spare scratch buffers: a worker does so when it
// goes idle, so that an idle thread holds no memory for requests.
void scratch_filebuf_spares_free();

#define SCRATCH_FILEBUF_SPARES 2
#define SCRATCH_FILEBUF_ROOM 4096

// Logs the message of a compression-library result code under LOG_ERROR.
void zlib_error(int code);

#endif
