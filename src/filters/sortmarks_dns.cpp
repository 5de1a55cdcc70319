// Site categorisation: the MX query to the categorisation service and the
// walk over its reply.  Apart from the rest of the module because the
// resolver's headers name their own HEADER.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstring>

#include "filters/sortmarks.h"

namespace {

// DNS wire reading with the bounds of the reply.
bool read16(const unsigned char *reply, size_t length, size_t at, unsigned *value)
{
    if (at + 2 > length)
        return false;
    *value = (unsigned)reply[at] << 8 | reply[at + 1];
    return true;
}

}  // namespace

int sortmarks_test_dns_port = 0;

int sortmarks_mx_walk(const unsigned char *reply, size_t length, SortmarksScores *scores)
{
    if (reply == nullptr || length < HFIXEDSZ)
        return 0;
    const unsigned char *end = reply + length;
    unsigned questions;
    if (!read16(reply, length, 4, &questions))
        return 0;
    size_t at = HFIXEDSZ;
    for (unsigned q = 0; q < questions; q++) {
        int skip = dn_skipname(reply + at, end);
        if (skip < 0 || at + (size_t)skip + QFIXEDSZ > length)
            return 0;
        at += (size_t)skip + QFIXEDSZ;
    }
    int recognised = 0;
    char name[1025];
    while (at < length) {
        int owner = dn_expand(reply, end, reply + at, name, sizeof(name));
        if (owner < 0)
            break;
        at += (size_t)owner;
        unsigned type, rdlength;
        if (!read16(reply, length, at, &type) || !read16(reply, length, at + 8, &rdlength))
            break;
        at += 10;
        if (at + rdlength > length)
            break;   // cut short: nothing past the reply is read
        size_t next = at + rdlength;
        if (type == ns_t_mx && rdlength >= 3) {
            unsigned preference = 0;
            if (!read16(reply, length, at, &preference))
                break;
            int exchange = dn_expand(reply, end, reply + at + 2, name, sizeof(name));
            if (exchange < 0)
                break;
            int index = sortmarks_category(name);
            if (index >= 0) {
                scores->score[index] = (int32_t)preference;
                recognised++;
            }
        }
        at = next;
    }
    return recognised;
}

int getmx(SortmarksScores *scores, const char *name)
{
    struct __res_state state;
    memset(&state, 0, sizeof(state));
    if (res_ninit(&state) != 0)
        return 0;
    if (sortmarks_test_dns_port != 0) {
        state.nscount = 1;
        state.nsaddr_list[0].sin_family = AF_INET;
        state.nsaddr_list[0].sin_port = htons((uint16_t)sortmarks_test_dns_port);
        state.nsaddr_list[0].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        state.retrans = 1;
        state.retry = 1;
    }
    unsigned char answer[1024];
    int n = res_nquery(&state, name, ns_c_in, ns_t_mx, answer, sizeof(answer));
    res_nclose(&state);
    if (n < 0)
        return 0;
    return sortmarks_mx_walk(answer, (size_t)n < sizeof(answer) ? (size_t)n : sizeof(answer),
                             scores);
}
