// HTMLStream: see hstream.h.  Boundaries are '<' that begin a text or tag
// and '>' that end a tag; `mark` holds the last one handled.  Comments hide
// the tags inside them but not their text.
#include "runtime/hstream.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/log.h"
#include "runtime/mem.h"

namespace {

struct registration {
    htmlstream_callback callback;
    void *data;
};

bool blank(unsigned char c);
bool has_visible(const char *bytes, size_t length);
htmlstream_node *node_new();

// Credit earned per byte fed and its ceiling: a page may walk back over a
// long run of siblings now and then, a stream of closing tags cannot walk
// back over all of them every time.
const uint64_t WALK_CREDIT_PER_BYTE = 16;
const uint64_t WALK_CREDIT_MAX = (uint64_t)1 << 20;

bool blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Printable and not blank; bytes of multi-byte characters count as
// printable, so a text in a non-Latin script is kept.
bool has_visible(const char *bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)bytes[i];
        if ((c > 0x20 && c < 0x7f) || c >= 0x80)
            return true;
    }
    return false;
}

htmlstream_node *node_new()
{
    htmlstream_node *node = (htmlstream_node *)xmalloc(sizeof(htmlstream_node));
    memset(node, 0, sizeof(*node));
    return node;
}


} // namespace

HTMLStream::HTMLStream() : input(new Filebuf) {}

HTMLStream::~HTMLStream()
{
    if (callbacks)
        hash_destroy(callbacks);
    htmlstream_tree_free(root);
    delete input;
}

bool HTMLStream::Callback(const char *name, htmlstream_callback callback, void *data)
{
    if (name == nullptr)
        return false;
    if (callbacks == nullptr)
        callbacks = hash_create(16);
    if (hash_search(callbacks, name))
        return false;
    registration *r = (registration *)xmalloc(sizeof(registration));
    r->callback = callback;
    r->data = data;
    hash_insert(callbacks, name, r);
    return true;
}

void HTMLStream::append(htmlstream_node *node)
{
    if (root == nullptr) {
        root = node;
    } else if (current) {
        current->next = node;
        node->previous = current;
    }
    current = node;
    text_length = text_capacity = 0;
}

// The text from after the last boundary up to end (exclusive).
void HTMLStream::text_before(size_t end)
{
    size_t start = boundary ? (size_t)mark + 1 : 0;
    if (start < end) {
        const char *bytes = input->data + start;
        size_t length = end - start;
        if (has_visible(bytes, length)) {
            if (current && current->text) {
                if (text_length + length + 1 > text_capacity) {
                    size_t want = text_capacity * 2;
                    if (want < text_length + length + 1)
                        want = text_length + length + 1;
                    current->text = (char *)xrealloc(current->text, want);
                    text_capacity = want;
                }
                memcpy(current->text + text_length, bytes, length);
                text_length += length;
                current->text[text_length] = '\0';
            } else {
                htmlstream_node *node = node_new();
                node->text = xstrndup(bytes, length);
                append(node);
                text_length = length;
                text_capacity = length + 1;
            }
        }
    }
}

void HTMLStream::opening_tag(size_t end)
{
    htmlstream_node *node = node_new();
    node->tag = htmlstream_tag_parse(input->data + mark, end - mark + 1);
    append(node);
    if (node->tag && callbacks) {
        HASH_NODE *found = hash_search(callbacks, node->tag->name);
        if (found) {
            registration *r = (registration *)found->value;
            r->callback(this, node, r->data);
        }
    }
}

void HTMLStream::closing_tag(size_t end)
{
    const char *name = input->data + mark + 2;
    size_t length = end - (mark + 2);
    int deepest = 0;
    htmlstream_node *match = nullptr;
    // Credit is earned by position in the input, not by the sizes of the
    // calls, so the result does not depend on how the body was cut.
    walk_credit += WALK_CREDIT_PER_BYTE * (end - credited);
    if (walk_credit > WALK_CREDIT_MAX)
        walk_credit = WALK_CREDIT_MAX;
    credited = end;
    for (htmlstream_node *n = current; n; n = n->previous) {
        if (walk_credit == 0)
            return; // counted as no match
        walk_credit--;
        if (n->depth > deepest)
            deepest = n->depth;
        if (deepest > HTMLSTREAM_DEPTH_LIMIT) {
            if (!warned) {
                putlog(LOG_WARNING, "HTML nesting limit %d reached", HTMLSTREAM_DEPTH_LIMIT);
                warned = true;
            }
            return;
        }
        if (n->tag) {
            const char *tag = n->tag->name;
            size_t i = 0;
            while (i < length && tag[i] != '\0' &&
                   tolower((unsigned char)tag[i]) == tolower((unsigned char)name[i]))
                i++;
            if (i == length) {
                match = n;
                break;
            }
        }
    }
    if (match == nullptr || match->previous == nullptr || match->previous->children)
        return;
    htmlstream_node *group = match->previous;
    group->children = match;
    group->next = nullptr;
    match->previous = nullptr;
    for (htmlstream_node *n = match; n; n = n->next)
        n->parent = group;
    group->depth = deepest + 1;
    current = group;
    // The node before a group may be a text node that later text extends.
    text_length = group->text ? strlen(group->text) : 0;
    text_capacity = group->text ? text_length + 1 : 0;
}

