// The connection record: creation, release and closing.
#include "engine/connection.h"

#include <cstdlib>

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
    delete conn;
}
