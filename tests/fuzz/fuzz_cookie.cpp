// Cookie and Set-Cookie values as clients and servers send them: parsed
// into a CookieHeader and written back.  Writing back is stable: the value
// built from a parse parses to the same value again, and a value builds to
// nothing exactly when it has no pair.
#include <cstdlib>
#include <string>

#include "filters/cookies.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    std::string value((const char *)data, size);
    CookieHeader first(value);
    std::string built = first.Build();
    if (built.empty() != first.pairs.empty())
        abort();
    CookieHeader second(built);
    if (second.Build() != built)
        abort();
    return 0;
}
