// Cookies: the cookie header, the cookie filter and the "cookies" page.
#include "filters/cookies.h"

#include <cstring>
#include <strings.h>

#include "engine/connection.h"
#include "engine/header.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"

CookieSection *cookie_section = nullptr;

namespace {

const char *const COOKIE_DATE = "%a, %d-%b-%Y %H:%M:%S GMT";
const char *const COOKIE_DATE_BLANKS = "%a, %d %b %Y %T GMT";

int cookie_header_check(int direction, CONNECTION_T *connection, const char *value);
bool expiry_read(const std::string &value, struct tm *expiry);
std::string expiry_text(const struct tm &expiry);
void bounds_set(Cookie *rule, const Item &item);
void cookie_table(Filebuf *page, const char *title, const CookieHeader &cookie, bool attributes);

// The header writer's question for one cookie line.
int cookie_header_check(int direction, CONNECTION_T *connection, const char *value)
{
    if (cookie_section == nullptr || connection == nullptr)
        return 1;
    CookieHeader header(value ? value : "");
    return cookie_section->check(direction, connection, header);
}

bool expiry_read(const std::string &value, struct tm *expiry)
{
    for (const char *form : {COOKIE_DATE, COOKIE_DATE_BLANKS}) {
        struct tm t;
        memset(&t, 0, sizeof(t));
        if (strptime(value.c_str(), form, &t) != nullptr) {
            *expiry = t;
            return true;
        }
    }
    return false;
}

std::string expiry_text(const struct tm &expiry)
{
    char text[128];
    size_t n = strftime(text, sizeof(text), COOKIE_DATE, &expiry);
    return std::string(text, n);
}

// The two bounds of the rule's window from the active time fields; the
// year is written in full and compared as years since 1900.
void bounds_set(Cookie *rule, const Item &item)
{
    memset(&rule->lower, 0, sizeof(rule->lower));
    memset(&rule->upper, 0, sizeof(rule->upper));
    for (int part = TM_PART_YEAR; part <= TM_PART_MIN; part++) {
        const Field &field = item.fields[4 + part];
        if (!field.optional || !field.active)
            continue;
        int offset = part == TM_PART_YEAR ? 1900 : 0;
        rule->lower.part[part] = {1, field.int_value - offset};
        rule->upper.part[part] = {1, field.int_value2 - offset};
        rule->timed = true;
    }
}

void cookie_table(Filebuf *page, const char *title, const CookieHeader &cookie, bool attributes)
{
    page->Addf("<tr><td align=\"center\"><table class=\"dialog\">\n");
    page->Addf("<tr><td colspan=\"2\" class=\"dialoghead\" align=\"center\">%s</td></tr>\n", title);
    if (attributes) {
        if (cookie.has_expiry)
            page->Addf("<tr><td>Expires</td><td>%s</td></tr>\n",
                       interface_html(expiry_text(cookie.expiry), 1).c_str());
        if (!cookie.domain.empty())
            page->Addf("<tr><td>Domain</td><td>%s</td></tr>\n",
                       interface_html(cookie.domain, 1).c_str());
        if (!cookie.path.empty())
            page->Addf("<tr><td>Path</td><td>%s</td></tr>\n", interface_html(cookie.path, 1).c_str());
    }
    for (const auto &pair : cookie.pairs)
        page->Addf("<tr><td>%s</td><td>%s</td></tr>\n", interface_html(pair.first, 1).c_str(),
                   interface_html(pair.second, 1).c_str());
    page->Addf("</table></td></tr> <tr><td><br></td></tr>\n");
}

}  // namespace

// ------------------------------------------------------------- CookieHeader

CookieHeader::CookieHeader() : has_expiry(false), version(0)
{
    memset(&expiry, 0, sizeof(expiry));
}

CookieHeader::CookieHeader(const std::string &value) : CookieHeader()
{
    Parse(value);
}

void CookieHeader::Parse(const std::string &value)
{
    version = 0;
    has_expiry = false;
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos)
            end = value.size();
        std::string piece = value.substr(start, end - start);
        start = end + 1;
        size_t skip = piece.find_first_not_of(" $");
        if (skip == std::string::npos)
            continue;
        piece.erase(0, skip);
        size_t equal = piece.find('=');
        if (equal == std::string::npos || equal + 1 == piece.size())
            continue;
        std::string name = piece.substr(0, equal);
        std::string text = piece.substr(equal + 1);
        if (strcasecmp(name.c_str(), "version") == 0) {
            version = atoi(text.c_str());
        } else if (strcasecmp(name.c_str(), "domain") == 0) {
            domain = text;
        } else if (strcasecmp(name.c_str(), "path") == 0) {
            path = text;
        } else if (strcasecmp(name.c_str(), "expires") == 0 && expiry_read(text, &expiry)) {
            has_expiry = true;
        } else {
            if (strcasecmp(name.c_str(), "expires") == 0)
                putlog(LOG_WARNING, "failed to parse cookie expiry time: %s", text.c_str());
            pairs.emplace_back(name, text);
        }
    }
}

