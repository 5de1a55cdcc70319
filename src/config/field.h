// Typed configuration settings: Field, FieldVector, Item and Subsection.
//
// A section (config/section.h) is made of global fields and subsections;
// a subsection holds items, each with its own copy of the subsection's
// template fields.  Feature code reads a field by its position.  Fields,
// items and subsections have no lock of their own: they are read under
// their section's read lock and changed under its write lock.
#ifndef KV_CONFIG_FIELD_H
#define KV_CONFIG_FIELD_H

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "config/values.h"
#include "runtime/misc.h"

class Filebuf;
class TiXmlElement;
class XmlElement;
struct regexp_t;

// Arguments of a submitted form or link (interface/interface.h).
class CGIMap;

// The select lists of one section while its declaration is read: list
// name to options.
typedef std::map<std::string, StringSelectVector> SelectLists;

// Set by start-up while it loads the configuration in the foreground:
// every "flawed XML file" line then also goes to standard error, where
// the administrator starting the proxy sees it.
extern std::atomic<bool> config_flaws_to_stderr;

// Reports a mistake of the configuration: to the native log under
// LOG_ERROR, and to standard error while config_flaws_to_stderr is set.
void config_flaw_report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A fault of the schema file, found while a declaration is read.  The text
// names the fault; the section that catches it adds its own name and ends
// the start-up.
struct SchemaFault {
    std::string text;
};

class Field {
public:
    // Type codes; the schema names them by these keywords (upper case).
    // Code 9 is not used.
    enum {
        INT = 0,
        UINT = 1,
        BOOL = 2,
        STRING = 3,
        STRING_SELECT_ONE = 4,
        STRING_SELECT_MANY = 5,
        STRING_LIST = 6,
        IP_RANGE_LIST = 7,
        PORT_RANGE_LIST = 8,
        STRING_RANGE = 10,
        INT_RANGE = 11,
        FILE_SIZE = 12,
        MULTILINE_STRING = 13,
        LONG_FILE_SIZE = 14,
        DOUBLE = 15,
    };

    // A field of a type that is not a select type.  The default text is
    // parsed by the type (the bounds for INT_RANGE); a refused default
    // throws ConfigError and no field is built.
    Field(const std::string &name, const std::string &label,
          const std::string &help, const std::string &default_text,
          int32_t type, bool optional);
    // A field of a select type (STRING_SELECT_ONE, STRING_SELECT_MANY,
    // STRING_RANGE): both option lists are copies of the given options.
    Field(const std::string &name, const std::string &label,
          const std::string &help, const StringSelectVector &options,
          int32_t type, bool optional);

    // The code of a type keyword (exact comparison); -1 when unknown.
    static int32_t type_get(const std::string &keyword);

    // The option values joined with ",".
    std::string possible_values() const;
    // What a value of this field's type must be ("an integer", ...).
    std::string nature() const;
    // A password (its key is "password" or ends in "_password"): the web
    // dialogs never write its value, and an empty form value keeps it.
    bool secret() const;
    // What a page shows of a secret field: never the password, only
    // whether one is stored ("(stored)", or nothing when it is empty).
    const char *secret_shown() const;

    // Reads the raw text and the value from the cursor's current element.
    // A value that does not parse is logged (error_log), marks the field
    // flawed and leaves its parsed values as they were.  A ConfigError of
    // the "active" attribute of an optional field passes to the caller; an
    // attribute that is there but invalid also marks the field flawed.
    void load(XmlElement &cursor);
    // Logs a configuration value that does not parse.
    void error_log(XmlElement &cursor) const;
    // Appends the field's element, with its raw text, to the parent.
    void save(TiXmlElement *parent) const;

    // Web dialogs (config/dialog.cpp): the read-only row, the form row of
    // form number n, and the value taken back from a submitted form
    // (ConfigError when it does not parse).  toggle picks the row class and
    // flips after every row drawn.
    void display(Filebuf *page, bool &toggle) const;
    void dialog_display(Filebuf *page, const CGIMap &args, int n, bool &toggle) const;
    void read(const CGIMap &args, int n);

