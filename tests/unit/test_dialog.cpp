// The configuration web dialogs: the HTML of a section page, of an item
// form and of errors, with escaped values, and every action applied to a
// section with its error texts.
#include "config/xml.h"
#include "interface/interface.h"
#include "fixture.h"
#include "runtime/filebuf.h"

namespace {

const char SCHEMA[] = R"(<?xml version="1.0"?>
<section>
  <dlg>
    <comment>Dialog settings</comment>
    <desc>Settings &lt;i&gt;of&lt;/i&gt; the dialog</desc>
    <select>
      <colours>
        <red><comment>Red</comment><value>false</value><desc>warm</desc></red>
        <green><comment>Green</comment><value>TRUE</value><desc>calm</desc></green>
      </colours>
    </select>
    <global>
      <enabled n="0"><comment>On</comment><value>TRUE</value><type>BOOL</type><desc>Switch it</desc></enabled>
      <size n="1"><comment>Size</comment><value>10M</value><type>FILE_SIZE</type><desc/></size>
      <hours n="2"><comment>Hours</comment><value>0,23</value><type>INT_RANGE</type><optional>TRUE</optional><desc/></hours>
      <colour n="3"><comment>Colour</comment><value>colours</value><type>STRING_SELECT_ONE</type><desc/></colour>
      <kinds n="4"><comment>Kinds</comment><value>colours</value><type>STRING_SELECT_MANY</type><desc/></kinds>
      <note n="5"><comment>Note</comment><value/><type>MULTILINE_STRING</type><desc>Free text's "help"</desc></note>
    </global>
    <template>
      <rule>
        <name n="0"><comment>Name</comment><value/><type>STRING</type><desc/></name>
        <count n="1"><comment>Count</comment><value>5</value><type>INT</type><desc/></count>
        <bind_password n="2"><comment>Secret</comment><value/><type>STRING</type><desc/></bind_password>
        <proxy_password n="3"><comment>Proxy secret</comment><value/><type>STRING</type><optional>TRUE</optional><desc/></proxy_password>
      </rule>
    </template>
    <subsection>
      <rules><comment>Rules</comment><template>rule</template><desc>The rules</desc></rules>
      <others><comment>Others</comment><template>rule</template><desc>More</desc></others>
    </subsection>
  </dlg>
</section>
)";

TestSection *section;

std::string text(const Filebuf &page)
{
    return std::string(page.data ? page.data : "", page.size);
}

bool has(const std::string &haystack, const std::string &needle)
{
    return haystack.find(needle) != std::string::npos;
}

class DialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        auto *doc = new TiXmlDocument();
        doc->Parse(SCHEMA);
        ASSERT_FALSE(doc->Error());
        sectionxml = doc;
        section = new TestSection("dlg", 0);
    }
    void SetUp() override
    {
        for (Subsection &s : section->subsections)
            s.items.clear();
        for (const char *name : {"alpha", "beta", "gamma"})
            add("rules", name);
        add("others", "other");
        section->updates = 0;
    }
    static StringList act(const CGIMap &args)
    {
        Filebuf page;
        return section->interface_action(&page, args, nullptr);
    }
    static void add(const char *subsection, const char *name)
    {
        StringList errors = act({{"section", "dlg"}, {"subsection", subsection},
                                 {"action", "add"}, {"F0", name}, {"F1", "1"}});
        ASSERT_TRUE(errors.empty());
    }
    static std::vector<std::string> names(const char *subsection = "rules")
    {
        std::vector<std::string> out;
        for (const Item &i : section->subsection_get(subsection)->items)
            out.push_back(i.fields[0].raw);
        return out;
    }
    static int32_t id_of(const std::string &name, const char *subsection = "rules")
    {
        for (const Item &i : section->subsection_get(subsection)->items)
            if (i.fields[0].raw == name)
                return i.id;
        return -1;
    }
};

