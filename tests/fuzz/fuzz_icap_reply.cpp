// An ICAP server's reply head and its "Encapsulated" value: the head, its
// folded fields joined as the client joins them, parses or is refused;
// the join keeps the head's length; and every offset read from the value
// is -1 or a number that fits an int.
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/header.h"
#include "filters/icap.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    std::string text = fuzz_text(data, size);
    IcapEncapsulation e = icap_encapsulation_parse(text.c_str());
    for (int v : {e.req_hdr, e.res_hdr, e.req_body, e.res_body, e.null_body})
        if (v < -1)
            abort();
    std::string head = text;
    icap_head_unfold(&head[0]);
    if (strlen(head.c_str()) != strlen(text.c_str()))
        abort();
    HEADER *h = http_header_parse_response(head.c_str());
    if (h != nullptr) {
        if (h->encapsulated != nullptr)
            icap_encapsulation_parse(h->encapsulated);
        http_header_free(h);
    }
    return 0;
}
