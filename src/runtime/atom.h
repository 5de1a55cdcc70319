// Atom: the reference count of an object shared between connections (the
// statistics of an access rule, a bandwidth group).  Such an object begins
// with an Atom.
//
// Atom does no locking itself: every New, every Delete and the destruction
// that follows a Delete that returned true happen with `atomlock` held:
//
//     pthread_mutex_lock(&atomlock);
//     if (shared->atom.Delete())
//         delete shared;
//     pthread_mutex_unlock(&atomlock);
#ifndef KV_RUNTIME_ATOM_H
#define KV_RUNTIME_ATOM_H

#include <cstdint>
#include <pthread.h>

// The one process-wide mutex of every reference count.
extern pthread_mutex_t atomlock;

class Atom {
public:
    Atom();
    // A count other than 0 (a reference still held) is a fatal assertion.
    ~Atom();

    // A copy would carry references it never took.
    Atom(const Atom &) = delete;
    Atom &operator=(const Atom &) = delete;

    // Takes one more reference; returns this Atom.
    Atom *New();
    // Gives one reference back; true when the caller held the last one and
    // must destroy the object.
    bool Delete();

    int32_t count; // references held; 1 after construction
};

#endif