TEST_F(DialogTest, SectionPageEscapesStoredValues)
{
    int32_t beta = id_of("beta");
    StringList errors = act({{"section", "dlg"}, {"subsection", "rules"}, {"action", "edit"},
                             {"id", std::to_string(beta)},
                             {"F0", "<b>\"bold\" & co</b>"}, {"F1", "7"}});
    ASSERT_TRUE(errors.empty());
    errors = act({{"section", "dlg"}, {"action", "global"}, {"F0", "true"}, {"F1", "2M"},
                  {"F3", "green"}, {"F5", "x\"><script>alert(1)</script>"}});
    ASSERT_TRUE(errors.empty());

    Filebuf page;
    StringList none;
    section->interface(&page, {{"section", "dlg"}}, nullptr, none);
    std::string html = text(page);
    EXPECT_TRUE(has(html, "dlg section")) << html;
    EXPECT_TRUE(has(html, "Settings <i>of</i> the dialog")); // schema text stays plain
    // The global form with the stored values.
    EXPECT_TRUE(has(html, "<input type=\"hidden\" name=\"section\" value=\"dlg\">"));
    EXPECT_TRUE(has(html, "<input type=\"hidden\" name=\"action\" value=\"global\">"));
    EXPECT_TRUE(has(html, "Yes: <input type=\"radio\" name=\"F0\" value=\"true\" checked>"));
    EXPECT_TRUE(has(html, "<input type=\"text\" name=\"F1\" value=\"2M\" size="));
    EXPECT_TRUE(has(html, "<input type=\"checkbox\" name=\"F2_active\" >active"));
    EXPECT_TRUE(has(html, "name=\"F3\" value=\"green\" checked>"));
    EXPECT_TRUE(has(html, "<input type=\"checkbox\" name=\"F4_red\" >"));
    EXPECT_TRUE(has(html, "<textarea name=\"F5\" cols=\"80\" rows=\"8\" wrap=\"virtual\">"
                          "x&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;</textarea>"));
    EXPECT_FALSE(has(html, "<script>"));
    EXPECT_TRUE(has(html, "EnterContent('Note', 'Free text\\'s &quot;help&quot;')"));
    // Every item with its links and escaped values.
    std::string base = "config?section=dlg&amp;subsection=rules&amp;";
    EXPECT_TRUE(has(html, base + "dialog=show\">Add</a>"));
    for (const char *link :
         {"dialog=show&amp;id=%d\">Edit", "action=delete&amp;id=%d\">Delete",
          "action=clone&amp;id=%d\">Clone", "action=shift&amp;id=%d&amp;direction=up\">Up",
          "action=shift&amp;id=%d&amp;direction=down\">Down",
          "action=shift&amp;id=%d&amp;direction=top\">Top",
          "action=shift&amp;id=%d&amp;direction=bottom\">Bottom"}) {
        char expected[256];
        snprintf(expected, sizeof expected, link, beta);
        EXPECT_TRUE(has(html, base + expected)) << expected;
    }
    EXPECT_TRUE(has(html, "<td>&lt;b&gt;&quot;bold&quot; &amp; co&lt;/b&gt;</td>"));
    EXPECT_FALSE(has(html, "<b>\"bold\""));
    // A switched-off optional field and an empty text are not shown.
    EXPECT_FALSE(has(html, "<td width=\"20%\">Hours</td>"));
    EXPECT_EQ(section->updates, 2);
}

