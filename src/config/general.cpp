// The "general" and "ftp" sections.
#include "config/general.h"


#include "config/profiles.h"
#include "engine/connection.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/regexp.h"

GeneralSection *general_section = nullptr;
FtpSection *ftp_section = nullptr;

namespace {

int at_least_one(int32_t value);
int general_linelength();

// Time-outs and the HTML line length below 1 would make every wait end at
// once or divide by zero; they count as 1.
int at_least_one(int32_t value)
{
    return value < 1 ? 1 : value;
}

// The line length that string_to_html reads.
int general_linelength()
{
    return general_section ? general_section->linelength_get() : 1;
}

}  // namespace

// ------------------------------------------------------------------ General

General::General(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      connect_timeout(at_least_one(item.fields[4].int_value)),
      io_timeout(at_least_one(item.fields[5].int_value)),
      keepalive_timeout(at_least_one(item.fields[6].int_value)),
      max_download_buffer(item.fields[7].uint_value),
      max_upload_buffer(item.fields[8].uint_value),
      buffer_wait(item.fields[9].int_value),
      connect_ports(item.fields[10].port_ranges),
      connect_ports_flawed(item.fields[10].flawed),
      compress_mime(item.fields[11].raw),
      compress_responses(item.fields[12].int_value),
      request_compression(item.fields[13].int_value),
      x_forwarded_for(item.fields[14].int_value),
      via(item.fields[15].int_value),
      compress_regex(nullptr)
{
    compile();
    if (connect_ports_flawed)
        putlog(LOG_ERROR, "general: rule \"%s\": its CONNECT ports are flawed, CONNECT "
                          "reaches no port under it",
               comment.c_str());
}

General::~General()
{
    if (compress_regex != nullptr)
        reg_free(compress_regex);
}

// A text that does not compile is logged by reg_compile; the rule then
// compresses nothing, and keeps every other value it gives.
void General::compile()
{
    if (!compress_mime.empty())
        compress_regex = reg_compile(compress_mime.c_str(), REGEXP_ICASE);
}

// ----------------------------------------------------------- GeneralSection

GeneralSection::GeneralSection() : Section("general", 0)
{
    // The schema must declare every field read below.
    ASSERT(fields.size() >= 5);
    ASSERT(!subsections.empty() && subsections[0].fields.size() >= 16);
    proxy_host = &fields[0].raw;
    temp_dir = &fields[1].raw;
    html_line_length = &fields[2].int_value;
    pool_size = &fields[3].int_value;
    pool_timeout = &fields[4].int_value;
    html_linelength_register(general_linelength);
}

GeneralSection::~GeneralSection() = default;

void GeneralSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

const General *GeneralSection::find(const CONNECTION_T *connection) const
{
    for (const General &rule : rules)
        if (rule.enabled != 0 &&
            profile_rule_match(connection, rule.groups, rule.profiles))
            return &rule;
    return nullptr;
}

int GeneralSection::lock_shared() const
{
    return const_cast<GeneralSection *>(this)->read_lock();
}

int GeneralSection::unlock_shared() const
{
    return const_cast<GeneralSection *>(this)->unlock();
}

// The getters below share one shape: find the rule under the read lock and
// copy one member, or take the value for no rule.
#define GENERAL_GET(type, getter, member, fallback)                      \
    type GeneralSection::getter(const CONNECTION_T *connection) const    \
    {                                                                    \
        lock_shared();                                                   \
        const General *rule = find(connection);                          \
        type value = rule ? rule->member : (fallback);                   \
        unlock_shared();                                                 \
        return value;                                                    \
    }

GENERAL_GET(int, ctimeout_get, connect_timeout, GENERAL_DEFAULT_TIMEOUT)
GENERAL_GET(int, timeout_get, io_timeout, GENERAL_DEFAULT_TIMEOUT)
GENERAL_GET(int, keeptimeout_get, keepalive_timeout, GENERAL_DEFAULT_TIMEOUT)
GENERAL_GET(uint32_t, maxdbuffer_get, max_download_buffer, 0)
GENERAL_GET(uint32_t, maxubuffer_get, max_upload_buffer, 0)
GENERAL_GET(int, bufferwait_get, buffer_wait, 0)
GENERAL_GET(int, compressout_get, compress_responses, 0)
GENERAL_GET(int, compressin_get, request_compression, 0)
GENERAL_GET(int, xforwardedfor_get, x_forwarded_for, 0)
GENERAL_GET(int, via_get, via, 0)

#undef GENERAL_GET

int GeneralSection::cportrange_check(const CONNECTION_T *connection,
                                     int port) const
{
    lock_shared();
    const General *rule = find(connection);
    int allowed = rule ? !rule->connect_ports_flawed && rule->connect_ports.has(port) : 1;
    unlock_shared();
    return allowed;
}

int GeneralSection::encodemime_check(const CONNECTION_T *connection,
                                     const char *content_type)
{
    read_lock();
    const General *rule = find(connection);
    int match = 0;
    if (rule != nullptr && rule->compress_regex != nullptr &&
        content_type != nullptr)
        match = reg_exec(rule->compress_regex, content_type) == 0;
    unlock();
    return match;
}

int GeneralSection::linelength_get() const
{
    auto self = const_cast<GeneralSection *>(this);
    return at_least_one(self->atomic_read(html_line_length));
}

int GeneralSection::poolsize_get() const
{
    return const_cast<GeneralSection *>(this)->atomic_read(pool_size);
}

int GeneralSection::pooltimeout_get() const
{
    return const_cast<GeneralSection *>(this)->atomic_read(pool_timeout);
}

std::string GeneralSection::proxy_host_get() const
{
    lock_shared();
    std::string copy = *proxy_host;
    unlock_shared();
    return copy;
}

std::string GeneralSection::temp_dir_get() const
{
    lock_shared();
    std::string copy = *temp_dir;
    unlock_shared();
    return copy;
}

// --------------------------------------------------------------- FtpSection

FtpSection::FtpSection() : Section("ftp", 0)
{
    ASSERT(fields.size() >= 6);
    passive = &fields[0].int_value;
    timeout = &fields[1].int_value;
    default_user = &fields[2].raw;
    default_password = &fields[3].raw;
    sort_order = &fields[4].int_value;
    sort_field = &fields[5].int_value;
}

FtpSection::~FtpSection() = default;

void FtpSection::update()
{
}

int FtpSection::atomic_get(const int32_t *value) const
{
    return const_cast<FtpSection *>(this)->atomic_read(value);
}

int FtpSection::passive_get() const
{
    return atomic_get(passive);
}

int FtpSection::timeout_get() const
{
    return at_least_one(atomic_get(timeout));
}

int FtpSection::sortorder_get() const
{
    return atomic_get(sort_order);
}

int FtpSection::sortfield_get() const
{
    return atomic_get(sort_field);
}

void FtpSection::login_get(std::string &user, std::string &password) const
{
    auto self = const_cast<FtpSection *>(this);
    self->read_lock();
    user = *default_user;
    password = *default_password;
    self->unlock();
}
