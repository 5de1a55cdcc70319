// The base class of every configuration section, the registry of sections
// and the parsed schema file.
//
// A derived section passes its name and lock mode to Section::Section,
// which registers it and reads its declaration (title, select lists, global
// fields, templates, subsections) from the schema document `sectionxml`.
// Its update() rebuilds the section's rules from the items; it runs with
// the write lock held.
//
// Locks: mode 0 is a reader-writer lock (glibc's default pthread_rwlock_t,
// which prefers readers, so that a thread may take the read lock again
// while a writer waits); mode 1 is a mutex that the derived section also
// uses with condition variables of its own.  documentlock (config/xml.h)
// is always taken before a section's lock, never while one is held.
#ifndef KV_CONFIG_SECTION_H
#define KV_CONFIG_SECTION_H

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/field.h"

class TiXmlDocument;
struct CONNECTION_T;

// The parsed schema file; set by start-up before any section is built.
extern TiXmlDocument *sectionxml;

class Section {
public:
    // Registers the section under its name, initialises the lock of the
    // mode and reads the declaration.  A fault of the schema file logs
    // "Error when parsing section.xml: %s" and "Please correct errors in
    // section.xml: %s" and ends the process with status 1.
    Section(const std::string &name, int32_t lock_mode);
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

    // Rebuilds the derived section's rules from its items; called with the
    // write lock held.
    virtual void update() = 0;
    // The registry entry is left alone.
    virtual ~Section();

    // Return the result of the POSIX call (0 on success).
    int read_lock();
    int write_lock();
    int unlock();
    // Mode 1 only (a fatal assertion otherwise).
    int mutex_lock();
    int cond_wait(pthread_cond_t *cond);
    int cond_timedwait(pthread_cond_t *cond, const struct timespec *deadline);

    // The value read under the read lock (the mutex in mode 1).
    int atomic_read(const int *value);
    long atomic_read(const long *value);
    unsigned int atomic_read(const unsigned int *value);
    unsigned long atomic_read(const unsigned long *value);

    // Copies taken under the read lock.
    std::string name_get();
    std::string comment_get();

    // Lookups; the caller holds the section's lock.
    // The first subsection of that name (case counts), or null.
    Subsection *subsection_get(const std::string &name);
    // The position of the item with that id in its subsection's list;
    // found tells whether there is one.
    ItemList::iterator item_iterator_get(int32_t id, bool &found);
    // The item with that id, or null.
    Item *item_get(int32_t id);

    // Loads the section from the configuration document; a non-zero clear
    // empties every subsection before its items are read.  Throws
    // ConfigError when the document has no element for the section or the
    // element of an optional global field is missing or invalid.  Takes
    // the write lock and calls update().  The caller holds documentlock.
    void load(TiXmlDocument *doc, int32_t clear);
    // Rewrites the section's element of the document from the section,
    // under the read lock.  The caller holds documentlock.
    void save(TiXmlDocument *doc);

    // Web dialogs (config/dialog.cpp): the section's page, the add or edit
    // form of an item (or the errors of a failed submission), and a
    // submitted form or clicked link applied, with its error texts.  The
    // connection is not read.
    void interface(Filebuf *page, const CGIMap &args, CONNECTION_T *conn, StringList &errors);
    void interface_dialog(Filebuf *page, const CGIMap &args, CONNECTION_T *conn,
                          StringList &errors);
    StringList interface_action(Filebuf *page, const CGIMap &args, CONNECTION_T *conn);

    // Section name to section, in byte order of the names.  Filled while
    // start-up builds the sections and only read afterwards.
    static std::map<std::string, Section *> map;

private:
    // Applies an item action ("delete", "edit", "clone", "shift" in a known
    // direction) to the item at it; the errors of an edit's form.  The
    // caller holds the write lock.
    StringList item_change(ItemList &list, ItemList::iterator it, const std::string &action,
                           const std::string &direction, const CGIMap &args);

public:
    pthread_rwlock_t rwlock;  // mode 0
    pthread_mutex_t mutex;    // mode 1
    int32_t lock_mode;
    std::string name;
    std::string title;        // the schema's comment
    std::string description;  // the schema's desc
    FieldVector fields;       // global field n at index n
    std::vector<Subsection> subsections;  // in schema order
};

#endif
