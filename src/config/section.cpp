// The Section base class: registry, locks, lookups and the reading of a
// section's declaration from the schema document.
#include "config/section.h"

#include <cstdlib>
#include <cstring>

#include <strings.h>
#include <tinyxml.h>

#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/thread.h"

TiXmlDocument *sectionxml = nullptr;
std::map<std::string, Section *> Section::map;

// The text of an element: the value of its first child node; null when it
// has no child node.
static const char *element_text(const TiXmlElement *element)
{
    const TiXmlNode *child = element->FirstChild();
    return child ? child->Value() : nullptr;
}

// The text of a child element that must be present and have a text.
static std::string required_text(const TiXmlElement *parent, const char *child,
                                 const std::string &where)
{
    const TiXmlElement *element = parent->FirstChildElement(child);
    if (element == nullptr)
        throw SchemaFault{where + " has no element " + child};
    const char *text = element_text(element);
    if (text == nullptr || *text == '\0')
        throw SchemaFault{where + " has an empty element " + child};
    return text;
}

// The text of a child element that must be present; its text may be empty.
static std::string present_text(const TiXmlElement *parent, const char *child,
                                const std::string &where)
{
    const TiXmlElement *element = parent->FirstChildElement(child);
    if (element == nullptr)
        throw SchemaFault{where + " has no element " + child};
    const char *text = element_text(element);
    return text ? text : "";
}

void FieldVector::parse(TiXmlElement *list, const SelectLists &selects)
{
    long position = 0;
    for (TiXmlElement *element = list->FirstChildElement(); element != nullptr;
         element = element->NextSiblingElement(), position++) {
        std::string name = element->ValueStr();
        std::string where = "field " + name;

        const char *n = element->Attribute("n");
        if (n == nullptr)
            throw SchemaFault{where + " has no attribute n"};
        if (strtol(n, nullptr, 10) != position)
            throw SchemaFault{where + " has n=\"" + n + "\" at position " +
                              std::to_string(position)};

        std::string label = required_text(element, "comment", where);
        std::string default_text = present_text(element, "value", where);
        std::string keyword = required_text(element, "type", where);
        bool optional = false;
        if (element->FirstChildElement("optional") != nullptr)
            optional = strcasecmp(required_text(element, "optional", where).c_str(),
                                  "true") == 0;
        std::string help = present_text(element, "desc", where);

        int32_t type = Field::type_get(keyword);
        if (type < 0)
            throw SchemaFault{where + " has the unknown type " + keyword};

        if (type == Field::STRING_SELECT_ONE || type == Field::STRING_SELECT_MANY ||
            type == Field::STRING_RANGE) {
            // A select list the section does not declare gives no options.
            auto found = selects.find(default_text);
            StringSelectVector options;
            if (found != selects.end())
                options = found->second;
            if (type == Field::STRING_SELECT_MANY && options.size() > 32)
                throw SchemaFault{where + " has more than 32 options"};
            fields.push_back(Field(name, label, help, options, type, optional));
        } else {
            try {
                fields.push_back(
                    Field(name, label, help, default_text, type, optional));
            } catch (ConfigError &) {
                throw SchemaFault{where + " has the default \"" + default_text +
                                  "\", which is not " + keyword};
            }
        }
    }
}

// Ends the start-up on a fault of the schema file.
[[noreturn]] static void schema_fault(const std::string &section,
                                      const std::string &fault)
{
    std::string text = "section " + section + ": " + fault;
    putlog(LOG_ERROR, "Error when parsing section.xml: %s", text.c_str());
    putlog(LOG_ADVICE, "Please correct errors in section.xml: %s", text.c_str());
    exit(1);
}

