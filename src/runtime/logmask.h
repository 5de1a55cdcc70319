// Credentials kept out of log lines.  Heads, header lines and URLs that
// reach a log pass through these first: the value of a field that carries
// credentials (Authorization, Proxy-Authorization, and the challenges
// WWW-Authenticate and Proxy-Authenticate, which carry NTLM and Negotiate
// tokens) keeps only its scheme word, and the password of a URL's user
// information becomes "*".
#ifndef KV_RUNTIME_LOGMASK_H
#define KV_RUNTIME_LOGMASK_H

#include <string>

// Whether a header field of that name carries credentials or tokens
// (the case of the name does not count).
bool logmask_field(const char *name);

// The value as a log line may show it: unchanged for an ordinary field;
// for a field that carries credentials, the scheme word followed by " *",
// or "*" alone when the value has no blank after a scheme word.
std::string logmask_value(const char *name, const char *value);

// The URL with the password of its user information, if any, replaced by
// "*" ("ftp://user:*@host/").  Every "scheme://" in the text is looked at,
// so a request line or a Referer value is masked too.
std::string logmask_url(const char *url);

// A message head (request or response, lines ending in CRLF or LF) with
// every field that carries credentials masked as logmask_value does,
// folded continuation lines of such a field included, every URL as
// logmask_url does, and the web interface's login cookie (a "login" pair
// of a Cookie line, made from the interface's password) as "login=*".
std::string logmask_head(const char *head);

#endif
