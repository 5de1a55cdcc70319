// Message body transfer: relaying a body from one socket of a connection
// to the other as it arrives (chunked coding kept), reading a whole body
// into a buffer (chunked coding removed), or only up to a cap with the
// rest relayed afterwards, reading and dropping a body, and sending a
// buffered body to the client.  While a response body arrives, a
// read observer on the server socket fills the cache object and the HTML
// stream, counts the bytes against the download allowance and enforces
// the buffer-wait deadline.
//
// The framing comes from the head of the side: the response for
// SIDE_SERVER, the request for SIDE_CLIENT.  In this order: a
// Content-Length (exactly that many bytes), the chunked coding (chunks
// ended by a chunk of size 0 and the trailer lines, which are consumed and
// never forwarded), otherwise a response runs until the server closes and
// a request has no body.
//
// A body that ends early (a counted or chunked body cut short, a bad chunk
// size, a close-delimited body stopped by a time-out or an error rather
// than the close) is a failure: the function reports it and sets
// CONN_FAILED, and a relayed chunked body is left without its last chunk,
// so the receiver sees the cut.  It is never padded.
#ifndef KV_ENGINE_BODY_H
#define KV_ENGINE_BODY_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct CONNECTION_T;
struct CACHEMAP;
class Filebuf;

// Longest chunk-size line, extensions included, without its line end.
#define BODY_CHUNK_LINE_MAX 63

// Reads one chunk-size line from the side's socket within the I/O time-out
// and returns the size, its hexadecimal digits read as a 63-bit number
// (an extension after ';' is ignored).  -1 when the line cannot be read,
// is longer than BODY_CHUNK_LINE_MAX, has no digits, overflows or carries
// anything but blanks and an extension after the digits.
int64_t next_chunksize(CONNECTION_T *conn, int side);

// Relays the side's body to the other side (SIDE_SERVER: server to
// client; SIDE_CLIENT: client to server).  A response body that ends with
// the server's close sets CONN_CLOSE_DELIMITED.  Returns 1 when the whole
// body moved, 0 when it failed (CONN_FAILED set).
int http_transfer(CONNECTION_T *conn, int side);

// Reads the side's body into a new buffer, without chunk framing.  Never
// null; the caller frees it.  A failure sets CONN_FAILED and the buffer
// holds what arrived.
Filebuf *http_transfer_filebuf(CONNECTION_T *conn, int side);

// Results of http_transfer_filebuf_capped.
enum {
    BODY_FAILED = 0,    // the body could not be read to its end (CONN_FAILED set)
    BODY_WHOLE = 1,     // the whole body is in the buffer
    BODY_PAST_CAP = 2,  // the body is longer than the cap; its start is in the buffer
};

// Where a read stopped at the cap: what is left of the body on the socket.
struct BodyRest {
    // Bytes of the current chunk or of a counted body still unread; -1
    // when the rest runs until the sender closes.
    int64_t pending = 0;
    // The chunked coding goes on after the pending bytes.
    bool chunked = false;
};

// The largest response body the connection may hold in memory: the
// general rule's download buffer size, or FILEBUF_INFLATE_LIMIT when it
// sets none.  With the URL command "process", which forces processing of
// bodies above the download buffer size, the larger of the two.
uint64_t body_buffer_cap(CONNECTION_T *conn);

// Reads the side's body into buf like http_transfer_filebuf, but never
// holds more than cap bytes of it, plus one byte for a body that runs
// until the close (the byte that tells it is longer than cap).  A counted
// body or a chunk that would not fit is left unread whole.  BODY_PAST_CAP
// leaves in *rest what http_transfer_rest needs to move the remainder.
int http_transfer_filebuf_capped(CONNECTION_T *conn, int side, Filebuf *buf, uint64_t cap,
                                 BodyRest *rest);

// Relays what a capped read left unread to the other side, without chunk
// framing, so the receiver's body is the rest of the data and ends with
// the close.  Returns 1 when the whole rest moved, 0 when it failed
// (CONN_FAILED set).
int http_transfer_rest(CONNECTION_T *conn, int side, const BodyRest *rest);

// Answers the client with a response body that outgrew its buffer (a
// capped read gave BODY_PAST_CAP; start holds what was read): the head
// goes out without a length and with the connection closing after the
// body, then the start, then the rest relayed as it arrives without chunk
// framing.  The body is neither processed nor re-coded; when a module
// wanted to inspect it, or it keeps a content coding the client does not
// accept, that is logged under LOG_WARNING.  A client that is gone gets
// nothing and the rest is still read.  Returns 1 when the whole body
// moved, 0 when it failed (CONN_FAILED set), -1 when the head holds a
// value that cannot be written (nothing was sent).
int http_send_past_cap(CONNECTION_T *conn, Filebuf *start, const BodyRest *rest, uint64_t cap);

// Reads the side's body and keeps nothing (no observer).  Returns 1 when
// the whole body was read, 0 when it failed (CONN_FAILED set): the
// connection then cannot carry another message.
int http_transfer_discard(CONNECTION_T *conn, int side);

// Sends a buffered body to the client; nothing for a HEAD request
// (CONN_HEAD).  Returns the net_filebuf_send result, or 0.
int64_t http_send_body(CONNECTION_T *conn, Filebuf *body);

// The read observer registered on the server socket while a response body
// arrives (argument: the connection).  Returns 0 to go on, -1 to stop the
// read: the download allowance is used up (CONN_FAILED set), or a
// prefetch's cache object was dropped.
int protocol_http_read_callback(void *arg, ssize_t len, char *buf);

// Gives the client the "downloading" page once the buffer-wait deadline of
// a body being buffered into a new cache object has passed; the client
// connection is then given up (CONN_CLIENT_GONE, keep-alive off) and the
// transfer goes on for the cache.
void buffertimeout_check(CONNECTION_T *conn);

// Most bytes of a relayed (unbuffered) body that its HTML stream is fed.
#define BODY_HTML_RELAY_MAX (1024 * 1024)

// Feeds body bytes to the connection's HTML stream, if it has one and the
// response has no content coding; a relayed body only up to
// BODY_HTML_RELAY_MAX.  The read observer calls it for every read.
void body_html_feed(CONNECTION_T *conn, const char *data, size_t length);
// Flushes the connection's HTML stream, if any, once the body has ended.
void body_html_flush(CONNECTION_T *conn);

// Set by the object cache.  body_cache_add appends body bytes to the
// connection's cache object and returns the bytes taken, or -1 when the
// object was dropped.  body_cache_bufferwait marks the object
// CACHE_BUFFERWAIT and CACHE_PREFETCHED and sends the client the
// "downloading" page for it.  body_cache_users returns the number of
// users of an object; when the caller is the only one the object is also
// marked invalid, so that it is dropped when closed.  While they are null
// no object is filled, no page is sent and no object has other users.
extern int64_t (*body_cache_add)(CACHEMAP *object, const char *data, size_t length);
extern void (*body_cache_bufferwait)(CONNECTION_T *conn);
extern int (*body_cache_users)(CACHEMAP *object);

#endif
