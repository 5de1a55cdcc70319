// The connection record: creation, release and closing.
#include "engine/connection.h"

#include <cstdlib>

#include "engine/counters.h"
#include "engine/socket.h"
#include "runtime/stats.h"

namespace {

void free_text(char *&text);

void free_text(char *&text)
{
    free(text);
    text = nullptr;
}

}  // namespace

CONNECTION_T *connection_new()
{
    // Value-initialised: every scalar and pointer starts at zero.
    CONNECTION_T *conn = new CONNECTION_T();
    conn->download_allowance = CONN_NO_LIMIT;
    conn->upload_allowance = CONN_NO_LIMIT;
    conn->forward_type = FORWARD_DIRECT;
    for (int i = 0; i < CATEGORY_SCORES; i++)
        conn->category_scores[i] = -1;
    return conn;
}

void connection_free(CONNECTION_T *conn)
{
    if (conn == nullptr)
        return;
    free_text(conn->client_ip);
    free_text(conn->interface_ip);
    free_text(conn->ident);
    free_text(conn->auth_user);
    free_text(conn->auth_challenge);
    free_text(conn->auth_tracking_id);
    free_text(conn->forward_host);
    free_text(conn->forward_user);
    free_text(conn->forward_password);
    free_text(conn->forward_domain);
    free_text(conn->forward_authorization);
    stats_release(conn->user_stats);  // under atomlock
    conn->user_stats = nullptr;
    // The lists, the log record, the variables and the two strings go with
    // the record.
    delete conn;
}

void net_close(CONNECTION_T *conn)
{
    counters_connection_closed();
    if (conn == nullptr)
        return;
    putlog(LOG_NETWORK, "%s disconnected after making %d requests",
           conn->client_ip != nullptr ? conn->client_ip : "-", conn->requests);
    // The authentication-service connection ends with its client.
    delete conn->auth_socket;
    conn->auth_socket = nullptr;
    delete conn->client;
    conn->client = nullptr;
    connection_free(conn);
}
