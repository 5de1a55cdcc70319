// Timers: a due-ordered list run by the timer thread.
#include "runtime/timers.h"

#include <cstdlib>
#include <unistd.h>

#include "engine/global.h"
#include "runtime/log.h"
#include "runtime/mem.h"

namespace {

time_t clock_system();
void timer_insert(TIMERS *timers, TIMERS_LIST *timer);
void timer_unlink(TIMERS *timers, TIMERS_LIST *timer);

time_t (*clock_now)() = clock_system;

time_t clock_system()
{
    return time(nullptr);
}

// Links the timer in due order, after every timer due at the same time.
// Called with the list's lock held.
void timer_insert(TIMERS *timers, TIMERS_LIST *timer)
{
    TIMERS_LIST *head = timers->head;
    if (head == nullptr || timer->due < head->due) {
        timer->prev = nullptr;
        timer->next = head;
        if (head != nullptr)
            head->prev = timer;
        timers->head = timer;
        return;
    }
    TIMERS_LIST *after = head;
    while (after->next != nullptr && after->next->due <= timer->due)
        after = after->next;
    timer->prev = after;
    timer->next = after->next;
    if (after->next != nullptr)
        after->next->prev = timer;
    after->next = timer;
}

// Called with the list's lock held.
void timer_unlink(TIMERS *timers, TIMERS_LIST *timer)
{
    if (timer->prev != nullptr)
        timer->prev->next = timer->next;
    else
        timers->head = timer->next;
    if (timer->next != nullptr)
        timer->next->prev = timer->prev;
    timer->prev = timer->next = nullptr;
}

} // namespace

TIMERS *timers_init()
{
    auto *timers = static_cast<TIMERS *>(xmalloc(sizeof(TIMERS)));
    ASSERT_ALLOC(timers, sizeof(TIMERS));
    pthread_mutex_init(&timers->lock, nullptr);
    timers->next_id = 0;
    timers->head = nullptr;
    return timers;
}

void timers_free(TIMERS *timers)
{
    TIMERS_LIST *timer = timers->head;
    while (timer != nullptr) {
        TIMERS_LIST *next = timer->next;
        free(timer);
        timer = next;
    }
    pthread_mutex_destroy(&timers->lock);
    free(timers);
}

int timers_add(TIMERS *timers, int32_t interval, int32_t repeat,
               timer_callback_t callback, void *arg)
{
    auto *timer = static_cast<TIMERS_LIST *>(xmalloc(sizeof(TIMERS_LIST)));
    ASSERT_ALLOC(timer, sizeof(TIMERS_LIST));
    timer->interval = interval;
    timer->repeat = repeat;
    timer->callback = callback;
    timer->arg = arg;

    pthread_mutex_lock(&timers->lock);
    int id = timers->next_id++;
    timer->id = id;
    timer->due = clock_now() + interval;
    timer_insert(timers, timer);
    pthread_mutex_unlock(&timers->lock);

    putlog(LOG_DEBUG, "added timer %d", id);
    return id;
}

void timers_check(TIMERS *timers)
{
    time_t now = clock_now();
    pthread_mutex_lock(&timers->lock);
    // Every timer run here leaves the head: a one-shot one is freed and a
    // repeating one is re-queued due after now, so the loop ends.
    while (timers->head != nullptr && now >= timers->head->due) {
        TIMERS_LIST *timer = timers->head;
        timer->callback(timer->arg);
        timer_unlink(timers, timer);
        if (!(timer->repeat & TIMER_REPEAT)) {
            free(timer);
            continue;
        }
        timer->due += timer->interval;
        if (timer->due <= now)
            timer->due = now + 1;
        timer_insert(timers, timer);
    }
    pthread_mutex_unlock(&timers->lock);
}

void timers_set_clock(time_t (*now)())
{
    clock_now = now != nullptr ? now : clock_system;
}

void *timer_thread(void *)
{
    for (;;) {
        sleep(1);
        timers_check(global->timers);
    }
    return nullptr;
}
