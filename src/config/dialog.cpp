// Configuration web dialogs: every section is shown and edited through the
// same forms, drawn from its schema-declared fields.  Values that come from
// the configuration are HTML-escaped where they are written; the schema's
// own texts (labels, option labels) are written as they stand.
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/field.h"
#include "config/section.h"
#include "config/values.h"
#include "config/xml.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/regexp.h"

namespace {

std::string arg(const CGIMap &args, const std::string &name);
void put(Filebuf *page, const std::string &text);
std::string html(const std::string &text, int flags);
std::string form_name(int n);
const char *row_class(bool &toggle);
void errors_show(Filebuf *page, const StringList &errors);
int32_t id_read(const CGIMap &args);
bool in_list(const ItemList &list, ItemList::iterator it);
void sync_stamp();

std::string arg(const CGIMap &args, const std::string &name)
{
    auto found = args.find(name);
    return found == args.end() ? "" : found->second;
}

void put(Filebuf *page, const std::string &text)
{
    page->Add(text.data(), text.size());
}

std::string html(const std::string &text, int flags)
{
    char *escaped = string_to_html(text.c_str(), flags);
    std::string out = escaped ? escaped : "";
    free(escaped);
    return out;
}

std::string form_name(int n)
{
    return "F" + std::to_string(n);
}

// The class of a row; the toggle flips for the next one.
const char *row_class(bool &toggle)
{
    const char *name = toggle ? "entryfieldodd" : "entryfieldeven";
    toggle = !toggle;
    return name;
}

void errors_show(Filebuf *page, const StringList &errors)
{
    put(page, "<tr><td colspan=\"2\"><ul style=\"color: rgb(102, 0, 0)\">\n");
    for (const std::string &text : errors)
        page->Addf("<li>%s</li>\n", html(text, 0).c_str());
    put(page, "</ul></td></tr>\n");
}

// The "id" argument; -1 when absent or empty.
int32_t id_read(const CGIMap &args)
{
    std::string text = arg(args, "id");
    return text.empty() ? -1 : atoi(text.c_str());
}

bool in_list(const ItemList &list, ItemList::iterator it)
{
    for (auto i = list.begin(); i != list.end(); ++i)
        if (&*i == &*it)
            return true;
    return false;
}

// Slaves pull a change made here: the document's change time moves.
void sync_stamp()
{
    pthread_mutex_lock(&documentlock);
    documentsynctime = time(nullptr);
    pthread_mutex_unlock(&documentlock);
}

} // namespace

// ------------------------------------------------------------------ Field

void Field::display(Filebuf *page, bool &toggle) const
{
    bool shown = optional ? active : !raw.empty();
    if (!shown)
        return;
    const char *cls = row_class(toggle);
    page->Addf("<tr class=\"%s\"><td width=\"20%%\">", cls);
    page->Add(label.data(), label.size());
    // A password is never written into a page, not even escaped.
    std::string value = secret() ? secret_shown() : html(raw, HTML_BREAK_LINES);
    put(page, "</td><td>");
    page->Add(value.data(), value.size());
    put(page, "</td></tr>\n");
}

