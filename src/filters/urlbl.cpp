// The URL blacklist section: rules, the two-pass check and the block.
#include "filters/urlbl.h"

#include <strings.h>

#include <cstdlib>

#include "engine/connection.h"
#include "engine/header.h"
#include "filters/filter.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/processors.h"

URLBLSection *urlbl_section = nullptr;

URLBL::URLBL() : enabled(1) {}

URLBL::URLBL(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      categories(item.fields[4].string_list.begin(), item.fields[4].string_list.end()),
      template_name(item.fields[5].raw)
{
    if (filter_flawed(item, "urlblacklist", comment))
        enabled = 0;
}

URLBLSection::URLBLSection() : Section("urlblacklist", 0)
{
    enabled = &fields[0].int_value;
    mode = &fields[1].int_value;
    directory = &fields[2].raw;
    template_name = &fields[3].raw;
    processors.Add(urlbl_reqcheck, PROCESSOR_REQCHECK);
}

void URLBLSection::update()
{
    allow.clear();
    deny.clear();
    for (const Item &item : subsections[0].items)
        allow.emplace_back(item);
    for (const Item &item : subsections[1].items)
        deny.emplace_back(item);
    // A section that is off reads nothing, and says nothing about a
    // directory it does not use.
    if (tree_wanted && *enabled != 0 && !tree_read) {
        urlbl_tree_load(*directory, &categories);
        tree_read = true;
    }
}

void URLBLSection::load()
{
    write_lock();
    tree_wanted = true;
    if (*enabled != 0 && !tree_read) {
        urlbl_tree_load(*directory, &categories);
        tree_read = true;
    }
    unlock();
}

const URLBL *URLBLSection::check(CONNECTION_T *connection)
{
    if (*enabled == 0 || (connection->bypass & BYPASS_URLBL))
        return nullptr;
    const char *host = header_rule_host(connection->request);
    const char *path = header_rule_path(connection->request);
    auto matches = [&](const URLBL &rule) {
        if (!filter_applies(rule.enabled, false, rule.groups, rule.profiles, connection))
            return false;
        const std::string *category =
            urlbl_category_match(categories, rule.categories, host, path);
        if (category == nullptr)
            return false;
        connection->variables["CATEGORY"] = *category;
        connection->variables["FILTER"] = "URL BlackList";
        putlog(LOG_URLBLACKLIST, "[IP:%s] match found in %s category",
               filter_client(connection), category->c_str());
        // Every match is logged, an allowing one too.
        connection->log_entry.filter_name = "urlbl";
        connection->log_entry.filtering_reason = *category;
        return true;
    };
    return filter_two_pass(*mode, allow, deny, &default_rule, matches);
}

int URLBLSection::check_and_block(CONNECTION_T *connection)
{
    read_lock();
    const char *host = connection->request ? connection->request->host : nullptr;
    if (host == nullptr || *host == '\0') {
        unlock();
        return 0;
    }
    const URLBL *rule = check(connection);
    if (rule == nullptr) {
        unlock();
        return 0;
    }
    putlog(LOG_URLBLACKLIST, "blocked %s%s", host,
           connection->request->path ? connection->request->path : "");
    std::string page = filter_page_name(rule->template_name, *template_name, "blacklisted");
    bool connect = connection->request->method &&
                   strcasecmp(connection->request->method, "CONNECT") == 0;
    // The reason is the category of the deciding deny match; a request
    // refused because no allow rule matched has none.
    std::string reason;
    if (rule != &default_rule)
        reason = connection->log_entry.filtering_reason;
    filter_block(connection, page, connect ? 404 : 403, "urlbl", reason);
    unlock();
    return 1;
}

void URLBLSection::search_page(Filebuf *page, const std::string &host, const std::string &path)
{
    read_lock();
    std::vector<std::string> names;
    for (const auto &c : categories)
        names.push_back(c.first);
    std::vector<std::string> found;
    for (const std::string &name : names) {
        std::vector<std::string> one = {name};
        if (urlbl_category_match(categories, one, host.c_str(), path.c_str()))
            found.push_back(name);
    }
    unlock();
    char *h = string_to_html(host.c_str(), 0);
    char *p = string_to_html(path.c_str(), 0);
    page->Addf("<table class=\"list\"><tr class=\"listhead\"><td>%s%s</td></tr>\n", h ? h : "",
               p ? p : "");
    free(h);
    free(p);
    for (const std::string &name : found) {
        char *n = string_to_html(name.c_str(), 0);
        page->Addf("<tr><td>%s</td></tr>\n", n ? n : "");
        free(n);
    }
    if (found.empty())
        page->Addf("<tr><td>not listed</td></tr>\n");
    page->Addf("</table>\n");
}

int urlbl_reqcheck(CONNECTION_T *connection, Filebuf *)
{
    return urlbl_section ? urlbl_section->check_and_block(connection) : 0;
}
