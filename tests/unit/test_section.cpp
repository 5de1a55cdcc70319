// Sections: reading a declaration from the schema, the registry, fields,
// items and subsections, the lookups and the two lock modes.
#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include <tinyxml.h>

#include "config/field.h"
#include "config/section.h"
#include "runtime/log.h"
#include "fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define NO_LEAK_CHECK() __lsan_disable()
#else
#define NO_LEAK_CHECK() ((void)0)
#endif

namespace {

// The children of a field element are deliberately out of the usual order
// in "size", and "name" carries an element the format does not know.
const char SCHEMA[] = R"(<?xml version="1.0"?>
<section>
  <alpha>
    <comment>Alpha settings</comment>
    <desc>What alpha does</desc>
    <select>
      <colours><only/></colours>
      <colours>
        <red><comment>Red colour</comment><value>false</value><desc>warm</desc></red>
        <green/>
        <blue><value>TRUE</value></blue>
      </colours>
    </select>
    <global>
      <enabled n="0"><comment>On</comment><value>TRUE</value><type>BOOL</type><desc>Switch</desc></enabled>
      <size n="1"><type>FILE_SIZE</type><desc></desc><value>10M</value><comment>Size</comment></size>
      <hours n="2"><comment>Hours</comment><value>0,23</value><type>INT_RANGE</type><optional>TRUE</optional><desc/></hours>
      <clients n="3"><comment>Clients</comment><value>10.0.0.0-10.255.255.255</value><type>IP_RANGE_LIST</type><desc/></clients>
      <colour n="4"><comment>Colour</comment><value>colours</value><type>STRING_SELECT_ONE</type><desc/></colour>
      <nothing n="5"><comment>No list</comment><value>undeclared</value><type>STRING_SELECT_MANY</type><desc/></nothing>
      <name n="6"><comment>Name</comment><value/><type>STRING</type><desc>x</desc><extra>ignored</extra></name>
      <flag n="7"><comment>Flag</comment><value>yes</value><type>BOOL</type><optional>no</optional><desc/></flag>
    </global>
    <template>
      <rule>
        <enabled n="0"><comment>On</comment><value>false</value><type>BOOL</type><desc/></enabled>
        <count n="1"><comment>Count</comment><value>5</value><type>INT</type><desc/></count>
      </rule>
    </template>
    <subsection>
      <rules><comment>Rules</comment><template>rule</template><desc>The rules</desc></rules>
      <orphans><comment>Orphans</comment><template>undeclared</template><desc>None</desc></orphans>
    </subsection>
  </alpha>
  <omega><comment>Omega</comment><desc>Mutex mode</desc><global/></omega>
  <zeta><comment>Zeta</comment><desc>Last by name</desc><global/></zeta>
  <Sortmarks><comment>Sortmarks</comment><desc>Upper case first</desc><global/></Sortmarks>
</section>
)";

TiXmlDocument *parse(const std::string &text)
{
    TiXmlDocument *doc = new TiXmlDocument();
    doc->Parse(text.c_str());
    EXPECT_FALSE(doc->Error()) << doc->ErrorDesc();
    return doc;
}

class SectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sectionxml = parse(SCHEMA);
        // Built in this order on purpose: the registry sorts by name.
        zeta = new TestSection("zeta", 0);
        alpha = new TestSection("alpha", 0);
        omega = new TestSection("omega", 1);
        sortmarks = new TestSection("Sortmarks", 0);
    }

    static TestSection *alpha, *omega, *zeta, *sortmarks;
};

TestSection *SectionTest::alpha;
TestSection *SectionTest::omega;
TestSection *SectionTest::zeta;
TestSection *SectionTest::sortmarks;