void Field::dialog_display(Filebuf *page, const CGIMap &, int n, bool &toggle) const
{
    std::string tip = html(help, HTML_BREAK_LINES | HTML_SCRIPT);
    std::string name = form_name(n);
    std::string row = std::string("<tr class=\"") + row_class(toggle) +
                      "\"><td width=\"20%\" onMouseOver=\"EnterContent('" + label + "', '" + tip +
                      "'); Activate();\" onMouseOut=\"deActivate();\" valign=\"top\" "
                      "align=\"left\">" + label + "</td><td>";
    if (optional)
        row += "<input type=\"checkbox\" name=\"" + name + "_active\" " +
               (active ? "checked" : "") + ">active &nbsp;&nbsp;&nbsp;";
    switch (type) {
    case BOOL: {
        bool yes = raw == "true" || raw == "TRUE";
        row += "Yes: <input type=\"radio\" name=\"" + name + "\" value=\"true\" " +
               (yes ? "checked" : "") + "> No: <input type=\"radio\" name=\"" + name +
               "\" value=\"false\" " + (yes ? "" : "checked") + "> ";
        break;
    }
    case STRING_SELECT_ONE:
        for (const StringSelect &o : options)
            row += "<font onMouseOver=\"EnterContent('" + o.label + "', '" + o.help +
                   "'); Activate();\" onMouseOut=\"deActivate();\" valign=\"top\" "
                   "align=\"left\">" + o.label + ": </font><input type=\"radio\" name=\"" +
                   name + "\" value=\"" + o.value + "\" " + (o.selected ? "checked" : "") + "> ";
        break;
    case STRING_SELECT_MANY:
        row += "<table class=\"checklist\">\n";
        for (const StringSelect &o : options)
            row += "<tr><td onMouseOver=\"EnterContent('" + o.label + "', '" + o.help +
                   "'); Activate();\" onMouseOut=\"deActivate();\" valign=\"top\" "
                   "align=\"left\">" + o.label + "</td><td><input type=\"checkbox\" name=\"" +
                   name + "_" + o.value + "\" " + (o.selected ? "checked" : "") +
                   "></td></tr>\n";
        row += "</table>";
        break;
    case STRING_RANGE: {
        auto select = [&row](const std::string &field, const StringSelectVector &list,
                             int32_t chosen) {
            row += "<select name=\"" + field + "\">";
            for (size_t i = 0; i < list.size(); i++)
                row += "<option value=\"" + list[i].value + "\" " +
                       ((int32_t)i == chosen ? "selected" : "") + ">" + list[i].label + "\n";
            row += "</select>";
        };
        select(name, options, int_value);
        row += "&nbsp;to ";
        select(name + "_2", options2, int_value2);
        break;
    }
    case INT_RANGE:
        row += "<input type=\"text\" name=\"" + name + "\" size=\"" + std::to_string(size) +
               "\" value=\"" + std::to_string(int_value) + "\"> to <input type=\"input\" name=\"" +
               name + "_2\" size=\"" + std::to_string(size) + "\" value=\"" +
               std::to_string(int_value2) + "\">";
        break;
    case MULTILINE_STRING:
        row += "<textarea name=\"" + name + "\" cols=\"80\" rows=\"8\" wrap=\"virtual\">" +
               html(raw, 0) + "</textarea>";
        break;
    default:
        if (secret()) {
            // The stored password stays on the proxy; an empty input keeps it.
            row += "<input type=\"password\" name=\"" + name + "\" value=\"\" size=\"" +
                   std::to_string(size) + "\" autocomplete=\"new-password\">";
            if (!raw.empty())
                row += " (stored; leave empty to keep it)";
            break;
        }
        row += "<input type=\"text\" name=\"" + name + "\" value=\"" + html(raw, 0) +
               "\" size=\"" + std::to_string(size) + "\">";
        break;
    }
    row += "</td></tr>\n";
    page->Add(row.data(), row.size());
}

