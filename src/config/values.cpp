// Configuration value parsers: numbers, byte counts, IPv4 addresses and
// the IP and port range lists.
#include "config/values.h"

#include <cerrno>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <strings.h>

#include "runtime/misc.h"

StringSelect::StringSelect(const std::string &value, const std::string &label,
                           const std::string &help, bool selected)
    : value(value), label(label), help(help), selected(selected)
{
}

// The whole text must be consumed: a NUL byte inside the string counts as
// a character left over, not as its end.
static bool consumed(const std::string &text, const char *end)
{
    return end == text.c_str() + text.size();
}

int32_t string_to_int(std::string text)
{
    const char *start = text.c_str();
    char *end = nullptr;
    errno = 0;
    long value = strtol(start, &end, 10);
    if (!consumed(text, end) || errno == ERANGE ||
        value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max())
        throw ConfigError();
    return static_cast<int32_t>(value);
}

// True when the first character after the leading white space is '-'.
static bool negative(const char *text)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    return *text == '-';
}

uint32_t string_to_uint(std::string text)
{
    const char *start = text.c_str();
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(start, &end, 10);
    // strtoul negates a "-" number into a huge value; only "-0" is in range.
    if (!consumed(text, end) || errno == ERANGE ||
        (negative(start) && value != 0) ||
        value > std::numeric_limits<uint32_t>::max())
        throw ConfigError();
    return static_cast<uint32_t>(value);
}

double string_to_double(std::string text)
{
    const char *start = text.c_str();
    char *end = nullptr;
    errno = 0;
    double value = strtod(start, &end);
    // ERANGE: too large for a double, or so small that it lost its value.
    if (!consumed(text, end) || errno == ERANGE)
        throw ConfigError();
    return value;
}

// A byte count: white space, an unsigned decimal number, white space, an
// optional unit word, trailing white space.  The result must not exceed
// max.
static uint64_t scan_size(const std::string &text, uint64_t max)
{
    const char *p = text.c_str();
    const char *end = p + text.size();

    while (p < end && isspace(static_cast<unsigned char>(*p)))
        p++;
    if (p < end && *p == '+')
        p++;
    if (p >= end || !isdigit(static_cast<unsigned char>(*p)))
        throw ConfigError();

    uint64_t value = 0;
    for (; p < end && isdigit(static_cast<unsigned char>(*p)); p++) {
        unsigned digit = *p - '0';
        if (value > (max - digit) / 10)
            throw ConfigError();
        value = value * 10 + digit;
    }

    while (p < end && isspace(static_cast<unsigned char>(*p)))
        p++;
    const char *word = p;
    while (p < end && !isspace(static_cast<unsigned char>(*p)))
        p++;
    std::string unit(word, p - word);
    while (p < end && isspace(static_cast<unsigned char>(*p)))
        p++;
    if (p != end)
        throw ConfigError();  // a second word, or a NUL byte

    int shift;
    if (unit.empty())
        shift = 0;
    else if (!strcasecmp(unit.c_str(), "k") || !strcasecmp(unit.c_str(), "kb") ||
             !strcasecmp(unit.c_str(), "kbit"))
        shift = 10;
    else if (!strcasecmp(unit.c_str(), "m") || !strcasecmp(unit.c_str(), "mb") ||
             !strcasecmp(unit.c_str(), "mbit"))
        shift = 20;
    else if (!strcasecmp(unit.c_str(), "g") || !strcasecmp(unit.c_str(), "gb") ||
             !strcasecmp(unit.c_str(), "gbit"))
        shift = 30;
    else
        throw ConfigError();

    if (value > (max >> shift))
        throw ConfigError();
    return value << shift;
}

uint32_t string_to_filesize(std::string text)
{
    return static_cast<uint32_t>(
        scan_size(text, std::numeric_limits<uint32_t>::max()));
}

uint64_t string_to_longfilesize(std::string text)
{
    return scan_size(text, std::numeric_limits<uint64_t>::max());
}

uint32_t address_to_int(const std::string &text)
{
    const char *p = text.c_str();
    const char *end = p + text.size();
    while (p < end && *p == ' ')
        p++;

    uint32_t result = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (p >= end || *p != '.')
                throw ConfigError();
            p++;
        }
        unsigned value = 0;
        int digits = 0;
        while (p < end && isdigit(static_cast<unsigned char>(*p))) {
            if (++digits > 3)
                throw ConfigError();
            value = value * 10 + (*p - '0');
            p++;
        }
        if (digits == 0 || value > 255)
            throw ConfigError();
        result = result * 256 + value;
    }
    if (p != end)
        throw ConfigError();
    return result;
}

IpRange::IpRange(const std::string &text)
{
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (text.empty()) {
            first_text = "0.0.0.0";
            last_text = "255.255.255.255";
        } else {
            first_text = text;
            last_text = text;
        }
    } else {
        first_text = text.substr(0, dash);
        last_text = text.substr(dash + 1);
        if (first_text.empty())
            first_text = "0.0.0.0";
        if (last_text.empty())
            last_text = "255.255.255.255";
    }
    first = address_to_int(first_text);
    last = address_to_int(last_text);
}

bool IpRange::has(uint32_t address) const
{
    return first <= address && address <= last;
}

bool IpRange::has(const std::string &address) const
{
    try {
        return has(address_to_int(address));
    } catch (ConfigError &) {
        return false;
    }
}

IpRangeList::IpRangeList()
{
}

IpRangeList::IpRangeList(const std::string &text)
{
    parse(text);
}

void IpRangeList::parse(const std::string &text)
{
    this->text = text;
    StringList items(text, ',');
    for (const std::string &item : items) {
        // An empty item would be a range of the whole address space: a
        // stray comma must not open a list to every address.
        if (item.empty())
            throw ConfigError();
        ranges.push_back(IpRange(item));
    }
}

bool IpRangeList::has(const std::string &address) const
{
    if (ranges.empty())
        return true;
    uint32_t value;
    try {
        value = address_to_int(address);
    } catch (ConfigError &) {
        return false;
    }
    for (const IpRange &range : ranges)
        if (range.has(value))
            return true;
    return false;
}

// One end of a port range: the whole text a decimal number from 1 to 65535.
static int32_t port_value(const std::string &text)
{
    int32_t value = string_to_int(text);
    if (value < 1 || value > 65535)
        throw ConfigError();
    return value;
}

PortRange::PortRange(const std::string &text)
{
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        first = last = port_value(text);
    } else {
        first = port_value(text.substr(0, dash));
        last = port_value(text.substr(dash + 1));
    }
}

PortRangeList::PortRangeList()
{
}

PortRangeList::PortRangeList(const std::string &text)
{
    parse(text);
}

void PortRangeList::parse(const std::string &text)
{
    StringList items(text, ',');
    for (const std::string &item : items)
        ranges.push_back(PortRange(item));
}

bool PortRangeList::has(int32_t port) const
{
    if (ranges.empty())
        return true;
    for (const PortRange &range : ranges)
        if (range.has(port))
            return true;
    return false;
}
