// Processing registries: where filter modules plug into the road of a
// request without the engine knowing them.
//
// `processors` holds callbacks by stage, `hooks` callbacks by hook key and
// `protocols` handlers by protocol name.  Each module registers its plain
// function pointers once, from its section's constructor at start-up; the
// engine runs a stage or hook at fixed points of the road.  A callback is
// registered at most once in its registry, whatever its stage, key or name.
//
// The registries are filled on the main thread at start-up, but the ICAP
// module registers when its first service is configured, possibly while
// workers run requests; each registry therefore has a lock, held only while
// its list is read or changed and never while a callback runs.
#ifndef KV_RUNTIME_PROCESSORS_H
#define KV_RUNTIME_PROCESSORS_H

#include <list>
#include <pthread.h>
#include <string>

struct CONNECTION_T;
class Filebuf;

// Processing stages.  A callback returns 1 when it acted in the stage's
// sense below, else 0.  In the stages marked "first 1 ends", the first
// callback that returns 1 ends the stage; in the others every callback runs.
enum {
    // The request road, before fetching; no buffer.  First 1 ends: the
    // request was answered or blocked and ends.
    PROCESSOR_REQCHECK = 0,
    // After authentication while no response is set; the request body.
    // First 1 ends.
    PROCESSOR_REQMOD = 1,
    // Response processing; the response body.  First 1 ends: the response
    // was replaced or blocked.
    PROCESSOR_RESPCHECK = 2,
    // Response processing after PROCESSOR_RESPCHECK; the response body.
    // Every callback runs.
    PROCESSOR_RESPMOD = 3,
    // The buffering decision; no buffer.  First 1 ends: the response body
    // must be read whole before it is sent.  Also run before the request
    // goes upstream, with no response set, to learn whether the body may
    // be inspected (it is then fetched whole, without a range): a
    // condition on the response counts as met then.
    PROCESSOR_BUFFCHECK = 4,
    // The raw request head before it is parsed again.  Every callback runs.
    PROCESSOR_REQHEADER = 5,
    // The raw response head before it is parsed.  Every callback runs.
    PROCESSOR_RESPHEADER = 6,
    // Request processing, first of all; the request body.  First 1 ends:
    // the access module answered the request (challenge or refusal).
    PROCESSOR_AUTH = 7,
};

// Hook keys.  Every hook of a key runs in registration order until one
// returns 1.
enum {
    // Once at start-up after the configuration is loaded; two null pointers.
    HOOK_CONFIG = 0,
    // Before PROCESSOR_RESPCHECK and PROCESSOR_RESPMOD; the connection and
    // the response body.  A result 1 skips the response processing.
    HOOK_PRERESPMOD = 1,
    // After them; the same arguments.
    HOOK_POSTRESPMOD = 2,
};

typedef int (*processor_callback_t)(CONNECTION_T *connection, Filebuf *buffer);
typedef int (*hook_callback_t)(void *first, void *second);
typedef int (*protocol_handler_t)(CONNECTION_T *connection);

struct Processor {
    int stage;                      // PROCESSOR_*
    processor_callback_t callback;
};

struct Hook {
    int key;                        // HOOK_*
    hook_callback_t callback;
};

struct Protocol {
    std::string protocol;           // compared exactly: same length and bytes
    protocol_handler_t handler;
};

class Processors {
public:
    Processors();
    ~Processors();
    Processors(const Processors &) = delete;
    Processors &operator=(const Processors &) = delete;

    // Appends {stage, callback}; 1, or 0 when the callback is already
    // registered under any stage.
    int Add(processor_callback_t callback, int stage);
    // Runs the stage's callbacks in registration order (see the stage
    // list for where the walk ends).  Returns the last result, 0 when no
    // callback ran.
    int Execute(int stage, CONNECTION_T *connection, Filebuf *buffer);
    // 1 when the callback's entry was removed, 0 when it was not registered.
    int Remove(processor_callback_t callback);

private:
    std::list<Processor> entries;   // registration order
    pthread_rwlock_t lock;          // guards entries: shared to look, exclusive to change
};

class Hooks {
public:
    Hooks();
    ~Hooks();
    Hooks(const Hooks &) = delete;
    Hooks &operator=(const Hooks &) = delete;

    // As Processors::Add.
    int Add(hook_callback_t callback, int key);
    // Runs the key's hooks in registration order until one returns 1.
    // Returns the last result, 0 when none ran.
    int Execute(int key, void *first, void *second);
    // As Processors::Remove.
    int Remove(hook_callback_t callback);

private:
    std::list<Hook> entries;        // registration order
    pthread_rwlock_t lock;          // guards entries: shared to look, exclusive to change
};

class Protocols {
public:
    Protocols();
    ~Protocols();
    Protocols(const Protocols &) = delete;
    Protocols &operator=(const Protocols &) = delete;

    // Appends {name, handler}; 1, or 0 when the handler is already
    // registered.
    int Add(protocol_handler_t handler, const char *name);
    // The result of the handler of the first entry named exactly `name`;
    // -1 when there is none.
    int Execute(const char *name, CONNECTION_T *connection);
    // As Processors::Remove.
    int Remove(protocol_handler_t handler);

private:
    std::list<Protocol> entries;    // registration order
    pthread_rwlock_t lock;          // guards entries: shared to look, exclusive to change
};

extern Processors processors;
extern Hooks hooks;
extern Protocols protocols;

#endif
