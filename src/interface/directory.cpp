// The directory pages of the web interface ("/ldap", "/password") and the
// directory-cache export "/ldapcache" read by other instances.
#include <pthread.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "access/ldap_profile.h"
#include "config/xml.h"
#include "engine/global.h"
#include "interface/dispatch.h"
#include "interface/interface.h"
#include "interface/pages.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"

namespace {

const char *row_class(unsigned n)
{
    return n % 2 == 0 ? "listeven" : "listodd";
}

std::string arg(CGIMap &args, const char *name)
{
    auto found = args.find(name);
    return found == args.end() ? std::string() : found->second;
}

// This instance's cipher key as the form shows it: hexadecimal, since the
// key is binary and the form accepts letters, digits and "_" only.
std::string own_key_text(std::vector<unsigned char> *bytes)
{
    unsigned char key[512];
    int n = ldap_section ? ldap_section->get_our_key(key, sizeof key) : 0;
    std::string text;
    char hex[3];
    for (int i = 0; i < n; i++) {
        snprintf(hex, sizeof hex, "%02x", key[i]);
        text += hex;
    }
    if (bytes)
        bytes->assign(key, key + (n > 0 ? n : 0));
    return text;
}

bool key_text_valid(const std::string &key)
{
    for (unsigned char c : key) {
        if (!isalnum(c) && c != '_')
            return false;
    }
    return true;
}

// The whole cache, bucket by bucket, each bucket read under the table's
// read lock; rows are escaped.
void cache_rows(Filebuf *page)
{
    if (global == nullptr || global->dn_cache == nullptr)
        return;
    unsigned n = 0;
    DN_CACHE_TABLE *table = global->dn_cache;
    for (int bucket = 0; bucket < table->size; bucket++) {
        std::vector<std::string> rows;
        pthread_rwlock_rdlock(&global->dn_cache_lock);
        for (DN_CACHE_ENTRY *entry = table->buckets[bucket]; entry; entry = entry->next) {
            std::string profiles = entry->dn ? entry->dn : "";
            if (entry->groups && *entry->groups)
                profiles += std::string(",") + entry->groups;
            rows.push_back(interface_html(entry->user ? entry->user : "") + "\t" +
                           interface_html(profiles));
        }
        pthread_rwlock_unlock(&global->dn_cache_lock);
        for (const std::string &row : rows) {
            size_t tab = row.find('\t');
            page->Addf("<tr class=\"%s\"><td width=\"25%%\">%s</td><td>%s</td></tr>\n", row_class(n++),
                       row.substr(0, tab).c_str(), row.substr(tab + 1).c_str());
        }
    }
}

time_t ldapcache_export(Filebuf *body)
{
    ldap_section->interface_page_sendldap(body);
    pthread_mutex_lock(&documentlock);
    time_t updated = ldap_section->last_update;
    pthread_mutex_unlock(&documentlock);
    return updated;
}

struct ExportInstaller {
    ExportInstaller() { interface_ldapcache_export = ldapcache_export; }
} export_installer;

}  // namespace

void interface_page_ldap(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    std::string upn = arg(args, "upn");
    const char *head = "<tr class=\"listhead\"><td>User Name</td><td>LDAP Profiles</td></tr>\n";
    if (upn.empty()) {
        page->Addf("<table class=\"bigdialog\">\n");
        page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Ldap</td></tr>\n");
        page->Addf("<form action=\"ldap\" method=\"POST\">\n");
        page->Addf("<tr><td>Enter the User Principal Name to identify DN</td>"
                   "<td><input type=\"text\" name=\"upn\" size=\"125\"></td></tr>\n");
        page->Addf("<input type=\"hidden\" name=\"show\" value=\"yes\">\n");
        page->Addf("<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\">"
                   "<input type=\"submit\" value=\"Submit\"></td></tr>\n");
        page->Addf("</form></table>\n");
        if (arg(args, "show") == "yes") {
            page->Addf("<br><table class=\"list\">\n%s", head);
            cache_rows(page);
            page->Addf("</table>\n");
        }
        return;
    }
    page->Addf("<table class=\"list\">\n%s", head);
    unsigned n = 0;
    size_t start = 0;
    while (start <= upn.size()) {
        size_t end = upn.find(',', start);
        if (end == std::string::npos)
            end = upn.size();
        std::string name = upn.substr(start, end - start);
        start = end + 1;
        std::string shown = interface_html(name);
        std::vector<char> dn(DN_TEXT_MAX, '\0');
        std::vector<char> groups(DN_TEXT_MAX, '\0');
        if (check_dn_cache(name.c_str(), dn.data(), groups.data()) == -1) {
            page->Addf("<tr class=\"%s\"><td width=\"25%%\">%s</td><td>User not found!</td></tr>\n",
                       row_class(n++), shown.c_str());
        } else if (groups[0]) {
            page->Addf("<tr class=\"%s\"><td width=\"25%%\">%s</td><td>%s,%s</td></tr>\n", row_class(n++),
                       shown.c_str(), interface_html(dn.data()).c_str(),
                       interface_html(groups.data()).c_str());
        } else {
            page->Addf("<tr class=\"%s\"><td width=\"25%%\">%s</td><td>%s</td></tr>\n", row_class(n++),
                       shown.c_str(), interface_html(dn.data()).c_str());
        }
    }
    page->Addf("</table>\n");
}

