// The XML configuration: loading sections from a file or a URL, flawed
// values, the clear flag, saving and the atomic replacement of the file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "config/section.h"
#include "config/xml.h"
#include "engine/options.h"
#include "runtime/log.h"
#include "fixture.h"

namespace {

std::string field(const char *n, const char *name, const char *type,
                  const char *value, bool optional = false)
{
    return std::string("<") + name + " n=\"" + n + "\"><comment>" + name +
           "</comment><value>" + value + "</value><type>" + type + "</type>" +
           (optional ? "<optional>true</optional>" : "") + "<desc/></" + name + ">";
}

std::string schema()
{
    return "<section>"
           "<alpha><comment>Alpha</comment><desc>All types</desc>"
           "<select><modes><first/><second/><third/></modes></select>"
           "<global>" +
           field("0", "count", "INT", "0") + field("1", "enabled", "BOOL", "false") +
           field("2", "size", "FILE_SIZE", "1K") +
           field("3", "clients", "IP_RANGE_LIST", "") +
           field("4", "ports", "PORT_RANGE_LIST", "") +
           field("5", "mode", "STRING_SELECT_ONE", "modes") +
           field("6", "flags", "STRING_SELECT_MANY", "modes") +
           field("7", "hours", "INT_RANGE", "0,23") +
           field("8", "text", "MULTILINE_STRING", "") +
           field("9", "big", "LONG_FILE_SIZE", "0") +
           field("10", "ratio", "DOUBLE", "0") + field("11", "limit", "UINT", "0") +
           field("12", "span", "STRING_RANGE", "modes") +
           field("13", "names", "STRING_LIST", "") +
           "</global><template><rule>" + field("0", "enabled", "BOOL", "false") +
           field("1", "count", "INT", "9") + field("2", "hour", "INT_RANGE", "0,23", true) +
           field("3", "name", "STRING", "unnamed") +
           "</rule></template><subsection>"
           "<rule><comment>Rules</comment><template>rule</template><desc>d</desc></rule>"
           "<extra><comment>Extra</comment><template>rule</template><desc>d</desc></extra>"
           "</subsection></alpha>"
           "<beta><comment>Beta</comment><desc>Optional global</desc><global>" +
           field("0", "level", "INT", "0") + field("1", "tag", "STRING", "", true) +
           field("2", "after", "INT", "0") +
           "</global><template><e>" + field("0", "value", "INT", "0") +
           "</e></template><subsection>"
           "<entry><comment>Entries</comment><template>e</template><desc>d</desc></entry>"
           "</subsection></beta>"
           "<gamma><comment>Gamma</comment><desc>Not in the file</desc><global>" +
           field("0", "n", "INT", "5") + "</global></gamma>"
           "</section>";
}

const char BASE[] = R"(<?xml version="1.0" ?>
<kelvarine>
  <!-- kept as it was read -->
  <alpha>
    <count>42</count>
    <enabled>TRUE</enabled>
    <size>10K</size>
    <clients>10.0.0.0-10.0.0.255, 192.168.1.1</clients>
    <ports>80,443</ports>
    <mode>second</mode>
    <flags>first,bogus</flags>
    <hours>20,4</hours>
    <text>line one
          line two</text>
    <big>5G</big>
    <ratio>0.5</ratio>
    <limit>4000000000</limit>
    <span>THIRD,first</span>
    <names>a,,b</names>
    <stray>not a field</stray>
    <rule><enabled>true</enabled><count>1</count><hour active="TRUE">1,2</hour><name>one</name></rule>
    <rule><enabled>false</enabled><name>two</name></rule>
  </alpha>
  <beta>
    <level>3</level>
    <tag active="false">x</tag>
    <after>4</after>
    <entry><value>7</value></entry>
  </beta>
  <unknown><keep>me</keep></unknown>
</kelvarine>
)";

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class XmlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sectionxml = new TiXmlDocument();
        sectionxml->Parse(schema().c_str());
        ASSERT_FALSE(sectionxml->Error()) << sectionxml->ErrorDesc();
        alpha = new TestSection("alpha", 0);
        beta = new TestSection("beta", 1);
        gamma = new TestSection("gamma", 0);
    }

    void SetUp() override
    {
        char pattern[] = "/tmp/kv_xml_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        base = dir + "/base.xml";
        write_file(base, BASE);
        slave = 0;
        ASSERT_EQ(config_load(1, base), 1);
    }

    void TearDown() override
    {
        config_url_fetch = nullptr;
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    // Loads a file of the given text; returns the result and what was
    // logged.
    int32_t load_text(const std::string &text, int32_t clear, std::string *log = nullptr)
    {
        std::string path = dir + "/load.xml";
        write_file(path, text);
        testing::internal::CaptureStdout();
        daemonize = 0;
        int32_t result = config_load(clear, path);
        daemonize = 1;
        std::string out = testing::internal::GetCapturedStdout();
        if (log)
            *log = out;
        return result;
    }

    static std::string replace(std::string text, const std::string &from,
                               const std::string &to)
    {
        size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos)
            text.replace(at, from.size(), to);
        return text;
    }

    static TestSection *alpha, *beta, *gamma;
    std::string dir, base;
};

