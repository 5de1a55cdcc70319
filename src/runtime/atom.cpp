// Reference counts of shared objects.
#include "runtime/atom.h"

#include "runtime/mem.h"

pthread_mutex_t atomlock = PTHREAD_MUTEX_INITIALIZER;

Atom::Atom() : count(1) {}

Atom::~Atom()
{
    ASSERT(count == 0);
}

Atom *Atom::New()
{
    count++;
    return this;
}

bool Atom::Delete()
{
    return count-- == 1;
}
