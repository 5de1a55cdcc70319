// The XML configuration document: the cursor, loading and saving of
// fields and sections, and the whole-document load and save.
#include "config/xml.h"

#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

#include "config/section.h"
#include "engine/options.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

TiXmlDocument *document = nullptr;
pthread_mutex_t documentlock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<time_t> documentsynctime(0);
ConfigUrlFetch config_url_fetch = nullptr;

static const char ROOT_NAME[] = "kelvarine";

TiXmlElement *section_select(TiXmlDocument *doc, const std::string &name)
{
    TiXmlElement *root = doc->FirstChildElement(ROOT_NAME);
    TiXmlElement *element = root ? root->FirstChildElement(name) : nullptr;
    if (element == nullptr)
        throw ConfigError();
    return element;
}

XmlElement::XmlElement(TiXmlDocument *doc, const std::string &section_name)
    : node(section_select(doc, section_name)), section_name(section_name)
{
}

XmlElement::XmlElement(TiXmlDocument *doc, const std::string &section_name,
                       const std::string &element_name)
    : node(nullptr), section_name(section_name), element_name(element_name)
{
    node = section_select(doc, section_name)->FirstChildElement(element_name);
}

bool XmlElement::next()
{
    if (node != nullptr)
        node = node->NextSiblingElement(element_name);
    return node != nullptr;
}

std::string XmlElement::string_read(const std::string &field_name) const
{
    if (node == nullptr)
        return "";
    const TiXmlElement *child = node->FirstChildElement(field_name);
    if (child == nullptr)
        return "";
    const TiXmlNode *content = child->FirstChild();
    if (content == nullptr)
        return "";
    return content->ValueStr();
}

bool XmlElement::check_active(const std::string &field_name) const
{
    const TiXmlElement *child =
        node ? node->FirstChildElement(field_name) : nullptr;
    if (child == nullptr)
        throw ConfigError();
    const char *active = child->Attribute("active");
    if (active == nullptr || strcasecmp(active, "true") == 0)
        return true;
    if (strcasecmp(active, "false") == 0)
        return false;
    throw ConfigError();
}

void config_flaw_report(const char *format, ...)
{
    char text[LOG_LINE_MAX];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    putlog(LOG_ERROR, "%s", text);
    if (config_flaws_to_stderr)
        fprintf(stderr, "%s\n", text);
}

void Field::error_log(XmlElement &cursor) const
{
    config_flaw_report("flawed XML file, section %s, element %s: %s must be %s, but it is "
                "given value %s",
                cursor.section_get().c_str(), cursor.element_get().c_str(), name.c_str(),
                nature().c_str(), raw.c_str());
}

void Field::load(XmlElement &cursor)
{
    raw = cursor.string_read(name);
    flawed = false;
    if (optional) {
        try {
            active = cursor.check_active(name);
        } catch (ConfigError &) {
            // A missing element is no mistake of a value; an "active"
            // attribute that is neither true nor false is one.
            if (cursor.node != nullptr && cursor.node->FirstChildElement(name) != nullptr) {
                flawed = true;
                config_flaw_report("flawed XML file, section %s, element %s: the active attribute "
                            "of %s must be true or false",
                            cursor.section_get().c_str(), cursor.element_get().c_str(),
                            name.c_str());
            }
            throw;
        }
        if (!active)
            return;
    }

    // Every value is parsed into temporaries first, so that a refused text
    // leaves the parsed values as they were.
    try {
        switch (type) {
        case INT:
            int_value = string_to_int(raw);
            break;
        case UINT:
            uint_value = string_to_uint(raw);
            break;
        case BOOL:
            if (raw == "true" || raw == "TRUE")
                int_value = 1;
            else if (raw == "false" || raw == "FALSE")
                int_value = 0;
            else
                throw ConfigError();
            break;
        case STRING:
        case MULTILINE_STRING:
            break;
        case STRING_SELECT_ONE:
            // A text that names no option clears every mark and keeps the
            // index; it is not an error.
            for (size_t i = 0; i < options.size(); i++)
                options[i].selected = options[i].value == raw;
            for (size_t i = 0; i < options.size(); i++)
                if (options[i].selected) {
                    int_value = static_cast<int32_t>(i);
                    break;
                }
            break;
        case STRING_SELECT_MANY: {
            string_list = StringList(raw, ',');
            uint32_t mask = 0;
            // The schema reader allows at most 32 options.
            for (size_t i = 0; i < options.size() && i < 32; i++) {
                options[i].selected = string_list.has(options[i].value);
                if (options[i].selected)
                    mask |= 1u << i;
            }
            int_value = static_cast<int32_t>(mask);
            break;
        }
        case STRING_LIST:
            string_list = StringList(raw, ',');
            break;
        case IP_RANGE_LIST:
            ip_ranges = IpRangeList(raw);
            break;
        case PORT_RANGE_LIST:
            port_ranges = PortRangeList(raw);
            break;
        case STRING_RANGE: {
            Couple couple(raw);
            int32_t first = options.case_indexof(couple.first());
            int32_t second = options2.case_indexof(couple.second());
            options.reset();
            options2.reset();
            options[first].selected = true;
            options2[second].selected = true;
            int_value = first;
            int_value2 = second;
            break;
        }
        case INT_RANGE: {
            Couple couple(raw);
            int32_t first = string_to_int(couple.first());
            int32_t second = string_to_int(couple.second());
            if (first < lower || first > upper || second < lower || second > upper)
                throw ConfigError();
            int_value = first;
            int_value2 = second;
            break;
        }
        case FILE_SIZE:
            uint_value = string_to_filesize(raw);
            break;
        case LONG_FILE_SIZE:
            long_value = string_to_longfilesize(raw);
            break;
        case DOUBLE:
            double_value = string_to_double(raw);
            break;
        default:
            break;
        }
    } catch (ConfigError &) {
        flawed = true;
        error_log(cursor);
    }
}