TEST_F(SectionTest, ReadsTheDeclaration)
{
    EXPECT_EQ(alpha->name, "alpha");
    EXPECT_EQ(alpha->name_get(), "alpha");
    EXPECT_EQ(alpha->comment_get(), "Alpha settings");
    EXPECT_EQ(alpha->description, "What alpha does");
    ASSERT_EQ(alpha->fields.size(), 8u);

    const Field &enabled = alpha->fields[0];
    EXPECT_EQ(enabled.name, "enabled");
    EXPECT_EQ(enabled.type, Field::BOOL);
    EXPECT_EQ(enabled.int_value, 1);
    EXPECT_EQ(enabled.label, "On");
    EXPECT_EQ(enabled.help, "Switch");
    EXPECT_FALSE(enabled.optional);

    // Children in another order read the same way.
    const Field &size = alpha->fields[1];
    EXPECT_EQ(size.type, Field::FILE_SIZE);
    EXPECT_EQ(size.uint_value, 10485760u);
    EXPECT_EQ(size.raw, "10M");
    EXPECT_EQ(size.label, "Size");
    EXPECT_EQ(size.help, "");
    EXPECT_EQ(size.size, 20);

    const Field &hours = alpha->fields[2];
    EXPECT_TRUE(hours.optional);
    EXPECT_FALSE(hours.active);
    EXPECT_EQ(hours.lower, 0);
    EXPECT_EQ(hours.upper, 23);
    EXPECT_EQ(hours.raw, "0,23");
    EXPECT_EQ(hours.nature(), "a couple of integers between 0 and 23 inclusive");

    // A range default only prefills the form: the list stays empty.
    const Field &clients = alpha->fields[3];
    EXPECT_EQ(clients.raw, "10.0.0.0-10.255.255.255");
    EXPECT_TRUE(clients.ip_ranges.ranges.empty());
    EXPECT_TRUE(clients.ip_ranges.has("192.168.1.1"));
    EXPECT_EQ(clients.size, 80);

    EXPECT_EQ(alpha->fields[6].raw, "");
    EXPECT_EQ(alpha->fields[6].type, Field::STRING);
    // "optional" other than "true" leaves the field not optional.
    EXPECT_FALSE(alpha->fields[7].optional);
    EXPECT_EQ(alpha->fields[7].int_value, 0);
}

TEST_F(SectionTest, SelectLists)
{
    // The later list of the same name replaced the earlier one.
    const Field &colour = alpha->fields[4];
    EXPECT_EQ(colour.size, 0);
    EXPECT_EQ(colour.raw, "");
    EXPECT_EQ(colour.int_value, 0);
    ASSERT_EQ(colour.options.size(), 3u);
    ASSERT_EQ(colour.options2.size(), 3u);
    EXPECT_EQ(colour.options[0].label, "Red colour");
    EXPECT_EQ(colour.options[0].help, "warm");
    EXPECT_FALSE(colour.options[0].selected);
    // Without comment, the label is the value.
    EXPECT_EQ(colour.options[1].value, "green");
    EXPECT_EQ(colour.options[1].label, "green");
    EXPECT_FALSE(colour.options[1].selected);
    EXPECT_TRUE(colour.options[2].selected);
    EXPECT_TRUE(colour.options2[2].selected);
    EXPECT_EQ(colour.possible_values(), "red,green,blue");
    EXPECT_EQ(colour.nature(), "a string among these values : red,green,blue");

    // A select list the section does not declare gives no options.
    const Field &nothing = alpha->fields[5];
    EXPECT_TRUE(nothing.options.empty());
    EXPECT_EQ(nothing.possible_values(), "");
    EXPECT_EQ(nothing.nature(), "a list of strings among these values : ");
}

TEST_F(SectionTest, Subsections)
{
    ASSERT_EQ(alpha->subsections.size(), 2u);
    Subsection *rules = alpha->subsection_get("rules");
    ASSERT_NE(rules, nullptr);
    EXPECT_EQ(rules->section_name, "alpha");
    EXPECT_EQ(rules->label, "Rules");
    EXPECT_EQ(rules->help, "The rules");
    ASSERT_EQ(rules->fields.size(), 2u);
    EXPECT_EQ(rules->fields[1].int_value, 5);
    EXPECT_TRUE(rules->items.empty());

    // An undeclared template gives a subsection without fields.
    Subsection *orphans = alpha->subsection_get("orphans");
    ASSERT_NE(orphans, nullptr);
    EXPECT_EQ(orphans->fields.size(), 0u);

    EXPECT_EQ(alpha->subsection_get("Rules"), nullptr);
    EXPECT_EQ(alpha->subsection_get("missing"), nullptr);
    EXPECT_TRUE(omega->subsections.empty());
    EXPECT_EQ(omega->fields.size(), 0u);
}

