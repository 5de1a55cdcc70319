// HTMLStream: an HTML body parsed into a node list while it arrives, with
// callbacks for the opening tags of chosen names.  The parser never changes
// the body; it keeps its own copy of every byte fed.
#ifndef KV_RUNTIME_HSTREAM_H
#define KV_RUNTIME_HSTREAM_H

#include <cstddef>
#include <cstdint>

#include "runtime/filebuf.h"
#include "runtime/hash.h"

// Closing tags group the nodes they close under the node before the
// opening one; grouping stops once a group would be deeper than this.
#define HTMLSTREAM_DEPTH_LIMIT 64

struct htmlstream_attribute {
    htmlstream_attribute *next; // next attribute in tag order, or null
    char *name;                 // owned
    char *value;                // owned
};

// A parsed opening tag.
struct htmlstream_tag {
    char *name;                        // owned, never null
    htmlstream_attribute *attributes;  // first attribute, or null
};

struct htmlstream_node {
    htmlstream_node *parent;   // node this one was grouped under, or null
    htmlstream_node *previous; // siblings in document order
    htmlstream_node *next;
    htmlstream_node *children; // first node of the group under this one
    int depth;                 // 0 without children; else 1 + deepest grouped
    char *text;                // owned text of a text node, else null
    htmlstream_tag *tag;       // owned tag of a tag node, else null
};

class HTMLStream;

// Called for an opening tag whose name has a registration; the result is
// ignored.  The node stays valid until the parser is destroyed.
typedef int (*htmlstream_callback)(HTMLStream *stream, htmlstream_node *node, void *data);

class HTMLStream {
public:
    HASH_TABLE *callbacks = nullptr; // tag name -> registration, 16 buckets
    htmlstream_node *current = nullptr; // node the next one is appended after
    uint32_t mark = 0;   // input offset of the last boundary handled
    int in_comment = 0;  // 1 inside "<!--" ... "->"
    Filebuf *input;      // every byte fed so far
    htmlstream_node *root = nullptr; // the first node, or null

    HTMLStream();
    ~HTMLStream();
    HTMLStream(const HTMLStream &) = delete;
    HTMLStream &operator=(const HTMLStream &) = delete;

    // Registers callback with data for the tag name, stored as given;
    // false (the first registration kept) when the name has one already.
    bool Callback(const char *name, htmlstream_callback callback, void *data);

    // Appends the bytes and parses as far as they allow; null flushes what
    // is left (the trailing text).  Calls after the flush are ignored.
    void Add(const char *bytes, size_t length);

private:
    // Offset where the next call resumes the scan.  Every byte is looked at
    // once while feeding (the flush looks again from mark), so the cost of
    // a body is linear whatever its chunking.
    size_t scan = 0;
    bool boundary = false;     // a boundary was met: text starts after mark
    bool flushed = false;
    bool warned = false;       // nesting warning given in this call
    size_t text_length = 0;    // length and capacity of current->text while
    size_t text_capacity = 0;  // the current node is a text node
    // Steps the closing-tag walk may still take: earned by the bytes
    // passed, so unmatched closing tags cannot make the parse quadratic.
    uint64_t walk_credit = 0;
    size_t credited = 0; // input offset up to which credit was given

    void text_before(size_t end);
    void opening_tag(size_t end);
    void closing_tag(size_t end);
    void append(htmlstream_node *node);
    void parse(bool flushing);
};

// The tag of text[0..length), which starts with '<' and ends with '>';
// null when it has no name.
htmlstream_tag *htmlstream_tag_parse(const char *text, size_t length);
void htmlstream_tag_free(htmlstream_tag *tag);
// Frees node, its children and its following siblings.
void htmlstream_tree_free(htmlstream_node *node);

#endif
