// URL commands: instructions for one request written in front of the host
// name ("xx--raw.xx--fresh.www.example.com"), taken out of every request
// before anything else looks at its host and kept with the connection for
// that request.
#ifndef KV_ENGINE_URLCOMMAND_H
#define KV_ENGINE_URLCOMMAND_H

struct CONNECTION_T;

// One command.  A command list is a null-terminated array of pointers,
// owned by whoever holds it and freed with url_command_free.
struct url_command_t {
    char *name;     // owned
    char *options;  // owned; null when the command had no "[...]"
};

// Takes the leading "xx--name." and "xx--name[options]." prefixes (the
// "xx--" compared without case) off text, in place, and returns them as a
// new list in their order; null when the text begins with none.  A prefix
// without a "." after it ends the scan and stays in the text.
url_command_t **url_command_parse(char *text);

// Takes the request's commands out of its head into conn->url_commands
// (freeing the previous list) and applies the Referer rule: a GET whose
// Referer carries commands while the request carries none is answered
// with a 302 to the same URL with those commands.  Returns 1 to go on, 0
// when it answered the client (the request ends there).
int url_command_extract(CONNECTION_T *conn);

// The first command of that name (compared without case), or null; the
// list may be null.
url_command_t *url_command_find(url_command_t **list, const char *name);

// The prefixes of the list as text: "xx--%s[%s]." or "xx--%s." per
// command, in list order; "" for an empty or null list.
char *url_command_create(url_command_t **list);

// The URL of a redirect rewritten to carry the connection's commands
// (absolute, path-only and relative forms).  A result that would be longer
// than 4095 characters is not cut: the URL is returned unchanged.
char *url_command_add(CONNECTION_T *conn, const char *url);

// One LOG_URLCOMMAND line per command.
void url_command_log(url_command_t **list);

// Frees every name, options text, entry and the array; null is ignored.
void url_command_free(url_command_t **list);

#endif