void Field::read(const CGIMap &args, int n)
{
    std::string name = form_name(n);
    std::string value = arg(args, name);
    if (optional) {
        active = arg(args, name + "_active") == "on";
        if (!active)
            return;
    }
    // The form never holds a stored password: an empty one keeps it.
    if (secret() && value.empty())
        return;
    switch (type) {
    case INT:
        raw = value;
        int_value = string_to_int(value);
        break;
    case UINT:
        raw = value;
        uint_value = string_to_uint(value);
        break;
    case BOOL:
        raw = value;
        int_value = value == "true" ? 1 : 0;
        break;
    case STRING:
        raw = value;
        break;
    case MULTILINE_STRING:
        raw = value;
        string_list.clear();
        break;
    case STRING_SELECT_ONE:
        raw = value;
        for (size_t i = 0; i < options.size(); i++) {
            options[i].selected = options[i].value == value;
            if (options[i].selected)
                int_value = (int32_t)i;
        }
        break;
    case STRING_SELECT_MANY:
        raw.clear();
        int_value = 0;
        string_list.clear();
        for (size_t i = 0; i < options.size(); i++) {
            options[i].selected = arg(args, name + "_" + options[i].value) == "on";
            if (!options[i].selected)
                continue;
            if (i < 32)
                int_value |= (int32_t)(1u << i);
            string_list.push_back(options[i].value);
            raw += (raw.empty() ? "" : ",") + options[i].value;
        }
        break;
    case STRING_LIST:
        raw = value;
        string_list.clear();
        string_list.parse(value, ',');
        break;
    case IP_RANGE_LIST:
        raw = value;
        ip_ranges = IpRangeList();
        ip_ranges.parse(value);
        break;
    case PORT_RANGE_LIST:
        raw = value;
        port_ranges = PortRangeList();
        port_ranges.parse(value);
        break;
    case STRING_RANGE: {
        std::string second = arg(args, name + "_2");
        raw = value + "," + second;
        for (size_t i = 0; i < options.size(); i++) {
            options[i].selected = options[i].value == value;
            if (options[i].selected)
                int_value = (int32_t)i;
        }
        for (size_t i = 0; i < options2.size(); i++) {
            options2[i].selected = options2[i].value == second;
            if (options2[i].selected)
                int_value2 = (int32_t)i;
        }
        break;
    }
    case INT_RANGE: {
        std::string second = arg(args, name + "_2");
        raw = value + "," + second;
        int32_t first_value = string_to_int(value);
        int32_t second_value = string_to_int(second);
        if (first_value < lower || first_value > upper || second_value < lower ||
            second_value > upper)
            throw ConfigError();
        int_value = first_value;
        int_value2 = second_value;
        break;
    }
    case FILE_SIZE:
        raw = value;
        uint_value = string_to_filesize(value);
        break;
    case LONG_FILE_SIZE:
        raw = value;
        long_value = string_to_longfilesize(value);
        break;
    case DOUBLE:
        raw = value;
        double_value = string_to_double(value);
        break;
    default:
        raw = value;
        break;
    }
    // The value now in the field parsed: a flaw met when it was loaded is
    // mended, and the rule built from it applies again.
    flawed = false;
}

// ------------------------------------------------------------ FieldVector

void FieldVector::display(Filebuf *page) const
{
    bool toggle = false;
    for (const Field &f : fields)
        f.display(page, toggle);
}

void FieldVector::dialog_display(Filebuf *page, const CGIMap &args) const
{
    bool toggle = false;
    for (size_t n = 0; n < fields.size(); n++)
        fields[n].dialog_display(page, args, (int)n, toggle);
}

StringList FieldVector::read(const CGIMap &args)
{
    StringList errors;
    for (size_t n = 0; n < fields.size(); n++) {
        try {
            fields[n].read(args, (int)n);
        } catch (ConfigError &) {
            errors.push_back(fields[n].label + " must be " + fields[n].nature());
        }
    }
    return errors;
}

// ------------------------------------------------------------------- Item

bool Item::match(regexp_t *name_expression, regexp_t *value_expression) const
{
    // A search by value never looks into a password: the entries it lists
    // would tell the password piece by piece.
    for (const Field &f : fields.fields)
        if ((name_expression == nullptr || reg_exec(name_expression, f.name.c_str()) == 0) &&
            (value_expression == nullptr ||
             (!f.secret() && reg_exec(value_expression, f.raw.c_str()) == 0)))
            return true;
    return false;
}

void Item::display(Filebuf *page, bool shift_links) const
{
    page->Addf("<tr class=\"entrydialoghead\"><td>Option</td><td>Value</td></tr>\n");
    fields.display(page);
    std::string base = "config?section=" + html(section_name, 0) +
                       "&amp;subsection=" + html(subsection_name, 0);
    std::string id_text = std::to_string(id);
    std::string foot = "<tr><td colspan=\"2\"><table width=\"100%\"><tr class=\"entrydialogfoot\">"
                       "<td><a href=\"" + base + "&amp;dialog=show&amp;id=" + id_text +
                       "\">Edit</a></td><td><a href=\"" + base + "&amp;action=delete&amp;id=" +
                       id_text + "\">Delete</a></td><td><a href=\"" + base +
                       "&amp;action=clone&amp;id=" + id_text + "\">Clone</a></td>";
    if (shift_links) {
        std::string shift = base + "&amp;action=shift&amp;id=" + id_text + "&amp;direction=";
        foot += "<td><a href=\"" + shift + "up\">Up</a> <a href=\"" + shift +
                "down\">Down</a></td><td><a href=\"" + shift + "top\">Top</a> <a href=\"" + shift +
                "bottom\">Bottom</a></td>";
    }
    foot += "</tr></table></td></tr>\n";
    page->Add(foot.data(), foot.size());
}

