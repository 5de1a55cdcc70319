// The XML configuration document: config_load of a document text, as a
// configuration file or a master's answer brings it, against the shipped
// schema etc/section.xml with every section built from it.  Loading never
// fails on a value (a flawed one is logged and the field keeps its value);
// the loaded document is then rebuilt from the sections, as a save does.
#include <tinyxml.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "config/general.h"
#include "config/profiles.h"
#include "config/section.h"
#include "config/xml.h"
#include "fuzz.h"

namespace {

// A section of the schema without its feature: it keeps the values it
// reads.  The sections whose classes only hold settings are the real ones.
class SchemaSection : public Section {
public:
    explicit SchemaSection(const std::string &name)
        : Section(name, name == "cache" || name == "prefetch" ? 1 : 0)
    {
    }
    void update() override {}
};

// The sections stay reachable from here after the registry's own
// destructor has run at exit, so the leak check does not report them.
std::vector<Section *> *sections = new std::vector<Section *>();

// The document text a load from a URL is given.
std::string document_text;

int fetch_text(const std::string &, std::string &body)
{
    body = document_text;
    return 200;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    const char *dir = getenv("KV_SOURCE_DIR");
    std::string path = std::string(dir && *dir ? dir : KV_SOURCE_DIR) + "/etc/section.xml";
    static TiXmlDocument schema(path.c_str());
    if (!schema.LoadFile())
        abort();
    sectionxml = &schema;
    general_section = new GeneralSection();
    ftp_section = new FtpSection();
    profile_section = new ProfileSection();
    sections->insert(sections->end(), {general_section, ftp_section, profile_section});
    for (TiXmlElement *e = schema.RootElement()->FirstChildElement(); e;
         e = e->NextSiblingElement())
        if (Section::map.count(e->Value()) == 0)
            sections->push_back(new SchemaSection(e->Value()));
    config_url_fetch = fetch_text;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    document_text = fuzz_text(data, size);
    if (config_load(1, "http://master.test/config.xml") == 1) {
        pthread_mutex_lock(&documentlock);
        config_xml_build();
        pthread_mutex_unlock(&documentlock);
    }
    return 0;
}