// Scans from where the previous call stopped.  While feeding, a '<' with
// fewer than four bytes after it waits for more, since they may make it a
// comment.  The flush goes on from the same place with the comment state
// kept (a tag inside a comment stays text up to the end), handles the last
// '<' without waiting, and takes the text after the last boundary.
void HTMLStream::parse(bool flushing)
{
    const char *data = input->data;
    size_t size = input->size;
    size_t i = scan;
    warned = false;
    for (; i < size; i++) {
        char c = data[i];
        if (in_comment) {
            if (c == '>' && data[i - 1] == '-')
                in_comment = 0;
            continue;
        }
        if (c == '<') {
            if (!flushing) {
                if (size - i - 1 < 4) {
                    scan = i;
                    return;
                }
                if (memcmp(data + i, "<!--", 4) == 0) {
                    in_comment = 1;
                    continue;
                }
            }
            text_before(i);
            mark = (uint32_t)i;
            boundary = true;
        } else if (c == '>' && data[mark] == '<') {
            if (data[mark + 1] == '/')
                closing_tag(i);
            else
                opening_tag(i);
            mark = (uint32_t)i;
            boundary = true;
        }
    }
    scan = size;
    if (flushing && size > 0 && !(boundary && mark == size - 1))
        text_before(size);
}

void HTMLStream::Add(const char *bytes, size_t length)
{
    if (flushed)
        return;
    if (bytes == nullptr) {
        flushed = true;
        parse(true);
        return;
    }
    // Offsets are 32-bit: what lies beyond 4 GiB is not looked at.
    if (length > (size_t)UINT32_MAX - input->size)
        length = (size_t)UINT32_MAX - input->size;
    if (length == 0)
        return;
    // The input grows by doubling: a body arrives in many small pieces,
    // and growing in fixed steps would copy it over and over.
    size_t need = input->size + length;
    if (need > input->capacity) {
        size_t capacity = std::max(need, input->capacity * 2);
        capacity = (capacity + FILEBUF_STEP - 1) / FILEBUF_STEP * FILEBUF_STEP;
        input->data = (char *)xrealloc(input->data, capacity);
        input->capacity = capacity;
    }
    memcpy(input->data + input->size, bytes, length);
    input->size = need;
    parse(false);
}

htmlstream_tag *htmlstream_tag_parse(const char *text, size_t length)
{
    if (text == nullptr || length <= 1)
        return nullptr;
    // Every word is a contiguous stretch of the text: its start and length.
    std::vector<std::pair<size_t, size_t>> words;
    size_t word = 0;
    bool in_word = false, quoted = false;
    for (size_t i = 1; i < length; i++) {
        char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i > word)
                    words.push_back({word, i - word});
                quoted = false;
            }
        } else if (blank((unsigned char)c) || c == '=' || c == '>') {
            if (in_word)
                words.push_back({word, i - word});
            in_word = false;
        } else if (c == '"' && !in_word) {
            quoted = true;
            word = i + 1;
        } else if (!in_word) {
            in_word = true;
            word = i;
        }
    }
    if ((in_word || quoted) && length > word)
        words.push_back({word, length - word});
    if (words.empty() || text[words[0].first] == '\0')
        return nullptr;
    htmlstream_tag *tag = (htmlstream_tag *)xmalloc(sizeof(htmlstream_tag));
    tag->name = xstrndup(text + words[0].first, words[0].second);
    tag->attributes = nullptr;
    htmlstream_attribute **tail = &tag->attributes;
    for (size_t k = 1; k + 1 < words.size(); k += 2) {
        htmlstream_attribute *a = (htmlstream_attribute *)xmalloc(sizeof(htmlstream_attribute));
        a->next = nullptr;
        a->name = xstrndup(text + words[k].first, words[k].second);
        a->value = xstrndup(text + words[k + 1].first, words[k + 1].second);
        *tail = a;
        tail = &a->next;
    }
    return tag;
}

void htmlstream_tag_free(htmlstream_tag *tag)
{
    if (tag == nullptr)
        return;
    htmlstream_attribute *a = tag->attributes;
    while (a) {
        htmlstream_attribute *next = a->next;
        free(a->name);
        free(a->value);
        free(a);
        a = next;
    }
    free(tag->name);
    free(tag);
}

// Without recursion: a tree a page shaped cannot exhaust the stack.
void htmlstream_tree_free(htmlstream_node *node)
{
    std::vector<htmlstream_node *> lists;
    if (node)
        lists.push_back(node);
    while (!lists.empty()) {
        htmlstream_node *n = lists.back();
        lists.pop_back();
        while (n) {
            htmlstream_node *next = n->next;
            if (n->children)
                lists.push_back(n->children);
            free(n->text);
            htmlstream_tag_free(n->tag);
            free(n);
            n = next;
        }
    }
}
