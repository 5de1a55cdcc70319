// The pages of the web interface's page table.  Each appends its HTML to
// the page buffer inside the frame that the dispatch draws, reads its
// arguments from the argument map and sends nothing itself.  Every value
// that came from a client, a server, the cache, the log or the
// configuration is HTML-escaped where it is written.
#ifndef KV_INTERFACE_PAGES_H
#define KV_INTERFACE_PAGES_H

struct CONNECTION_T;
class Filebuf;
class CGIMap;

void interface_page_connections(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_dnscache(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_headers(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_config(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_save(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_load(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_log(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_cache(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_pool(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_prefetch(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_stats(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_urlbl(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_ldap(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_password(Filebuf *page, CGIMap &args, CONNECTION_T *connection);
void interface_page_sortmark(Filebuf *page, CGIMap &args, CONNECTION_T *connection);

#endif
