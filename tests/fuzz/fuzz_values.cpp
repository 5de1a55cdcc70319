// Configuration value texts, as the XML configuration and the web forms
// bring them: the number, byte-count, address and range parsers, the
// fields built from a text of each type, and the string lists.  A text is
// either refused with ConfigError or gives a value within its type; a byte
// count written back in bytes parses to the same count.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/field.h"
#include "config/values.h"
#include "fuzz.h"
#include "runtime/misc.h"

namespace {

void numbers(const std::string &text)
{
    try { string_to_int(text); } catch (ConfigError &) {}
    try { string_to_uint(text); } catch (ConfigError &) {}
    try { string_to_double(text); } catch (ConfigError &) {}
    try {
        uint32_t n = string_to_filesize(text);
        if (string_to_filesize(std::to_string(n)) != n)
            abort();
    } catch (ConfigError &) {
    }
    try {
        uint64_t n = string_to_longfilesize(text);
        if (string_to_longfilesize(std::to_string(n)) != n)
            abort();
    } catch (ConfigError &) {
    }
}

void addresses(const std::string &text)
{
    try {
        uint32_t a = address_to_int(text);
        char dotted[16];
        snprintf(dotted, sizeof(dotted), "%u.%u.%u.%u", a >> 24, (a >> 16) & 255,
                 (a >> 8) & 255, a & 255);
        if (address_to_int(dotted) != a)
            abort();
    } catch (ConfigError &) {
    }
    try {
        IpRangeList list(text);
        list.has(text);
        list.has("10.0.0.1");
    } catch (ConfigError &) {
    }
    try {
        PortRangeList list(text);
        for (const PortRange &r : list.ranges)
            if (r.first < 1 || r.last > 65535)
                abort();
        list.has(80);
    } catch (ConfigError &) {
    }
}

void fields(const std::string &text, uint8_t selector)
{
    static const int32_t types[] = {
        Field::INT, Field::UINT, Field::BOOL, Field::STRING, Field::STRING_LIST,
        Field::IP_RANGE_LIST, Field::PORT_RANGE_LIST, Field::INT_RANGE,
        Field::FILE_SIZE, Field::MULTILINE_STRING, Field::LONG_FILE_SIZE, Field::DOUBLE,
    };
    int32_t type = types[selector % (sizeof(types) / sizeof(*types))];
    try {
        Field f("f", "label", "help", text, type, (selector & 0x80) != 0);
        if (type == Field::BOOL && f.int_value != 0 && f.int_value != 1)
            abort();
    } catch (ConfigError &) {
    }
    StringList list(text, ',');
    for (const std::string &item : list)
        list.has(item);
    try {
        Couple couple(text);
        couple.first();
        couple.second();
    } catch (ConfigError &) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::string text = fuzz_text(data + 1, size - 1);
    numbers(text);
    addresses(text);
    fields(text, data[0]);
    return 0;
}