void Field::save(TiXmlElement *parent) const
{
    TiXmlElement *element = new TiXmlElement(name);
    if (optional)
        element->SetAttribute("active", active ? "true" : "false");
    ASSERT(element->LinkEndChild(new TiXmlText(raw)) != nullptr);
    ASSERT(parent->LinkEndChild(element) != nullptr);
}

void FieldVector::save(TiXmlElement *parent) const
{
    for (const Field &field : fields)
        field.save(parent);
}

namespace {
// Holds a section's lock until the end of the scope.
class SectionUnlock {
public:
    explicit SectionUnlock(Section *section) : section(section) {}
    ~SectionUnlock() { section->unlock(); }
    SectionUnlock(const SectionUnlock &) = delete;
    SectionUnlock &operator=(const SectionUnlock &) = delete;

private:
    Section *section;
};
}  // namespace

// The line of the configuration file an element was read from.  An
// element of a document read again from its printed text carries the line
// of its counterpart in the file (file_rows_keep), since the printed text
// is laid out anew; any other element its own line.
static int file_row(const TiXmlElement *element)
{
    const void *kept = element->GetUserData();
    return kept != nullptr ? (int)reinterpret_cast<intptr_t>(kept) : element->Row();
}

// Gives each element of to, and of its following siblings and their
// descendants, the file line of its counterpart among from's, the
// elements of a document that to's was printed from: both have the same
// elements in the same order.  Should they part, the rest keep their own.
static void file_rows_keep(const TiXmlElement *from, TiXmlElement *to)
{
    for (; from != nullptr && to != nullptr && from->ValueStr() == to->ValueStr();
         from = from->NextSiblingElement(), to = to->NextSiblingElement()) {
        to->SetUserData(reinterpret_cast<void *>((intptr_t)file_row(from)));
        file_rows_keep(from->FirstChildElement(), to->FirstChildElement());
    }
}

// Reports every child element of a section's element (or of one of its
// items, named by item) that names none of the fields (nor, for the
// section, a subsection): a misspelt field is otherwise ignored without a
// word and keeps its default.
static void unknown_children_report(const TiXmlElement *element, const FieldVector &fields,
                                    const std::vector<Subsection> *subsections,
                                    const std::string &section, const char *item)
{
    if (element == nullptr)
        return;
    for (const TiXmlElement *child = element->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const std::string &tag = child->ValueStr();
        bool known = false;
        for (const Field &field : fields.fields)
            known = known || field.name == tag;
        if (subsections != nullptr)
            for (const Subsection &subsection : *subsections)
                known = known || subsection.name == tag;
        if (known)
            continue;
        if (item != nullptr)
            config_flaw_report("unknown element %s in section %s, element %s ignored (line %d)",
                        tag.c_str(), section.c_str(), item, file_row(child));
        else
            config_flaw_report("unknown element %s in section %s ignored (line %d)", tag.c_str(),
                        section.c_str(), file_row(child));
    }
}

