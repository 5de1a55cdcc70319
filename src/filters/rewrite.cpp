// Rewrite rules.
#include "filters/rewrite.h"

#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "filters/filter.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/processors.h"

RewriteSection *rewrite_section = nullptr;

namespace {

// PCRE options of the patterns: caseless, multi-line, dot-all, extended.
const int REWRITE_PCRE_OPTIONS = 15;

const char *kind_text(int kind);

const char *kind_text(int kind)
{
    switch (kind) {
    case REWRITE_REQUEST_HEAD:
        return "client header";
    case REWRITE_RESPONSE_HEAD:
        return "server header";
    case REWRITE_RESPONSE_BODY:
        return "body";
    default:
        return "post body";
    }
}

}  // namespace

Rewrite::Rewrite(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      profiles(item.fields[2].string_list),
      content_type(item.fields[3].raw),
      pattern(item.fields[4].raw),
      replacement(item.fields[5].raw),
      applies_to(item.fields[6].int_value),
      broken(false),
      compiled(nullptr)
{
    content_type_regex.compile(content_type, "rewriting", comment, &broken);
    compiled = filter_sub_pattern(pattern, REWRITE_PCRE_OPTIONS, "rewriting", comment, &broken);
    if (filter_flawed(item, "rewriting", comment))
        broken = true;
}

Rewrite::~Rewrite()
{
    if (compiled != nullptr)
        reg_sub_free(compiled);
}

RewriteSection::RewriteSection() : Section("rewrite", 0)
{
    ASSERT(fields.size() >= 1);
    ASSERT(subsections.size() >= 1 && subsections[0].fields.size() >= 7);
    enabled = &fields[0].int_value;
    processors.Add(rewrite_reqmod, PROCESSOR_REQMOD);
    processors.Add(rewrite_respmod, PROCESSOR_RESPMOD);
    processors.Add(rewrite_buffcheck, PROCESSOR_BUFFCHECK);
    processors.Add(rewrite_reqheader, PROCESSOR_REQHEADER);
    processors.Add(rewrite_respheader, PROCESSOR_RESPHEADER);
}

RewriteSection::~RewriteSection() = default;

void RewriteSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

// The Content-Type condition is tested against the response's value for a
// response body and against the empty text for the other kinds, so a rule
// with a Content-Type expression changes response bodies only (unless its
// expression matches the empty text).  While the raw request head is being
// rewritten there is no parsed request head, and the condition is not
// tested; nor is it for a response body before the response has come.
bool RewriteSection::applies(const Rewrite &rule, CONNECTION_T *connection, int kind) const
{
    if (rule.enabled == 0 || rule.broken || rule.compiled == nullptr || !(rule.applies_to & kind))
        return false;
    if (!profile_find(connection->profiles, rule.profiles))
        return false;
    if (kind == REWRITE_REQUEST_HEAD || connection->request == nullptr ||
        rule.content_type_regex.empty())
        return true;
    // Asked before the response has come: its Content-Type is unknown, and
    // the rule may change its body.
    if (kind == REWRITE_RESPONSE_BODY && connection->response == nullptr)
        return true;
    const char *type = "";
    if (kind == REWRITE_RESPONSE_BODY && connection->response && connection->response->content_type)
        type = connection->response->content_type;
    return rule.content_type_regex.matches(type);
}

bool RewriteSection::check_match(CONNECTION_T *connection, int kind)
{
    read_lock();
    bool found = false;
    if (*enabled != 0 && !(connection->bypass & BYPASS_REWRITE)) {
        for (const Rewrite &rule : rules) {
            if (applies(rule, connection, kind)) {
                found = true;
                break;
            }
        }
    }
    unlock();
    return found;
}

bool RewriteSection::rewrite_do(CONNECTION_T *connection, Filebuf *buffer, int kind)
{
    read_lock();
    bool applied = false;
    if (*enabled != 0 && !(connection->bypass & BYPASS_REWRITE)) {
        for (const Rewrite &rule : rules) {
            if (!applies(rule, connection, kind))
                continue;
            applied = true;
            int count = reg_replace(buffer, rule.compiled, rule.replacement.c_str(),
                                    connection->variables);
            if (count > 0)
                putlog(LOG_REWRITE, "%s matched %d times in %s", rule.pattern.c_str(), count,
                       kind_text(kind));
        }
    }
    unlock();
    return applied;
}

int rewrite_reqheader(CONNECTION_T *connection, Filebuf *buffer)
{
    if (rewrite_section)
        rewrite_section->rewrite_do(connection, buffer, REWRITE_REQUEST_HEAD);
    return 1;
}

int rewrite_respheader(CONNECTION_T *connection, Filebuf *buffer)
{
    if (rewrite_section)
        rewrite_section->rewrite_do(connection, buffer, REWRITE_RESPONSE_HEAD);
    return 1;
}

int rewrite_respmod(CONNECTION_T *connection, Filebuf *buffer)
{
    if (!rewrite_section)
        return 1;
    // A body left in a coding the engine could not undo holds no text the
    // rules can read, and a change to its coded bytes would corrupt it.
    if (filter_body_coded(connection)) {
        if (rewrite_section->check_match(connection, REWRITE_RESPONSE_BODY))
            putlog(LOG_REWRITE, "[IP:%s] body could not be decoded: not rewritten",
                   filter_client(connection));
        return 1;
    }
    rewrite_section->rewrite_do(connection, buffer, REWRITE_RESPONSE_BODY);
    return 1;
}

int rewrite_reqmod(CONNECTION_T *connection, Filebuf *buffer)
{
    if (rewrite_section && buffer != nullptr && buffer->size > 0)
        rewrite_section->rewrite_do(connection, buffer, REWRITE_REQUEST_BODY);
    return 0;
}

int rewrite_buffcheck(CONNECTION_T *connection, Filebuf *)
{
    return rewrite_section && rewrite_section->check_match(connection, REWRITE_RESPONSE_BODY) ? 1 : 0;
}