StringList Item::read(const CGIMap &args)
{
    return fields.read(args);
}

// ---------------------------------------------------------------- Section

void Section::interface(Filebuf *page, const CGIMap &args, CONNECTION_T *, StringList &errors)
{
    read_lock();
    page->Addf("<table width=\"100%%\">\n<tr><td><table class=\"sectiondesc\" width=\"100%%\">"
               "<tr class=\"listhead1\"><td>%s section</td></tr><tr><td>",
               html(name, 0).c_str());
    page->Add(description.data(), description.size());
    put(page, "</td></tr></table></td></tr>\n");
    std::string matchname = arg(args, "matchname"), matchvalue = arg(args, "matchvalue");
    bool global_form = fields.size() > 0 && matchname.empty() && matchvalue.empty();
    if (!global_form && !errors.empty()) {
        // No global form to carry them: the reasons stand on their own.
        put(page, "<tr><td><table class=\"entryeditdialog\" width=\"100%\">\n");
        errors_show(page, errors);
        put(page, "</table></td></tr>\n");
    }
    if (global_form) {
        page->Addf("<tr><td><table class=\"entryeditdialog\" width=\"100%%\">"
                   "<tr class=\"entryeditdialoghead\"><td>Option</td><td>Value</td></tr>\n");
        if (!errors.empty())
            errors_show(page, errors);
        page->Addf("<form action=\"config\" method=\"post\"><input type=\"hidden\" name=\"section\" "
                   "value=\"%s\"><input type=\"hidden\" name=\"action\" value=\"global\">\n",
                   html(name, 0).c_str());
        fields.dialog_display(page, args);
        page->Addf("<tr class=\"entryeditdialogfoot\"><td colspan=\"2\"><input type=\"submit\" "
                   "value=\"Submit\"></td></tr>\n</form></table></td></tr>\n");
    }
    regexp_t *by_name = matchname.empty() ? nullptr : reg_compile(matchname.c_str(), REGEXP_ICASE);
    regexp_t *by_value =
        matchvalue.empty() ? nullptr : reg_compile(matchvalue.c_str(), REGEXP_ICASE);
    for (const Subsection &sub : subsections) {
        page->Addf("<tr><td><table class=\"subsectionheader\" width=\"100%%\"><tr class=\"listhead\">"
                   "<td onMouseOver=\"EnterContent('%s', '%s'); Activate();\" "
                   "onMouseOut=\"deActivate();\"><b>",
                   sub.label.c_str(), html(sub.help, HTML_BREAK_LINES | HTML_SCRIPT).c_str());
        page->Add(sub.label.data(), sub.label.size());
        page->Addf("</b></td></tr><tr><td><a href=\"config?section=%s&amp;subsection=%s&amp;"
                   "dialog=show\">Add</a></td></tr></table></td></tr>\n",
                   html(name, 0).c_str(), html(sub.name, 0).c_str());
        for (const Item &item : sub.items) {
            if (!item.match(by_name, by_value))
                continue;
            page->Addf("<tr><td><table class=\"entrydialog\" width=\"100%%\">\n");
            item.display(page, true);
            page->Addf("</table></td></tr>\n");
        }
    }
    if (by_name)
        reg_free(by_name);
    if (by_value)
        reg_free(by_value);
    put(page, "</table>\n");
    unlock();
}