TestSection *XmlTest::alpha;
TestSection *XmlTest::beta;
TestSection *XmlTest::gamma;

TEST_F(XmlTest, LoadSetsEveryType)
{
    const FieldVector &g = alpha->fields;
    EXPECT_EQ(g[0].int_value, 42);
    EXPECT_EQ(g[1].int_value, 1);
    EXPECT_EQ(g[2].uint_value, 10240u);
    EXPECT_EQ(g[2].raw, "10K");
    EXPECT_TRUE(g[3].ip_ranges.has("10.0.0.9"));
    EXPECT_TRUE(g[3].ip_ranges.has("192.168.1.1"));
    EXPECT_FALSE(g[3].ip_ranges.has("192.168.1.2"));
    EXPECT_EQ(g[3].ip_ranges.text, "10.0.0.0-10.0.0.255, 192.168.1.1");
    EXPECT_TRUE(g[4].port_ranges.has(443));
    EXPECT_FALSE(g[4].port_ranges.has(8080));
    EXPECT_EQ(g[5].int_value, 1);
    EXPECT_TRUE(g[5].options[1].selected);
    EXPECT_FALSE(g[5].options[0].selected);
    // A list item that names no option stays in the list and sets no bit.
    EXPECT_EQ(g[6].int_value, 1);
    EXPECT_EQ(g[6].string_list, (StringList("first,bogus", ',')));
    EXPECT_TRUE(g[6].options[0].selected);
    EXPECT_FALSE(g[6].options[1].selected);
    // The first number may be larger than the second.
    EXPECT_EQ(g[7].int_value, 20);
    EXPECT_EQ(g[7].int_value2, 4);
    // White space in texts is condensed by the reader.
    EXPECT_EQ(g[8].raw, "line one line two");
    EXPECT_EQ(g[9].long_value, 5368709120ULL);
    EXPECT_EQ(g[10].double_value, 0.5);
    EXPECT_EQ(g[11].uint_value, 4000000000u);
    EXPECT_EQ(g[12].int_value, 2);
    EXPECT_EQ(g[12].int_value2, 0);
    EXPECT_EQ(g[13].string_list.size(), 3u);

    Subsection *rules = alpha->subsection_get("rule");
    ASSERT_EQ(rules->items.size(), 2u);
    const Item &one = rules->items.front();
    EXPECT_EQ(one.fields[0].int_value, 1);
    EXPECT_EQ(one.fields[1].int_value, 1);
    EXPECT_TRUE(one.fields[2].active);
    EXPECT_EQ(one.fields[2].int_value, 1);
    EXPECT_EQ(one.fields[2].int_value2, 2);
    EXPECT_EQ(one.fields[3].raw, "one");
    // A missing non-optional INT reads as 0; a missing optional field keeps
    // its template values with an empty raw text.
    const Item &two = rules->items.back();
    EXPECT_EQ(two.fields[1].int_value, 0);
    EXPECT_EQ(two.fields[2].raw, "");
    EXPECT_FALSE(two.fields[2].active);
    EXPECT_EQ(two.fields[2].upper, 23);
    EXPECT_NE(one.id, two.id);

    EXPECT_EQ(beta->fields[0].int_value, 3);
    EXPECT_FALSE(beta->fields[1].active);
    EXPECT_EQ(beta->fields[2].int_value, 4);
    ASSERT_EQ(beta->subsection_get("entry")->items.size(), 1u);
    EXPECT_EQ(beta->subsection_get("entry")->items.front().fields[0].int_value, 7);

    // No element for gamma: it keeps its defaults.
    EXPECT_EQ(gamma->fields[0].int_value, 5);
    EXPECT_LE(time(nullptr) - documentsynctime.load(), 5);
}

