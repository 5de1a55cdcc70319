// Timers: periodic work run once a second on the timer thread.
//
// A TIMERS list holds timers sorted by due time, earliest first; timers
// due at the same second stay in the order they were added.  The timer
// thread calls timers_check once a second, which runs every due timer with
// the list's lock held and re-queues the repeating ones.  A callback must
// therefore not add timers to the list that runs it.
#ifndef KV_RUNTIME_TIMERS_H
#define KV_RUNTIME_TIMERS_H

#include <cstdint>
#include <ctime>
#include <pthread.h>

typedef void (*timer_callback_t)(void *arg);

// Bit of TIMERS_LIST::repeat.
#define TIMER_REPEAT 0x1 // run every `interval` seconds; clear: run once

struct TIMERS_LIST {
    TIMERS_LIST *prev;   // previous timer in due order, or null
    TIMERS_LIST *next;   // next timer in due order, or null
    int32_t id;          // returned by timers_add
    int32_t interval;    // seconds
    time_t due;          // next run, seconds since the epoch
    int32_t repeat;      // TIMER_REPEAT
    timer_callback_t callback;
    void *arg;
};

struct TIMERS {
    pthread_mutex_t lock; // guards the whole list
    int32_t next_id;      // id of the next timer; 0 for the first
    TIMERS_LIST *head;    // the earliest timer, or null
};

// A new, empty list.
TIMERS *timers_init();

// Frees the list and its timers.  Nothing may use the list afterwards.
void timers_free(TIMERS *timers);

// Adds a timer due `interval` seconds from now, running once or, when
// `repeat` has TIMER_REPEAT, every `interval` seconds.  Returns its id.
int timers_add(TIMERS *timers, int32_t interval, int32_t repeat,
               timer_callback_t callback, void *arg);

// Runs every timer that is due, in due order, each at most once.  A
// repeating timer is next due one interval after its last due time, or one
// second from now when that is already past, so a timer that fell behind
// runs once and is not repeated to catch up.
void timers_check(TIMERS *timers);

// Replaces the clock that timers_add and timers_check read (time(nullptr)
// by default); null restores it.  Lets tests move time without sleeping.
void timers_set_clock(time_t (*now)());

// The timer thread's body: for ever, sleep a second, then check
// global->timers.  Started with thread_create_internal; never returns.
void *timer_thread(void *arg);

#endif