TEST_F(SectionTest, RegistryIsInByteOrderOfNames)
{
    std::vector<std::string> names;
    for (auto &entry : Section::map)
        names.push_back(entry.first);
    EXPECT_EQ(names, (std::vector<std::string>{"Sortmarks", "alpha", "omega", "zeta"}));
    EXPECT_EQ(Section::map["alpha"], alpha);
    EXPECT_EQ(Section::map.count("nosuch"), 0u);
}

TEST_F(SectionTest, ItemLookupAndIds)
{
    Subsection *rules = alpha->subsection_get("rules");
    ASSERT_NE(rules, nullptr);

    int32_t before = Item::count;
    rules->items.push_back(Item(*rules));
    // The temporary and the listed copy each took an id.
    EXPECT_EQ(Item::count, before + 2);
    const Item &listed = rules->items.back();
    EXPECT_EQ(listed.id_get(), before + 1);
    EXPECT_EQ(listed.section_name, "alpha");
    EXPECT_EQ(listed.subsection_name, "rules");
    EXPECT_EQ(listed.fields[1].int_value, 5);

    rules->items.push_back(Item(*rules));
    rules->items.push_back(Item(*rules));
    int32_t second = std::next(rules->items.begin())->id;

    bool found = false;
    ItemList::iterator it = alpha->item_iterator_get(second, found);
    ASSERT_TRUE(found);
    EXPECT_EQ(it, std::next(rules->items.begin()));
    EXPECT_EQ(alpha->item_get(second), &*it);

    // Copying a subsection gives its items new ids and leaves the old ones.
    std::vector<int32_t> old_ids;
    for (const Item &item : rules->items)
        old_ids.push_back(item.id);
    Subsection copy(*rules);
    ASSERT_EQ(copy.items.size(), 3u);
    size_t i = 0;
    for (const Item &item : copy.items) {
        EXPECT_GE(item.id, Item::count - 3);
        EXPECT_NE(item.id, old_ids[i++]);
    }
    i = 0;
    for (const Item &item : rules->items)
        EXPECT_EQ(item.id, old_ids[i++]);

    // A deleted item is no longer found.
    rules->items.erase(it);
    EXPECT_EQ(alpha->item_get(second), nullptr);
    alpha->item_iterator_get(second, found);
    EXPECT_FALSE(found);
    rules->items.clear();
}

TEST(Field, ConstructionFromDefaults)
{
    EXPECT_EQ(Field("f", "", "", "TRUE", Field::BOOL, false).int_value, 1);
    EXPECT_EQ(Field("f", "", "", "yes", Field::BOOL, false).int_value, 0);
    EXPECT_EQ(Field("f", "", "", "-4", Field::INT, false).int_value, -4);
    EXPECT_EQ(Field("f", "", "", "7", Field::UINT, false).uint_value, 7u);
    EXPECT_EQ(Field("f", "", "", "5G", Field::LONG_FILE_SIZE, false).long_value,
              5368709120ULL);
    EXPECT_EQ(Field("f", "", "", "0.25", Field::DOUBLE, false).double_value, 0.25);

    Field days("f", "", "", "1,31", Field::INT_RANGE, true);
    EXPECT_EQ(days.lower, 1);
    EXPECT_EQ(days.upper, 31);
    EXPECT_EQ(days.raw, "1,31");
    EXPECT_EQ(days.int_value, 0);
    EXPECT_EQ(days.int_value2, 0);

    Field ports("f", "", "", "80,443", Field::PORT_RANGE_LIST, false);
    EXPECT_TRUE(ports.port_ranges.ranges.empty());
    EXPECT_EQ(ports.size, 80);

    struct Bad {
        const char *text;
        int32_t type;
    } refused[] = {
        {"5", Field::INT_RANGE},         {"1,2,3", Field::INT_RANGE},
        {"a,b", Field::INT_RANGE},       {"ten", Field::INT},
        {"4g", Field::FILE_SIZE},        {"-1", Field::UINT},
        {"2147483648", Field::INT},      {"x", Field::DOUBLE},
    };
    for (const Bad &bad : refused)
        EXPECT_THROW(Field("f", "", "", bad.text, bad.type, false), ConfigError)
            << bad.text;
}

