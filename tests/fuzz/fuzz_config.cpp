// The XML configuration document: config_load of a document text, as a
// configuration file or a master's answer brings it, against the shipped
// schema etc/section.xml with every section built from it.  Loading never
// fails on a value (a flawed one is logged and the field keeps its value);
// the document rebuilt from the sections, as a save writes it, loads back
// into the same configuration.
#include <tinyxml.h>

#include <cstdio>
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

// Loads the text and gives the document as a save would write it; false
// when the text is not loaded.
bool load_and_print(const std::string &text, std::string *printed)
{
    document_text = text;
    if (config_load(1, "http://master.test/config.xml") != 1)
        return false;
    pthread_mutex_lock(&documentlock);
    config_xml_build();
    // The root element only: TinyXML writes the declaration's attributes
    // back without escaping them.
    TiXmlPrinter printer;
    document->FirstChildElement("kelvarine")->Accept(&printer);
    *printed = printer.CStr();
    pthread_mutex_unlock(&documentlock);
    return true;
}

// The reader condenses runs of white space in texts, so a value that
// holds such a run (one written as character references, or set by a web
// form) comes back with one blank: compared without them.
std::string condensed(const std::string &text)
{
    std::string out;
    for (char c : text) {
        bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (blank && !out.empty() && out.back() == ' ')
            continue;
        out += blank ? ' ' : c;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A saved configuration loads back into the same configuration.
    std::string saved, saved_again;
    if (!load_and_print(fuzz_text(data, size), &saved))
        return 0;
    if (!load_and_print(saved, &saved_again) || condensed(saved_again) != condensed(saved)) {
        TiXmlDocument check;
        check.Parse(saved.c_str());
        fprintf(stderr, "saved (%s):\n%s\nsaved again:\n%s\n",
                check.Error() ? check.ErrorDesc() : "parses", saved.c_str(),
                saved_again.c_str());
        abort();
    }
    return 0;
}
