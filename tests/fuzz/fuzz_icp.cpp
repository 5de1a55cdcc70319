// ICP datagrams as other caches send them: decoded as replies, and
// answered as the ICP service answers queries.  An answer's length field
// (network order) equals its size, and it repeats the request number.
#include <cstdlib>
#include <string>

#include "engine/icp.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    IcpMessage m;
    if (icp_decode(data, size, &m)) {
        size_t length = ((size_t)data[2] << 8) | data[3];
        if (length > size || m.url.size() >= length)
            abort();
    }
    std::string answer = icp_answer(data, size);
    if (answer.empty())
        return 0;
    const unsigned char *a = (const unsigned char *)answer.data();
    size_t length = ((size_t)a[2] << 8) | a[3];
    if (answer.size() < ICP_HEADER_LEN || length != answer.size())
        abort();
    for (int i = 4; i < 8; i++)
        if (a[i] != data[i])
            abort();
    return 0;
}
