// The keyword filter.
#include "filters/keyword.h"

#include <cstring>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/urlcommand.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/processors.h"

KeywordSection *keyword_section = nullptr;

namespace {

const char *response_type(const CONNECTION_T *connection);

// The Content-Type the rules see: as received, or "" without one.
const char *response_type(const CONNECTION_T *connection)
{
    const HEADER *r = connection->response;
    return r && r->content_type ? r->content_type : "";
}

}  // namespace

Keyword::Keyword(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      content_type(item.fields[4].raw),
      body(item.fields[5].raw),
      score(item.fields[6].int_value),
      broken(false),
      body_joined(false)
{
    content_type_regex.compile(content_type, "keyword filter", comment, &broken);
    body_regex.compile(body, "keyword filter", comment, &broken);
    if (filter_flawed(item, "keyword filter", comment))
        broken = true;
}

KeywordSection::KeywordSection() : Section("keywords-filtering", 0)
{
    ASSERT(fields.size() >= 3);
    ASSERT(subsections.size() >= 1 && subsections[0].fields.size() >= 7);
    enabled = &fields[0].int_value;
    threshold = &fields[1].int_value;
    template_name = &fields[2].raw;
    processors.Add(keyword_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(keyword_buffcheck, PROCESSOR_BUFFCHECK);
    hooks.Add(keyword_prerespmod, HOOK_PRERESPMOD);
}

KeywordSection::~KeywordSection() = default;

void KeywordSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
    std::vector<std::string> bodies;
    for (const Keyword &rule : rules)
        bodies.push_back(rule.broken || rule.body_regex.empty() ? "" : rule.body);
    std::vector<bool> held;
    body_prefilter.build(bodies, &held);
    size_t i = 0;
    for (Keyword &rule : rules)
        rule.body_joined = held[i++];
}

bool KeywordSection::applies(const Keyword &rule, CONNECTION_T *connection) const
{
    return filter_applies(rule.enabled, rule.broken, rule.groups, rule.profiles, connection) &&
           rule.content_type_regex.matches(response_type(connection));
}

int KeywordSection::check_match(CONNECTION_T *connection)
{
    read_lock();
    int wanted = 0;
    // Before the response has come its Content-Type is unknown: a rule
    // that would test it may apply.
    bool before_response = connection->response == nullptr;
    if (*enabled != 0 && !(connection->bypass & BYPASS_KEYWORD)) {
        for (const Keyword &rule : rules) {
            bool may_apply = before_response ? filter_applies(rule.enabled, rule.broken,
                                                              rule.groups, rule.profiles,
                                                              connection)
                                             : applies(rule, connection);
            if (may_apply && !rule.body_regex.empty()) {
                wanted = 1;
                break;
            }
        }
    }
    unlock();
    return wanted;
}

int KeywordSection::check(CONNECTION_T *connection, Filebuf *body)
{
    read_lock();
    if (*enabled == 0 || (connection->bypass & BYPASS_KEYWORD)) {
        unlock();
        return 0;
    }
    if (body != nullptr && filter_body_coded(connection)) {
        putlog(LOG_KEYWORDFILTER, "[IP:%s] body could not be decoded: not scored",
               filter_client(connection));
        unlock();
        return 0;
    }
    int score = 0;
    // The whole body is searched, bytes after a NUL included; one pass
    // tells whether any of the joined body expressions can match at all.
    const char *text = body != nullptr && body->data ? body->data : "";
    size_t length = body != nullptr ? body->size : 0;
    bool joined_may_match = body == nullptr || body_prefilter.may_match(text, length);
    for (const Keyword &rule : rules) {
        if (!applies(rule, connection))
            continue;
        if (body != nullptr && !rule.body_regex.empty() &&
            ((rule.body_joined && !joined_may_match) || !rule.body_regex.matches(text, length)))
            continue;
        score += rule.score;
    }
    unlock();
    return score;
}

int KeywordSection::check_and_block(CONNECTION_T *connection, Filebuf *body)
{
    int score = check(connection, body);
    if (score == 0)
        return 0;
    read_lock();
    int limit = *threshold;
    connection->variables["SCORE"] = std::to_string(score);
    connection->variables["THRESHOLD"] = std::to_string(limit);
    if (score < limit) {
        unlock();
        return 0;
    }
    connection->variables["FILTER"] = "KeyWord Filter";
    char reason[96];
    snprintf(reason, sizeof(reason), "score: %d exceeded threshold: %d", score, limit);
    connection->variables["REASON"] = reason;
    putlog(LOG_KEYWORDFILTER, "blocked: [IP: %s] score:%d threshold:%d",
           filter_client(connection), score, limit);
    std::string decimal = std::to_string(score).substr(0, 8);
    filter_block(connection, filter_page_name("", *template_name, "blocked"),
                 filter_refusal_status(200), "keyword-filter", decimal);
    unlock();
    return 1;
}

int keyword_buffcheck(CONNECTION_T *connection, Filebuf *)
{
    return keyword_section ? keyword_section->check_match(connection) : 0;
}

int keyword_respcheck(CONNECTION_T *connection, Filebuf *buffer)
{
    return keyword_section ? keyword_section->check_and_block(connection, buffer) : 0;
}

int keyword_prerespmod(void *first, void *second)
{
    CONNECTION_T *connection = (CONNECTION_T *)first;
    if (keyword_section == nullptr || !url_command_find(connection->url_commands, "score"))
        return 0;
    score_show(connection, keyword_section->check(connection, (Filebuf *)second));
    return 1;
}

void score_show(CONNECTION_T *connection, int score)
{
    const HEADER *h = connection->request;
    std::string where = interface_html(h && h->host ? h->host : "") +
                        interface_html(h && h->path ? h->path : "");
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>Keyword score for %s</title></head>", where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">"
              "<tr><td align=\"center\">\n");
    page.Addf("<table class=\"bigdialog\">\n");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Keyword score for %s</td></tr>\n",
              where.c_str());
    page.Addf("<tr><td align=\"center\">%d</td></tr>\n", score);
    page.Addf("</table></td></tr></table></body></html>\n");
    interface_send_response(connection, &page);
}
