// The Kaspersky connector's exchange: the body in a temporary file, the
// daemon asked over a local stream socket with a line protocol of numeric
// reply codes.
#ifndef KV_FILTERS_KASPERSKY_H
#define KV_FILTERS_KASPERSKY_H

#include <cstddef>
#include <string>

#include "filters/antivirus.h"

// Longest temporary path, terminator included.
#define KASPERSKY_PATH_MAX 64

// One reply line into the scan: 0 when the next line must be read, 1 when
// the line decided (*result set).  A 322 line keeps the virus name in
// *name for the 230 line that follows.
int kaspersky_line_parse(const std::string &line, std::string *name, AvResult *result);

// Writes the body to a file under tmpdir, asks the daemon at socket_path,
// and removes the file.
AvResult kaspersky_scan(const std::string &socket_path, const std::string &tmpdir,
                        const char *data, size_t length, const AvTimeouts &timeouts);

class KasperskySection : public AntivirusSection {
public:
    KasperskySection();

protected:
    Scan prepare(CONNECTION_T *connection, const AvRule &rule) override;
};

extern KasperskySection *kaspersky_section;

int kaspersky_buffcheck(CONNECTION_T *connection, Filebuf *body);
int kaspersky_respcheck(CONNECTION_T *connection, Filebuf *body);

#endif
