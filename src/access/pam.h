// Password verification through PAM under the service named by option -x,
// and the texts with which a PAM failure is logged.
#ifndef KV_ACCESS_PAM_H
#define KV_ACCESS_PAM_H

#include <security/pam_appl.h>

extern "C" {

// Verifies the pair with PAM (pam_authenticate, then pam_acct_mgmt, both
// refusing empty passwords).  Returns the PAM status: 0 when accepted.
int auth_pam(const char *user, const char *password);

// The conversation: every message, whatever its style, is answered with a
// copy of the password that appdata carries.
int auth_pam_talker(int count, const struct pam_message **messages,
                    struct pam_response **responses, void *appdata);
}

// The logged text of a PAM status (1 to 32; any other status gives "").
const char *pam_status_text(int status);

// Whether a status means the credentials are wrong, so that the pair is
// remembered as refused.
bool pam_status_refuses(int status);

#endif