TEST_F(XmlTest, UpdateRunsOncePerLoadedSection)
{
    int a = alpha->updates, b = beta->updates, c = gamma->updates;
    ASSERT_EQ(config_load(1, base), 1);
    EXPECT_EQ(alpha->updates, a + 1);
    EXPECT_EQ(beta->updates, b + 1);
    EXPECT_EQ(gamma->updates, c);
}

TEST_F(XmlTest, SaveLoadSaveGivesTheSameDocument)
{
    std::string first = dir + "/first.xml", second = dir + "/second.xml";
    ASSERT_TRUE(config_save(first));
    ASSERT_EQ(config_load(1, first), 1);
    ASSERT_TRUE(config_save(second));
    EXPECT_EQ(file_text(first), file_text(second));
    EXPECT_EQ(alpha->fields[0].int_value, 42);
    EXPECT_EQ(alpha->subsection_get("rule")->items.size(), 2u);

    TiXmlDocument saved;
    ASSERT_TRUE(saved.LoadFile(first.c_str()));
    TiXmlElement *root = saved.FirstChildElement("kelvarine");
    ASSERT_NE(root, nullptr);
    // Elements under the root that name no section stay; a section missing
    // from the loaded file is appended at the end.
    EXPECT_NE(root->FirstChildElement("unknown"), nullptr);
    EXPECT_EQ(root->LastChild()->ValueStr(), "gamma");
    EXPECT_EQ(root->FirstChild()->Type(), TiXmlNode::TINYXML_COMMENT);
    // Elements in a section that name no field are dropped.
    TiXmlElement *a = root->FirstChildElement("alpha");
    EXPECT_EQ(a->FirstChildElement("stray"), nullptr);
    EXPECT_EQ(a->FirstChildElement("count")->Attribute("active"), nullptr);
    EXPECT_EQ(a->FirstChildElement("text")->GetText(), std::string("line one line two"));
    TiXmlElement *rule = a->FirstChildElement("rule");
    EXPECT_STREQ(rule->FirstChildElement("hour")->Attribute("active"), "true");
    EXPECT_STREQ(rule->NextSiblingElement("rule")->FirstChildElement("hour")->Attribute("active"),
                 "false");
    EXPECT_STREQ(root->FirstChildElement("beta")->FirstChildElement("tag")->Attribute("active"),
                 "false");
}

TEST_F(XmlTest, BuiltElementsAlwaysHoldAText)
{
    pthread_mutex_lock(&documentlock);
    config_xml_build();
    TiXmlElement *beta_element = section_select(document, "beta");
    TiXmlElement *names = section_select(document, "alpha")->FirstChildElement("names");
    pthread_mutex_unlock(&documentlock);
    ASSERT_NE(names->FirstChild(), nullptr);
    EXPECT_NE(names->FirstChild()->ToText(), nullptr);
    // A rule with an empty raw text still has its element and a text child.
    TiXmlElement *hour = section_select(document, "alpha")
                             ->FirstChildElement("rule")
                             ->NextSiblingElement("rule")
                             ->FirstChildElement("hour");
    ASSERT_NE(hour, nullptr);
    ASSERT_NE(hour->FirstChild(), nullptr);
    EXPECT_EQ(hour->FirstChild()->ValueStr(), "");
    EXPECT_NE(beta_element, nullptr);
}

struct Flaw {
    const char *element;  // element as written in BASE
    const char *flawed;   // the same with a refused value
    const char *message;
};

