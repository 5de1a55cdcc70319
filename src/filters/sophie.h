// The Sophie connector's exchange: the body in a temporary file; the
// daemon is given the file's path over a local stream socket, or the
// file's bytes over TCP.
#ifndef KV_FILTERS_SOPHIE_H
#define KV_FILTERS_SOPHIE_H

#include <cstddef>
#include <string>

#include "filters/antivirus.h"

// Longest temporary path, terminator included.
#define SOPHIE_PATH_MAX 64

// One verdict line: "0" clean; "1..." a virus, named from the third
// character on when the line is that long; "-1..." (or "-..." over TCP) an
// error; anything else is no verdict.
AvResult sophie_reply_parse(const std::string &line, bool tcp);

// address beginning with "/": a local socket; otherwise a host reached at
// port over TCP.
AvResult sophie_scan(const std::string &address, int port, const std::string &tmpdir,
                     const char *data, size_t length, const AvTimeouts &timeouts);

class SophieSection : public AntivirusSection {
public:
    SophieSection();

protected:
    Scan prepare(CONNECTION_T *connection, const AvRule &rule) override;
};

extern SophieSection *sophie_section;

int sophie_buffcheck(CONNECTION_T *connection, Filebuf *body);
int sophie_respcheck(CONNECTION_T *connection, Filebuf *body);

#endif
