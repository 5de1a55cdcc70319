// User limits.
#include "filters/limits.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

LimitSection *limit_section = nullptr;

namespace {

struct tm local_now();
std::string decimal(uint64_t value);

struct tm local_now()
{
    time_t now = time(nullptr);
    struct tm t;
    if (!local_time(now, &t))
        putlog(LOG_ERROR, "limits: localtime_r failed for %lld", (long long)now);
    return t;
}

std::string decimal(uint64_t value)
{
    char text[32];
    snprintf(text, sizeof(text), "%" PRIu64, value);
    return text;
}

}  // namespace

// -------------------------------------------------------------------- Limit

Limit::Limit(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      type(item.fields[4].int_value),
      template_name(item.fields[5].raw),
      timed(false),
      download_quota(item.fields[11].long_value),
      upload_quota(item.fields[12].long_value),
      max_requests(item.fields[13].uint_value),
      rate(item.fields[14].long_value),
      range_mode(item.fields[15].int_value),
      flags(item.fields[16].int_value),
      downloaded(0),
      uploaded(0),
      requests(0),
      group(nullptr)
{
    memset(&lower, 0, sizeof(lower));
    memset(&upper, 0, sizeof(upper));
    // Fields 6 to 10 give month to minute; the year is never part of it.
    for (int part = TM_PART_MONTH; part <= TM_PART_MIN; part++) {
        const Field &field = item.fields[6 + part - TM_PART_MONTH];
        if (!field.optional || !field.active)
            continue;
        lower.part[part] = {1, field.int_value};
        upper.part[part] = {1, field.int_value2};
        timed = true;
    }
    if (flags & LIMIT_SHARED_GROUP)
        group = new LimitGroup(rate);
    if (filter_flawed(item, "limits", comment))
        enabled = 0;
}

Limit::~Limit()
{
    limitgroup_release(group);
}

bool Limit::inside(const struct tm *now) const
{
    if (!timed)
        return true;
    return range_mode != 0 ? in_alltimerange(now, &lower, &upper)
                           : in_absolutetimerange(now, &lower, &upper);
}

// ------------------------------------------------------------- LimitSection

LimitSection::LimitSection() : Section("limits", 0)
{
    ASSERT(fields.size() >= 1);
    ASSERT(subsections.size() >= 1 && subsections[0].fields.size() >= 17);
    enabled = &fields[0].int_value;
}

LimitSection::~LimitSection() = default;

void LimitSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

bool LimitSection::applies(const Limit &rule, CONNECTION_T *connection,
                           const struct tm *now) const
{
    return filter_applies(rule.enabled, false, rule.groups, rule.profiles, connection) &&
           rule.inside(now);
}

void LimitSection::block(CONNECTION_T *connection, const Limit &rule, const char *page,
                         const char *limit_type, const char *reason)
{
    connection->variables["FILTER"] = "User Limits";
    connection->variables["LIMIT_TYPE"] = limit_type;
    filter_block(connection, filter_page_name(rule.template_name, "", page), 404,
                 "limit-section", reason);
}

int LimitSection::check_and_block(CONNECTION_T *connection)
{
    read_lock();
    connection->bytes_downloaded = 0;
    connection->bytes_uploaded = 0;
    connection->download_allowance = CONN_NO_LIMIT;
    connection->upload_allowance = CONN_NO_LIMIT;
    // A rate is earned per request: only a rule that applies to this one
    // gives the client socket a write group.
    if (connection->client != nullptr)
        connection->client->SetRate(nullptr, nullptr);
    if ((connection->bypass & BYPASS_LIMITS) || *enabled == 0) {
        unlock();
        return 0;
    }
    struct tm now = local_now();
    bool applied = false;
    uint64_t chosen_rate = 0;
    for (const Limit &rule : rules) {
        if (!applies(rule, connection, &now))
            continue;
        applied = true;
        if (rule.type == 1) {
            putlog(LOG_LIMITS, "blocked: time limit restrictions");
            block(connection, rule, "blocked", "Time Limits", "time limit restrictions");
            unlock();
            return 1;
        }
        if (rule.max_requests != 0 && rule.requests >= rule.max_requests) {
            block(connection, rule, "maxrequests", "Max Requests", "max-requests restrictions");
            unlock();
            return 1;
        }
        if (rule.download_quota != 0) {
            uint64_t left = rule.downloaded > rule.download_quota ? 0
                                                                  : rule.download_quota - rule.downloaded;
            if (left < connection->download_allowance) {
                connection->variables["DOWNLOADLIMIT"] = decimal(rule.download_quota);
                connection->download_allowance = left;
            }
        }
        if (rule.upload_quota != 0) {
            uint64_t left = rule.uploaded > rule.upload_quota ? 0 : rule.upload_quota - rule.uploaded;
            if (left < connection->upload_allowance) {
                connection->variables["UPLOADLIMIT"] = decimal(rule.upload_quota);
                connection->upload_allowance = left;
            }
        }
        if (rule.flags & LIMIT_COUNT_CACHED)
            connection->flags |= CONN_DOWNLOAD_LIMIT;
        if (chosen_rate == 0 || rule.rate < chosen_rate) {
            chosen_rate = rule.rate;
            if (connection->client != nullptr) {
                if (rule.flags & LIMIT_SHARED_GROUP) {
                    ASSERT(rule.group != nullptr);
                    connection->client->SetRate(nullptr, rule.group);
                } else {
                    LimitGroup *group = new LimitGroup(rule.rate);
                    connection->client->SetRate(nullptr, group);
                    limitgroup_release(group);  // the socket holds its own reference
                }
            }
        }
    }
    if (applied) {
        putlog(LOG_LIMITS, "transfer download limit: %" PRIu64, connection->download_allowance);
        putlog(LOG_LIMITS, "transfer upload limit: %" PRIu64, connection->upload_allowance);
        if (chosen_rate != 0)
            putlog(LOG_LIMITS, "transfer download rate: %" PRIu64, chosen_rate);
    }
    unlock();
    return 0;
}

void LimitSection::update(CONNECTION_T *connection)
{
    if (connection->bypass & BYPASS_LIMITS)
        return;
    // Every request ends here: with the section off or no rule counting,
    // the shared lock is enough and requests do not queue on each other.
    read_lock();
    bool counting = false;
    if (*enabled != 0)
        for (const Limit &rule : rules)
            if (!(rule.flags & LIMIT_NO_ACCOUNTING) &&
                (rule.download_quota != 0 || rule.upload_quota != 0 || rule.max_requests != 0))
                counting = true;
    unlock();
    if (!counting)
        return;
    write_lock();
    struct tm now = local_now();
    if (*enabled != 0) {
        bool from_cache = connection->cachemap != nullptr && !(connection->flags & CONN_CACHE_WRITE);
        for (Limit &rule : rules) {
            if ((rule.flags & LIMIT_NO_ACCOUNTING) || !applies(rule, connection, &now))
                continue;
            if (rule.download_quota != 0 && (!from_cache || (rule.flags & LIMIT_COUNT_CACHED)))
                rule.downloaded += connection->bytes_downloaded;
            if (rule.upload_quota != 0)
                rule.uploaded += connection->bytes_uploaded;
            if (rule.max_requests != 0)
                rule.requests++;
        }
    }
    unlock();
}

void LimitSection::reset()
{
    write_lock();
    struct tm now = local_now();
    if (*enabled != 0) {
        for (Limit &rule : rules) {
            if (rule.enabled == 0 || (rule.downloaded == 0 && rule.uploaded == 0 && rule.requests == 0))
                continue;
            if (!rule.inside(&now))
                rule.downloaded = rule.uploaded = rule.requests = 0;
        }
    }
    unlock();
}

void limits_reset(void *)
{
    if (limit_section != nullptr)
        limit_section->reset();
}

void limits_show(CONNECTION_T *connection)
{
    const HEADER *h = connection->request;
    std::string where = interface_html(h && h->host ? h->host : "") +
                        interface_html(h && h->path ? h->path : "");
    char *download = filesize(connection->download_allowance);
    char *upload = filesize(connection->upload_allowance);
    ASSERT(download != nullptr && upload != nullptr);
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>Transfer limits for %s</title></head>", where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">"
              "<tr><td align=\"center\">\n");
    page.Addf("<table class=\"bigdialog\">\n");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Transfer limits for %s</td></tr>\n",
              where.c_str());
    // No limit is shown as such rather than as the largest count.
    page.Addf("<tr><td>Download limit</td><td>%s</td>\n",
              connection->download_allowance == CONN_NO_LIMIT ? "none" : download);
    page.Addf("<tr><td>Upload limit</td><td>%s</td>\n",
              connection->upload_allowance == CONN_NO_LIMIT ? "none" : upload);
    page.Addf("</table></td></tr></table></body></html>\n");
    free(download);
    free(upload);
    interface_send_response(connection, &page);
}
