// The F-Prot connector's exchange: the body in a temporary file, the
// daemon asked over HTTP on the local host for a report on that file.
#ifndef KV_FILTERS_FPROT_H
#define KV_FILTERS_FPROT_H

#include <cstddef>
#include <string>
#include <vector>

#include "filters/antivirus.h"

// Longest temporary path, terminator included.
#define FPROT_PATH_MAX 1024
// The daemon's ports, tried in order for every scan.
#define FPROT_PORT_FIRST 10200
#define FPROT_PORT_LAST 10204
// Longest HTTP answer read from the daemon.
#define FPROT_REPLY_MAX (1024 * 1024)

// Option bits of a rule.
enum {
    FPROT_ARCHIVE = 0x1,
    FPROT_PACKED = 0x2,
    FPROT_AI = 0x4,
    FPROT_NOHEUR = 0x8,
    FPROT_NOMACRO = 0x10,
    FPROT_ONLYMACRO = 0x20,
};

// The option text of the bits, each option followed by "%20".
std::string fprot_options(int bits, int archive_depth);

// The daemon's XML report.  Fails when it does not parse or lacks
// "fprot-results" or "summary"; a virus without a "detected" element is
// named "unknown" with *named false, one with an empty "name" has an empty
// name.
AvResult fprot_report_parse(const std::string &body, bool *named);

// Writes the body to a file under tmpdir, asks the daemon on the first of
// ports that answers, and removes the file.
AvResult fprot_scan(const std::vector<int> &ports, const std::string &tmpdir,
                    const std::string &options, const char *data, size_t length,
                    const AvTimeouts &timeouts);

class FProtSection : public AntivirusSection {
public:
    FProtSection();

protected:
    Scan prepare(CONNECTION_T *connection, const AvRule &rule) override;
    bool skips_clean_at_scan() const override { return true; }
};

extern FProtSection *fprot_section;

int fprot_buffcheck(CONNECTION_T *connection, Filebuf *body);
int fprot_respcheck(CONNECTION_T *connection, Filebuf *body);

#endif