void Section::interface_dialog(Filebuf *page, const CGIMap &args, CONNECTION_T *,
                               StringList &errors)
{
    read_lock();
    int32_t id = id_read(args);
    Subsection *sub = subsection_get(arg(args, "subsection"));
    if (sub == nullptr) {
        if (errors.empty())
            errors.push_back("No subsection named " + arg(args, "subsection"));
        put(page, "<table class=\"entryeditdialog\" width=\"100%\">\n");
        errors_show(page, errors);
        put(page, "</table>\n");
        unlock();
        return;
    }
    Item *item = nullptr;
    if (id != -1) {
        bool found = false;
        ItemList::iterator it = item_iterator_get(id, found);
        if (found && in_list(sub->items, it))
            item = &*it;
        else if (errors.empty())
            errors.push_back("Entry ID doesn't exist");
    }
    page->Addf("<table class=\"entryeditdialog\" width=\"100%%\"><tr class=\"entryeditdialoghead\">"
               "<td>Option</td><td>Value</td></tr>\n");
    if (!errors.empty()) {
        errors_show(page, errors);
    } else {
        page->Addf("<form action=\"config\" method=\"post\"><input type=\"hidden\" name=\"section\" "
                   "value=\"%s\"><input type=\"hidden\" name=\"subsection\" value=\"%s\">",
                   html(name, 0).c_str(), html(sub->name, 0).c_str());
        if (item)
            page->Addf("<input type=\"hidden\" name=\"action\" value=\"edit\"><input "
                       "type=\"hidden\" name=\"id\" value=\"%d\">\n",
                       item->id);
        else
            page->Addf("<input type=\"hidden\" name=\"action\" value=\"add\">\n");
        (item ? item->fields : sub->fields).dialog_display(page, args);
        page->Addf("<tr class=\"entryeditdialogfoot\"><td colspan=\"2\"><input type=\"submit\" "
                   "value=\"Submit\"></td></tr>\n</form>");
    }
    put(page, "</table>\n");
    unlock();
}

StringList Section::interface_action(Filebuf *, const CGIMap &args, CONNECTION_T *)
{
    StringList errors;
    std::string action = arg(args, "action");
    if (action.empty())
        return errors;
    write_lock();
    int32_t id = id_read(args);
    std::string sub_name = arg(args, "subsection");
    Subsection *sub = subsection_get(sub_name);
    std::string direction = arg(args, "direction");
    // A dispatch that names nothing it can change is refused with its reason
    // and changes nothing: no update(), no time stamp.
    StringList refused;
    if (id == -1 && action != "add") {
        FieldVector copy = fields;
        errors = copy.read(args);
        if (errors.empty())
            for (size_t n = 0; n < fields.size(); n++)
                fields[n] = copy[n]; // in place: sections keep pointers to them
    } else if (action == "add") {
        if (sub == nullptr) {
            refused.push_back("No subsection named " + sub_name);
        } else {
            Item item(*sub);
            errors = item.read(args);
            if (errors.empty())
                sub->items.push_back(item);
        }
    } else if (action != "edit" && action != "delete" && action != "clone" && action != "shift") {
        refused.push_back("Unknown action " + action);
    } else if (action == "shift" && direction != "up" && direction != "down" &&
               direction != "top" && direction != "bottom") {
        refused.push_back("Unknown direction " + direction);
    } else {
        bool found = false;
        ItemList::iterator it = item_iterator_get(id, found);
        if (sub == nullptr || !found || !in_list(sub->items, it))
            refused.push_back("Entry ID doesn't exist");
        else
            errors = item_change(sub->items, it, action, direction, args);
    }
    if (!refused.empty()) {
        unlock();
        return refused;
    }
    update();
    unlock();
    sync_stamp();
    return errors;
}

StringList Section::item_change(ItemList &list, ItemList::iterator it, const std::string &action,
                                const std::string &direction, const CGIMap &args)
{
    StringList errors;
    if (action == "delete") {
        list.erase(it);
    } else if (action == "edit") {
        FieldVector copy = it->fields;
        errors = copy.read(args);
        if (errors.empty())
            it->fields = copy;
    } else if (action == "clone") {
        list.insert(it, Item(*it));
    } else if (action == "shift") {
        // A moved item is a copy with a fresh id; the original is removed.
        bool first = it == list.begin();
        bool last = std::next(it) == list.end();
        if (direction == "up" && !first) {
            list.insert(std::prev(it), Item(*it));
            list.erase(it);
        } else if (direction == "down" && !last) {
            list.insert(std::next(std::next(it)), Item(*it));
            list.erase(it);
        } else if (direction == "top" && !first) {
            list.push_front(Item(*it));
            list.erase(it);
        } else if (direction == "bottom" && !last) {
            list.push_back(Item(*it));
            list.erase(it);
        }
    }
    return errors;
}
