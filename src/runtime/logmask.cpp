// Credentials kept out of log lines: header values and URL passwords.
#include "runtime/logmask.h"

#include <cstring>
#include <strings.h>

namespace {

void url_mask(std::string &text);
void login_cookie_mask(std::string &value);
void line_mask(std::string &out, const char *line, size_t length, bool *masking);

// Masks the password of every "scheme://user:password@" in the text.
void url_mask(std::string &text)
{
    size_t from = 0;
    for (;;) {
        size_t scheme_end = text.find("://", from);
        if (scheme_end == std::string::npos)
            return;
        size_t start = scheme_end + 3;
        size_t end = text.find_first_of("/?# \t\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        size_t at = text.rfind('@', end - 1);
        if (at != std::string::npos && at >= start) {
            size_t colon = text.find(':', start);
            if (colon != std::string::npos && colon < at)
                text.replace(colon + 1, at - colon - 1, "*");
        }
        // The next "://" may begin inside this authority ("a://b:c@d://"):
        // the search goes on right after this one.
        from = start;
    }
}

// The web interface's login cookie is made from its user name and
// password and opens the interface for as long as they stay: the value of
// every "login" pair of a Cookie value becomes "*".
void login_cookie_mask(std::string &value)
{
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos)
            end = value.size();
        size_t name = value.find_first_not_of(" \t", start);
        size_t equals = value.find('=', start);
        if (name != std::string::npos && equals != std::string::npos && equals < end) {
            size_t name_end = equals;
            while (name_end > name && (value[name_end - 1] == ' ' || value[name_end - 1] == '\t'))
                name_end--;
            if (value.compare(name, name_end - name, "login") == 0 && name_end - name == 5) {
                value.replace(equals + 1, end - equals - 1, "*");
                end = equals + 2;
            }
        }
        start = end + 1;
    }
}

// Appends one line of a head (without its line end), masked.  `masking`
// carries over to a folded continuation line: whether the field it
// continues carries credentials.
void line_mask(std::string &out, const char *line, size_t length, bool *masking)
{
    size_t cookie_value = 0;  // where a Cookie line's value starts, else 0
    if (length > 0 && (line[0] == ' ' || line[0] == '\t')) {
        if (*masking) {
            out += " *";
            return;
        }
    } else {
        *masking = false;
        const char *colon = static_cast<const char *>(memchr(line, ':', length));
        if (colon != nullptr) {
            size_t name_length = (size_t)(colon - line);
            while (name_length > 0 && (line[name_length - 1] == ' ' || line[name_length - 1] == '\t'))
                name_length--;
            std::string name(line, name_length);
            if (logmask_field(name.c_str())) {
                *masking = true;
                const char *value = colon + 1;
                while (value < line + length && (*value == ' ' || *value == '\t'))
                    value++;
                out.append(line, (size_t)(colon + 1 - line));
                out += ' ';
                out += logmask_value(name.c_str(), std::string(value, line + length).c_str());
                return;
            }
            if (strcasecmp(name.c_str(), "Cookie") == 0)
                cookie_value = (size_t)(colon + 1 - line);
        }
    }
    std::string text(line, length);
    if (cookie_value > 0) {
        std::string value = text.substr(cookie_value);
        login_cookie_mask(value);
        text.replace(cookie_value, std::string::npos, value);
    }
    url_mask(text);
    out += text;
}

}  // namespace

bool logmask_field(const char *name)
{
    static const char *const fields[] = {
        "Authorization", "Proxy-Authorization", "WWW-Authenticate", "Proxy-Authenticate",
    };
    for (const char *field : fields)
        if (strcasecmp(name, field) == 0)
            return true;
    return false;
}

std::string logmask_value(const char *name, const char *value)
{
    if (!logmask_field(name))
        return value;
    // The scheme word tells what kind of credentials came without showing
    // them; a value without a blank may be the secret itself.
    size_t word = strcspn(value, " \t\r\n");
    if (word == 0 || value[word] == '\0')
        return "*";
    return std::string(value, word) + " *";
}

std::string logmask_url(const char *url)
{
    std::string text = url;
    url_mask(text);
    return text;
}

std::string logmask_head(const char *head)
{
    std::string out;
    out.reserve(strlen(head));
    bool masking = false;
    const char *line = head;
    while (*line != '\0') {
        const char *newline = strchr(line, '\n');
        const char *end = newline != nullptr ? newline : line + strlen(line);
        size_t length = (size_t)(end - line);
        bool cr = length > 0 && line[length - 1] == '\r';
        line_mask(out, line, cr ? length - 1 : length, &masking);
        if (cr)
            out += '\r';
        if (newline == nullptr)
            break;
        out += '\n';
        line = newline + 1;
    }
    return out;
}
