// Base64 texts as Basic credentials bring them: from64tobits into an
// output area exactly as large as the first input byte says (so a write
// past it is an AddressSanitizer report), and to64frombits of the same
// bytes decoding back to them.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz.h"
#include "runtime/blowfish.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t outsize = data[0];
    std::string text = fuzz_text(data + 1, size - 1);

    char *out = (char *)malloc(outsize ? outsize : 1);
    int64_t n = from64tobits(out, outsize, text.c_str());
    if (n < -1 || n > (int64_t)outsize)
        abort();
    free(out);

    // The bytes encoded and decoded again.
    size_t encoded_size = BASE64_ENCODED_SIZE(text.size());
    unsigned char *encoded = (unsigned char *)malloc(encoded_size);
    if (to64frombits(encoded, encoded_size, (const unsigned char *)text.data(), text.size()) !=
        (int64_t)encoded_size - 1)
        abort();
    char *back = (char *)malloc(text.size() + 1);
    int64_t m = from64tobits(back, text.size(), (const char *)encoded);
    bool starts_cr = encoded[0] == '\r';  // never: the alphabet has no CR
    if (!starts_cr && (text.empty() ? m != -1 && m != 0
                                    : m != (int64_t)text.size() ||
                                          memcmp(back, text.data(), text.size()) != 0))
        abort();
    // One byte less room than the bytes need is refused, not overrun.
    if (!text.empty() && from64tobits(back, text.size() - 1, (const char *)encoded) != -1)
        abort();
    free(back);
    free(encoded);
    return 0;
}