void Section::load(TiXmlDocument *doc, int32_t clear)
{
    XmlElement cursor(doc, name);

    write_lock();
    SectionUnlock unlocker(this);

    // An optional global field whose element is missing or whose "active"
    // attribute is invalid ends the load here: no item is touched and
    // update() is not called.
    for (Field &field : fields.fields)
        field.load(cursor);

    for (Subsection &subsection : subsections) {
        XmlElement items(doc, name, subsection.name);
        if (clear)
            subsection.items.clear();
        for (; items.full(); items.next()) {
            subsection.items.push_back(Item(subsection, &items));
            unknown_children_report(items.node, subsection.fields, nullptr, name,
                                    subsection.name.c_str());
        }
    }
    unknown_children_report(cursor.node, fields, &subsections, name, nullptr);

    update();
}

void Section::save(TiXmlDocument *doc)
{
    read_lock();
    SectionUnlock unlocker(this);

    TiXmlElement *element;
    try {
        element = section_select(doc, name);
    } catch (ConfigError &) {
        TiXmlElement *root = doc->FirstChildElement(ROOT_NAME);
        ASSERT(root != nullptr);
        element = static_cast<TiXmlElement *>(
            root->LinkEndChild(new TiXmlElement(name)));
        ASSERT(element != nullptr);
    }

    // Children go, attributes stay.
    element->Clear();
    fields.save(element);
    for (const Subsection &subsection : subsections)
        for (const Item &item : subsection.items) {
            TiXmlElement *child = new TiXmlElement(subsection.name);
            item.fields.save(child);
            ASSERT(element->LinkEndChild(child) != nullptr);
        }
}

void config_xml_build()
{
    if (document == nullptr)
        return;
    for (auto &entry : Section::map)
        entry.second->save(document);
}

static void log_system(const char *call, const std::string &path)
{
    putlog_system(LOG_ERROR, call, errno, ", in %s, failed to write file %s", "config_save",
                  path.c_str());
}

// Replaces the file at path with the data: a temporary file in the same
// directory is written, flushed to disk and renamed over the old one, so
// that a failure at any step leaves the old file whole.
static bool replace_file(const std::string &given, const std::string &data)
{
    // A symbolic link stays: the file it names is replaced.
    std::string path = given;
    if (char *resolved = realpath(given.c_str(), nullptr)) {
        path = resolved;
        free(resolved);
    }
    if (path.empty() || path.back() == '/') {
        putlog(LOG_ERROR, "config: cannot save the configuration to \"%s\": not a file name",
               path.c_str());
        return false;
    }
    std::string dir = ".";
    size_t slash = path.rfind('/');
    if (slash != std::string::npos)
        dir = slash == 0 ? "/" : path.substr(0, slash);

    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        log_system("mkstemp", temp);
        return false;
    }

    // The new file keeps the old one's permissions; a new configuration
    // holds passwords and is readable by its owner only (mkstemp's 0600).
    struct stat old;
    bool ok = true;
    const char *failed = nullptr;
    if (stat(path.c_str(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0)
        failed = "fchmod";
    else if (fd_write_all(fd, data.data(), data.size()) < 0)
        failed = "write";
    else if (fsync(fd) != 0)
        failed = "fsync";
    if (failed != nullptr) {
        log_system(failed, temp);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        log_system("close", temp);
        ok = false;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        log_system("rename", path);
        ok = false;
    }
    if (!ok) {
        if (unlink(temp.c_str()) != 0)
            log_system("unlink", temp);
        return false;
    }

    // The rename itself reaches the disk with the directory.
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirfd < 0) {
        log_system("open", dir);
    } else {
        if (fsync(dirfd) != 0)
            log_system("fsync", dir);
        if (close(dirfd) != 0)
            log_system("close", dir);
    }
    return true;
}

bool config_save(const std::string &path)
{
    pthread_mutex_lock(&documentlock);
    if (document == nullptr) {
        pthread_mutex_unlock(&documentlock);
        return false;
    }
    config_xml_build();
    TiXmlPrinter printer;
    document->Accept(&printer);
    bool saved = replace_file(path, printer.Str());
    pthread_mutex_unlock(&documentlock);
    return saved;
}

// True when text is a sequence of whole UTF-8 characters.
static bool utf8_whole(const std::string &text)
{
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t follow = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2
                                     : (c & 0xf8) == 0xf0 ? 3 : 4;
        if (follow == 4 || text.size() - i - 1 < follow)
            return false;
        for (size_t k = 1; k <= follow; k++)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
                return false;
        i += follow + 1;
    }
    return true;
}

