// The connection record: creation, release and closing.
#include "engine/connection.h"

#include <cstdlib>
#include <utility>
#include <vector>

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

namespace {

using VariableNode = std::map<std::string, std::string>::node_type;

// Emptied nodes of the variables maps this thread cleared.
thread_local std::vector<VariableNode> variable_spares;

} // namespace

std::string &variable_slot(CONNECTION_T *conn, const std::string &name)
{
    auto found = conn->variables.find(name);
    if (found != conn->variables.end())
        return found->second;
    if (variable_spares.empty())
        return conn->variables[name];
    VariableNode node = std::move(variable_spares.back());
    variable_spares.pop_back();
    node.key() = name;
    node.mapped().clear();
    return conn->variables.insert(std::move(node)).position->second;
}

void variable_spares_free()
{
    std::vector<VariableNode>().swap(variable_spares);
}

void variables_recycle(CONNECTION_T *conn)
{
    std::map<std::string, std::string> &map = conn->variables;
    while (!map.empty() && variable_spares.size() < VARIABLE_SPARES_MAX)
        variable_spares.push_back(map.extract(map.begin()));
    map.clear();
}

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