Section::Section(const std::string &name, int32_t lock_mode)
    : lock_mode(lock_mode), name(name)
{
    map[name] = this;

    if (lock_mode == 1) {
        ASSERT(mutex_init_adaptive(&mutex) == 0);
    } else {
        // Readers first, so that a thread holding the read lock can take it
        // again while a writer waits.
        pthread_rwlockattr_t attr;
        ASSERT(pthread_rwlockattr_init(&attr) == 0);
        ASSERT(pthread_rwlockattr_setkind_np(
                   &attr, PTHREAD_RWLOCK_PREFER_READER_NP) == 0);
        ASSERT(pthread_rwlock_init(&rwlock, &attr) == 0);
        ASSERT(pthread_rwlockattr_destroy(&attr) == 0);
    }

    putlog(LOG_DEBUG, "Validating Section: %s", name.c_str());

    try {
        TiXmlElement *root =
            sectionxml ? sectionxml->FirstChildElement("section") : nullptr;
        if (root == nullptr)
            throw SchemaFault{"no root element section"};
        TiXmlElement *element = root->FirstChildElement(name);
        if (element == nullptr)
            throw SchemaFault{"no element for the section"};
        // A second declaration would be ignored without a word.
        if (const TiXmlElement *again = element->NextSiblingElement(name))
            throw SchemaFault{"declared a second time at line " + std::to_string(again->Row())};

        title = required_text(element, "comment", "the section");
        description = required_text(element, "desc", "the section");

        // Select lists and templates are the section's own and live only
        // while the declaration is read; a later one of the same name
        // replaces an earlier one.
        SelectLists selects;
        if (TiXmlElement *select = element->FirstChildElement("select")) {
            for (TiXmlElement *list = select->FirstChildElement(); list != nullptr;
                 list = list->NextSiblingElement()) {
                StringSelectVector options;
                for (TiXmlElement *option = list->FirstChildElement();
                     option != nullptr; option = option->NextSiblingElement()) {
                    std::string value = option->ValueStr();
                    std::string where =
                        "option " + value + " of select list " + list->ValueStr();
                    std::string label = value;
                    if (option->FirstChildElement("comment") != nullptr)
                        label = required_text(option, "comment", where);
                    bool selected = false;
                    if (option->FirstChildElement("value") != nullptr)
                        selected = strcasecmp(
                                       required_text(option, "value", where).c_str(),
                                       "true") == 0;
                    std::string help;
                    if (const TiXmlElement *desc = option->FirstChildElement("desc")) {
                        const char *text = element_text(desc);
                        help = text ? text : "";
                    }
                    options.push_back(StringSelect(value, label, help, selected));
                }
                selects[list->ValueStr()] = options;
            }
        }

        TiXmlElement *global = element->FirstChildElement("global");
        if (global == nullptr)
            throw SchemaFault{"no element global"};
        fields.parse(global, selects);

        std::map<std::string, FieldVector> templates;
        if (TiXmlElement *list = element->FirstChildElement("template")) {
            for (TiXmlElement *child = list->FirstChildElement(); child != nullptr;
                 child = child->NextSiblingElement())
                templates[child->ValueStr()] = FieldVector(child, selects);
        }

        if (TiXmlElement *list = element->FirstChildElement("subsection")) {
            for (TiXmlElement *child = list->FirstChildElement(); child != nullptr;
                 child = child->NextSiblingElement()) {
                std::string where = "subsection " + child->ValueStr();
                std::string label = required_text(child, "comment", where);
                std::string template_name = required_text(child, "template", where);
                std::string help = required_text(child, "desc", where);
                // An undeclared template gives a subsection without fields.
                FieldVector template_fields;
                auto found = templates.find(template_name);
                if (found != templates.end())
                    template_fields = found->second;
                subsections.push_back(Subsection(name, child->ValueStr(), label,
                                                 help, template_fields));
            }
        }
    } catch (SchemaFault &fault) {
        schema_fault(name, fault.text);
    }
}

Section::~Section()
{
    if (lock_mode == 1)
        pthread_mutex_destroy(&mutex);
    else
        pthread_rwlock_destroy(&rwlock);
}

int Section::read_lock()
{
    if (lock_mode == 1)
        return pthread_mutex_lock(&mutex);
    return pthread_rwlock_rdlock(&rwlock);
}

int Section::write_lock()
{
    if (lock_mode == 1)
        return pthread_mutex_lock(&mutex);
    return pthread_rwlock_wrlock(&rwlock);
}

int Section::unlock()
{
    if (lock_mode == 1)
        return pthread_mutex_unlock(&mutex);
    return pthread_rwlock_unlock(&rwlock);
}

int Section::mutex_lock()
{
    ASSERT(lock_mode == 1);
    return pthread_mutex_lock(&mutex);
}

int Section::cond_wait(pthread_cond_t *cond)
{
    ASSERT(lock_mode == 1);
    return pthread_cond_wait(cond, &mutex);
}

int Section::cond_timedwait(pthread_cond_t *cond, const struct timespec *deadline)
{
    ASSERT(lock_mode == 1);
    return pthread_cond_timedwait(cond, &mutex, deadline);
}

int Section::atomic_read(const int *value)
{
    read_lock();
    int result = *value;
    unlock();
    return result;
}

long Section::atomic_read(const long *value)
{
    read_lock();
    long result = *value;
    unlock();
    return result;
}

unsigned int Section::atomic_read(const unsigned int *value)
{
    read_lock();
    unsigned int result = *value;
    unlock();
    return result;
}

unsigned long Section::atomic_read(const unsigned long *value)
{
    read_lock();
    unsigned long result = *value;
    unlock();
    return result;
}

std::string Section::name_get()
{
    read_lock();
    std::string result = name;
    unlock();
    return result;
}

std::string Section::comment_get()
{
    read_lock();
    std::string result = title;
    unlock();
    return result;
}

Subsection *Section::subsection_get(const std::string &name)
{
    for (Subsection &subsection : subsections)
        if (subsection.name == name)
            return &subsection;
    return nullptr;
}

ItemList::iterator Section::item_iterator_get(int32_t id, bool &found)
{
    for (Subsection &subsection : subsections)
        for (auto it = subsection.items.begin(); it != subsection.items.end(); ++it)
            if (it->id == id) {
                found = true;
                return it;
            }
    found = false;
    return ItemList::iterator();
}

Item *Section::item_get(int32_t id)
{
    bool found;
    ItemList::iterator it = item_iterator_get(id, found);
    return found ? &*it : nullptr;
}