TEST_F(XmlTest, FlawedValuesAreLoggedAndKeepTheirValues)
{
    const Flaw flaws[] = {
        {"<count>42</count>", "<count>abc</count>",
         "section alpha, element : count must be an integer, but it is given value abc"},
        {"<enabled>TRUE</enabled>", "<enabled>True</enabled>",
         "enabled must be true or false, but it is given value True"},
        {"<size>10K</size>", "<size>4g</size>",
         "size must be a file size (for example 120, 10K, 1M), but it is given value 4g"},
        {"<clients>10.0.0.0-10.0.0.255, 192.168.1.1</clients>", "<clients>10.0.0.300</clients>",
         "clients must be an IP range list (see manual), but it is given value 10.0.0.300"},
        {"<ports>80,443</ports>", "<ports>0</ports>",
         "ports must be a port range list (see manual), but it is given value 0"},
        {"<hours>20,4</hours>", "<hours>20,24</hours>",
         "hours must be a couple of integers between 0 and 23 inclusive, but it is given "
         "value 20,24"},
        {"<ratio>0.5</ratio>", "<ratio>1e999</ratio>",
         "ratio must be a floating point number, but it is given value 1e999"},
        {"<limit>4000000000</limit>", "<limit>-1</limit>",
         "limit must be a positive integer, but it is given value -1"},
        {"<span>THIRD,first</span>", "<span>first,fourth</span>",
         "span must be a couple of strings among these values : first,second,third, but "
         "it is given value first,fourth"},
        {"<count>1</count>", "<count>99999999999</count>",
         "section alpha, element rule: count must be an integer, but it is given value "
         "99999999999"},
        {"<level>3</level>", "<level>three</level>",
         "section beta, element : level must be an integer, but it is given value three"},
    };
    std::string text = BASE;
    for (const Flaw &flaw : flaws)
        text = replace(text, flaw.element, flaw.flawed);
    // A later valid value in the same section is still read.
    text = replace(text, "<big>5G</big>", "<big>1G</big>");

    std::string log;
    ASSERT_EQ(load_text(text, 1, &log), 1);
    for (const Flaw &flaw : flaws)
        EXPECT_NE(log.find(std::string("error: flawed XML file, ") +
                           (std::string(flaw.message).rfind("section", 0) == 0 ? "" : "section alpha, element : ") +
                           flaw.message),
                  std::string::npos)
            << flaw.message << "\nlog:\n" << log;

    const FieldVector &g = alpha->fields;
    EXPECT_EQ(g[0].int_value, 42);
    EXPECT_EQ(g[0].raw, "abc");
    EXPECT_EQ(g[1].int_value, 1);
    EXPECT_EQ(g[2].uint_value, 10240u);
    EXPECT_TRUE(g[3].ip_ranges.has("192.168.1.1"));
    EXPECT_EQ(g[3].ip_ranges.text, "10.0.0.0-10.0.0.255, 192.168.1.1");
    EXPECT_TRUE(g[4].port_ranges.has(80));
    EXPECT_EQ(g[7].int_value2, 4);
    EXPECT_EQ(g[10].double_value, 0.5);
    EXPECT_EQ(g[11].uint_value, 4000000000u);
    EXPECT_EQ(g[12].int_value, 2);
    EXPECT_EQ(g[9].long_value, 1073741824ULL);
    // The flawed item field keeps its template value; the item is loaded.
    const Item &one = alpha->subsection_get("rule")->items.front();
    EXPECT_EQ(one.fields[1].int_value, 9);
    EXPECT_EQ(one.fields[3].raw, "one");
    EXPECT_EQ(beta->fields[0].int_value, 3);
    EXPECT_EQ(beta->fields[2].int_value, 4);
}