TEST(Field, KeywordsAndPhrases)
{
    EXPECT_EQ(Field::type_get("INT"), Field::INT);
    EXPECT_EQ(Field::type_get("LONG_FILE_SIZE"), Field::LONG_FILE_SIZE);
    EXPECT_EQ(Field::type_get("STRING_RANGE"), 10);
    EXPECT_EQ(Field::type_get("int"), -1);
    EXPECT_EQ(Field::type_get(""), -1);

    StringSelectVector one;
    one.push_back(StringSelect("x", "X", "", false));
    Field single("f", "", "", one, Field::STRING_RANGE, false);
    EXPECT_EQ(single.possible_values(), "x");
    EXPECT_EQ(single.nature(), "a couple of strings among these values : x");

    EXPECT_EQ(Field("f", "", "", "", Field::UINT, false).nature(), "a positive integer");
    EXPECT_EQ(Field("f", "", "", "0", Field::LONG_FILE_SIZE, false).nature(),
              "a file size (for example 120, 10K, 1M)");
    EXPECT_EQ(Field("f", "", "", "", Field::MULTILINE_STRING, false).nature(),
              "a multi-line string");
}

// Death tests: a fault of the schema file ends the process with status 1
// after the two messages.  The log goes to standard output in the
// foreground; it is sent to standard error here so that the messages can
// be matched.
TiXmlDocument *kept_schema;

void build_from(const std::string &schema, const char *name)
{
    NO_LEAK_CHECK();
    daemonize = 0;
    dup2(2, 1);
    kept_schema = sectionxml;  // stays reachable for the leak check
    sectionxml = parse(schema);
    new TestSection(name, 0);
    exit(0);
}

std::string one_section(const std::string &body)
{
    return "<section><bad><comment>Bad</comment><desc>Faulty</desc>" + body +
           "</bad></section>";
}

std::string int_field(const char *n, const char *name, const char *value)
{
    return std::string("<") + name + " n=\"" + n + "\"><comment>c</comment><value>" +
           value + "</value><type>INT</type><desc/></" + name + ">";
}

TEST(SchemaFaults, EndTheStartUp)
{
    std::string many_options;
    for (int i = 0; i < 33; i++)
        many_options += "<o" + std::to_string(i) + "/>";

    const struct {
        const char *what;
        std::string schema;
    } faults[] = {
        {"fields numbered 0, 1, 3",
         one_section("<global>" + int_field("0", "a", "1") + int_field("1", "b", "1") +
                     int_field("3", "c", "1") + "</global>")},
        {"no global element", one_section("")},
        {"an INT default ten", one_section("<global>" + int_field("0", "a", "ten") + "</global>")},
        {"a field without n",
         one_section("<global><a><comment>c</comment><value/><type>INT</type><desc/></a></global>")},
        {"a field without value",
         one_section("<global><a n=\"0\"><comment>c</comment><type>INT</type><desc/></a></global>")},
        {"a field without desc",
         one_section("<global><a n=\"0\"><comment>c</comment><value/><type>INT</type></a></global>")},
        {"an empty comment",
         one_section("<global><a n=\"0\"><comment/><value/><type>INT</type><desc/></a></global>")},
        {"an empty optional",
         one_section("<global><a n=\"0\"><comment>c</comment><value/><type>INT</type>"
                     "<optional/><desc/></a></global>")},
        {"a lower-case type keyword",
         one_section("<global><a n=\"0\"><comment>c</comment><value/><type>int</type><desc/></a></global>")},
        {"an option with an empty comment",
         one_section("<select><l><o><comment></comment></o></l></select><global/>")},
        {"an option with an empty value",
         one_section("<select><l><o><value/></o></l></select><global/>")},
        {"a subsection without template",
         one_section("<global/><subsection><s><comment>c</comment><desc>d</desc></s></subsection>")},
        {"a template field out of place",
         one_section("<global/><template><t>" + int_field("1", "a", "1") + "</t></template>")},
        {"a select-many field with 33 options",
         one_section("<select><l>" + many_options + "</l></select><global><a n=\"0\">"
                     "<comment>c</comment><value>l</value><type>STRING_SELECT_MANY</type>"
                     "<desc/></a></global>")},
        {"a section element without desc",
         "<section><bad><comment>Bad</comment><global/></bad></section>"},
        {"no element for the section", "<section><other/></section>"},
        {"no root element section", "<kelvarine><bad/></kelvarine>"},
        {"the section declared twice",
         "<section><bad><comment>Bad</comment><desc>d</desc><global/></bad>\n"
         "<bad><comment>Again</comment><desc>d</desc><global/></bad></section>"},
    };
    for (const auto &fault : faults) {
        SCOPED_TRACE(fault.what);
        EXPECT_EXIT(build_from(fault.schema, "bad"), ::testing::ExitedWithCode(1),
                    "Error when parsing section.xml: section bad: .*\n.*"
                    "Please correct errors in section.xml: section bad: ");
    }

    // The same section without faults builds.
    EXPECT_EXIT(build_from(one_section("<global>" + int_field("0", "a", "1") + "</global>"),
                           "bad"),
                ::testing::ExitedWithCode(0), "");
}