    std::string name;
    int32_t type;
    std::string label;          // the schema's comment
    std::string help;           // the schema's desc
    int32_t size;               // width of the text input on the web form
    int32_t lower;              // INT_RANGE: smallest allowed value
    int32_t upper;              // INT_RANGE: largest allowed value
    bool optional;
    bool active;                // an optional field is switched on
    int32_t int_value;          // INT, BOOL, select index or mask, range first
    int32_t int_value2;         // STRING_RANGE, INT_RANGE: second value
    uint32_t uint_value;        // UINT, FILE_SIZE
    uint64_t long_value;        // LONG_FILE_SIZE
    std::string raw;            // the value as written; this is what is saved
    StringList string_list;     // STRING_LIST, STRING_SELECT_MANY
    IpRangeList ip_ranges;      // IP_RANGE_LIST
    PortRangeList port_ranges;  // PORT_RANGE_LIST
    StringSelectVector options;   // options with their selected marks
    StringSelectVector options2;  // second copy: STRING_RANGE's second value
    double double_value;        // DOUBLE
    bool flawed;                // the last load met a value that does not parse
};

// The fields of a section's globals, of a subsection's template or of an
// item; field n is the one declared with position n.
class FieldVector {
public:
    FieldVector() = default;
    // An empty vector, then parse().
    FieldVector(TiXmlElement *list, const SelectLists &selects);

    // Appends one field per child element of a field list of the schema.
    // Throws SchemaFault on a fault of the schema file.
    void parse(TiXmlElement *list, const SelectLists &selects);
    // Field::save of every field in position order.
    void save(TiXmlElement *parent) const;

    // Web dialogs: every field's row, rows alternating from
    // "entryfieldeven"; read gives the error texts of fields that failed.
    void display(Filebuf *page) const;
    void dialog_display(Filebuf *page, const CGIMap &args) const;
    StringList read(const CGIMap &args);

    size_t size() const { return fields.size(); }
    Field &operator[](size_t n) { return fields[n]; }
    const Field &operator[](size_t n) const { return fields[n]; }

    std::vector<Field> fields;
};

class Subsection;

// One entry of a subsection.  Every Item object gets its own id, copies
// included; ids are not saved.
class Item {
public:
    // A new item of the subsection with a copy of its template fields; when
    // a cursor is given, every field is loaded from its current element
    // (a field that fails keeps its template values).
    explicit Item(const Subsection &subsection, XmlElement *element = nullptr);
    // A copy with a fresh id.
    Item(const Item &other);
    // Takes the other item's names and fields and a fresh id.
    Item &operator=(const Item &other);

    int32_t id_get() const { return id; }

    // A field of the item did not parse when it was loaded.  A rule built
    // from such an item is disabled rather than read with a template
    // value in place of what was written: an empty list there means
    // "any", and a mistake must never widen a rule.
    bool flawed() const;

    // Web dialogs: some field's name matches name_expression and its raw
    // text value_expression (null matches everything); the item's rows and
    // links; the item's fields from a form.
    bool match(regexp_t *name_expression, regexp_t *value_expression) const;
    void display(Filebuf *page, bool shift_links) const;
    StringList read(const CGIMap &args);

    // The id of the next item constructed.
    static std::atomic<int32_t> count;

    int32_t id;
    std::string section_name;
    std::string subsection_name;
    FieldVector fields;
};

typedef std::list<Item> ItemList;

class Subsection {
public:
    Subsection(const std::string &section_name, const std::string &name,
               const std::string &label, const std::string &help,
               const FieldVector &fields);
    // Copying copies the items with Item's copy constructor (fresh ids).

    std::string section_name;
    std::string name;   // tag of the items' elements in the configuration
    std::string label;  // the schema's comment
    std::string help;   // the schema's desc
    ItemList items;
    FieldVector fields;  // the template a new item starts with
};

#endif
