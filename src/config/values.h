// Configuration value types and their text parsers.
//
// Every configuration value arrives as text (a schema default, an element
// of the XML configuration or a web form field).  The functions here turn
// such a text into a value and refuse anything else by throwing
// ConfigError; they log nothing, the caller words the message.
//
// This header depends on nothing of the project, so that the runtime's
// string helpers (StringList, Couple, StringSelectVector) can use
// ConfigError and StringSelect.
#ifndef KV_CONFIG_VALUES_H
#define KV_CONFIG_VALUES_H

#include <cstdint>
#include <string>
#include <vector>

// The one exception of the system: a configuration text that was refused.
// It carries nothing; whoever catches it knows which value failed.
class ConfigError {
};

// One option of a select-type field.
class StringSelect {
public:
    StringSelect(const std::string &value, const std::string &label,
                 const std::string &help, bool selected);

    std::string value;  // the option's value, as written in the configuration
    std::string label;  // shown to the user
    std::string help;
    bool selected;
};

// Whole-text numbers.  The text must be consumed to its end and the value
// must fit the result type; anything else throws ConfigError.  The empty
// text gives 0.
int32_t string_to_int(std::string text);
uint32_t string_to_uint(std::string text);
double string_to_double(std::string text);

// Byte counts: a number with an optional unit word ("k", "kb", "kbit",
// "m", "mb", "mbit", "g", "gb", "gbit", any case).  A count that does not
// fit the result type throws ConfigError.
uint32_t string_to_filesize(std::string text);
uint64_t string_to_longfilesize(std::string text);

// A dotted IPv4 address a.b.c.d as a*16777216 + b*65536 + c*256 + d.
// Leading blanks are skipped; each of the four parts is 1 to 3 decimal
// digits with a value up to 255.
uint32_t address_to_int(const std::string &text);

// An inclusive range of IPv4 addresses.  A reversed range holds nothing.
class IpRange {
public:
    // "a-b", "a", "" (everything), "-b", "a-" (an empty side is the end of
    // the address space).  Throws ConfigError when an address is refused.
    explicit IpRange(const std::string &text);

    // True when the address lies in the range; an address text that does
    // not parse lies in no range.  Never throws.
    bool has(const std::string &address) const;
    bool has(uint32_t address) const;

    std::string first_text;
    uint32_t first;
    std::string last_text;
    uint32_t last;
};

// A comma-separated list of IpRange.  An empty list holds every address.
class IpRangeList {
public:
    IpRangeList();
    // Throws ConfigError when the text is refused; nothing is built then.
    explicit IpRangeList(const std::string &text);

    // Sets the text and appends the ranges of the text.  The first refused
    // item throws ConfigError; the ranges before it stay appended.
    void parse(const std::string &text);

    // True when the list is empty or some range holds the address.
    // Never throws.
    bool has(const std::string &address) const;

    std::vector<IpRange> ranges;
    std::string text;
};

// An inclusive range of TCP ports, each end 1 to 65535.
class PortRange {
public:
    // "a-b" or "a".  Throws ConfigError otherwise.
    explicit PortRange(const std::string &text);

    bool has(int32_t port) const { return first <= port && port <= last; }

    int32_t first;
    int32_t last;
};

// A comma-separated list of PortRange.  An empty list holds every port.
class PortRangeList {
public:
    PortRangeList();
    // Throws ConfigError when the text is refused; nothing is built then.
    explicit PortRangeList(const std::string &text);

    // Appends the ranges of the text; the first refused item throws
    // ConfigError, the ranges before it stay appended.
    void parse(const std::string &text);

    // True when the list is empty or some range holds the port.
    bool has(int32_t port) const;

    std::vector<PortRange> ranges;
};

#endif
