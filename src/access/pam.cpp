// PAM verification and the texts of its failures.
#include "access/pam.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access/access.h"
#include "access/password_cache.h"
#include "engine/options.h"
#include "runtime/log.h"

namespace {

struct PamCredentials {
    const char *user;
    const char *password;
};

// Texts of the statuses 1 to 32, with the status in place of %d.
const char *const pam_texts[] = {
    "[pam: %d: PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module",
    "[pam: %d: PAM_SYMBOL_ERR] Symbol not found",
    "[pam: %d: PAM_SERVICE_ERR] Error in service module",
    "[pam: %d: PAM_SYSTEM_ERR] System error",
    "[pam: %d: PAM_BUF_ERR] Memory buffer error",
    "[pam: %d: PAM_PERM_DENIED] Permission denied",
    "[pam: %d: PAM_AUTH_ERR] Authentication failure",
    "[pam: %d: PAM_CRED_INSUFFICIENT] Can not access authentication data due to insufficient credentials",
    "[pam: %d: PAM_AUTHINFO_UNAVAIL] Underlying authentication service an not retrieve authentication information",
    "[pam: %d: PAM_USER_UNKNOWN] User not known to the underlying authenticaiton module",
    "[pam: %d: PAM_MAXTRIES] An authentication service has maintained a retry count which has been reached. No further retries should be attempted",
    "[pam: %d: PAM_NEW_AUTHTOK_REQD] New authentication token required. This is normally returned if the machine security policies require that the password should be changed beccause the password is NULL or it has aged",
    "[pam: %d: PAM_ACCT_EXPIRED] User account has expired",
    "[pam: %d: PAM_SESSION_ERR] Can not make/remove an entry for the specified session",
    "[pam: %d: PAM_CRED_UNAVAIL] Underlying authentication service can not retrieve user credentials unavailable",
    "[pam: %d: PAM_CRED_EXPIRED] User credentials expired",
    "[pam: %d: PAM_CRED_ERR] Failure setting user credentials",
    "[pam: %d: PAM_NO_MODULE_DATA] No module specific data is present",
    "[pam: %d: PAM_CONV_ERR] Conversation error",
    "[pam: %d: PAM_AUTHTOK_ERR] Authentication token manipulation error",
    "[pam: %d: PAM_AUTHTOK_RECOVERY_ERR] Authentication information cannot be recovered",
    "[pam: %d: PAM_AUTHTOK_LOCK_BUSY] Authentication token lock busy",
    "[pam: %d: PAM_AUTHTOK_DISABLE_AGING] Authentication token aging disabled",
    "[pam: %d: PAM_TRY_AGAIN] Preliminary check by password service",
    "[pam: %d: PAM_IGNORE] Ignore underlying account module regardless of whether the control flag is required, optional, or sufficient",
    "[pam: %d: PAM_ABORT] Critical error (?module fail now request) ",
    "[pam: %d: PAM_AUTHTOK_EXPIRED] user's authentication token has expired",
    "[pam: %d: PAM_MODULE_UNKNOWN] module is not known",
    "[pam: %d: PAM_BAD_ITEM] Bad item passed to pam_*_item()",
    "[pam: %d: PAM_CONV_AGAIN] conversation function is event driven and data is not available yet",
    "[pam: %d: PAM_INCOMPLETE] please call this function again to complete authentication stack. Before calling again, verify that conversation is completed",
    "[pam: %d: _PAM_RETURN_VALUES] this is the number of return values",
};

}  // namespace

extern "C" int auth_pam_talker(int count, const struct pam_message **,
                               struct pam_response **responses, void *appdata)
{
    const auto *credentials = static_cast<const PamCredentials *>(appdata);
    if (count <= 0 || credentials == nullptr) {
        *responses = nullptr;
        return PAM_CONV_ERR;
    }
    // PAM frees the array and its texts with free().
    auto *reply = static_cast<struct pam_response *>(calloc((size_t)count, sizeof(struct pam_response)));
    if (reply == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; i++) {
        reply[i].resp = strdup(credentials->password);
        reply[i].resp_retcode = 0;
        if (reply[i].resp == nullptr) {
            for (int j = 0; j < i; j++)
                free(reply[j].resp);
            free(reply);
            return PAM_BUF_ERR;
        }
    }
    *responses = reply;
    return PAM_SUCCESS;
}

extern "C" int auth_pam(const char *user, const char *password)
{
    PamCredentials credentials{user, password};
    struct pam_conv conversation = {auth_pam_talker, &credentials};
    pam_handle_t *handle = nullptr;
    int status = pam_start(pamfile, user, &conversation, &handle);
    if (status != PAM_SUCCESS) {
        if (handle != nullptr)
            pam_end(handle, 0);
        return status;
    }
    status = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    pam_end(handle, 0);
    return status;
}

const char *pam_status_text(int status)
{
    if (status < 1 || status > (int)(sizeof pam_texts / sizeof pam_texts[0]))
        return "";
    return pam_texts[status - 1];
}

bool pam_status_refuses(int status)
{
    return status == 6 || status == 7 || status == 10 || status == 11 || status == 12;
}

void AccessSection::display_pam_msg(int status, const char *user, const char *password)
{
    if (pam_status_refuses(status))
        update_password_cache(user, password, PASSWORD_CACHE_BAD);
    char text[2047];
    const char *format = pam_status_text(status);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, sizeof text, format, status);
#pragma GCC diagnostic pop
    putlog(LOG_ERROR, "security: system: %s", text);
}
