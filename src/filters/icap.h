// The ICAP client (RFC 3507): requests and buffered responses are passed to
// ICAP services before they go on (REQMOD, RESPMOD), without preview, with
// the encapsulated body chunked, over connections that the engine's server
// pool keeps under the protocol name "icap".
//
// The client fails open: when the server cannot be reached, stalls past
// the time-outs, answers with an error, or sends a body over the buffer
// limit, the message passes unchanged.  The encapsulated request head
// never carries the client's or the parent's proxy credentials; the user
// is named by X-Authenticated-User.
#ifndef KV_FILTERS_ICAP_H
#define KV_FILTERS_ICAP_H

#include <list>
#include <string>

#include "config/section.h"
#include "runtime/misc.h"

struct CONNECTION_T;
class Filebuf;

// Method bits of a rule.
enum {
    ICAP_REQMOD = 1,
    ICAP_RESPMOD = 2,
};

// Offsets of an "Encapsulated" value; -1 for a part that is absent.
struct IcapEncapsulation {
    int req_hdr = -1;
    int res_hdr = -1;
    int req_body = -1;
    int res_body = -1;
    int null_body = -1;
};

// Parses an "Encapsulated" value: pieces split at commas, leading blanks
// skipped, names without case, numbers read like atoi (and kept within
// int); unknown pieces ignored, a repeated name keeps its last number.
IcapEncapsulation icap_encapsulation_parse(const char *value);

// ICAP servers fold long reply fields onto continuation lines (c-icap's
// X-Violations-Found does).  The reply comes from a configured service,
// not from a client or an origin, so each continuation line is joined to
// the line before it, its line break (CR LF or LF) becoming blanks, before
// the head is read with the HTTP head parser, which refuses folding.  A
// fold before the status line has nothing to join and is left to that
// parser.  Works in place on a NUL-terminated head.
void icap_head_unfold(char *head);

// One service rule of the section.
class ICAP {
public:
    explicit ICAP(const Item &item);
    int enabled;
    std::string comment;
    StringList profiles;
    std::string host;
    std::string service;
    int port;
    int methods;   // ICAP_REQMOD | ICAP_RESPMOD
};

class ICAPSection : public Section {
public:
    ICAPSection();
    ~ICAPSection() override;
    void update() override;

    // 1 when an applicable rule serves one of the method bits.
    int check_match(CONNECTION_T *connection, int methods);
    // The exchange with the first applicable rule's server; 0 when none
    // applies.
    int process(CONNECTION_T *connection, Filebuf *body, int methods);
    // One ICAP exchange: 1 when a reply was received and applied (or
    // needed nothing), 0 on failure (the message is left as it was).
    static int protocol_icap(CONNECTION_T *connection, Filebuf *body, int methods,
                             const std::string &host, const std::string &service, int port);

    const int *enabled;

private:
    // The first applicable rule for the bits, under the caller's read
    // lock; null when none.
    const ICAP *find(CONNECTION_T *connection, int methods) const;
    std::list<ICAP> rules;
};

extern ICAPSection *icap_section;

// Stage callbacks.
int icap_buffcheck(CONNECTION_T *connection, Filebuf *body);
int icap_reqmod(CONNECTION_T *connection, Filebuf *body);
int icap_respmod(CONNECTION_T *connection, Filebuf *body);

#endif