// Reads a configuration document from a file (text null) or from a text;
// null when it cannot be read or parsed, or lacks the root element.
// TinyXML reads a document that declares UTF-8, or no encoding, as UTF-8,
// and there a byte that is not part of a whole UTF-8 character takes the
// bytes after it along (a '<', so the document does not parse, or blanks
// that are then kept).  Such bytes reach values from files written in
// another character set and from web forms, and a document saved with them
// must load again as it was: a document that is not UTF-8 throughout is
// read byte for byte (TinyXML's legacy mode), which keeps every byte of
// every value as it stands.  A file is opened once, so that the bytes
// looked at and the bytes parsed are those of the same file; one that
// cannot be read to its end (a directory) is refused before TinyXML,
// which sizes its buffer by seeking to the end, sees it.
static TiXmlDocument *document_read(const std::string &path, const char *text)
{
    TiXmlDocument *doc = new TiXmlDocument();
    bool ok;
    if (text) {
        doc->Parse(text, nullptr,
                   utf8_whole(text) ? TIXML_ENCODING_UNKNOWN : TIXML_ENCODING_LEGACY);
        ok = !doc->Error();
    } else {
        FILE *file = fopen(path.c_str(), "rb");
        if (file == nullptr) {
            config_flaw_report("config: cannot read the configuration file %s: %s", path.c_str(),
                        strerror(errno));
            delete doc;
            return nullptr;
        }
        std::string bytes;
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.append(chunk, got);
        if (ferror(file)) {
            config_flaw_report("config: cannot read the configuration file %s: %s", path.c_str(),
                        strerror(errno));
            fclose(file);
            delete doc;
            return nullptr;
        }
        // LoadFile reads the file again from its start.
        ok = doc->LoadFile(file, utf8_whole(bytes) ? TIXML_ENCODING_UNKNOWN
                                                   : TIXML_ENCODING_LEGACY);
        fclose(file);
    }
    // Where the parser stopped, so that the mistake is found in the file.
    if (!ok) {
        config_flaw_report("config: %s is not well-formed XML: line %d, column %d: %s",
                    path.substr(0, 254).c_str(), doc->ErrorRow(), doc->ErrorCol(),
                    doc->ErrorDesc() ? doc->ErrorDesc() : "");
        delete doc;
        return nullptr;
    }
    if (doc->FirstChildElement(ROOT_NAME) == nullptr) {
        config_flaw_report("config: %s has no %s element", path.substr(0, 254).c_str(), ROOT_NAME);
        delete doc;
        return nullptr;
    }
    return doc;
}

// Drops XML declarations and unknown markup found inside elements: they
// carry no configuration, and TinyXML writes their text back unescaped, so
// a document saved with them would not read back as it was.  True when
// anything was dropped.
static bool stray_markup_remove(TiXmlNode *parent)
{
    bool removed = false;
    for (TiXmlNode *child = parent->FirstChild(); child != nullptr;) {
        TiXmlNode *next = child->NextSibling();
        if (child->ToDeclaration() != nullptr || child->ToUnknown() != nullptr) {
            config_flaw_report("markup that is no element ignored (line %d)", child->Row());
            parent->RemoveChild(child);
            removed = true;
        } else if (child->ToElement() != nullptr) {
            removed = stray_markup_remove(child) || removed;
        }
        child = next;
    }
    return removed;
}

// The document as a reader of its saved text sees it: texts that stood on
// either side of dropped markup or a dropped section are read as one.  Its
// elements keep the lines of the file for what is reported about them.
// The root element alone is printed and read again, and the nodes around
// it are copied over as they are: TinyXML writes the attributes of a
// declaration back unescaped, and a broken one before the root would keep
// the whole text from reading back.  The document itself when the root
// does not read back.
static TiXmlDocument *document_reread(TiXmlDocument *doc)
{
    TiXmlElement *root = doc->FirstChildElement(ROOT_NAME);
    TiXmlPrinter printer;
    root->Accept(&printer);
    TiXmlDocument *again = new TiXmlDocument();
    again->Parse(printer.CStr(), nullptr,
                 utf8_whole(printer.CStr()) ? TIXML_ENCODING_UNKNOWN : TIXML_ENCODING_LEGACY);
    TiXmlElement *root_again = again->Error() ? nullptr : again->FirstChildElement(ROOT_NAME);
    if (root_again == nullptr) {
        delete again;
        return doc;
    }
    for (TiXmlNode *node = doc->FirstChild(); node != root; node = node->NextSibling())
        again->InsertBeforeChild(root_again, *node);
    for (TiXmlNode *node = root->NextSibling(); node != nullptr; node = node->NextSibling())
        again->InsertEndChild(*node);
    file_rows_keep(root, root_again);
    delete doc;
    return again;
}

