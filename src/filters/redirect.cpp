// Redirect rules.
#include "filters/redirect.h"

#include <cstdlib>
#include <cstring>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/templates.h"
#include "engine/urlcommand.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

RedirectSection *redirect_section = nullptr;

namespace {

// PCRE options of the patterns: caseless, multi-line, dot-all, extended.
const int REDIRECT_PCRE_OPTIONS = 15;
// Longest subject and 302 Location value.
const size_t REDIRECT_TEXT_MAX = 1023;

std::string subject_of(const CONNECTION_T *connection, int which);
bool rule_tried(const Redirect &rule, CONNECTION_T *connection, int which);
std::string result_path_fixed(const std::string &result, int32_t options, size_t *path);
int answer_302(CONNECTION_T *connection, const std::string &subject, const std::string &result);
void rewrite_in_place(CONNECTION_T *connection, const Redirect &rule,
                      const std::string &subject, const std::string &result, size_t path);

std::string subject_of(const CONNECTION_T *connection, int which)
{
    std::string subject;
    if (which == REDIRECT_LOCATION) {
        const HEADER *r = connection->response;
        subject = r && r->location ? r->location : "";
    } else {
        const HEADER *h = connection->request;
        if (h->host && *h->host)
            subject = std::string(h->scheme ? h->scheme : "") + "://" + h->host +
                      (h->path ? h->path : "");
        else
            subject = h->path ? h->path : "";
    }
    if (subject.size() > REDIRECT_TEXT_MAX)
        subject.resize(REDIRECT_TEXT_MAX);
    return subject;
}

bool rule_tried(const Redirect &rule, CONNECTION_T *connection, int which)
{
    if (rule.compiled == nullptr)
        return false;
    if (!filter_applies(rule.enabled, rule.broken, rule.groups, rule.profiles, connection))
        return false;
    return rule.applies_to == 2 || (rule.applies_to == 1 && which == REDIRECT_REQUEST) ||
           (rule.applies_to == 0 && which == REDIRECT_LOCATION);
}

// Encodes or decodes the path of the result as the options ask; *path is
// set to the offset of the path's "/" in the final text (npos: none).
std::string result_path_fixed(const std::string &result, int32_t options, size_t *path)
{
    size_t scheme_end = result.find("://");
    size_t host_start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    *path = result.find('/', host_start);
    if (*path == std::string::npos || !(options & (REDIRECT_ENCODE_PATH | REDIRECT_DECODE_PATH)))
        return result;
    std::string rest = result.substr(*path + 1);
    char *fixed = (options & REDIRECT_ENCODE_PATH)
                      ? url_encode(rest.c_str(), (int64_t)rest.size())
                      : url_decode(rest.c_str(), (int64_t)rest.size());
    if (fixed == nullptr)
        return result;
    std::string text = result.substr(0, *path + 1) + fixed;
    free(fixed);
    return text;
}

int answer_302(CONNECTION_T *connection, const std::string &subject, const std::string &result)
{
    putlog(LOG_REDIRECT, "[IP:%s] sent 302 redirect for request for %s to %s",
           filter_client(connection), subject.c_str(), result.c_str());
    std::string location = result;
    if (!result.empty() && result[0] != '/' && connection->url_commands != nullptr) {
        char *prefix = url_command_create(connection->url_commands);
        size_t at = result.find("://");
        if (at == std::string::npos)
            location = std::string(prefix) + result;
        else
            location = result.substr(0, at + 3) + prefix + result.substr(at + 3);
        free(prefix);
    }
    if (location.size() > REDIRECT_TEXT_MAX)
        location.resize(REDIRECT_TEXT_MAX);
    HEADER *head = header_new();
    head->kind = HEADER_RESPONSE;
    head->status = 302;
    head->flags |= HEADER_LENGTH;
    head->content_length = 0;
    header_field_set(&head->location, location.c_str());
    HEADER *previous = connection->response;
    connection->response = head;
    if (header_send(head, connection, SIDE_CLIENT, SEND_TO_CLIENT) != 0)
        connection->keepalive_client = 0;
    connection->response = previous;
    http_header_free(head);
    connection->log_entry.status = 302;
    connection->log_entry.size = 0;
    return 1;
}

void rewrite_in_place(CONNECTION_T *connection, const Redirect &rule,
                      const std::string &subject, const std::string &result, size_t path)
{
    HEADER *h = connection->request;
    size_t scheme_end = result.find("://");
    if (scheme_end != std::string::npos)
        header_field_set(&h->scheme, result.substr(0, scheme_end).c_str());
    if (!(result[0] == '/' && path != std::string::npos)) {
        size_t host_start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
        size_t host_end = path == std::string::npos ? result.size() : path;
        header_field_set(&h->host, result.substr(host_start, host_end - host_start).c_str());
    }
    header_field_set(&h->path, path == std::string::npos ? "/" : result.substr(path).c_str());
    if (rule.port != -1)
        h->port = rule.port;
    if (h->host && *h->host) {
        h->kind = HEADER_PROXY;
        putlog(LOG_REDIRECT, "[IP:%s] request for %s to %s://%s%s", filter_client(connection),
               subject.c_str(), h->scheme ? h->scheme : "", h->host, h->path);
    } else {
        putlog(LOG_REDIRECT, "[IP:%s] request for %s to %s", filter_client(connection),
               subject.c_str(), h->path);
    }
}

}  // namespace

