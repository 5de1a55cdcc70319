// HTML bodies as an origin sends them, fed to HTMLStream whole and in
// pieces whose sizes come from the input's first bytes: both feeds must
// give the same tree and the same callbacks, every node must hang where
// its links say, and no group may pass the nesting limit.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz.h"
#include "runtime/hstream.h"

namespace {

int record(HTMLStream *, htmlstream_node *node, void *data)
{
    static_cast<std::string *>(data)->append(node->tag->name).push_back('\n');
    return 0;
}

// The tree as text, walked with an explicit stack; checks the links.
std::string dump(const HTMLStream &s)
{
    std::string out;
    std::vector<std::pair<const htmlstream_node *, int>> todo{{s.root, 0}};
    while (!todo.empty()) {
        auto [n, level] = todo.back();
        todo.pop_back();
        const htmlstream_node *parent = n ? n->parent : nullptr;
        std::vector<std::pair<const htmlstream_node *, int>> groups;
        for (const htmlstream_node *prev = nullptr; n; prev = n, n = n->next) {
            if (n->previous != prev || n->parent != parent)
                abort();
            if (level > HTMLSTREAM_DEPTH_LIMIT + 2)
                abort();
            out += std::to_string(level) + (n->text ? "t:" : n->tag ? "g:" : "u:");
            if (n->text)
                out += n->text;
            if (n->tag) {
                out += n->tag->name;
                for (htmlstream_attribute *a = n->tag->attributes; a; a = a->next)
                    out += std::string(" ") + a->name + "=" + a->value;
            }
            out += "\n";
            if (n->children) {
                if (n->children->parent != n || n->depth < 1)
                    abort();
                groups.push_back({n->children, level + 1});
            }
        }
        todo.insert(todo.end(), groups.rbegin(), groups.rend());
    }
    return out;
}

std::string parse(const std::string &body, const std::vector<size_t> &pieces, std::string &calls)
{
    HTMLStream s;
    for (const char *name : {"a", "img", "p", "b"})
        s.Callback(name, record, &calls);
    size_t at = 0, k = 0;
    while (at < body.size()) {
        size_t n = pieces.empty() ? body.size() : pieces[k++ % pieces.size()];
        n = std::min(n, body.size() - at);
        s.Add(body.data() + at, n);
        at += n;
    }
    s.Add(nullptr, 0);
    return dump(s);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: how many piece sizes follow (up to 7), then the body.
    size_t count = 1 + data[0] % 7;
    if (size < 1 + count)
        return 0;
    std::vector<size_t> pieces;
    for (size_t i = 0; i < count; i++)
        pieces.push_back(1 + data[1 + i] % 16);
    std::string body = fuzz_text(data + 1 + count, size - 1 - count);

    std::string whole_calls, piece_calls;
    std::string whole = parse(body, {}, whole_calls);
    std::string cut = parse(body, pieces, piece_calls);
    if (whole != cut || whole_calls != piece_calls)
        abort();
    return 0;
}
