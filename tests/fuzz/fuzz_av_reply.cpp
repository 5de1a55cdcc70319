// The antivirus daemons' replies: clamd's INSTREAM line, Kaspersky's coded
// lines, Sophie's verdicts and F-Prot's XML report.  A virus name never
// passes its limit, and only a virus carries one.
#include <cstdlib>

#include "filters/clamav.h"
#include "filters/fprot.h"
#include "filters/kaspersky.h"
#include "filters/sophie.h"
#include "fuzz.h"

namespace {

void check(const AvResult &r)
{
    if (r.name.size() > AV_NAME_MAX || (r.verdict != AV_VIRUS && !r.name.empty() &&
                                        r.verdict != AV_FAILED))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    std::string text = fuzz_text(data, size);
    check(clamav_reply_parse(text));
    check(sophie_reply_parse(text, false));
    check(sophie_reply_parse(text, true));
    bool named;
    AvResult f = fprot_report_parse(text, &named);
    if (f.name.size() > AV_NAME_MAX)
        abort();
    // The lines of the input as one Kaspersky conversation.
    AvResult k;
    std::string name;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? nl : nl - start);
        if (kaspersky_line_parse(line, &name, &k))
            break;
        if (name.size() > AV_NAME_MAX)
            abort();
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    check(k);
    return 0;
}
