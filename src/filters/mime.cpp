// The MIME filter.
#include "filters/mime.h"

#include "engine/connection.h"
#include "engine/header.h"
#include "interface/interface.h"
#include "runtime/log.h"
#include "runtime/mem.h"

MimeSection *mime_section = nullptr;

namespace {

bool mime_rule_matches(const Mime &rule, CONNECTION_T *connection);

bool mime_rule_matches(const Mime &rule, CONNECTION_T *connection)
{
    const HEADER *h = connection->request;
    const HEADER *r = connection->response;
    if (!filter_applies(rule.enabled, rule.broken, rule.groups, rule.profiles, connection))
        return false;
    if (!rule.host_regex.matches(header_rule_host(h)))
        return false;
    if (!rule.path_regex.matches(header_rule_path(h)))
        return false;
    if (rule.content_type_regex.empty())
        return true;
    return r && r->content_type && rule.content_type_regex.matches(r->content_type);
}

}  // namespace

Mime::Mime() : item(nullptr), enabled(1), broken(false)
{
}

Mime::Mime(const Item &item)
    : item(&item),
      enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      host(item.fields[4].raw),
      path(item.fields[5].raw),
      content_type(item.fields[6].raw),
      template_name(item.fields[7].raw),
      broken(false)
{
    content_type_regex.compile(content_type, "mime filter", comment, &broken);
    host_regex.compile(host, "mime filter", comment, &broken);
    path_regex.compile(path, "mime filter", comment, &broken);
    if (filter_flawed(item, "mime filter", comment))
        broken = true;
}

MimeSection::MimeSection() : Section("mime-filtering", 0)
{
    ASSERT(fields.size() >= 3);
    ASSERT(subsections.size() >= 2 && subsections[0].fields.size() >= 8 &&
           subsections[1].fields.size() >= 8);
    enabled = &fields[0].int_value;
    mode = &fields[1].int_value;
    template_name = &fields[2].raw;
}

MimeSection::~MimeSection() = default;

void MimeSection::update()
{
    allow.clear();
    deny.clear();
    for (const Item &item : subsections[0].items)
        allow.emplace_back(item);
    for (const Item &item : subsections[1].items)
        deny.emplace_back(item);
}

const Mime *MimeSection::check(CONNECTION_T *connection)
{
    if (*enabled == 0 || (connection->bypass & BYPASS_MIME) || connection->request == nullptr)
        return nullptr;
    return filter_two_pass(*mode, allow, deny, &default_rule, [&](const Mime &rule) {
        return mime_rule_matches(rule, connection);
    });
}

int MimeSection::check_and_block(CONNECTION_T *connection)
{
    read_lock();
    const Mime *rule = check(connection);
    if (rule == nullptr) {
        unlock();
        return 1;
    }
    const HEADER *h = connection->request;
    const char *type = connection->response ? connection->response->content_type : nullptr;
    putlog(LOG_MIMEFILTER, "blocked: mime-type %s from %s%s", type ? type : "(none)",
           h->host ? h->host : "", h->path ? h->path : "");
    connection->variables["FILTER"] = "MiMe Filter";
    connection->variables["MIME"] = type ? type : "(UNKNOWN)";
    filter_block(connection, filter_page_name(rule->template_name, *template_name, "blocked"),
                 filter_refusal_status(200), "mime-filter", type ? type : "(none)");
    unlock();
    return 0;
}

void MimeSection::check_show(CONNECTION_T *connection)
{
    read_lock();
    const Mime *rule = check(connection);
    const char *fallback = nullptr;
    if (rule == &default_rule)
        fallback = "No allow rule matches: refused";
    interface_match_page(connection, "MIME filter", rule ? rule->item : nullptr, fallback);
    unlock();
}
