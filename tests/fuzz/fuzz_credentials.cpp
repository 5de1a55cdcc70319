// The credential decoders: kelvarine_deprivatise of a stored password
// read from the configuration, and blowfish_decrypt of the interface's
// login cookie, keyed by the first input line.  Output areas are exactly
// as large as the callers make them; what is privatised or encrypted
// comes back whole.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz.h"
#include "runtime/blowfish.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    if (!crypto_init())
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t outsize = data[0] * 4u;
    std::string text = fuzz_text(data + 1, size - 1);

    // A stored form, decoded into an area of outsize bytes.
    if (text.size() <= PRIVATISE_STORED_MAX + 8) {
        unsigned char *plain = (unsigned char *)malloc(outsize ? outsize : 1);
        int n = kelvarine_deprivatise((const unsigned char *)text.data(), privatise_key,
                                      privatise_iv, plain, outsize, (int)text.size());
        if (n < -1 || n > (int)outsize)
            abort();
        free(plain);
    }

    // The bytes as a password: stored and read back.
    if (!text.empty() && text.size() <= PRIVATISE_PLAIN_MAX) {
        unsigned char stored[PRIVATISE_STORED_MAX];
        int symbols = kelvarine_privatise((const unsigned char *)text.data(), privatise_key,
                                          privatise_iv, stored, sizeof(stored),
                                          (int)text.size());
        if (symbols <= 0)
            abort();
        unsigned char *back = (unsigned char *)malloc(text.size());
        int n = kelvarine_deprivatise(stored, privatise_key, privatise_iv, back, text.size(),
                                      symbols * 2);
        if (n != (int)text.size() || memcmp(back, text.data(), text.size()) != 0)
            abort();
        free(back);
    }

    // A cookie text under the key of the first line.
    size_t nl = text.find('\n');
    std::string key = text.substr(0, nl);
    std::string cookie = nl == std::string::npos ? "" : text.substr(nl + 1);
    char *plain = blowfish_decrypt(key.c_str(), cookie.c_str());
    free(plain);
    char *sealed = blowfish_encrypt(key.c_str(), cookie.c_str());
    if (sealed) {
        char *opened = blowfish_decrypt(key.c_str(), sealed);
        if (!opened || strcmp(opened, cookie.c_str()) != 0)
            abort();
        free(opened);
        free(sealed);
    } else if (key.c_str()[0] != '\0') {
        abort();
    }
    return 0;
}