// A field that did not parse marks itself and its item, so that the rule
// built from the item can be disabled; the mark goes with the next good
// load.  In the foreground start-up the lines also reach standard error.
TEST_F(XmlTest, FlawedValuesMarkTheirFieldAndItem)
{
    std::string text = replace(BASE, "<count>1</count>", "<count>one</count>");
    text = replace(text, "<ports>80,443</ports>", "<ports>443,,563</ports>");
    text = replace(text, "<hour active=\"TRUE\">1,2</hour>", "<hour active=\"maybe\">1,2</hour>");
    config_flaws_to_stderr = true;
    testing::internal::CaptureStderr();
    std::string log;
    ASSERT_EQ(load_text(text, 1, &log), 1);
    std::string err = testing::internal::GetCapturedStderr();
    config_flaws_to_stderr = false;

    const Subsection *rules = alpha->subsection_get("rule");
    ASSERT_EQ(rules->items.size(), 2u);
    EXPECT_TRUE(rules->items.front().flawed());
    EXPECT_TRUE(rules->items.front().fields[1].flawed);
    EXPECT_TRUE(rules->items.front().fields[2].flawed) << "an active attribute of no meaning";
    EXPECT_FALSE(rules->items.front().fields[3].flawed);
    EXPECT_FALSE(rules->items.back().flawed());
    EXPECT_TRUE(alpha->fields[4].flawed);
    EXPECT_TRUE(alpha->fields[4].port_ranges.has(80)) << "a global keeps its value";
    for (const char *line :
         {"flawed XML file, section alpha, element rule: count must be an integer, but it is "
          "given value one\n",
          "flawed XML file, section alpha, element : ports must be a port range list (see "
          "manual), but it is given value 443,,563\n",
          "flawed XML file, section alpha, element rule: the active attribute of hour must be "
          "true or false\n"}) {
        EXPECT_NE(log.find(std::string("error: ") + line), std::string::npos) << line << log;
        EXPECT_NE(err.find(line), std::string::npos) << line << err;
    }

    // Without the start-up's switch nothing goes to standard error.
    testing::internal::CaptureStderr();
    ASSERT_EQ(load_text(text, 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    ASSERT_EQ(config_load(1, base), 1);
    EXPECT_FALSE(rules->items.front().flawed());
    EXPECT_FALSE(alpha->fields[4].flawed);
}

// A misspelt field, item field or section is reported once, with its line
// in the file, instead of leaving its default in place without a word;
// also when stray markup was dropped from the document, which is then read
// again from its printed text, laid out anew, before the sections load.
TEST_F(XmlTest, UnknownElementsAreReported)
{
    for (const char *markup : {"", "<?xml version=\"1.0\"?>"}) {
        SCOPED_TRACE(markup);
        std::string text = replace(BASE, "  <alpha>", std::string("  <alpha>") + markup);
        text = replace(text, "<name>two</name>", "<nmae>two</nmae>");
        text = replace(text, "<after>4</after>", "<after>4</after><afer>5</afer>");
        std::string log;
        ASSERT_EQ(load_text(text, 1, &log), 1);
        std::vector<std::string> expected = {
            "unknown element stray in section alpha ignored (line 20)",
            "unknown element nmae in section alpha, element rule ignored (line 22)",
            "unknown element afer in section beta ignored (line 27)",
            "unknown section unknown ignored (line 30)",
        };
        if (*markup)
            expected.push_back("markup that is no element ignored (line 4)");
        for (const std::string &line : expected) {
            size_t at = log.find(line);
            EXPECT_NE(at, std::string::npos) << line << "\nlog:\n" << log;
            EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "twice: " << line;
        }
        // Known fields, subsections and sections of the schema are not named.
        for (const char *known : {"element count", "element rule in", "element entry",
                                  "section gamma", "element tag"})
            EXPECT_EQ(log.find(known), std::string::npos) << known << "\nlog:\n" << log;
    }
}

// A document that does not parse is named with the place and the parser's
// own text, so that the mistake can be found in the file.
TEST_F(XmlTest, NotWellFormedNamesThePlace)
{
    struct Case {
        const char *text;
        const char *message;
    } cases[] = {
        {"<kelvarine>\n  <alpha>\n    <count>1</cuont>\n  </alpha>\n</kelvarine>\n",
         "is not well-formed XML: line 3, column 13: Error reading end tag."},
        {"<config></config>\n", "has no kelvarine element"},
    };
    for (const Case &c : cases) {
        std::string log;
        EXPECT_EQ(load_text(c.text, 1, &log), 0) << c.text;
        EXPECT_NE(log.find(std::string("error: config: ") + dir + "/load.xml " + c.message),
                  std::string::npos)
            << c.message << "\nlog:\n" << log;
    }
}

TEST_F(XmlTest, MissingOptionalGlobalEndsThatSectionOnly)
{
    const char *variants[] = {"", "<tag active=\"maybe\">y</tag>"};
    for (const char *variant : variants) {
        SCOPED_TRACE(variant);
        ASSERT_EQ(config_load(1, base), 1);
        int updates = beta->updates;
        std::string text = replace(BASE, "<tag active=\"false\">x</tag>", variant);
        text = replace(text, "<level>3</level>", "<level>8</level>");
        text = replace(text, "<after>4</after>", "<after>9</after>");
        text = replace(text, "<count>42</count>", "<count>43</count>");
        ASSERT_EQ(load_text(text, 1), 1);

        EXPECT_EQ(beta->fields[0].int_value, 8);  // before the field
        EXPECT_EQ(beta->fields[2].int_value, 4);  // after it: untouched
        EXPECT_EQ(beta->subsection_get("entry")->items.size(), 1u);
        EXPECT_EQ(beta->updates, updates);
        // The mutex was released.
        ASSERT_EQ(pthread_mutex_trylock(&beta->mutex), 0);
        pthread_mutex_unlock(&beta->mutex);
        EXPECT_EQ(alpha->fields[0].int_value, 43);
    }
}

TEST_F(XmlTest, ClearFlag)
{
    Subsection *rules = alpha->subsection_get("rule");
    Subsection *extra = alpha->subsection_get("extra");
    alpha->write_lock();
    extra->items.push_back(Item(*extra));
    alpha->unlock();

    std::string text = replace(BASE, "<count>42</count>", "<count>7</count>");
    ASSERT_EQ(load_text(text, 0), 1);
    EXPECT_EQ(rules->items.size(), 4u);
    EXPECT_EQ(extra->items.size(), 1u);
    EXPECT_EQ(alpha->fields[0].int_value, 7);
    EXPECT_EQ(rules->items.back().fields[3].raw, "two");

    ASSERT_EQ(config_load(1, base), 1);
    EXPECT_EQ(rules->items.size(), 2u);
    EXPECT_EQ(extra->items.size(), 0u);
    EXPECT_EQ(alpha->fields[0].int_value, 42);
}

TEST_F(XmlTest, SelectionsAndActiveAttributes)
{
    std::string text = BASE;
    text = replace(text, "<flags>first,bogus</flags>", "<flags>second</flags>");
    text = replace(text, "<mode>second</mode>", "<mode>SECOND</mode>");
    // "active" on a field that is not optional is ignored.
    text = replace(text, "<count>42</count>", "<count active=\"false\">44</count>");
    // A switched-off optional field is not parsed: no message.
    text = replace(text, "<hour active=\"TRUE\">1,2</hour>", "<hour active=\"FaLsE\">99,99</hour>");
    std::string log;
    ASSERT_EQ(load_text(text, 1, &log), 1);
    EXPECT_EQ(log.find("flawed"), std::string::npos) << log;

    const FieldVector &g = alpha->fields;
    EXPECT_EQ(g[6].int_value, 2);
    EXPECT_FALSE(g[6].options[0].selected);
    EXPECT_TRUE(g[6].options[1].selected);
    // Case counts for a select-one: no option matches, the marks are
    // cleared and the index stays.
    EXPECT_EQ(g[5].int_value, 1);
    for (const StringSelect &option : g[5].options)
        EXPECT_FALSE(option.selected);
    EXPECT_EQ(g[0].int_value, 44);

    const Item &one = alpha->subsection_get("rule")->items.front();
    EXPECT_FALSE(one.fields[2].active);
    EXPECT_EQ(one.fields[2].raw, "99,99");

    std::string saved = dir + "/saved.xml";
    ASSERT_TRUE(config_save(saved));
    TiXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile(saved.c_str()));
    EXPECT_EQ(section_select(&doc, "alpha")->FirstChildElement("count")->Attribute("active"),
              nullptr);
}

TEST_F(XmlTest, FailedLoadsChangeNothing)
{
    const struct {
        const char *what;
        const char *text;  // null: no file at all
    } failures[] = {
        {"no file", nullptr},
        {"an empty file", ""},
        {"not XML", "<kelvarine><alpha><count>1</count></alpha>"},
        {"another root", "<config><alpha><count>1</count></alpha></config>"},
    };
    TiXmlDocument *before = document;
    time_t stamp = documentsynctime = 12345;
    // A directory where the file should be: refused, not read as a file
    // of absurd size.
    std::string directory = dir + "/a-directory.xml";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    EXPECT_EQ(config_load(1, directory), 0);
    EXPECT_EQ(document, before);
    EXPECT_EQ(alpha->fields[0].int_value, 42);
    EXPECT_EQ(documentsynctime.load(), stamp);
    for (const auto &failure : failures) {
        SCOPED_TRACE(failure.what);
        std::string path = dir + "/failing.xml";
        unlink(path.c_str());
        if (failure.text)
            write_file(path, failure.text);
        EXPECT_EQ(config_load(1, path), 0);
        EXPECT_EQ(document, before);
        EXPECT_EQ(alpha->fields[0].int_value, 42);
        EXPECT_EQ(alpha->subsection_get("rule")->items.size(), 2u);
        EXPECT_EQ(documentsynctime.load(), stamp);
    }
    // A slave does not stamp the time on a load from a file.
    slave = 1;
    EXPECT_EQ(config_load(1, base), 1);
    slave = 0;
    EXPECT_EQ(documentsynctime.load(), stamp);
}

int fetch_status;
std::string fetch_body;
std::string fetched_url;

int fake_fetch(const std::string &url, std::string &body)
{
    fetched_url = url;
    body = fetch_body;
    return fetch_status;
}

TEST_F(XmlTest, LoadFromUrl)
{
    TiXmlDocument *before = document;
    documentsynctime = 777;

    // Without an HTTP client the load fails with a message.
    testing::internal::CaptureStdout();
    daemonize = 0;
    EXPECT_EQ(config_load(1, "http://master:8080/xml"), 0);
    daemonize = 1;
    EXPECT_NE(testing::internal::GetCapturedStdout().find("http://master:8080/xml"),
              std::string::npos);

    config_url_fetch = fake_fetch;
    fetch_status = 404;
    fetch_body = replace(BASE, "<count>42</count>", "<count>5</count>");
    EXPECT_EQ(config_load(1, "http://master:8080/xml"), 0);
    EXPECT_EQ(document, before);
    EXPECT_EQ(alpha->fields[0].int_value, 42);

    fetch_status = 200;
    fetch_body = "<config/>";
    EXPECT_EQ(config_load(1, "http://master:8080/xml"), 0);
    EXPECT_EQ(document, before);

    fetch_body = replace(BASE, "<count>42</count>", "<count>5</count>");
    std::string long_url = "http://master/" + std::string(300, 'x');
    EXPECT_EQ(config_load(1, long_url), 1);
    EXPECT_EQ(fetched_url, long_url.substr(0, 254));
    EXPECT_EQ(alpha->fields[0].int_value, 5);
    EXPECT_EQ(documentsynctime.load(), 777);
}

// A value holding a byte that is not UTF-8 (a web form in another
// character set) is saved as it is into a document that declares UTF-8;
// the saved file and the same text from a URL must load again, value and
// all, or the next start finds no configuration.
TEST_F(XmlTest, SavedValueThatIsNotUtf8LoadsAgain)
{
    const std::string value = "Caf\xe9";  // Latin-1
    alpha->fields[8].raw = value;
    std::string saved = dir + "/saved.xml";
    ASSERT_TRUE(config_save(saved));
    alpha->fields[8].raw = "changed";
    ASSERT_EQ(config_load(1, saved), 1);
    EXPECT_EQ(alpha->fields[8].raw, value);

    alpha->fields[8].raw = "changed";
    config_url_fetch = fake_fetch;
    fetch_status = 200;
    fetch_body = file_text(saved);
    ASSERT_EQ(config_load(1, "http://master:8080/xml"), 1);
    EXPECT_EQ(alpha->fields[8].raw, value);
}

TEST_F(XmlTest, SaveWithoutDocumentFails)
{
    std::string path = dir + "/none.xml";
    pthread_mutex_lock(&documentlock);
    TiXmlDocument *kept = document;
    document = nullptr;
    pthread_mutex_unlock(&documentlock);
    EXPECT_FALSE(config_save(path));
    pthread_mutex_lock(&documentlock);
    document = kept;
    pthread_mutex_unlock(&documentlock);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(XmlTest, SaveReplacesTheFileWhole)
{
    std::string path = dir + "/kelvarine.xml";
    ASSERT_TRUE(config_save(path));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(config_save(path));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string old = file_text(path);

    // Make the new document larger, then let the write fail half-way: the
    // file size limit stops the temporary file after its first bytes.
    alpha->write_lock();
    alpha->fields[8].raw = std::string(20000, 'z');
    alpha->unlock();
    struct rlimit saved_limit, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    small = saved_limit;
    small.rlim_cur = 4096;
    sighandler_t saved_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved = config_save(path);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    signal(SIGXFSZ, saved_handler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(file_text(path), old);
    std::vector<std::string> entries = directory_entries(dir);
    EXPECT_EQ(entries.size(), 2u) << "a temporary file was left behind";

    // A directory that cannot hold the file: the path goes through a file.
    EXPECT_FALSE(config_save(base + "/kelvarine.xml"));
    EXPECT_EQ(file_text(base), BASE);

    // Without the limit the same save succeeds.
    ASSERT_TRUE(config_save(path));
    EXPECT_NE(file_text(path).find(std::string(20000, 'z')), std::string::npos);

    // Saving through a symbolic link replaces the file it names.
    std::string link = dir + "/link.xml";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    alpha->write_lock();
    alpha->fields[8].raw = "through the link";
    alpha->unlock();
    ASSERT_TRUE(config_save(link));
    struct stat link_stat;
    ASSERT_EQ(lstat(link.c_str(), &link_stat), 0);
    EXPECT_TRUE(S_ISLNK(link_stat.st_mode));
    EXPECT_NE(file_text(path).find("through the link"), std::string::npos);
}

// A section given twice: only the first is read, so the second is named
// with its line and dropped instead of riding along into saves and exports.
TEST_F(XmlTest, SectionGivenTwiceIsReportedAndDropped)
{
    std::string text = replace(BASE, "  <unknown>", "  <beta><level>9</level></beta>\n  <unknown>");
    std::string log;
    ASSERT_EQ(load_text(text, 1, &log), 1);
    EXPECT_NE(log.find("section beta given a second time, ignored (line 30)"), std::string::npos)
        << log;
    EXPECT_EQ(beta->fields[0].int_value, 3);

    std::string path = dir + "/saved.xml";
    ASSERT_TRUE(config_save(path));
    std::string saved = file_text(path);
    size_t first = saved.find("<beta>");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(saved.find("<beta>", first + 1), std::string::npos) << saved;
}

// Declarations and unknown markup inside the document are dropped at load,
// since TinyXML writes them back unescaped: the saved file reads back as
// it was saved.
// What is dropped at load (stray markup, a repeated section) leaves a
// document whose saved file reads back as it was saved: the texts that
// stood on either side of it are read as one before the sections load.
TEST_F(XmlTest, DroppedMarkupAndSectionsLeaveAFileThatReadsBack)
{
    struct Case {
        const char *replacement;  // for BASE's <unknown> line
        const char *reported;
        const char *gone;         // not in the saved file
        const char *kept;         // in the saved file
    } cases[] = {
        {"  <?xml version=\"1 &amp; 2\"?>\n"
         "  <unknown><?xml version=\"&amp;\"?><keep>me</keep></unknown>",
         "markup that is no element ignored (line 30)", "1 & 2", "<keep>me</keep>"},
        {"  <unknown><keep>me</keep></unknown>\n  before\n"
         "  <beta><level>9</level></beta>\n  after",
         "section beta given a second time", "<level>9</level>", "before after"},
    };
    for (const Case &c : cases) {
        std::string text = replace(BASE, "  <unknown><keep>me</keep></unknown>", c.replacement);
        std::string log;
        ASSERT_EQ(load_text(text, 1, &log), 1) << c.reported;
        EXPECT_NE(log.find(c.reported), std::string::npos) << log;
        std::string first = dir + "/first.xml", second = dir + "/second.xml";
        ASSERT_TRUE(config_save(first));
        EXPECT_EQ(file_text(first).find(c.gone), std::string::npos) << c.reported;
        EXPECT_NE(file_text(first).find(c.kept), std::string::npos) << c.reported;
        ASSERT_EQ(config_load(1, first), 1);
        ASSERT_TRUE(config_save(second));
        EXPECT_EQ(file_text(second), file_text(first)) << c.reported;
    }
}



// A declaration whose value holds a quote would be written back unescaped,
// and the saved file would read otherwise or not at all: it is replaced by a plain one, while
// a sound declaration stays as it was.
TEST_F(XmlTest, DeclarationThatWouldNotReadBackIsReplaced)
{
    struct Case {
        const char *declaration;
        bool replaced;
    } cases[] = {
        {"<?xml version=\"1.0\" ?>", false},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\" ?>", false},
        {"<?xml version=\"1&quot;0\" ?>", true},
        {"<?xml version=\"1.0\" encoding=\"a&quot;><b\" ?>", true},
    };
    for (const Case &c : cases) {
        std::string text = replace(BASE, "<?xml version=\"1.0\" ?>", c.declaration);
        std::string log;
        ASSERT_EQ(load_text(text, 1, &log), 1) << c.declaration;
        EXPECT_EQ(log.find("XML declaration that would not read back replaced (line 1)") !=
                      std::string::npos,
                  c.replaced)
            << c.declaration << "\n" << log;
        std::string saved = dir + "/saved.xml";
        ASSERT_TRUE(config_save(saved));
        EXPECT_EQ(file_text(saved).rfind(c.replaced ? "<?xml version=\"1.0\" ?>" : c.declaration,
                                         0),
                  0u)
            << file_text(saved).substr(0, 80);
        EXPECT_EQ(config_load(1, saved), 1) << c.declaration;
    }
}

}  // namespace
