// The ClamAV connector's exchange with clamd: INSTREAM over one
// connection, a local stream socket or TCP.
#ifndef KV_FILTERS_CLAMAV_H
#define KV_FILTERS_CLAMAV_H

#include <cstddef>
#include <string>

#include "filters/antivirus.h"

// Bytes of body per INSTREAM chunk.
#define CLAMAV_CHUNK 65536

// clamd's reply: "stream: OK" is clean, "stream: <name> FOUND" a virus;
// anything else (an ERROR, a size-limit refusal, nothing) is a failure.
AvResult clamav_reply_parse(const std::string &reply);

// Sends the body to clamd at address ("/path" for a local socket, else a
// host reached at port) and returns its verdict.  Failures are logged with
// the advice line that fits them.
AvResult clamav_scan(const std::string &address, int port, const char *data, size_t length,
                     const AvTimeouts &timeouts);

class ClamAVSection : public AntivirusSection {
public:
    ClamAVSection();

protected:
    Scan prepare(CONNECTION_T *connection, const AvRule &rule) override;
};

extern ClamAVSection *clamav_section;

int clamav_buffcheck(CONNECTION_T *connection, Filebuf *body);
int clamav_respcheck(CONNECTION_T *connection, Filebuf *body);

#endif
