// The shipped schema (etc/section.xml) against the positions, types and
// option orders the section classes read, every section built from it, and
// the shipped configuration (etc/kelvarine.xml) loaded into them.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <strings.h>
#include <string>
#include <vector>

#include "access/access.h"
#include "config/general.h"
#include "config/profiles.h"
#include "config/section.h"
#include "config/xml.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/network.h"
#include "engine/templates.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "fixture.h"

namespace {

// ---------------------------------------------------- the expected layout

struct FieldSpec {
    const char *name;
    const char *type;
    // Select fields: the option values in the order their bits or indexes
    // mean; null for other types.
    const char *options = nullptr;
    bool optional = false;
};

struct SubsectionSpec {
    const char *name;
    std::vector<FieldSpec> fields;
};

struct SectionSpec {
    const char *name;
    std::vector<FieldSpec> globals;
    std::vector<SubsectionSpec> subsections;
};

using Fields = std::vector<FieldSpec>;

Fields operator+(Fields a, const Fields &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Fields head4 = {{"enabled", "BOOL"}, {"comment", "STRING"},
                      {"groups", "STRING_LIST"}, {"profiles", "STRING_LIST"}};
const Fields head3 = {{"enabled", "BOOL"}, {"comment", "STRING"},
                      {"profiles", "STRING_LIST"}};
const Fields time5 = {{"month", "INT_RANGE", nullptr, true},
                      {"day", "INT_RANGE", nullptr, true},
                      {"weekday", "INT_RANGE", nullptr, true},
                      {"hour", "INT_RANGE", nullptr, true},
                      {"minute", "INT_RANGE", nullptr, true}};

const char *const bypass_options =
    "urlfilter,header,mime,redirect,cookie,rewrite,unused,forward,keyword,"
    "dnsbl,limits,antivirus,icap,urlblacklist";

// The 26 sections in construction order.
const std::vector<SectionSpec> &layout()
{
    static const Fields access_rule = {
        {"enabled", "BOOL"}, {"comment", "STRING"}, {"log_profiles", "BOOL"},
        {"groups", "STRING_LIST"}, {"interfaces", "STRING_LIST"},
        {"client_ranges", "IP_RANGE_LIST"},
        {"auth_mode", "STRING_SELECT_ONE", "rule_account,system_accounts"},
        {"user", "STRING"}, {"password", "STRING"},
        {"access", "STRING_SELECT_MANY",
         "interface,proxy,transparent,host_header,connect,bypass,url_commands"},
        {"bypass", "STRING_SELECT_MANY", bypass_options},
        {"interface_user", "STRING"}, {"interface_password", "STRING"},
        {"connection_profiles", "STRING"}};
    static const Fields url_rule = head4 + Fields{
        {"host", "STRING"}, {"path", "STRING"}, {"addresses", "IP_RANGE_LIST"},
        {"template", "STRING"}};
    static const Fields header_rule = head4 + Fields{
        {"header_name", "STRING"}, {"header_value", "STRING"},
        {"direction", "STRING_SELECT_MANY", "request,response"}};
    static const Fields cookie_rule = head4 +
        Fields{{"year", "INT_RANGE", nullptr, true}} + time5 + Fields{
        {"domain", "STRING"}, {"path", "STRING"},
        {"direction", "STRING_SELECT_ONE", "incoming,outgoing,both"},
        {"range_mode", "STRING_SELECT_ONE", "window,each"}};
    static const Fields av_rule = head3 + Fields{{"template", "STRING"}};
    static const Fields mime_rule = head4 + Fields{
        {"host", "STRING"}, {"path", "STRING"}, {"content_type", "STRING"},
        {"template", "STRING"}};
    static const Fields urlbl_rule = head4 + Fields{
        {"categories", "STRING_LIST"}, {"template", "STRING"}};

    static const std::vector<SectionSpec> sections = {
        {"access", {{"mode", "BOOL"}, {"ntlm", "BOOL"}, {"auth_service", "STRING"}},
         {{"allow", access_rule}, {"deny", access_rule}}},
        {"url-filtering",
         {{"enabled", "BOOL"}, {"mode", "INT"}, {"template", "STRING"}},
         {{"allow", url_rule}, {"deny", url_rule}}},
        {"prefetch",
         {{"enabled", "BOOL"}, {"thread_count", "INT"}, {"queue_size", "INT"},
          {"host_limit", "INT"}},
         {{"rule", head3 + Fields{{"tag", "STRING"}, {"attribute", "STRING"},
                                  {"url_pattern", "STRING"},
                                  {"download_limit", "FILE_SIZE"},
                                  {"max_depth", "INT"}}}}},
        {"cache",
         {{"enabled", "BOOL"}, {"allow_violations", "BOOL"},
          {"memory_size", "FILE_SIZE"}, {"memory_free_extra", "FILE_SIZE"},
          {"minsize", "FILE_SIZE"}, {"maxsize", "FILE_SIZE"},
          {"prefetch_window", "INT"}, {"icp_port", "INT"}, {"icp_timeout", "INT"},
          {"store_selection", "STRING_SELECT_ONE", "fewest_bytes,lowest_percentage"},
          {"journal_lines", "UINT"}, {"clean_interval", "UINT"}},
         {{"store", head3 + Fields{{"path", "STRING"}, {"max_size", "LONG_FILE_SIZE"},
                                   {"free_extra", "FILE_SIZE"}, {"md5_check", "BOOL"}}},
          {"refresh", head3 + Fields{{"cacheable", "BOOL"}, {"min_age", "UINT"},
                                     {"max_age", "UINT"}, {"validate_age", "UINT"},
                                     {"lm_factor", "UINT"}}}}},
        {"general",
         {{"proxy_host", "STRING"}, {"temp_dir", "STRING"},
          {"html_line_length", "INT"}, {"pool_size", "INT"}, {"pool_timeout", "INT"}},
         {{"rule", head4 + Fields{
               {"connect_timeout", "INT"}, {"io_timeout", "INT"},
               {"keepalive_timeout", "INT"}, {"max_download_buffer", "FILE_SIZE"},
               {"max_upload_buffer", "FILE_SIZE"}, {"buffer_wait", "INT"},
               {"connect_ports", "PORT_RANGE_LIST"}, {"compress_mime", "STRING"},
               {"compress_responses", "BOOL"}, {"request_compression", "BOOL"},
               {"x_forwarded_for", "BOOL"}, {"via", "BOOL"}}}}},
        {"dnsbl",
         {{"enabled", "BOOL"}, {"template", "STRING"}, {"zone", "STRING"},
          {"addresses", "IP_RANGE_LIST"}},
         {}},
        {"network", {},
         {{"listen", {{"enabled", "BOOL"}, {"address", "STRING"}, {"port", "INT"},
                      {"comment", "STRING"}}},
          {"interface", head4 + Fields{{"address", "STRING"}}}}},
        {"header-filtering", {{"enabled", "BOOL"}, {"allow_first", "BOOL"}},
         {{"allow", header_rule}, {"deny", header_rule}, {"add", header_rule}}},
        {"templates", {{"template_dir", "STRING"}},
         {{"page", head4 + Fields{{"name", "STRING"}, {"file", "STRING"},
                                  {"mime_type", "STRING"}, {"response_code", "INT"},
                                  {"suppress", "BOOL"}, {"parse", "BOOL"}}}}},
        {"cookies-filtering", {{"enabled", "BOOL"}, {"mode", "INT"}},
         {{"allow", cookie_rule}, {"deny", cookie_rule}}},
        {"ldap", {{"enabled", "BOOL"}},
         {{"directory",
           {{"enabled", "BOOL"}, {"comment", "STRING"}, {"proxy_host", "STRING"},
            {"server", "STRING"}, {"port", "INT"},
            {"ssl", "STRING_SELECT_ONE", "plain,ssl"}, {"bind_method", "INT"},
            {"size_limit", "INT"}, {"reserved", "STRING"}, {"bind_user", "STRING"},
            {"bind_password", "STRING"}, {"base_dn", "STRING"},
            {"user_attribute", "STRING"}, {"group_attribute", "STRING"}}}}},
        {"rewrite", {{"enabled", "BOOL"}},
         {{"rewrites", head3 + Fields{
               {"content_type", "STRING"}, {"pattern", "STRING"},
               {"replacement", "STRING"},
               {"applies_to", "STRING_SELECT_MANY",
                "client_header,server_header,body,post_body"}}}}},
        {"icap", {{"enabled", "BOOL"}},
         {{"services", head3 + Fields{{"host", "STRING"}, {"service", "STRING"},
                                      {"port", "INT"},
                                      {"methods", "STRING_SELECT_MANY", "reqmod,respmod"}}}}},
        {"fprot", {{"enabled", "BOOL"}, {"template", "STRING"}},
         {{"rules", av_rule + Fields{
               {"archive_depth", "INT"},
               {"scan_options", "STRING_SELECT_MANY",
                "archive,packed,ai,noheur,nomacro,onlymacro"}}}}},
        {"kaspersky",
         {{"enabled", "BOOL"}, {"template", "STRING"}, {"socket_path", "STRING"}},
         {{"rules", av_rule}}},
        {"sophie",
         {{"enabled", "BOOL"}, {"socket_path", "STRING"}, {"host", "STRING"},
          {"port", "INT"}, {"template", "STRING"}},
         {{"rules", av_rule}}},
        {"Sortmarks", {{"enabled", "BOOL"}, {"hints_directory", "STRING"}},
         {{"category_rules",
           {{"enabled", "BOOL"}, {"comment", "STRING"}, {"log", "BOOL"},
            {"groups", "STRING_LIST"}, {"profiles", "STRING_LIST"},
            {"categories", "STRING_LIST"}, {"score_range", "STRING"},
            {"add_profiles", "STRING_LIST"}, {"remove_profiles", "STRING_LIST"}}}}},
        {"ftp",
         {{"passive", "BOOL"}, {"timeout", "INT"}, {"default_user", "STRING"},
          {"default_password", "STRING"},
          {"sort_order", "STRING_SELECT_ONE", "ascending,descending"},
          {"sort_field", "STRING_SELECT_ONE", "unsorted,name,size,date"}},
         {}},
        {"profiles", {},
         {{"rule", Fields{{"enabled", "BOOL"}, {"comment", "STRING"}, {"log", "BOOL"},
                          {"groups", "STRING_LIST"}, {"profiles", "STRING_LIST"},
                          {"scheme", "STRING"}, {"host", "STRING"}, {"path", "STRING"},
                          {"content_type", "STRING"}, {"ports", "PORT_RANGE_LIST"},
                          {"url_commands", "STRING_LIST"}, {"proxy_host", "STRING"},
                          {"request_header", "STRING"}, {"response_header", "STRING"}} +
                       time5 +
                       Fields{{"time_mode", "STRING_SELECT_ONE", "window,each"},
                              {"add", "STRING_LIST"}, {"remove", "STRING_LIST"}}}}},
        {"mime-filtering",
         {{"enabled", "BOOL"}, {"mode", "INT"}, {"template", "STRING"}},
         {{"allow", mime_rule}, {"deny", mime_rule}}},
        {"redirect", {{"enabled", "BOOL"}},
         {{"redirects", head4 + Fields{
               {"pattern", "STRING"}, {"replacement", "STRING"}, {"port", "INT"},
               {"send_redirect", "BOOL"},
               {"options", "STRING_SELECT_MANY", "encode_path,decode_subject,decode_path"},
               {"applies_to", "STRING_SELECT_ONE", "location,request,both"}}}}},
        {"keywords-filtering",
         {{"enabled", "BOOL"}, {"threshold", "INT"}, {"template", "STRING"}},
         {{"keywords", head4 + Fields{{"content_type", "STRING"}, {"body", "STRING"},
                                      {"score", "INT"}}}}},
        {"forward",
         {{"enabled", "BOOL"}, {"carp", "BOOL"}, {"carp_modulo", "UINT"}},
         {{"parent", head4 + Fields{
               {"host", "STRING"}, {"user", "STRING"}, {"password", "STRING"},
               {"ntlm_domain", "STRING"}, {"port", "INT"},
               {"icp_mode", "STRING_SELECT_ONE", "none,parent,sibling"},
               {"icp_port", "INT"},
               {"proxy_type", "STRING_SELECT_ONE", "http,socks4,socks5,connect"},
               {"protocols", "STRING_SELECT_MANY", "http,ftp,connect"}}}}},
        {"limits", {{"enabled", "BOOL"}},
         {{"limit", head4 +
                        Fields{{"type", "STRING_SELECT_ONE", "limit,block"},
                               {"template", "STRING"}} +
                        time5 +
                        // Quotas and rates are 64-bit: a quota past 4 GiB is a quota.
                        Fields{{"download_quota", "LONG_FILE_SIZE"},
                               {"upload_quota", "LONG_FILE_SIZE"},
                               {"max_requests", "UINT"}, {"rate", "LONG_FILE_SIZE"},
                               {"range_mode", "STRING_SELECT_ONE", "window,each"},
                               {"flags", "STRING_SELECT_MANY",
                                "count_cached,no_accounting,shared_group"}}}}},
        {"clamav",
         {{"enabled", "BOOL"}, {"address", "STRING"}, {"port", "INT"},
          {"template", "STRING"}},
         {{"rules", head4 + Fields{{"template", "STRING"}}}}},
        {"urlblacklist",
         {{"enabled", "BOOL"}, {"mode", "INT"}, {"directory", "STRING"},
          {"template", "STRING"}},
         {{"allow", urlbl_rule}, {"deny", urlbl_rule}}},
    };
    return sections;
}

// ------------------------------------------------------------- helpers

std::string text_of(const TiXmlElement *parent, const char *child)
{
    const TiXmlElement *element = parent ? parent->FirstChildElement(child) : nullptr;
    if (element == nullptr || element->FirstChild() == nullptr)
        return "";
    return element->FirstChild()->Value();
}

// Labels and option texts go unescaped into HTML attributes and scripts.
bool plain(const std::string &text)
{
    return text.find_first_of("'\"\\<&\r\n") == std::string::npos;
}

std::vector<std::string> split(const char *text)
{
    std::vector<std::string> items;
    std::string item;
    for (const char *p = text; ; p++) {
        if (*p == ',' || *p == '\0') {
            items.push_back(item);
            item.clear();
            if (*p == '\0')
                break;
        } else {
            item += *p;
        }
    }
    return items;
}

const TiXmlDocument &schema()
{
    static TiXmlDocument doc((source_dir() + "/etc/section.xml").c_str());
    static bool loaded = doc.LoadFile();
    EXPECT_TRUE(loaded) << "etc/section.xml: " << doc.ErrorDesc();
    return doc;
}

// Checks one field list of the schema against its expected fields.
void check_fields(const TiXmlElement *section, const TiXmlElement *list,
                  const Fields &want, const std::string &where)
{
    const TiXmlElement *select = section->FirstChildElement("select");
    size_t position = 0;
    for (const TiXmlElement *field = list ? list->FirstChildElement() : nullptr;
         field != nullptr; field = field->NextSiblingElement(), position++) {
        std::string at = where + " field " + std::to_string(position);
        ASSERT_LT(position, want.size()) << at << ": more fields than the section reads";
        const FieldSpec &spec = want[position];
        const char *n = field->Attribute("n");
        ASSERT_NE(n, nullptr) << at;
        EXPECT_EQ(std::string(n), std::to_string(position)) << at;
        EXPECT_EQ(field->ValueStr(), spec.name) << at;
        EXPECT_EQ(text_of(field, "type"), spec.type) << at << " " << spec.name;
        bool optional = strcasecmp(text_of(field, "optional").c_str(), "true") == 0;
        EXPECT_EQ(optional, spec.optional) << at << " " << spec.name;
        EXPECT_FALSE(text_of(field, "comment").empty()) << at;
        EXPECT_TRUE(plain(text_of(field, "comment"))) << at;
        ASSERT_NE(field->FirstChildElement("value"), nullptr) << at;
        ASSERT_NE(field->FirstChildElement("desc"), nullptr) << at;

        if (spec.options == nullptr)
            continue;
        std::string list_name = text_of(field, "value");
        const TiXmlElement *options =
            select ? select->FirstChildElement(list_name.c_str()) : nullptr;
        ASSERT_NE(options, nullptr) << at << ": no select list " << list_name;
        std::vector<std::string> got;
        for (const TiXmlElement *option = options->FirstChildElement();
             option != nullptr; option = option->NextSiblingElement()) {
            got.push_back(option->ValueStr());
            EXPECT_TRUE(plain(option->ValueStr()) && plain(text_of(option, "comment")) &&
                        plain(text_of(option, "desc")))
                << at << " option " << option->ValueStr();
        }
        EXPECT_EQ(got, split(spec.options)) << at << " " << spec.name;
    }
    EXPECT_EQ(position, want.size()) << where << ": fewer fields than the section reads";
}

// --------------------------------------------------------- the schema file

TEST(Schema, EverySectionHasItsFieldsInPlace)
{
    const TiXmlElement *root = schema().FirstChildElement("section");
    ASSERT_NE(root, nullptr);

    std::set<std::string> expected_names;
    for (const SectionSpec &spec : layout()) {
        expected_names.insert(spec.name);
        SCOPED_TRACE(spec.name);
        const TiXmlElement *section = root->FirstChildElement(spec.name);
        ASSERT_NE(section, nullptr);
        EXPECT_FALSE(text_of(section, "comment").empty());
        EXPECT_FALSE(text_of(section, "desc").empty());

        // Global fields are never optional: a configuration without one
        // would end the load of its section.
        const TiXmlElement *global = section->FirstChildElement("global");
        ASSERT_NE(global, nullptr) << "an empty global element is still required";
        check_fields(section, global, spec.globals, "global");
        std::set<std::string> global_names;
        for (const FieldSpec &field : spec.globals)
            global_names.insert(field.name);

        const TiXmlElement *subsections = section->FirstChildElement("subsection");
        const TiXmlElement *templates = section->FirstChildElement("template");
        const TiXmlElement *sub = subsections ? subsections->FirstChildElement() : nullptr;
        for (const SubsectionSpec &want : spec.subsections) {
            ASSERT_NE(sub, nullptr) << "missing subsection " << want.name;
            EXPECT_EQ(sub->ValueStr(), want.name);
            // Both are children of the section's element in the configuration.
            EXPECT_EQ(global_names.count(want.name), 0u)
                << want.name << " is also a global field";
            EXPECT_TRUE(plain(text_of(sub, "comment"))) << want.name;
            std::string template_name = text_of(sub, "template");
            const TiXmlElement *fields =
                templates ? templates->FirstChildElement(template_name.c_str()) : nullptr;
            ASSERT_NE(fields, nullptr) << want.name << ": no template " << template_name;
            check_fields(section, fields, want.fields, "subsection " + std::string(want.name));
            sub = sub->NextSiblingElement();
        }
        EXPECT_EQ(sub, nullptr) << "more subsections than the section reads";
    }

    std::set<std::string> names;
    for (const TiXmlElement *e = root->FirstChildElement(); e; e = e->NextSiblingElement())
        names.insert(e->ValueStr());
    EXPECT_EQ(names, expected_names);
    EXPECT_EQ(names.size(), 26u);
}

// The defaults of the time fields are their bounds.
TEST(Schema, TimeFieldsCarryTheirBounds)
{
    const char *const bounds[][2] = {{"month", "0,11"}, {"day", "1,31"},
                                     {"weekday", "0,6"}, {"hour", "0,23"},
                                     {"minute", "0,59"}};
    const char *const sections[][2] = {{"profiles", "rule"},
                                       {"cookies-filtering", "rule"},
                                       {"limits", "rule"}};
    const TiXmlElement *root = schema().FirstChildElement("section");
    ASSERT_NE(root, nullptr);
    for (const auto &s : sections) {
        const TiXmlElement *list = root->FirstChildElement(s[0])
                                       ->FirstChildElement("template")
                                       ->FirstChildElement(s[1]);
        ASSERT_NE(list, nullptr) << s[0];
        for (const auto &b : bounds)
            EXPECT_EQ(text_of(list->FirstChildElement(b[0]), "value"), b[1])
                << s[0] << " " << b[0];
    }
}

// ---------------------------------------- sections built from the schema

// A section of the schema without its feature: reads its declaration and
// keeps its values, so that the whole configuration can be loaded.
class SchemaSection : public Section {
public:
    explicit SchemaSection(const std::string &name)
        : Section(name, name == "cache" || name == "prefetch" ? 1 : 0)
    {
    }
    void update() override {}
};

// A plain array, so that the sections stay reachable after the registry's
// own destructor has run at exit.
Section *schema_sections[26];

// Builds every section once for the process: the classes of this build
// where they exist, the plain schema reader for the others.  A fault of
// the schema file ends the process here, with status 1.
void build_sections()
{
    static bool built = false;
    if (built)
        return;
    built = true;

    global_for_process();
    static TiXmlDocument doc((source_dir() + "/etc/section.xml").c_str());
    ASSERT_TRUE(doc.LoadFile());
    sectionxml = &doc;

    access_section = new AccessSection();
    general_section = new GeneralSection();
    network_section = new NetworkSection();
    template_section = new TemplateSection();
    ftp_section = new FtpSection();
    profile_section = new ProfileSection();
    size_t count = 0;
    for (const SectionSpec &spec : layout())
        if (Section::map.count(spec.name) == 0 && count < 26)
            schema_sections[count++] = new SchemaSection(spec.name);
}

TEST(Sections, BuildFromTheSchema)
{
    build_sections();
    ASSERT_EQ(Section::map.size(), 26u);
    for (const SectionSpec &spec : layout()) {
        SCOPED_TRACE(spec.name);
        Section *section = Section::map[spec.name];
        ASSERT_NE(section, nullptr);
        EXPECT_EQ(section->fields.size(), spec.globals.size());
        ASSERT_EQ(section->subsections.size(), spec.subsections.size());
        for (size_t i = 0; i < spec.subsections.size(); i++) {
            EXPECT_EQ(section->subsections[i].name, spec.subsections[i].name);
            EXPECT_EQ(section->subsections[i].fields.size(),
                      spec.subsections[i].fields.size());
        }
    }
    // The map walks the sections in byte order of their names.
    EXPECT_EQ(Section::map.begin()->first, "Sortmarks");
    EXPECT_EQ(std::next(Section::map.begin())->first, "access");
}

// ------------------------------------------- the shipped configuration

std::vector<std::string> ring_lines()
{
    std::vector<std::string> lines;
    for (LOGBUFFER_NODE *node = global->logbuffer->tail; node; node = node->previous)
        lines.push_back(node->text);
    return lines;
}

// Every field of every section is written, so no value falls back to the
// empty text (a time-out or line length of 0).
TEST(ShippedConfiguration, ListsEveryField)
{
    TiXmlDocument doc((source_dir() + "/etc/kelvarine.xml").c_str());
    ASSERT_TRUE(doc.LoadFile()) << doc.ErrorDesc();
    const TiXmlElement *root = doc.FirstChildElement("kelvarine");
    ASSERT_NE(root, nullptr);
    for (const SectionSpec &spec : layout()) {
        SCOPED_TRACE(spec.name);
        const TiXmlElement *section = root->FirstChildElement(spec.name);
        ASSERT_NE(section, nullptr);
        for (const FieldSpec &field : spec.globals)
            EXPECT_NE(section->FirstChildElement(field.name), nullptr) << field.name;
        for (const SubsectionSpec &sub : spec.subsections)
            for (const TiXmlElement *item = section->FirstChildElement(sub.name); item;
                 item = item->NextSiblingElement(sub.name))
                for (const FieldSpec &field : sub.fields)
                    EXPECT_NE(item->FirstChildElement(field.name), nullptr)
                        << sub.name << " " << field.name;
    }
}

TEST(ShippedConfiguration, LoadsWithoutAFlawedValue)
{
    build_sections();
    logbuffer_clear(global->logbuffer);
    ASSERT_EQ(config_load(3, source_dir() + "/etc/kelvarine.xml"), 1);

    for (const std::string &line : ring_lines()) {
        EXPECT_EQ(line.find("flawed XML file"), std::string::npos) << line;
        EXPECT_EQ(line.find("error: "), std::string::npos) << line;
        EXPECT_EQ(line.find("second time"), std::string::npos) << line;
    }

    Section *access = Section::map["access"];
    EXPECT_EQ(access->fields[0].int_value, 1) << "allow rules first";
    EXPECT_EQ(access->fields[1].int_value, 0) << "no NTLM relay";
    ASSERT_EQ(access->subsections[0].items.size(), 1u);
    EXPECT_TRUE(access->subsections[1].items.empty());
    const Item &local = access->subsections[0].items.front();
    EXPECT_EQ(local.fields[0].int_value, 1);
    EXPECT_EQ(local.fields[5].raw, "127.0.0.0-127.255.255.255");
    EXPECT_TRUE(local.fields[5].ip_ranges.has("127.0.0.1"));
    EXPECT_FALSE(local.fields[5].ip_ranges.has("10.0.0.1"));
    EXPECT_EQ(local.fields[6].int_value, 0) << "rule account, no login";
    EXPECT_EQ(local.fields[7].raw, "");
    EXPECT_EQ(local.fields[8].raw, "");
    EXPECT_EQ(local.fields[9].int_value,
              ACCESS_INTERFACE | ACCESS_PROXY | ACCESS_TRANSPARENT |
                  ACCESS_HOST_HEADER | ACCESS_CONNECT);
    EXPECT_EQ(local.fields[10].int_value, 0) << "no module bypassed";

    // No module that talks to an outside service is switched on.
    for (const char *name : {"dnsbl", "icap", "fprot", "kaspersky", "sophie",
                             "clamav", "ldap", "Sortmarks", "forward",
                             "urlblacklist", "url-filtering", "prefetch"})
        EXPECT_EQ(Section::map[name]->fields[0].int_value, 0) << name;
    for (const char *name : {"icap", "ldap", "forward", "fprot", "kaspersky",
                             "sophie", "clamav"})
        for (const Subsection &sub : Section::map[name]->subsections)
            EXPECT_TRUE(sub.items.empty()) << name;

    // Time-outs and the line length are never 0.
    CONNECTION_T *conn = connection_new();
    EXPECT_EQ(general_section->ctimeout_get(conn), 60);
    EXPECT_EQ(general_section->timeout_get(conn), 60);
    EXPECT_EQ(general_section->keeptimeout_get(conn), 60);
    // CONNECT reaches the TLS ports only.
    struct {
        int port;
        int allowed;
    } ports[] = {{443, 1}, {563, 1}, {22, 0}, {25, 0}, {80, 0}, {8080, 0}, {444, 0}};
    for (const auto &p : ports)
        EXPECT_EQ(general_section->cportrange_check(conn, p.port), p.allowed) << p.port;
    EXPECT_EQ(general_section->linelength_get(), 80);
    connection_free(conn);
    EXPECT_EQ(Section::map["ftp"]->fields[1].int_value, 60);
    EXPECT_GT(Section::map["cache"]->fields[8].int_value, 0) << "icp_timeout";
}

// Only loopback clients are admitted, with proxy requests, CONNECT and the
// web interface; every other client is refused.
TEST(ShippedConfiguration, AdmitsLoopbackClientsOnly)
{
    build_sections();
    ASSERT_EQ(config_load(3, source_dir() + "/etc/kelvarine.xml"), 1);

    struct {
        const char *client;
        bool admitted;
    } cases[] = {
        {"127.0.0.1", true}, {"127.255.255.254", true}, {"10.0.0.1", false},
        {"192.168.1.20", false}, {"128.0.0.1", false},
    };
    for (const auto &c : cases) {
        CONNECTION_T *conn = connection_new();
        conn->client_ip = xstrdup(c.client);
        conn->interface_ip = xstrdup("127.0.0.1");
        conn->listen_port = 8080;
        access_section->read_lock();
        const Access *rule = access_section->check(conn, nullptr, nullptr);
        EXPECT_EQ(rule != nullptr, c.admitted) << c.client;
        if (rule != nullptr) {
            EXPECT_EQ(rule->access, uint32_t(ACCESS_INTERFACE | ACCESS_PROXY |
                                             ACCESS_TRANSPARENT | ACCESS_HOST_HEADER |
                                             ACCESS_CONNECT))
                << c.client;
            EXPECT_EQ(rule->bypass, 0u) << c.client;
        }
        access_section->unlock();
        connection_free(conn);
    }
}

}  // namespace