void interface_page_password(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    std::string key = arg(args, "active");
    std::string scode = arg(args, "scode");
    std::string scode1 = arg(args, "scode1");
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Generate Encrypted Password"
               "</td></tr>\n");
    page->Addf("<tr><td colspan=\"2\" class=\"entryfieldeven\">Sections such as LDAP may need sensitive "
               "passwords.  This page encrypts a password so that the configuration files do not reveal "
               "it; the proxy decrypts it with its key when it is needed.  The key field holds this "
               "instance's key by default; to encrypt for another instance (several instances, or a "
               "master and its slaves) enter that instance's key.</td></tr>\n");
    std::vector<unsigned char> own;
    std::string own_text = own_key_text(&own);
    if (key.empty() || scode.empty() || scode1.empty()) {
        page->Addf("<form action=\"password\" method=\"POST\">\n");
        page->Addf("<tr><td colspan=\"2\" class=\"entryfieldodd\">The key defaults to this server's key; "
                   "change it only when encrypting for another server.</td></tr>\n");
        page->Addf("<tr><td>Key: </td><td><input type=\"text\" name=\"active\" value=\"%s\" size=\"80\">"
                   "</td></tr>\n", interface_html(own_text).c_str());
        page->Addf("<tr> <td colspan=\"2\" class=\"entryfieldodd\"><b>Password</b><br>Please use only "
                   "<B>Alpahnumeric Characters</B></td> </tr>");
        page->Addf("<tr><td>Password To Encrypt: </td><td><input type=\"password\" name=\"scode\" "
                   "size=\"80\"></td></tr>\n");
        page->Addf("<tr> <td colspan=\"2\" class=\"entryfieldodd\"><b>Please be sure that you are entering "
                   "here the same password, that you have entered above.</b></td> </tr>");
        page->Addf("<tr><td>Re-enter the Password: </td><td><input type=\"password\" name=\"scode1\" "
                   "size=\"80\"></td></tr>\n");
        page->Addf("<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" "
                   "value=\"Submit\"></td></tr>\n");
        page->Addf("</form></table>\n");
        return;
    }
    if (!key_text_valid(key)) {
        page->Addf("<tr><td>Please use only <font><B>Alphanumeric Characters.</b></font>\n<BR>"
                   "<a href=\"/password\">Click here to try again.</a>\n</td></tr></table>\n");
        return;
    }
    if (scode != scode1) {
        page->Addf("<tr><td>The Entered <font><B>\"Password\"</b></font> and the <font><B>\"Confirm "
                   "Password\"</b></font> fields do not match or, are empty.<BR><a href=\"/password\">"
                   "Click here to try again.</a>\n</td></tr></table>\n");
        return;
    }
    // The key as bytes in a zero-filled buffer; this instance's own key
    // when the field still holds the text the form showed.
    unsigned char key_bytes[1024];
    memset(key_bytes, 0, sizeof key_bytes);
    if (!own_text.empty() && key == own_text && !own.empty())
        memcpy(key_bytes, own.data(), own.size() < 1023 ? own.size() : 1023);
    else
        memcpy(key_bytes, key.data(), key.size() < 1023 ? key.size() : 1023);
    size_t length = scode.size() > PRIVATISE_PLAIN_MAX ? PRIVATISE_PLAIN_MAX : scode.size();
    std::vector<unsigned char> out(PRIVATISE_STORED_MAX + 1, 0);
    int n = kelvarine_privatise(reinterpret_cast<const unsigned char *>(scode.data()), key_bytes,
                                privatise_iv, out.data(), PRIVATISE_STORED_MAX, (int)length);
    std::string stored = n > 0 ? std::string(reinterpret_cast<char *>(out.data()), (size_t)n * 2) :
                                 std::string("(the password could not be encrypted)");
    page->Addf("<tr class=\"%s\"><td align=\"center\" width=\"25%%\">%s</td></tr>\n", "listeven",
               interface_html(stored).c_str());
    page->Addf("</table>\n");
}
