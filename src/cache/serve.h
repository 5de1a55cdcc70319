// The engine's use of the object cache: the lookup on the request road,
// the answer from a cached object, revalidation, filling an object while
// the response is relayed, and giving the object back after the request.
// Each function works on the connection's cache object (conn->cachemap,
// one reference) and does nothing while the cache does not exist.
#ifndef KV_CACHE_SERVE_H
#define KV_CACHE_SERVE_H

#include <cstdint>

struct CONNECTION_T;
class Filebuf;

// Builds the "cache" section, connects the body transfer to it; start-up
// calls it once among the sections.
void cache_init();
// Starts the deletion thread and registers the graceful exit; once, at
// start-up.
void cache_start();

// The lookup of a request (after the request checks): sets the cache code
// and, for a hit, conn->cachemap, and for a stale hit CONN_REVALIDATE with
// a conditional request.  Returns 1 when the request was answered here
// (invalid object, object still buffered, offline without object), else 0.
int cache_request_lookup(CONNECTION_T *conn);

// The server could not be reached to revalidate the held object: true
// when the stale object may answer instead (logged), false when its
// response forbids that (the object is given back; the caller answers
// with 504).
bool cache_stale_fallback(CONNECTION_T *conn);

// The cached object can stand in for the server: held and fresh.
bool cache_serves(const CONNECTION_T *conn);

// A new copy of the cached object's head text (the caller frees it), or
// null.
char *cache_stored_head(CONNECTION_T *conn);

// Results of cache_response.
enum {
    CACHE_RESPONSE_ON = 0,        // go on with the response head in conn->response
    CACHE_RESPONSE_VALIDATED = 1, // the object was confirmed: answer with its stored head
    CACHE_RESPONSE_REFETCH = 2,   // ask the server again, unconditionally
    CACHE_RESPONSE_END = 3,       // a prefetch without an object: end the exchange
};

// After the response head was read (or taken from the object): the
// revalidation decision, then Age, Warning, length and X-Cache of a hit,
// or a new object for a cacheable response.
int cache_response(CONNECTION_T *conn);

// The head of a hit after revalidation or from the cache: Age, Warning,
// length and X-Cache.
void cache_hit_head(CONNECTION_T *conn);

// Answers the client with a hit: the head and the body.  -1 when the head
// holds a value that cannot be written (nothing was sent).
int cache_hit_send(CONNECTION_T *conn);

// Sends the body of a hit to the client.  false when the object was cut
// (its writer failed) or the client write failed: the client's connection
// then ends so the client sees the cut.
bool cache_body_send(CONNECTION_T *conn);

// The body of a hit, read whole; null when its writer failed.
Filebuf *cache_body_read(CONNECTION_T *conn);

// Whether this request writes the object, and whether it reads a hit.
bool cache_writing(const CONNECTION_T *conn);
bool cache_reading(const CONNECTION_T *conn);

// The response will not be sent as it is (template, refusal, head only):
// the object is dropped.
void cache_give_up(CONNECTION_T *conn);

// After the request: a writer finishes its object, or drops it when the
// transfer failed; a reader gives its reference back.
void cache_request_end(CONNECTION_T *conn);

#endif
