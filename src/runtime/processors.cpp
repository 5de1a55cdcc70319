// Processing registries: processors by stage, hooks by key, protocol
// handlers by name.
#include "runtime/processors.h"

#include <vector>

Processors processors;
Hooks hooks;
Protocols protocols;

namespace {

bool stage_ends_at_first(int stage);

// The callbacks of one key, copied: the first few in place, so that the
// walk of every request allocates nothing, any more on the heap.
template <typename Callback> class CallbackCopy {
public:
    void push_back(Callback callback)
    {
        if (count < IN_PLACE)
            in_place[count] = callback;
        else
            more.push_back(callback);
        count++;
    }
    size_t size() const { return count; }
    Callback operator[](size_t i) const { return i < IN_PLACE ? in_place[i] : more[i - IN_PLACE]; }

private:
    static constexpr size_t IN_PLACE = 16;
    Callback in_place[IN_PLACE];
    std::vector<Callback> more;
    size_t count = 0;
};

// Copies the callbacks registered under `key` (a stage or hook key) so
// that they run without the registry's lock: a callback may take a long
// time, and a registration may happen meanwhile.  The lock is taken
// shared: the workers look at the same time, only a change waits.
template <typename Entry, typename Callback>
CallbackCopy<Callback> callbacks_of(const std::list<Entry> &entries,
                                    pthread_rwlock_t *lock, int key,
                                    int Entry::*key_field,
                                    Callback Entry::*callback_field);

// Appends {key, callback} unless the callback is registered already.
template <typename Entry, typename Callback>
int entry_add(std::list<Entry> &entries, pthread_rwlock_t *lock, Entry entry,
              Callback Entry::*callback_field);

template <typename Entry, typename Callback>
int entry_remove(std::list<Entry> &entries, pthread_rwlock_t *lock,
                 Callback callback, Callback Entry::*callback_field);

// The stages in which the first callback returning 1 ends the walk.
bool stage_ends_at_first(int stage)
{
    switch (stage) {
    case PROCESSOR_REQCHECK:
    case PROCESSOR_REQMOD:
    case PROCESSOR_RESPCHECK:
    case PROCESSOR_BUFFCHECK:
    case PROCESSOR_AUTH:
        return true;
    default:
        return false;
    }
}

template <typename Entry, typename Callback>
CallbackCopy<Callback> callbacks_of(const std::list<Entry> &entries,
                                    pthread_rwlock_t *lock, int key,
                                    int Entry::*key_field,
                                    Callback Entry::*callback_field)
{
    CallbackCopy<Callback> found;
    pthread_rwlock_rdlock(lock);
    for (const Entry &entry : entries)
        if (entry.*key_field == key)
            found.push_back(entry.*callback_field);
    pthread_rwlock_unlock(lock);
    return found;
}

template <typename Entry, typename Callback>
int entry_add(std::list<Entry> &entries, pthread_rwlock_t *lock, Entry entry,
              Callback Entry::*callback_field)
{
    pthread_rwlock_wrlock(lock);
    for (const Entry &old : entries) {
        if (old.*callback_field == entry.*callback_field) {
            pthread_rwlock_unlock(lock);
            return 0;
        }
    }
    entries.push_back(std::move(entry));
    pthread_rwlock_unlock(lock);
    return 1;
}

template <typename Entry, typename Callback>
int entry_remove(std::list<Entry> &entries, pthread_rwlock_t *lock,
                 Callback callback, Callback Entry::*callback_field)
{
    pthread_rwlock_wrlock(lock);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if ((*it).*callback_field == callback) {
            entries.erase(it);
            pthread_rwlock_unlock(lock);
            return 1;
        }
    }
    pthread_rwlock_unlock(lock);
    return 0;
}

} // namespace

Processors::Processors()
{
    pthread_rwlock_init(&lock, nullptr);
}

Processors::~Processors()
{
    pthread_rwlock_destroy(&lock);
}

int Processors::Add(processor_callback_t callback, int stage)
{
    return entry_add(entries, &lock, Processor{stage, callback},
                     &Processor::callback);
}

int Processors::Execute(int stage, CONNECTION_T *connection, Filebuf *buffer)
{
    int result = 0;
    CallbackCopy<processor_callback_t> found =
        callbacks_of(entries, &lock, stage, &Processor::stage, &Processor::callback);
    for (size_t i = 0; i < found.size(); i++) {
        result = found[i](connection, buffer);
        if (result == 1 && stage_ends_at_first(stage))
            break;
    }
    return result;
}

int Processors::Remove(processor_callback_t callback)
{
    return entry_remove(entries, &lock, callback, &Processor::callback);
}

Hooks::Hooks()
{
    pthread_rwlock_init(&lock, nullptr);
}

Hooks::~Hooks()
{
    pthread_rwlock_destroy(&lock);
}

int Hooks::Add(hook_callback_t callback, int key)
{
    return entry_add(entries, &lock, Hook{key, callback}, &Hook::callback);
}

int Hooks::Execute(int key, void *first, void *second)
{
    int result = 0;
    CallbackCopy<hook_callback_t> found =
        callbacks_of(entries, &lock, key, &Hook::key, &Hook::callback);
    for (size_t i = 0; i < found.size(); i++) {
        result = found[i](first, second);
        if (result == 1)
            break;
    }
    return result;
}

int Hooks::Remove(hook_callback_t callback)
{
    return entry_remove(entries, &lock, callback, &Hook::callback);
}

Protocols::Protocols()
{
    pthread_rwlock_init(&lock, nullptr);
}

Protocols::~Protocols()
{
    pthread_rwlock_destroy(&lock);
}

int Protocols::Add(protocol_handler_t handler, const char *name)
{
    return entry_add(entries, &lock, Protocol{name, handler},
                     &Protocol::handler);
}

int Protocols::Execute(const char *name, CONNECTION_T *connection)
{
    protocol_handler_t handler = nullptr;
    pthread_rwlock_rdlock(&lock);
    for (const Protocol &entry : entries) {
        if (entry.protocol == name) {
            handler = entry.handler;
            break;
        }
    }
    pthread_rwlock_unlock(&lock);
    return handler != nullptr ? handler(connection) : -1;
}

int Protocols::Remove(protocol_handler_t handler)
{
    return entry_remove(entries, &lock, handler, &Protocol::handler);
}
