// The FTP gateway: ftp:// requests that do not go through an HTTP parent
// are served over an FTP control connection (opened, or taken logged in
// from the server pool, by the request road): login, TYPE I, the path as
// a directory (an HTML listing page with sort links and simple file
// operations) or as a file (retrieved over a data connection in passive or
// active mode).
//
// Every reply wait has the FTP time-out.  Data connections go only to the
// FTP server: the control connection's peer, or the host a SOCKS server
// or tunnelling parent was asked for, reached through that same server or
// parent; a PASV reply's address is ignored.  Replies to RETR and LIST
// are checked, so a refusal becomes an error page.  A file is answered
// through the response road of the HTTP exchange (download limit, MIME
// filter, buffering, response processors and scanners) and an anonymous
// one is cached, a held copy being confirmed by its listing date.
#ifndef KV_ENGINE_PROTO_FTP_H
#define KV_ENGINE_PROTO_FTP_H

#include <string>

struct CONNECTION_T;
class Socket;

// 1 when the request was answered, -1 when it failed.
int protocol_ftp(CONNECTION_T *conn);

// One FTP reply, multi-line replies taken whole.
struct FtpReply {
    int code = -1;     // the three-digit code; -1 when no reply came
    std::string text;  // the last line, without its line end
};

// Parses the code of one reply line: its three leading digits (the first
// 1 to 5) when a blank, '-' or the line's end follows them, else 0.  *more is set when the line
// opens a multi-line reply ("123-").
int ftp_line_code(const char *line, bool *more);

// Reads one whole reply from the control connection within timeout
// seconds.  Lines are cut to 1023 characters.
FtpReply ftp_reply_read(Socket *control, int timeout);

// The port of a PASV reply's "(h1,h2,h3,h4,p1,p2)", or 0 when the text
// holds none that is valid.  The address part is checked but not used.
int ftp_pasv_port(const char *text);

#endif