// TinyXML writes a declaration's attributes back unescaped: one whose
// values hold a quote (read from a character reference) would be saved as
// something else, or as a file that no longer parses.  Such a declaration
// before the root is replaced by a plain one.
static void declarations_mend(TiXmlDocument *doc)
{
    for (TiXmlNode *node = doc->FirstChild(); node != nullptr; node = node->NextSibling()) {
        TiXmlDeclaration *declaration = node->ToDeclaration();
        if (declaration == nullptr)
            continue;
        TiXmlPrinter printer;
        declaration->Accept(&printer);
        TiXmlDocument check;
        check.Parse(printer.CStr());
        const TiXmlNode *first = check.Error() ? nullptr : check.FirstChild();
        const TiXmlDeclaration *again = first != nullptr ? first->ToDeclaration() : nullptr;
        if (again != nullptr && first->NextSibling() == nullptr &&
            strcmp(again->Version(), declaration->Version()) == 0 &&
            strcmp(again->Encoding(), declaration->Encoding()) == 0 &&
            strcmp(again->Standalone(), declaration->Standalone()) == 0)
            continue;
        config_flaw_report("XML declaration that would not read back replaced (line %d)",
                           declaration->Row());
        *declaration = TiXmlDeclaration("1.0", "", "");
    }
}

// Replaces the document by a newly parsed one and loads every section from
// it.  The caller holds documentlock.
static void document_install(TiXmlDocument *doc, int32_t clear)
{
    // Everything is reported with the lines of the file as it was read.
    declarations_mend(doc);
    TiXmlElement *root = doc->FirstChildElement(ROOT_NAME);
    // Anything dropped may leave two texts side by side, which a reader
    // of the saved file takes as one: the document is then read again.
    bool dropped = stray_markup_remove(root);
    // A section the schema does not know is never read.
    const TiXmlElement *schema = sectionxml ? sectionxml->RootElement() : nullptr;
    std::set<std::string> seen;
    for (TiXmlElement *child = root->FirstChildElement(); child != nullptr;) {
        TiXmlElement *next = child->NextSiblingElement();
        const std::string &tag = child->ValueStr();
        if (!seen.insert(tag).second) {
            // Only the first is ever read; a repeat is reported and dropped,
            // so that saves and exports do not carry it on.
            config_flaw_report("section %s given a second time, ignored (line %d)", tag.c_str(),
                               child->Row());
            root->RemoveChild(child);
            dropped = true;
        } else if (Section::map.count(tag) == 0 &&
                   (schema == nullptr || schema->FirstChildElement(tag) == nullptr)) {
            config_flaw_report("unknown section %s ignored (line %d)", tag.c_str(), child->Row());
        }
        child = next;
    }
    if (dropped)
        doc = document_reread(doc);
    delete document;
    document = doc;
    for (auto &entry : Section::map) {
        try {
            entry.second->load(document, clear);
        } catch (ConfigError &) {
            // The section keeps what it had; the next one is loaded.
        }
    }
}

bool config_path_is_url(const std::string &path)
{
    char **parts = string_break(path.c_str(), ':');
    int count = array_length(parts);
    array_free(parts);
    return count >= 2;
}

int32_t config_load(int32_t clear, const std::string &path)
{
    if (config_path_is_url(path))
        return config_url_load(path, clear) ? 1 : 0;

    TiXmlDocument *doc = document_read(path, nullptr);
    if (doc == nullptr)
        return 0;
    pthread_mutex_lock(&documentlock);
    document_install(doc, clear);
    pthread_mutex_unlock(&documentlock);

    if (!slave)
        documentsynctime = time(nullptr);
    return 1;
}

TiXmlDocument *config_document_parse(const char *text)
{
    return document_read("", text ? text : "");
}

bool config_url_load(const std::string &url, int32_t clear)
{
    std::string text = url.substr(0, 254);
    if (config_url_fetch == nullptr) {
        putlog(LOG_ERROR,
               "config: cannot load the configuration from %s: no HTTP client "
               "is available for URLs",
               text.c_str());
        return false;
    }
    std::string body;
    if (config_url_fetch(text, body) != 200)
        return false;

    TiXmlDocument *doc = document_read(url, body.c_str());
    if (doc == nullptr)
        return false;
    pthread_mutex_lock(&documentlock);
    document_install(doc, clear);
    pthread_mutex_unlock(&documentlock);
    return true;
}