TEST_F(DialogTest, SearchHidesTheGlobalFormAndFiltersItems)
{
    struct Case {
        const char *what;
        CGIMap args;
        std::vector<std::string> listed;
    };
    const Case cases[] = {
        {"by field name only", {{"matchname", "^NAME$"}}, {"alpha", "beta", "gamma", "other"}},
        {"name and value on one field", {{"matchname", "name"}, {"matchvalue", "^b"}}, {"beta"}},
        {"value of another field", {{"matchname", "count"}, {"matchvalue", "^b"}}, {}},
        {"a pattern that does not compile matches all", {{"matchvalue", "("}},
         {"alpha", "beta", "gamma", "other"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Filebuf page;
        StringList none;
        section->interface(&page, c.args, nullptr, none);
        std::string html = text(page);
        EXPECT_FALSE(has(html, "name=\"action\" value=\"global\""));
        std::vector<std::string> listed;
        for (const char *name : {"alpha", "beta", "gamma", "other"})
            if (has(html, std::string("<td>") + name + "</td>"))
                listed.push_back(name);
        EXPECT_EQ(listed, c.listed);
    }
}

TEST_F(DialogTest, ItemFormsAndTheirErrors)
{
    struct Case {
        const char *what;
        CGIMap args;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    std::string beta = std::to_string(id_of("beta"));
    std::string other = std::to_string(id_of("other", "others"));
    const Case cases[] = {
        {"add shows the template",
         {{"subsection", "rules"}},
         {"<input type=\"hidden\" name=\"action\" value=\"add\">",
          "<input type=\"hidden\" name=\"subsection\" value=\"rules\">",
          "name=\"F1\" value=\"5\""},
         {"Entry ID"}},
        {"edit shows the item",
         {{"subsection", "rules"}, {"id", beta}},
         {"value=\"edit\"", "<input type=\"hidden\" name=\"id\" value=\"" + beta + "\">",
          "name=\"F0\" value=\"beta\"", "name=\"F1\" value=\"1\""},
         {"Entry ID"}},
        {"an id of another subsection",
         {{"subsection", "rules"}, {"id", other}},
         {"<li>Entry ID doesn't exist</li>", "rgb(102, 0, 0)"},
         {"<form"}},
        {"an id that names nothing", {{"subsection", "rules"}, {"id", "999999"}},
         {"Entry ID doesn"}, {"<form"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Filebuf page;
        StringList errors;
        section->interface_dialog(&page, c.args, nullptr, errors);
        std::string html = text(page);
        for (const std::string &p : c.present)
            EXPECT_TRUE(has(html, p)) << p << "\n" << html;
        for (const std::string &a : c.absent)
            EXPECT_FALSE(has(html, a)) << a;
    }
    Filebuf page;
    StringList errors;
    // A subsection that is not there is named as the reason, with no form.
    section->interface_dialog(&page, {{"subsection", "no<such"}}, nullptr, errors);
    EXPECT_TRUE(has(text(page), "<li>No subsection named no&lt;such</li>")) << text(page);
    EXPECT_FALSE(has(text(page), "<form"));
    page.Resize(0);
    // The errors of a failed submission replace the form, escaped.
    errors.push_back("Size must be <a size>");
    section->interface_dialog(&page, {{"subsection", "rules"}}, nullptr, errors);
    EXPECT_TRUE(has(text(page), "<li>Size must be &lt;a size&gt;</li>"));
    EXPECT_FALSE(has(text(page), "<form"));
}

TEST_F(DialogTest, ItemActions)
{
    struct Case {
        const char *what;
        const char *action;
        const char *target;     // item named by "id"
        const char *direction;
        std::vector<std::string> after;
        bool fresh_id;          // the target's id changed
    };
    const Case cases[] = {
        {"delete", "delete", "beta", "", {"alpha", "gamma"}, false},
        {"clone goes before", "clone", "beta", "", {"alpha", "beta", "beta", "gamma"}, false},
        {"up", "shift", "beta", "up", {"beta", "alpha", "gamma"}, true},
        {"down", "shift", "beta", "down", {"alpha", "gamma", "beta"}, true},
        {"top", "shift", "gamma", "top", {"gamma", "alpha", "beta"}, true},
        {"bottom", "shift", "alpha", "bottom", {"beta", "gamma", "alpha"}, true},
        {"up on the first", "shift", "alpha", "up", {"alpha", "beta", "gamma"}, false},
        {"down on the last", "shift", "gamma", "down", {"alpha", "beta", "gamma"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        int32_t id = id_of(c.target);
        time_t before = documentsynctime = 1;
        StringList errors = act({{"section", "dlg"}, {"subsection", "rules"},
                                 {"action", c.action}, {"id", std::to_string(id)},
                                 {"direction", c.direction}});
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(names(), c.after);
        EXPECT_EQ(section->updates, 1);
        EXPECT_NE(documentsynctime.load(), before);
        bool kept = false;
        for (const Item &i : section->subsection_get("rules")->items)
            kept = kept || i.id == id;
        if (std::string(c.action) != "delete") {
            EXPECT_EQ(!kept, c.fresh_id);
        }
    }
}

TEST_F(DialogTest, FormsAreAllOrNothing)
{
    time_t before = documentsynctime = 1;
    std::string was0 = section->fields[0].raw, was1 = section->fields[1].raw;
    bool was_active = section->fields[2].active;
    // Two bad fields of six: nothing changes, their errors, update() still runs.
    StringList errors = act({{"section", "dlg"}, {"action", "global"}, {"F0", "false"},
                             {"F1", "lots"}, {"F2_active", "on"}, {"F2", "3"}, {"F2_2", "30"},
                             {"F3", "red"}, {"F4_red", "on"}});
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors.front(), "Size must be " + section->fields[1].nature());
    EXPECT_EQ(errors.back(), "Hours must be a couple of integers between 0 and 23 inclusive");
    EXPECT_EQ(section->fields[0].raw, was0);
    EXPECT_EQ(section->fields[1].raw, was1);
    EXPECT_EQ(section->fields[2].active, was_active);
    EXPECT_EQ(section->updates, 1);
    EXPECT_NE(documentsynctime.load(), before);

    // The same form right: every field takes its value.
    errors = act({{"section", "dlg"}, {"action", "global"}, {"F0", "false"}, {"F1", "1M"},
                  {"F2_active", "on"}, {"F2", "23"}, {"F2_2", "3"}, {"F3", "red"},
                  {"F4_green", "on"}});
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(section->fields[0].int_value, 0);
    EXPECT_EQ(section->fields[1].uint_value, 1048576u);
    EXPECT_EQ(section->fields[2].raw, "23,3");
    EXPECT_EQ(section->fields[3].int_value, 0);
    EXPECT_EQ(section->fields[4].raw, "green");
    EXPECT_EQ(section->fields[4].int_value, 2);
    // No box ticked: the empty text and mask 0.
    errors = act({{"section", "dlg"}, {"action", "global"}, {"F1", "1M"}});
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(section->fields[4].raw, "");
    EXPECT_EQ(section->fields[4].int_value, 0);
    EXPECT_FALSE(section->fields[2].active);
    EXPECT_EQ(section->fields[2].raw, "23,3"); // switched off, text kept

    // An edit with a bad INT keeps the item.
    errors = act({{"section", "dlg"}, {"subsection", "rules"}, {"action", "edit"},
                  {"id", std::to_string(id_of("beta"))}, {"F0", "changed"}, {"F1", "x"}});
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(names(), (std::vector<std::string>{"alpha", "beta", "gamma"}));
}

TEST_F(DialogTest, RefusedActionsChangeNothing)
{
    struct Case {
        const char *what;
        CGIMap args;
        const char *error; // null: no error
    };
    const Case cases[] = {
        {"no action", {{"subsection", "rules"}, {"id", "1"}}, nullptr},
        {"an id of another subsection",
         {{"subsection", "rules"}, {"action", "delete"},
          {"id", std::to_string(id_of("other", "others"))}},
         "Entry ID doesn't exist"},
        {"an id that names nothing", {{"subsection", "rules"}, {"action", "edit"}, {"id", "999999"}},
         "Entry ID doesn't exist"},
        {"add to no subsection", {{"subsection", "nosuch"}, {"action", "add"}},
         "No subsection named nosuch"},
        {"unknown direction",
         {{"subsection", "rules"}, {"action", "shift"}, {"direction", "sideways"},
          {"id", std::to_string(id_of("beta"))}},
         "Unknown direction sideways"},
        {"unknown action",
         {{"subsection", "rules"}, {"action", "frob"}, {"id", std::to_string(id_of("beta"))}},
         "Unknown action frob"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        time_t before = documentsynctime = 1;
        StringList errors = act(c.args);
        if (c.error) {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors.front(), c.error);
        } else {
            EXPECT_TRUE(errors.empty());
        }
        EXPECT_EQ(names(), (std::vector<std::string>{"alpha", "beta", "gamma"}));
        EXPECT_EQ(section->updates, 0);
        EXPECT_EQ(documentsynctime.load(), before);
    }
}

TEST_F(DialogTest, PasswordsStayHidden)
{
    const std::string secret = "S3cret<&>";
    int32_t beta = id_of("beta");
    auto edit = [beta](const std::string &password) {
        return act({{"section", "dlg"}, {"subsection", "rules"}, {"action", "edit"},
                    {"id", std::to_string(beta)}, {"F0", "beta"}, {"F1", "1"},
                    {"F2", password}});
    };
    ASSERT_TRUE(edit(secret).empty());
    auto stored = [beta] { return section->item_get(beta)->fields[2].raw; };
    EXPECT_EQ(stored(), secret);
    // An empty input keeps the stored password; a typed one replaces it.
    ASSERT_TRUE(edit("").empty());
    EXPECT_EQ(stored(), secret);

    Filebuf listing, form;
    StringList none;
    section->interface(&listing, {}, nullptr, none);
    section->interface_dialog(&form, {{"subsection", "rules"}, {"id", std::to_string(beta)}},
                              nullptr, none);
    for (const std::string &html : {text(listing), text(form)}) {
        EXPECT_FALSE(has(html, "S3cret")) << html;
        EXPECT_FALSE(has(html, "S3cret&lt;")) << html;
    }
    EXPECT_TRUE(has(text(listing), "(stored)"));
    EXPECT_TRUE(has(text(form), "<input type=\"password\" name=\"F2\" value=\"\""));
    // A search by value does not look into it.
    Filebuf found;
    section->interface(&found, {{"matchvalue", "S3cret"}}, nullptr, none);
    EXPECT_FALSE(has(text(found), "entrydialoghead")) << text(found);

    ASSERT_TRUE(edit("other").empty());
    EXPECT_EQ(stored(), "other");
}

// The section page and the match page show of a password only whether
// one is stored: an empty one that is switched on shows as empty.
TEST_F(DialogTest, PasswordShownOnlyAsStoredWhenThereIsOne)
{
    struct Case {
        const char *typed, *shown;
    } cases[] = {{"", ""}, {"S3cret", "(stored)"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed);
        SetUp();
        int32_t beta = id_of("beta");
        ASSERT_TRUE(act({{"section", "dlg"}, {"subsection", "rules"}, {"action", "edit"},
                         {"id", std::to_string(beta)}, {"F0", "beta"}, {"F1", "1"},
                         {"F3_active", "on"}, {"F3", c.typed}})
                        .empty());
        Filebuf listing, rows;
        StringList none;
        section->interface(&listing, {}, nullptr, none);
        interface_item_rows(&rows, *section->item_get(beta));
        EXPECT_TRUE(has(text(listing), std::string("Proxy secret</td><td>") + c.shown + "</td>"))
            << text(listing);
        EXPECT_TRUE(has(text(rows), std::string("<tr><td>Proxy secret</td><td>") + c.shown +
                                        "</td></tr>"))
            << text(rows);
    }
}

TEST_F(DialogTest, FormNamesAreDistinctUpToAThousandFields)
{
    FieldVector v;
    for (int n = 0; n < 1000; n++)
        v.fields.push_back(section->subsection_get("rules")->fields[0]);
    Filebuf page;
    v.dialog_display(&page, {});
    std::string html = text(page);
    EXPECT_TRUE(has(html, "name=\"F0\" "));
    EXPECT_TRUE(has(html, "name=\"F999\" "));
}

} // namespace
