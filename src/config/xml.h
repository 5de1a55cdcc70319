// The XML configuration document: loading it from a file or a URL,
// rebuilding it from the sections and writing it to a file.
//
// Lock order: documentlock first, then one section's lock at a time; no
// thread that holds a section's lock takes documentlock.
#ifndef KV_CONFIG_XML_H
#define KV_CONFIG_XML_H

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "config/values.h"

class TiXmlDocument;
class TiXmlElement;

// The configuration document in memory: null until the first successful
// load, then replaced whole by every successful load or sync.  Always has
// its root element "kelvarine" when present.  Guarded by documentlock.
extern TiXmlDocument *document;
extern pthread_mutex_t documentlock;
// Time of the last configuration change (seconds since the epoch).
extern std::atomic<time_t> documentsynctime;

// The section's element: the first child of the root named like the
// section.  Throws ConfigError when there is none.
TiXmlElement *section_select(TiXmlDocument *doc, const std::string &name);

// A cursor over the document, used only while documentlock is held.
class XmlElement {
public:
    // On the section's element; throws ConfigError when it is missing.
    XmlElement(TiXmlDocument *doc, const std::string &section_name);
    // On the first child of the section's element named element_name, or
    // on nothing.  Throws ConfigError when the section's element is missing.
    XmlElement(TiXmlDocument *doc, const std::string &section_name,
               const std::string &element_name);

    bool full() const { return node != nullptr; }
    // To the next sibling bearing the element name; false at the end.
    bool next();

    // The text of the current element's child of that name; empty when
    // the child is missing or has no content.
    std::string string_read(const std::string &field_name) const;
    // The "active" attribute of the current element's child of that name:
    // true when absent or "true", false when "false" (any case).  Throws
    // ConfigError when the child is missing or the attribute holds
    // anything else.
    bool check_active(const std::string &field_name) const;

    std::string section_get() const { return section_name; }
    std::string element_get() const { return element_name; }

    TiXmlElement *node;
    std::string section_name;
    std::string element_name;  // empty on the section element itself
};

// Section::save of every section into `document`, in the registry's order.
// The caller holds documentlock; does nothing while there is no document.
void config_xml_build();

// Rebuilds the document and writes it to the path: a temporary file in the
// same directory, flushed to disk and renamed over the old file, so that a
// failed save leaves the old file whole.  False when there is no document
// or the file could not be written.
bool config_save(const std::string &path);

// Loads the whole configuration from a file, or from a URL when the path
// holds a scheme.  A non-zero clear replaces the items of every subsection,
// zero appends to them.  1 when loaded, 0 when nothing changed.
int32_t config_load(int32_t clear, const std::string &path);

// Whether config_load takes this path for a URL (it holds a colon).
bool config_path_is_url(const std::string &path);

// Parses a configuration document held in memory as a load from a URL
// does; null when it does not parse or has no root element "kelvarine".
TiXmlDocument *config_document_parse(const char *text);

// The URL branch of config_load.
bool config_url_load(const std::string &url, int32_t clear);

// Fetches a URL for config_url_load: returns the HTTP status and fills the
// body, or returns a negative value when there is no response.  Installed
// by the internal HTTP client; while it is null, loading from a URL fails.
typedef int (*ConfigUrlFetch)(const std::string &url, std::string &body);
extern ConfigUrlFetch config_url_fetch;

#endif