std::string CookieHeader::Build() const
{
    if (pairs.empty())
        return "";
    std::string text;
    for (const auto &pair : pairs) {
        if (!text.empty())
            text += "; ";
        text += pair.first + "=" + pair.second;
    }
    if (!domain.empty())
        text += "; domain=" + domain;
    if (!path.empty())
        text += "; path=" + path;
    if (has_expiry)
        text += "; expires=" + expiry_text(expiry);
    if (version != 0)
        text += "; version=" + std::to_string(version);
    return text;
}

// ------------------------------------------------------------ Cookie rules

Cookie::Cookie()
    : enabled(1), timed(false), direction(2), range_mode(0), broken(false)
{
    memset(&lower, 0, sizeof(lower));
    memset(&upper, 0, sizeof(upper));
}

Cookie::Cookie(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      timed(false),
      domain(item.fields[10].raw),
      path(item.fields[11].raw),
      direction(item.fields[12].int_value),
      range_mode(item.fields[13].int_value),
      broken(false)
{
    bounds_set(this, item);
    domain_regex.compile(domain, "cookie filter", comment, &broken);
    path_regex.compile(path, "cookie filter", comment, &broken);
    if (filter_flawed(item, "cookie filter", comment))
        broken = true;
}

CookieSection::CookieSection() : Section("cookies-filtering", 0)
{
    ASSERT(fields.size() >= 2);
    ASSERT(subsections.size() >= 2 && subsections[0].fields.size() >= 14 &&
           subsections[1].fields.size() >= 14);
    enabled = &fields[0].int_value;
    mode = &fields[1].int_value;
    header_cookie_check = cookie_header_check;
}

CookieSection::~CookieSection()
{
    if (header_cookie_check == cookie_header_check)
        header_cookie_check = nullptr;
}

void CookieSection::update()
{
    allow.clear();
    deny.clear();
    for (const Item &item : subsections[0].items)
        allow.emplace_back(item);
    for (const Item &item : subsections[1].items)
        deny.emplace_back(item);
}

// Time, domain and path are conditions on incoming cookies only.  A rule
// with a time window does not apply to a cookie without an expiry (a
// session cookie has no time to test).
bool CookieSection::applies(const Cookie &rule, int direction, CONNECTION_T *connection,
                            const CookieHeader &header) const
{
    if (rule.direction != 2 && rule.direction != direction)
        return false;
    if (!filter_applies(rule.enabled, rule.broken, rule.groups, rule.profiles, connection))
        return false;
    if (direction != COOKIE_INCOMING)
        return true;
    if (rule.timed) {
        if (!header.has_expiry)
            return false;
        bool inside = rule.range_mode != 0
                          ? in_alltimerange(&header.expiry, &rule.lower, &rule.upper)
                          : in_absolutetimerange(&header.expiry, &rule.lower, &rule.upper);
        if (!inside)
            return false;
    }
    return rule.domain_regex.matches(header.domain.c_str()) &&
           rule.path_regex.matches(header.path.c_str());
}

int CookieSection::check(int direction, CONNECTION_T *connection, CookieHeader &header)
{
    read_lock();
    int pass = 1;
    if (*enabled != 0 && !(connection->bypass & BYPASS_COOKIE)) {
        const Cookie *decided =
            filter_two_pass(*mode, allow, deny, &default_rule, [&](const Cookie &rule) {
                return applies(rule, direction, connection, header);
            });
        pass = decided == nullptr ? 1 : 0;
    }
    unlock();
    return pass;
}

void interface_cookies_show(CONNECTION_T *connection)
{
    const HEADER *h = connection->request;
    const HEADER *r = connection->response;
    std::string where = interface_html(h && h->host ? h->host : "") +
                        interface_html(h && h->path ? h->path : "");
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>Cookies for %s</title></head>", where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\">\n");
    if (h != nullptr)
        for (const HTTP_HEADER &line : h->headers)
            if (line.name == "Cookie" || line.name == "Cookie2")
                cookie_table(&page, "Sent cookie", CookieHeader(line.value), false);
    if (r != nullptr)
        for (const HTTP_HEADER &line : r->headers)
            if (line.name == "Set-Cookie" || line.name == "Set-Cookie2")
                cookie_table(&page, "Received cookie", CookieHeader(line.value), true);
    page.Addf("</table></body></html>\n");
    interface_send_response(connection, &page);
}