Redirect::Redirect(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      pattern(item.fields[4].raw),
      replacement(item.fields[5].raw),
      port(item.fields[6].int_value),
      send_redirect(item.fields[7].int_value),
      options(item.fields[8].int_value),
      applies_to(item.fields[9].int_value),
      broken(false),
      compiled(filter_sub_pattern(pattern, REDIRECT_PCRE_OPTIONS, "redirect", comment, &broken))
{
    if (filter_flawed(item, "redirect", comment))
        broken = true;
}

Redirect::~Redirect()
{
    if (compiled != nullptr)
        reg_sub_free(compiled);
}

RedirectSection::RedirectSection() : Section("redirect", 0)
{
    ASSERT(fields.size() >= 1);
    ASSERT(subsections.size() >= 1 && subsections[0].fields.size() >= 10);
    enabled = &fields[0].int_value;
}

RedirectSection::~RedirectSection() = default;

void RedirectSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

int RedirectSection::redirect_do(CONNECTION_T *connection, int which)
{
    read_lock();
    if (*enabled == 0 || (connection->bypass & BYPASS_REDIRECT) || connection->request == nullptr ||
        (which == REDIRECT_LOCATION && connection->response == nullptr)) {
        unlock();
        return 0;
    }
    std::string subject = subject_of(connection, which);
    const Redirect *used = nullptr;
    regmatch_sub_t *match = nullptr;
    for (const Redirect &rule : rules) {
        if (!rule_tried(rule, connection, which))
            continue;
        std::string text = subject;
        if (rule.options & REDIRECT_DECODE_SUBJECT) {
            size_t length = 0;
            char *plain = url_decode(subject.c_str(), (int64_t)subject.size(), &length);
            if (plain != nullptr) {
                text.assign(plain, length);
                free(plain);
            }
        }
        match = reg_sub_exec(rule.compiled, text.data(), text.size());
        if (match != nullptr) {
            used = &rule;
            break;
        }
    }
    if (used == nullptr) {
        unlock();
        return 0;
    }
    char *expanded = reg_sub_parse(match, used->replacement.c_str(), connection->variables);
    reg_sub_match_free(match);
    size_t path = std::string::npos;
    std::string result = result_path_fixed(expanded, used->options, &path);
    free(expanded);

    int answered = 0;
    if (result.empty()) {
        putlog(LOG_REDIRECT, "[IP:%s] redirect: empty result for %s ignored",
               filter_client(connection), subject.c_str());
    } else if (!url_header_safe(result.data(), result.size())) {
        // CR, LF or NUL would end up in a head: the rewrite is refused.
        putlog(LOG_SECURITY, "[IP:%s] redirect: result for %s holds a line break or NUL: refused",
               filter_client(connection), subject.c_str());
        if (which == REDIRECT_REQUEST) {
            if (template_section == nullptr ||
                !template_section->send("badrequest", connection, 400))
                connection->keepalive_client = 0;
            answered = 1;
        }
    } else if (which == REDIRECT_LOCATION) {
        putlog(LOG_REDIRECT, "[IP:%s] 302 redirect for %s to %s", filter_client(connection),
               connection->response->location, result.c_str());
        header_field_set(&connection->response->location, result.c_str());
    } else if (used->send_redirect == 1) {
        answered = answer_302(connection, subject, result);
    } else {
        rewrite_in_place(connection, *used, subject, result, path);
    }
    unlock();
    return answered;
}
