// The categorisation service's DNS reply walk: any bytes, never a read past
// the reply (AddressSanitizer sees the copy's end), scores only in the
// category slots and within an MX preference.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filters/sortmarks.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    std::vector<unsigned char> reply(data, data + size);
    SortmarksScores s;
    memset(&s, 0, sizeof(s));
    int n = sortmarks_mx_walk(reply.data(), reply.size(), &s);
    if (n < 0)
        abort();
    for (int i = 0; i < SORTMARKS_SCORES; i++)
        if (s.score[i] < 0 || s.score[i] > 65535 || (i == 31 && s.score[i] != 0))
            abort();
    return 0;
}
