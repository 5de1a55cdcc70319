// Fields, items and subsections: construction from the schema's texts,
// the type keywords and the phrases that say what a value must be.
#include "config/field.h"

#include <cstdio>

#include <strings.h>

std::atomic<int32_t> Item::count(0);
std::atomic<bool> config_flaws_to_stderr(false);

Field::Field(const std::string &name, const std::string &label,
             const std::string &help, const std::string &default_text,
             int32_t type, bool optional)
    : name(name), type(type), label(label), help(help), size(20), lower(0),
      upper(0), optional(optional), active(false), int_value(0),
      int_value2(0), uint_value(0), long_value(0), raw(default_text),
      double_value(0), flawed(false)
{
    switch (type) {
    case INT:
        int_value = string_to_int(default_text);
        break;
    case UINT:
        uint_value = string_to_uint(default_text);
        break;
    case FILE_SIZE:
        uint_value = string_to_filesize(default_text);
        break;
    case LONG_FILE_SIZE:
        long_value = string_to_longfilesize(default_text);
        break;
    case DOUBLE:
        double_value = string_to_double(default_text);
        break;
    case BOOL:
        int_value = strcasecmp(default_text.c_str(), "true") == 0 ? 1 : 0;
        break;
    case INT_RANGE: {
        Couple bounds(default_text);
        lower = string_to_int(bounds.first());
        upper = string_to_int(bounds.second());
        break;
    }
    case STRING:
    case STRING_LIST:
    case IP_RANGE_LIST:
    case PORT_RANGE_LIST:
        // Range defaults only prefill the web form: the lists stay empty
        // until a value is loaded or read.
        size = 80;
        break;
    default:
        break;
    }
}

Field::Field(const std::string &name, const std::string &label,
             const std::string &help, const StringSelectVector &options,
             int32_t type, bool optional)
    : name(name), type(type), label(label), help(help), size(0), lower(0),
      upper(0), optional(optional), active(false), int_value(0),
      int_value2(0), uint_value(0), long_value(0), options(options),
      options2(options), double_value(0), flawed(false)
{
}

int32_t Field::type_get(const std::string &keyword)
{
    static const struct {
        const char *keyword;
        int32_t code;
    } types[] = {
        {"INT", INT},
        {"UINT", UINT},
        {"BOOL", BOOL},
        {"STRING", STRING},
        {"STRING_SELECT_ONE", STRING_SELECT_ONE},
        {"STRING_SELECT_MANY", STRING_SELECT_MANY},
        {"STRING_LIST", STRING_LIST},
        {"IP_RANGE_LIST", IP_RANGE_LIST},
        {"PORT_RANGE_LIST", PORT_RANGE_LIST},
        {"STRING_RANGE", STRING_RANGE},
        {"INT_RANGE", INT_RANGE},
        {"FILE_SIZE", FILE_SIZE},
        {"MULTILINE_STRING", MULTILINE_STRING},
        {"LONG_FILE_SIZE", LONG_FILE_SIZE},
        {"DOUBLE", DOUBLE},
    };
    for (const auto &t : types)
        if (keyword == t.keyword)
            return t.code;
    return -1;
}

std::string Field::possible_values() const
{
    std::string values;
    for (size_t i = 0; i < options.size(); i++) {
        if (i > 0)
            values += ",";
        values += options[i].value;
    }
    return values;
}

std::string Field::nature() const
{
    switch (type) {
    case INT:
        return "an integer";
    case UINT:
        return "a positive integer";
    case BOOL:
        return "true or false";
    case STRING:
        return "a string";
    case STRING_SELECT_ONE:
        return "a string among these values : " + possible_values();
    case STRING_SELECT_MANY:
        return "a list of strings among these values : " + possible_values();
    case STRING_LIST:
        return "a string list";
    case IP_RANGE_LIST:
        return "an IP range list (see manual)";
    case PORT_RANGE_LIST:
        return "a port range list (see manual)";
    case STRING_RANGE:
        return "a couple of strings among these values : " + possible_values();
    case INT_RANGE: {
        char phrase[100];
        snprintf(phrase, sizeof phrase,
                 "a couple of integers between %d and %d inclusive", lower,
                 upper);
        return phrase;
    }
    case FILE_SIZE:
    case LONG_FILE_SIZE:
        return "a file size (for example 120, 10K, 1M)";
    case MULTILINE_STRING:
        return "a multi-line string";
    case DOUBLE:
        return "a floating point number";
    default:
        return "";
    }
}

bool Field::secret() const
{
    static const char suffix[] = "_password";
    const size_t length = sizeof(suffix) - 1;
    return name == "password" ||
           (name.size() > length && name.compare(name.size() - length, length, suffix) == 0);
}

const char *Field::secret_shown() const
{
    return raw.empty() ? "" : "(stored)";
}

FieldVector::FieldVector(TiXmlElement *list, const SelectLists &selects)
{
    parse(list, selects);
}

Item::Item(const Subsection &subsection, XmlElement *element)
    : id(count.fetch_add(1)), section_name(subsection.section_name),
      subsection_name(subsection.name), fields(subsection.fields)
{
    if (element == nullptr)
        return;
    for (Field &field : fields.fields) {
        try {
            field.load(*element);
        } catch (ConfigError &) {
            // The field keeps its template values; the next one is read.
        }
    }
}

bool Item::flawed() const
{
    for (const Field &field : fields.fields)
        if (field.flawed)
            return true;
    return false;
}

Item::Item(const Item &other)
    : id(count.fetch_add(1)), section_name(other.section_name),
      subsection_name(other.subsection_name), fields(other.fields)
{
}

Item &Item::operator=(const Item &other)
{
    if (this != &other) {
        id = count.fetch_add(1);
        section_name = other.section_name;
        subsection_name = other.subsection_name;
        fields = other.fields;
    }
    return *this;
}

Subsection::Subsection(const std::string &section_name, const std::string &name,
                       const std::string &label, const std::string &help,
                       const FieldVector &fields)
    : section_name(section_name), name(name), label(label), help(help),
      fields(fields)
{
}
