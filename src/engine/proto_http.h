// The HTTP exchange: authentication and request modification, sending the
// request, reading and checking the response head, relaying or buffering
// the body, keep-alive decisions toward client and server, and the
// access-log entry of the request.
//
// The stage functions process_request, process_response and
// transfer_limit_check return 1 when the request may go on and 0 when they
// answered or refused it; protocol_http returns 1 when the request is
// finished and -1 when no response could be obtained.
#ifndef KV_ENGINE_PROTO_HTTP_H
#define KV_ENGINE_PROTO_HTTP_H

struct CONNECTION_T;
class Filebuf;

// Runs PROCESSOR_AUTH and, while no response is set, PROCESSOR_REQMOD with
// the request body.  A response set by a callback (a challenge, a refusal,
// a replacement) is sent to the client with the body buffer as its body:
// 0.  Otherwise the request head is framed for the body that will be sent
// and 1 is returned.
int process_request(CONNECTION_T *conn, Filebuf *body);

// Carries the request through to its answer; see the file comment.
int protocol_http(CONNECTION_T *conn);

// Takes the server's response head text `head` (owned; null when none
// came) into conn->response, reading on past interim responses (1xx
// other than 101), which are dropped: they are no answer, and the final
// response to the same request follows them on the server connection.
// 1 with the final response in conn->response; 0 when no usable final
// response came (the client has had its page: "badresponse" with 502
// for an unusable head, including a 101 this proxy never asks for, or
// "noconnect" with 503 when the server sent nothing more).
int http_response_final(CONNECTION_T *conn, char *head);

// Takes a response head text (owned) that a gateway made for the request
// as if a server had sent it: PROCESSOR_RESPHEADER, parsing into
// conn->response, the header filter, the "SERVER" variables and the
// profiles.  1 with conn->response set; 0 when it does not parse (the
// client had "badresponse").
int http_response_take(CONNECTION_T *conn, char *head);

// The response road of protocol_http from the point where the final head
// is in conn->response and the cache has decided (cache_response): the
// templates, the head filters (MIME filter among them), head-only
// answers, the buffering decision, then the body from conn->server,
// framed by the head, relayed or buffered through the response
// processors, hooks and scanners, and the log entry.  The FTP gateway
// sends its files this way, with the data connection standing in for
// conn->server.  Frees conn->response; returns 1.
int http_response_road(CONNECTION_T *conn);

// PROCESSOR_RESPCHECK, then PROCESSOR_RESPMOD on a buffered body; 0 when a
// module blocked it (and answered the client).
int process_response(CONNECTION_T *conn, Filebuf *body);

// 1 when the response body must be buffered whole before it is sent.
// Clears CONN_PROCESS once nothing needs the body.
int buffer_check(CONNECTION_T *conn);

// Sets buffer_deadline from the buffer wait of the general settings (0:
// none) and returns it.
long buffertimeout_set(CONNECTION_T *conn);

// keepalive_client from the request head: 0 for CONNECT and for "close",
// 1 for "keep-alive", else 1 for HTTP/1.1 only.
void keepalive_check_client(CONNECTION_T *conn);

// keepalive_server from the response head; a body that ends with the
// close also ends the client connection.
void keepalive_check_server(CONNECTION_T *conn);

// The download allowance against an announced length: 1 within it, 0
// after sending "downloadlimit".
int transfer_limit_check(CONNECTION_T *conn);

// 1 when the client accepts gzip or deflate (never under CONN_DECODE).
// Whether the client takes a body in that content coding: its
// Accept-Encoding names it with a q above 0 (without request compression
// the road has removed it: then none), and the body is not decoded for
// it anyway (CONN_DECODE).
bool client_accepts_coding(const CONNECTION_T *conn, const char *coding);
int accepts_encoded_content(CONNECTION_T *conn);

// The parent-proxy loop-back test of the URL command "proxytest": sends
// the request through the HTTP parent on conn->server to a listener on the
// local address of that connection, waits the I/O time-out for the parent
// to connect back and stores the head that arrives, parsed as a request
// head, in conn->response (null when none came or it did not parse).  The
// server connection is marked for closing after the request.
void proxy_test(CONNECTION_T *conn);

#endif
