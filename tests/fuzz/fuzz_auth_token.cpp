// The authentication processor on the credentials a client sends: the
// scheme word, Basic tokens of any shape and length, NTLM and Negotiate
// words, in Proxy-Authorization or (origin-form requests addressed to the
// proxy) Authorization.  The first byte picks the request kind and the
// rule; the rest is the header value.  Every outcome is the request going
// on or a 401/407 challenge with an empty body; a pair is verified only
// when it decodes whole.
#include <tinyxml.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "access/access.h"
#include "config/section.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/options.h"
#include "fuzz.h"
#include "runtime/filebuf.h"

namespace {

std::string verified_user;

int verify(CONNECTION_T *, const char *user, const char *password)
{
    verified_user = user;
    return strcmp(user, "alice") == 0 && strcmp(password, "pw") == 0;
}

void load(bool system_accounts)
{
    std::string rule = std::string("<allow><enabled>true</enabled><comment></comment>"
                                   "<log_profiles>false</log_profiles><groups></groups>"
                                   "<interfaces></interfaces><client_ranges></client_ranges>"
                                   "<auth_mode>") +
                       (system_accounts ? "system_accounts" : "rule_account") +
                       "</auth_mode><user>" + (system_accounts ? "" : "alice") +
                       "</user><password>" + (system_accounts ? "" : "pw") +
                       "</password><access>proxy,transparent</access><bypass></bypass>"
                       "<interface_user></interface_user><interface_password>"
                       "</interface_password><connection_profiles></connection_profiles>"
                       "</allow>";
    std::string xml = "<kelvarine><access><mode>true</mode><ntlm>false</ntlm>"
                      "<auth_service></auth_service>" + rule + "</access></kelvarine>";
    TiXmlDocument doc;
    doc.Parse(xml.c_str());
    if (doc.Error())
        abort();
    access_section->load(&doc, 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    const char *dir = getenv("KV_SOURCE_DIR");
    std::string path = std::string(dir && *dir ? dir : KV_SOURCE_DIR) + "/etc/section.xml";
    static TiXmlDocument schema(path.c_str());
    if (!schema.LoadFile())
        abort();
    sectionxml = &schema;
    access_section = new AccessSection();
    access_system_verify = verify;
    strcpy(proxyhost, "proxy.test");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 16384)
        return 0;
    bool transparent = data[0] & 1;
    bool system_accounts = data[0] & 2;
    static int loaded = -1;
    if (loaded != (int)system_accounts) {
        load(system_accounts);
        loaded = system_accounts;
    }
    std::string value = fuzz_text(data + 1, size - 1);
    for (char &c : value)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';

    CONNECTION_T *conn = connection_new();
    conn->client_ip = strdup("127.0.0.9");
    conn->interface_ip = strdup("127.0.0.1");
    conn->listen_port = 8080;
    conn->request = http_header_parse_request(
        transparent ? "GET /x HTTP/1.1\r\nHost: proxy.test\r\n\r\n"
                    : "GET http://example.org/ HTTP/1.1\r\nHost: example.org\r\n\r\n");
    if (conn->request == nullptr)
        abort();
    header_field_set(transparent ? &conn->request->authorization
                                 : &conn->request->proxy_authorization,
                     value.c_str());
    conn->request_body = new Filebuf();
    conn->request_body->Add("body", 4);
    verified_user.clear();

    int answered = access_auth(conn, conn->request_body);
    if (answered != 0 && answered != 1)
        abort();
    if (answered == 1) {
        if (conn->response == nullptr)
            abort();
        int status = conn->response->status;
        if (status != (transparent ? 401 : 407))
            abort();
        if (conn->request_body->size != 0)
            abort();
    }
    if (verified_user.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        abort();

    http_header_free(conn->request);
    http_header_free(conn->response);
    conn->request = conn->response = nullptr;
    delete conn->request_body;
    conn->request_body = nullptr;
    connection_free(conn);
    return 0;
}
