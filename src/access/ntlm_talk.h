// The relay of NTLM and Negotiate messages to the external authentication
// service: one HTTP connection per client connection, on port 8080 of the
// host named by the "access" section's auth_service field, kept open
// across the messages of one handshake.
//
// Each relayed client message is one request
//   GET http://<host>/authenticate HTTP/1.1
//   Host: <host>
//   X-Forwarded-For: <client>
//   Proxy-Authorization: <the client's value>
// and the reply head decides: 200 the handshake is complete
// (Proxy-Authenticate names the user, Location carries "DN;groups"), 407
// it goes on (Proxy-Authenticate is the next challenge), anything else is
// a failure.  Every failure ends in a new challenge for the client, never
// in a stuck worker: the connect and the reply head are bounded in time
// and the head in size.
#ifndef KV_ACCESS_NTLM_TALK_H
#define KV_ACCESS_NTLM_TALK_H

#include <string>

struct CONNECTION_T;

// Port of the authentication service.
#define HTTPAUTH_PORT 8080
// Seconds allowed for connecting to it.
#define HTTPAUTH_CONNECT_TIMEOUT 10
// Longest time for its reply head, in seconds (shortened by the I/O
// time-out of the settings in force).
#define HTTPAUTH_REPLY_TIMEOUT 60
// Longest reply head it may send, in bytes.
#define HTTPAUTH_HEAD_MAX 16382

// One relay step: 200 authenticated, 407 a challenge is pending or the
// exchange failed, 500 the request has no Proxy-Authorization.
int ntlm_communicate(CONNECTION_T *connection, char *unused);

// One request and reply over the service socket: 200, 407 or 500.
int validate_auth_tracking(CONNECTION_T *connection);

// The service's reply head as a new text (free() it), or null.
char *header_get_for_authentication(CONNECTION_T *connection, int seconds);

// 0 when the service socket exists or was opened, -1 when it failed.
int make_new_httpauth_socket(CONNECTION_T *connection);
void flush_httpauth_socket(CONNECTION_T *connection);
void close_httpauth_socket(CONNECTION_T *connection);

// The host name of the service.
std::string httpauth_host();

#endif