// --- locks -------------------------------------------------------------

struct RwScenario {
    Section *section;
    std::atomic<int> readers_in{0};
    std::atomic<bool> writer_done{false};
    std::atomic<bool> writer_early{false};
};

void *writer_thread(void *arg)
{
    RwScenario *s = static_cast<RwScenario *>(arg);
    s->section->write_lock();
    s->writer_done = true;
    s->section->unlock();
    return nullptr;
}

void *reentrant_reader(void *arg)
{
    RwScenario *s = static_cast<RwScenario *>(arg);
    s->section->read_lock();
    s->readers_in++;
    // Let the writer start waiting, then take the read lock again.
    usleep(300 * 1000);
    s->section->read_lock();
    if (s->writer_done)
        s->writer_early = true;
    s->section->unlock();
    s->section->unlock();
    return nullptr;
}

// Two threads hold the read lock and take it again while a third waits to
// write: none of them blocks for ever, and the writer runs after them.
// The child process is ended by an alarm if it deadlocks.
void reentrant_scenario(Section *section)
{
    alarm(10);
    RwScenario s;
    s.section = section;
    pthread_t r1, r2, w;
    pthread_create(&r1, nullptr, reentrant_reader, &s);
    pthread_create(&r2, nullptr, reentrant_reader, &s);
    while (s.readers_in < 2)
        usleep(1000);
    pthread_create(&w, nullptr, writer_thread, &s);
    pthread_join(r1, nullptr);
    pthread_join(r2, nullptr);
    pthread_join(w, nullptr);
    exit(s.writer_done && !s.writer_early ? 0 : 2);
}

TEST_F(SectionTest, ReadLockIsReentrantWhileAWriterWaits)
{
    EXPECT_EXIT(reentrant_scenario(alpha), ::testing::ExitedWithCode(0), "");
}

struct MutexScenario {
    Section *section;
    std::atomic<bool> got{false};
};

void *second_reader(void *arg)
{
    MutexScenario *s = static_cast<MutexScenario *>(arg);
    s->section->read_lock();
    s->got = true;
    s->section->unlock();
    return nullptr;
}

TEST_F(SectionTest, MutexModeReadersExcludeEachOther)
{
    MutexScenario s;
    s.section = omega;
    omega->read_lock();
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, second_reader, &s), 0);
    usleep(200 * 1000);
    EXPECT_FALSE(s.got);
    omega->unlock();
    pthread_join(t, nullptr);
    EXPECT_TRUE(s.got);
}

TEST_F(SectionTest, MutexModeConditionWait)
{
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 50 * 1000 * 1000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    omega->mutex_lock();
    EXPECT_EQ(omega->cond_timedwait(&cond, &deadline), ETIMEDOUT);
    omega->unlock();
    pthread_cond_destroy(&cond);
}

TEST_F(SectionTest, AtomicRead)
{
    int i = -5;
    long l = 1L << 40;
    unsigned int u = 4000000000u;
    unsigned long ul = 1UL << 63;
    EXPECT_EQ(alpha->atomic_read(&i), -5);
    EXPECT_EQ(omega->atomic_read(&l), 1L << 40);
    EXPECT_EQ(alpha->atomic_read(&u), 4000000000u);
    EXPECT_EQ(omega->atomic_read(&ul), 1UL << 63);
    // The lock is free again afterwards.
    EXPECT_EQ(pthread_rwlock_trywrlock(&alpha->rwlock), 0);
    pthread_rwlock_unlock(&alpha->rwlock);
    EXPECT_EQ(pthread_mutex_trylock(&omega->mutex), 0);
    pthread_mutex_unlock(&omega->mutex);
}

}  // namespace
