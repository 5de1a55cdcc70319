// Start-up: command line, daemon mode, user and group, PID file, host feed
// and config(), which builds the process in a fixed order.
#include "engine/startup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <new>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <tinyxml.h>

#include "access/access.h"
#include "access/ldap_profile.h"
#include "access/password_cache.h"
#include "cache/prefetch.h"
#include "cache/serve.h"
#include "config/general.h"
#include "config/profiles.h"
#include "config/section.h"
#include "config/sync.h"
#include "config/xml.h"
#include "engine/clientpool.h"
#include "engine/dns.h"
#include "engine/forward.h"
#include "engine/header_filter.h"
#include "engine/global.h"
#include "engine/httpfetch.h"
#include "engine/icp.h"
#include "engine/network.h"
#include "engine/options.h"
#include "engine/process.h"
#include "engine/serverpool.h"
#include "engine/templates.h"
#include "filters/cookies.h"
#include "filters/filter.h"
#include "filters/keyword.h"
#include "filters/limits.h"
#include "filters/mime.h"
#include "filters/redirect.h"
#include "filters/rewrite.h"
#include "runtime/blowfish.h"
#include "runtime/compat.h"
#include "runtime/hash.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/performance.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "filters/clamav.h"
#include "filters/dnsbl.h"
#include "filters/fprot.h"
#include "filters/icap.h"
#include "filters/kaspersky.h"
#include "filters/sophie.h"
#include "filters/sortmarks.h"
#include "filters/urlbl.h"
#include "runtime/processors.h"
#include "runtime/signals.h"
#include "runtime/stats.h"
#include "runtime/thread.h"
#include "runtime/timers.h"

namespace {

// The longest time-out -T and -C take, in seconds.
constexpr int OPTION_SECONDS_MAX = INT_MAX / 1000;

const char OPTION_STRING[] = "hfvp:t:L:H:M:m:S:E:I:c:s:l:d:u:g:r:a:e:x:z:P:T:C:o:b:k:";

// Fixed numbers the help prints for -P, -t, -z and -o.
const int HELP_PASSWORD_CACHE_SIZE = 100;
const int HELP_PASSWORD_CACHE_AGE = 600;
const int HELP_STACK_SIZE = 1048576;
const int HELP_OVERLOAD_FACTOR = 1;

// Longest feed: hosts written from the access log.
const int FEED_HOSTS_MAX = 10001;

// Words of the log categories in the help, by bit.
const char *const category_words[] = {
    "requests",          "network",        "url filtering",      "header filtering",
    "mime filtering",    "cookie filtering", "redirections",     "templates",
    "keyword filtering", "rewriting",      "limits",             "caching",
    "prefetching",       "ICP",            "forwarding",         "config syncronization",
    "antivirus",         "external parsers", "ICAP",             "DNS blacklist",
    "URL blacklist",     "URL commands",   "modules",            "security",
    "warnings",          "errors",         "profiles",           "debug",
};

bool split_parts(const char *text, std::string *parts, int count);
int option_listen(char **argv, const char *value);
int option_master(char **argv, const char *value);
int option_password_cache(char **argv, const char *value);
void option_buffers(const char *value);
void option_keepalive(const char *value);
void option_moduledir(const char *value);
int option_threads(const char *value);
int option_seconds(const char *value);
void option_stack(const char *value);
int option_apply(int letter, const char *value, char **argv);
int names_check();
[[noreturn]] void daemon_start();
void descriptors_to_null();
void drop_supplementary_groups();
bool pid_write(const char *path);
void config_global();
void config_openssl();
void config_caches_and_pools();
void config_rlimits();
void config_schema();
void config_sections();
void config_exit_steps();
void config_load_file();
void config_listeners();
void config_timers();
void config_threads();
void service_start(thread_start_t start, const char *name);
void server_pool_clean_all();

// Set once the PID file holds this process's id, so that only that file
// is removed at exit.
bool pid_written = false;

// Splits at ':' into `count` parts, keeping empty ones (":4096" has an
// empty first part); the last part takes the rest.  False when the text
// holds fewer than count - 1 colons.
bool split_parts(const char *text, std::string *parts, int count)
{
    const char *start = text;
    for (int i = 0; i < count; i++) {
        const char *colon = i + 1 < count ? strchr(start, ':') : nullptr;
        if (colon == nullptr) {
            parts[i] = start;
            for (int j = i + 1; j < count; j++)
                parts[j].clear();
            return i + 1 == count;
        }
        parts[i].assign(start, static_cast<size_t>(colon - start));
        start = colon + 1;
    }
    return true;
}

// -L address:port.
int option_listen(char **argv, const char *value)
{
    char why[128];
    if (listen_option_parse(value, listenip, &listenport, why, sizeof why) != 0) {
        show_help(argv);
        fprintf(stderr, "invalid -L value \"%s\": %s\n", value, why);
        return 1;
    }
    return STARTUP_CONTINUE;
}

// -M host:port; without a colon the option is ignored.
int option_master(char **argv, const char *value)
{
    const char *colon = strchr(value, ':');
    if (colon == nullptr)
        return STARTUP_CONTINUE;
    size_t host_length = static_cast<size_t>(colon - value);
    if (host_length >= sizeof masterhost) {
        show_help(argv);
        return 1;
    }
    char *end = nullptr;
    errno = 0;
    long port = strtol(colon + 1, &end, 10);
    if (colon[1] == '\0' || *end != '\0' || errno != 0 || port < 1 || port > 65535) {
        show_help(argv);
        fprintf(stderr, "invalid -M value \"%s\": the port must be a number from 1 to 65535\n",
                value);
        return 1;
    }
    slave = 1;
    memcpy(masterhost, value, host_length);
    masterhost[host_length] = '\0';
    masterport = static_cast<int>(port);
    return STARTUP_CONTINUE;
}

// -P size:age.  Both 0 switch the password cache off.  A size below 1 with
// an age cannot be used: the password and directory caches need at least
// one bucket.
int option_password_cache(char **argv, const char *value)
{
    std::string parts[2];
    if (!split_parts(value, parts, 2)) {
        show_help(argv);
        return 1;
    }
    int size = atoi(parts[0].c_str());
    int age = atoi(parts[1].c_str());
    if (size == 0 && age == 0) {
        authflag = 1;
        return STARTUP_CONTINUE;
    }
    if (age > 0 && size < 1) {
        show_help(argv);
        fprintf(stderr, "invalid -P value \"%s\": the size must be at least 1\n", value);
        return 1;
    }
    if (age > 0 || size > 0) {
        password_cachesize = size;
        password_cachexpire = age;
        authflag = 0;
    }
    return STARTUP_CONTINUE;
}

// -b snd:rcv; a buffer above the default block size raises BLOCKSIZE.
void option_buffers(const char *value)
{
    if (value[0] == '\0')
        return;
    std::string parts[2];
    split_parts(value, parts, 2);
    if (!parts[0].empty())
        SND_BUF = atoi(parts[0].c_str());
    if (!parts[1].empty())
        RCV_BUF = atoi(parts[1].c_str());
    if (SND_BUF > 8192 || RCV_BUF > 8192)
        BLOCKSIZE = SND_BUF > RCV_BUF ? SND_BUF : RCV_BUF;
}

// -k idle:interval:count; empty parts keep their value.
void option_keepalive(const char *value)
{
    std::string parts[3];
    split_parts(value, parts, 3);
    int *targets[3] = {&TCP_KEEPIDLE_TIME, &TCP_KEEPINTVL_TIME, &TCP_KEEPCNT_COUNTS};
    for (int i = 0; i < 3; i++)
        if (!parts[i].empty())
            *targets[i] = atoi(parts[i].c_str());
}

// -m dir, kept with a trailing "/".
void option_moduledir(const char *value)
{
    s_strncpy(moduledir, value, sizeof moduledir);
    size_t length = strlen(moduledir);
    if (length == 0 || moduledir[length - 1] != '/')
        s_strncat(moduledir, "/", sizeof moduledir);
}

// -t n: at most THREADS_MAX rows; a value below 1 would leave no row for
// the main thread and is ignored like one above the maximum.
int option_threads(const char *value)
{
    int n = atoi(value);
    if (n >= 1 && n <= THREADS_MAX)
        MAXTHREADS = n;
    return STARTUP_CONTINUE;
}

// -T and -C: a time-out in seconds.  Below 1 it is raised to 1 (0 or less
// would make the waits end at once or never); above OPTION_SECONDS_MAX it is
// lowered, so that it still counts in milliseconds in an int.
int option_seconds(const char *value)
{
    errno = 0;
    long long n = strtoll(value, nullptr, 10);
    if (n < 1)
        return 1;
    if (n > OPTION_SECONDS_MAX || errno == ERANGE)
        return OPTION_SECONDS_MAX;
    return (int)n;
}

// -z n: worker stacks of 2 to the power n bytes.
void option_stack(const char *value)
{
    opt_stack = xpow(atoi(value));
    max_opt_stack = opt_stack;
}

// One option.  Returns STARTUP_CONTINUE or the exit status.
int option_apply(int letter, const char *value, char **argv)
{
    switch (letter) {
    case 'c': s_strncpy(configfile, value, sizeof configfile); break;
    case 's': s_strncpy(sectionfile, value, sizeof sectionfile); break;
    case 'l':
        s_strncpy(logfile, value, sizeof logfile);
        // The feed is named after the access log as given so far.
        s_strncpy(smfeed, slogfile, sizeof smfeed);
        s_strncat(smfeed, ".smfeed", sizeof smfeed);
        break;
    case 'a': s_strncpy(slogfile, value, sizeof slogfile); break;
    case 'e': s_strncpy(elogfile, value, sizeof elogfile); break;
    case 'r': s_strncpy(plogfile, value, sizeof plogfile); break;
    case 'H': s_strncpy(proxyhost, value, sizeof proxyhost); break;
    case 'L': return option_listen(argv, value);
    case 'M': return option_master(argv, value);
    case 'S': s_strncpy(syncsections, value, sizeof syncsections); break;
    case 'E': s_strncpy(nosyncsections, value, sizeof nosyncsections); break;
    case 'I': syncinterval = atoi(value); break;
    case 'm': option_moduledir(value); break;
    case 'p': s_strncpy(pidfile, value, sizeof pidfile); break;
    case 'u': s_strncpy(username, value, sizeof username); break;
    case 'g': s_strncpy(group, value, sizeof group); break;
    case 'x': s_strncpy(pamfile, value, sizeof pamfile); break;
    case 'P': return option_password_cache(argv, value);
    case 't': return option_threads(value);
    case 'z': option_stack(value); break;
    case 'T': THREAD_TIMEOUT = option_seconds(value); break;
    case 'C': CLIENT_POOL_TIMEOUT = option_seconds(value); break;
    case 'b': option_buffers(value); break;
    case 'k': option_keepalive(value); break;
    case 'o': overload_factor = atoi(value); break;
    case 'd': loglevel = atoi(value); break;
    case 'f': daemonize = 0; break;
    case 'h':
        show_help(argv);
        return 0;
    case 'v':
        printf("%s - VERSION - %s - BUILD - %d\n", STARTUP_PRODUCT, KELVARINE_VERSION,
               get_my_release_build());
        return 0;
    default:
        // getopt reported the unknown letter or the missing value itself.
        break;
    }
    return STARTUP_CONTINUE;
}

// The daemon switches user and group only after it has detached from the
// terminal, where nobody would see a message any more: the names are
// checked while the messages still reach the caller, so a typing error is
// not reported as a successful start.
int names_check()
{
    if (group[0] != '\0' && getgrnam(group) == nullptr) {
        fprintf(stderr, "getgrnam: unknown group\n");
        return 1;
    }
    if (username[0] != '\0' && getpwnam(username) == nullptr) {
        fprintf(stderr, "getpwnam: unknown user\n");
        return 1;
    }
    return STARTUP_CONTINUE;
}

// Descriptors 0 to 2 of a daemon lead to /dev/null, so that a later open
// never receives one of them and a stray write never reaches a file.
void descriptors_to_null()
{
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        for (int i = 0; i <= 2; i++)
            close(i);
        return;
    }
    for (int i = 0; i <= 2; i++)
        if (fd != i && dup2(fd, i) < 0)
            close(i);
    if (fd > 2)
        close(fd);
}

// Two forks: the first child leaves the session of the caller, the second
// can never acquire a controlling terminal again.
[[noreturn]] void daemon_start()
{
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "failed to fork daemon: first fork failed\n");
        exit(1);
    }
    if (pid > 0)
        _exit(0);

    if (chdir("/") != 0) {
        perror("chdir");
        _exit(1);
    }
    if (setsid() < 0) {
        perror("setsid");
        _exit(1);
    }
    umask(0);
    descriptors_to_null();

    pid = fork();
    if (pid < 0) {
        fprintf(stderr, "failed to fork daemon: second fork failed\n");
        _exit(1);
    }
    if (pid > 0)
        _exit(0);

    umask(022);
    fix_gid();
    fix_uid();
    if (pidfile[0] != '\0' && pid_check(pidfile) != 0)
        _exit(1);
    umask(027);
    mainloop();
}

// A process that switches to another user or group keeps none of the
// supplementary groups of the user that started it (root's, mostly).
void drop_supplementary_groups()
{
    if (geteuid() != 0)
        return;
    if (setgroups(0, nullptr) != 0) {
        perror("setgroups");
        exit(1);
    }
}

// Writes "<pid>\n" to a temporary file beside path and renames it over
// path.
bool pid_write(const char *path)
{
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0)
        return false;
    char text[32];
    int length = snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(getpid()));
    bool ok = fchmod(fd, 0644) == 0 && write(fd, text, static_cast<size_t>(length)) == length &&
              fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(temporary.c_str(), path) != 0)
        ok = false;
    if (!ok)
        unlink(temporary.c_str());
    return ok;
}

// The global record with its log ring and empty statistics.
void config_global()
{
    global = new GLOBAL_T();
    pthread_mutex_init(&global->rusage_lock, nullptr);
    global->logbuffer = logbuffer_new();
    global->stats = new Stats();
    performance_log = new PerformanceLog();
    pthread_mutex_init(&global->dns_lock, nullptr);
    pthread_rwlock_init(&global->password_cache_lock, nullptr);
    pthread_rwlock_init(&global->dn_cache_lock, nullptr);
}

// OpenSSL and its random generator.  Stored passwords need RC4
// from the "legacy" provider; without it start-up stops.
void config_openssl()
{
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                     nullptr);
    if (!crypto_init()) {
        putlog(LOG_ADVICE, "Please install OpenSSL's legacy provider: stored passwords "
                           "cannot be read without it");
        exit(1);
    }
    unsigned char seed[1024];
    for (unsigned char &byte : seed)
        byte = static_cast<unsigned char>(rand() % 255);
    RAND_seed(seed, sizeof seed);
}

// The DNS cache, the pools and the timer list.
void config_caches_and_pools()
{
    global->dns_cache = hash_create(DNS_CACHE_BUCKETS);
    global->server_pool = new ServerPool();
    global->client_pool = new ClientPool();
    global->timers = timers_init();
    compat_client_pool_clean_set(clientpool_clean);
    password_cache_init();
    global->dn_cache = dn_cache_create(password_cachesize);
    compat_server_pool_clean_set(server_pool_clean_all);
}

void server_pool_clean_all()
{
    if (global != nullptr && global->server_pool != nullptr)
        global->server_pool->Clean(1);
}

// The resource limits are queried once; a failure is logged.  The soft
// limit on descriptors is raised to the hard one: every client, server,
// scanner and cache file being written needs one, and the usual soft
// limit of 1,024 would stop accepts long before memory runs out.
void config_rlimits()
{
    static const int resources[] = {
        RLIMIT_AS,      RLIMIT_CORE,   RLIMIT_CPU,   RLIMIT_DATA, RLIMIT_FSIZE,
        RLIMIT_MEMLOCK, RLIMIT_NOFILE, RLIMIT_NPROC, RLIMIT_RSS,  RLIMIT_STACK,
    };
    for (int resource : resources) {
        struct rlimit limit;
        if (getrlimit(resource, &limit) != 0) {
            putlog_system(LOG_ERROR, "getrlimit", errno,
                          ", in %s, unable to get resource limit", "config");
            continue;
        }
        if (resource == RLIMIT_NOFILE && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                putlog_system(LOG_ERROR, "setrlimit", errno,
                              ", in %s, unable to raise the descriptor limit", "config");
        }
    }
}

// The schema file; one that does not parse ends the process.
void config_schema()
{
    auto *schema = new TiXmlDocument(sectionfile);
    if (!schema->LoadFile(TIXML_DEFAULT_ENCODING)) {
        const char *why = schema->ErrorDesc() != nullptr ? schema->ErrorDesc() : "";
        putlog(LOG_ERROR, "Error when parsing section.xml: %s", why);
        putlog(LOG_ADVICE, "Please correct errors in section.xml: %s", why);
        exit(1);
    }
    sectionxml = schema;
}

// The sections, in this order; each registers itself by name and
// the filtering sections register their callbacks.  A feature whose
// section is not part of this build behaves as one that is switched off.
void config_sections()
{
    access_section = new AccessSection();
    general_section = new GeneralSection();
    network_section = new NetworkSection();
    header_section = new HeaderSection();
    prefetch_section = new PrefetchSection();
    cache_init();
    template_section = new TemplateSection();
    ldap_section = new LdapSection();
    ftp_section = new FtpSection();
    profile_section = new ProfileSection();
    // The filter modules, in the order their callbacks run within a stage.
    filter_section = new FilterSection();
    dnsbl_section = new DnsblSection();
    cookie_section = new CookieSection();
    rewrite_section = new RewriteSection();
    icap_section = new ICAPSection();
    fprot_section = new FProtSection();
    kaspersky_section = new KasperskySection();
    sophie_section = new SophieSection();
    sortmarks_section = new SORTMARKS_Section();
    mime_section = new MimeSection();
    redirect_section = new RedirectSection();
    keyword_section = new KeywordSection();
    forward_section = new ForwardSection();
    limit_section = new LimitSection();
    clamav_section = new ClamAVSection();
    urlbl_section = new URLBLSection();
}

// The exit sequence, in its order: stop accepting, then the PID file.
void config_exit_steps()
{
    if (exit_step_add(net_listen_closeall, EXIT_STEP_HANGUP) != 0)
        putlog(LOG_ERROR, "signals: the exit sequence is incomplete");
    cache_start();
    if (exit_step_add(sortmarks_save_step, EXIT_STEP_HANGUP) != 0 ||
        exit_step_add(pid_remove) != 0)
        putlog(LOG_ERROR, "signals: the exit sequence is incomplete");
}

// The configuration file; one that cannot be loaded ends the process.
void config_load_file()
{
    if (configfile[0] == '\0')
        return;
    // In the foreground the administrator who starts the proxy also sees
    // the mistakes of the file on standard error.
    config_flaws_to_stderr = daemonize != 1;
    int loaded = config_load(3, configfile);
    config_flaws_to_stderr = false;
    if (loaded == 0) {
        putlog(LOG_ERROR, "Error when loading the configuration file %s: it cannot be read, "
                          "is not well-formed XML or has no kelvarine element",
               configfile);
        putlog(LOG_ADVICE, "Please correct errors in %s", configfile);
        exit(1);
    }
}

// The proxy's host name and the listeners.
void config_listeners()
{
    std::string host = proxyhost[0] != '\0' ? std::string(proxyhost)
                                             : general_section->proxy_host_get();
    if (host.empty())
        putlog(LOG_NETWORK, "proxy hostname: none set, the web interface answers as kelvarine.cfg");
    else
        putlog(LOG_NETWORK, "proxy hostname: %s", host.c_str());
    if (listenip[0] != '\0')
        net_listen(listenport, listenip);
    network_section->check();
    // The proxy keeps running (the web interface's configuration may still
    // be loaded into it), but nobody should take that for a working start.
    if (net_listen_count() == 0) {
        std::string failures = net_listen_failures();
        std::string why = failures.empty() ? "none is configured" : failures;
        putlog(LOG_ERROR, "no listener is open: no client can connect (%s)", why.c_str());
        fprintf(stderr, "no listener is open: no client can connect (%s)\n", why.c_str());
    }
}

// The repeating timers.
void config_timers()
{
    timers_add(global->timers, 1, TIMER_REPEAT, limits_reset, nullptr);
    timers_add(global->timers, 60, TIMER_REPEAT, dnscache_clean, nullptr);
    // On every instance: an attempt on one that is not a slave does nothing.
    timers_add(global->timers, syncinterval, TIMER_REPEAT, config_sync, nullptr);
    timers_add(global->timers, 10, TIMER_REPEAT,
               static_cast<void (*)(void *)>(ldap_configure), nullptr);
}

// The service threads.
void config_threads()
{
    service_start(serverpool_clean, "serverpool_clean");
    // The ICP service answers other proxies only when a port is configured.
    if (icp_port_provider && icp_port_provider() > 0)
        service_start(icp_thread, "icp_thread");
    service_start(clientpool_thread, "clientpool_thread");
    service_start(timer_thread, "timer_thread");
    service_start(performance_check, "performance_check");
    // Last: the category cache's loader and saver.
    service_start(sortmarks_cachedump, "sortmarks_cachedump");
}

void service_start(thread_start_t start, const char *name)
{
    if (thread_create_internal(start, nullptr) < 0)
        putlog(LOG_ERROR, "unable to start the service thread %s", name);
}

}  // namespace

int startup_main(int argc, char **argv)
{
    // No thread may ever take these signals asynchronously; every thread
    // inherits the mask from here.
    signal_block();
    std::set_new_handler(out_of_memory);
    srand(static_cast<unsigned>(time(nullptr) + getpid()));

    int rc = startup_options(argc, argv);
    if (rc != STARTUP_CONTINUE)
        return rc;

    threads_init();
    // The command line may carry passwords and paths: it is wiped so that
    // the process list shows none of it.
    for (int i = 1; i < argc; i++)
        memset(argv[i], 0, strlen(argv[i]));

    rc = startup_files_check();
    if (rc != STARTUP_CONTINUE)
        return rc;

    if (daemonize != 1) {
        fix_gid();
        fix_uid();
        umask(027);
        mainloop();
    }
    rc = names_check();
    if (rc != STARTUP_CONTINUE)
        return rc;
    rc = startup_paths_absolute();
    if (rc != STARTUP_CONTINUE)
        return rc;
    daemon_start();
}

int startup_options(int argc, char **argv)
{
    if (argc <= 1) {
        show_help(argv);
        return 0;
    }
    optind = 0;  // glibc: start afresh, also after an earlier parse
    int letter;
    while ((letter = getopt(argc, argv, OPTION_STRING)) != -1) {
        int rc = option_apply(letter, optarg != nullptr ? optarg : "", argv);
        if (rc != STARTUP_CONTINUE)
            return rc;
    }
    return STARTUP_CONTINUE;
}

int startup_files_check()
{
    struct stat info;
    if (configfile[0] != '\0') {
        // A configuration named by a URL is fetched when it is loaded; only
        // a path can be looked at here.
        if (!config_path_is_url(configfile) && stat(configfile, &info) != 0) {
            fprintf(stderr, "couldn't stat %s\n", configfile);
            return 1;
        }
    } else if (!slave) {
        fprintf(stderr, "config file option missing\n");
        return 1;
    }
    if (sectionfile[0] == '\0') {
        fprintf(stderr, "section file option missing\n");
        return 1;
    }
    if (stat(sectionfile, &info) != 0) {
        fprintf(stderr, "couldn't stat %s\n", sectionfile);
        return 1;
    }
    return STARTUP_CONTINUE;
}

int startup_paths_absolute()
{
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        perror("getcwd");
        return 1;
    }
    struct {
        char *path;
        size_t size;
        char letter;
    } paths[] = {
        {configfile, sizeof configfile, 'c'}, {sectionfile, sizeof sectionfile, 's'},
        {logfile, sizeof logfile, 'l'},       {slogfile, sizeof slogfile, 'a'},
        {elogfile, sizeof elogfile, 'e'},     {plogfile, sizeof plogfile, 'r'},
        {pidfile, sizeof pidfile, 'p'},       {moduledir, sizeof moduledir, 'm'},
        {smfeed, sizeof smfeed, 'a'},
    };
    for (const auto &p : paths) {
        if (p.path[0] == '\0' || p.path[0] == '/')
            continue;
        // A configuration named by a URL is fetched, not opened.
        if (p.path == configfile && config_path_is_url(configfile))
            continue;
        std::string absolute = std::string(cwd) + (strcmp(cwd, "/") == 0 ? "" : "/") + p.path;
        if (absolute.size() >= p.size) {
            fprintf(stderr, "the path of -%c, %s, is longer than %zu characters\n", p.letter,
                    absolute.c_str(), p.size - 1);
            return 1;
        }
        memcpy(p.path, absolute.c_str(), absolute.size() + 1);
    }
    return STARTUP_CONTINUE;
}

int listen_option_parse(const char *text, char *ip, int *port, char *why, size_t why_size)
{
    const char *colon = strchr(text, ':');
    if (colon == nullptr) {
        snprintf(why, why_size, "it must be written address:port");
        return -1;
    }
    size_t length = static_cast<size_t>(colon - text);
    if (length > 15) {
        snprintf(why, why_size, "the address is longer than 15 characters");
        return -1;
    }
    char address[16];
    memcpy(address, text, length);
    address[length] = '\0';
    struct in_addr parsed;
    if (!isip(address) || inet_pton(AF_INET, address, &parsed) != 1) {
        snprintf(why, why_size, "the address must be a dotted IPv4 address");
        return -1;
    }
    const char *digits = colon + 1;
    long value = 0;
    for (const char *p = digits; *p != '\0'; p++) {
        if (*p < '0' || *p > '9' || value > 65535) {
            value = -1;
            break;
        }
        value = value * 10 + (*p - '0');
    }
    if (digits[0] == '\0' || value < 1 || value > 65535) {
        snprintf(why, why_size, "the port must be a number from 1 to 65535");
        return -1;
    }
    memcpy(ip, address, length + 1);
    *port = static_cast<int>(value);
    return 0;
}

void show_help(char **argv)
{
    FILE *out = stderr;
    fprintf(out, "%s %s (build %d): caching and content-filtering web proxy\n", STARTUP_PRODUCT,
            KELVARINE_VERSION, get_my_release_build());
    fprintf(out, "\nUsage: %s [options]\n\n", argv[0] != nullptr ? argv[0] : STARTUP_PRODUCT);
    fprintf(out, " -c <file>            : location of config file (required)\n");
    fprintf(out, " -s <file>            : location of section file (required)\n");
    fprintf(out, " -l <file>            : file to log activity to (native log)\n");
    fprintf(out, " -a <file>            : alternate format log file (access log)\n");
    fprintf(out, " -e <file>            : alternate format log file (extended log)\n");
    fprintf(out, " -H <hostname>        : proxy's hostname (overrides configuration file)\n");
    fprintf(out, " -L <ip:port>         : specify address and port to listen on\n");
    fprintf(out, " -M <host:port>       : master host and port to syncronize configuration from\n");
    fprintf(out, " -S <sections>        : comma separated list of sections to syncronize from "
                 "master (default: all sections)\n");
    fprintf(out, " -E <sections>        : comma separated list of sections to not syncronize "
                 "from master (default: none)\n");
    fprintf(out, " -I <seconds>         : time interval between syncronization attempts to master\n");
    fprintf(out, " -m <dir>             : module directory\n");
    fprintf(out, " -p <file>            : PID file\n");
    fprintf(out, " -u <username>        : run as alternate user\n");
    fprintf(out, " -g <groupname>       : run in alternate group\n");
    fprintf(out, " -x <pam>             : set the file containing PAM directives (default: %s) \n",
            "kelvarine");
    fprintf(out, " -P <size:age>        : set the maximum size and age of the password_cache "
                 "(default: %d:%d)\n",
            HELP_PASSWORD_CACHE_SIZE, HELP_PASSWORD_CACHE_AGE);
    fprintf(out, " -t <max_threads>     : specify the maximum number of allowed concurrent "
                 "threads (less than: %d)\n",
            THREADS_MAX);
    fprintf(out, " -z <stack_size>      : specify the base value for thread stacksize (Default "
                 "of 20, sets the stack size to %d) \n",
            HELP_STACK_SIZE);
    fprintf(out, " -T <thread_timeout>  : specify the time in seconds for a thread to wait for "
                 "another connection (default: %d)\n",
            THREAD_TIMEOUT);
    fprintf(out, " -C <socket_timeout>  : specify the minimum time in seconds for a Client "
                 "socket to be presumed available (default: %d)\n",
            CLIENT_POOL_TIMEOUT);
    fprintf(out, " -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes "
                 "(default: %d:%d)\n",
            SND_BUF, RCV_BUF);
    fprintf(out, " -k <keepidle_time:keepalive_intvl:keepalive_count>  : specify the TCP "
                 "Keepalive parameters (default: %d:%d:%d)\n",
            TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS);
    fprintf(out, " -o <overload_factor> : overload factor (default: %d)\n", HELP_OVERLOAD_FACTOR);
    fprintf(out, " -f                   : don't daemonize (log written to stdout)\n");
    fprintf(out, " -h                   : show this help, message and exit \n");
    fprintf(out, " -v                   : show kelvarine version, and exit \n");
    fprintf(out, " -d <level>           : set log level (default: %d)\n\n", loglevel);
    fprintf(out, " Add any of the following to specify logging detail:\n");
    for (size_t bit = 0; bit < sizeof category_words / sizeof *category_words; bit++)
        fprintf(out, " %9d = %s\n", 1 << bit, category_words[bit]);
}

int get_my_release_build()
{
    return 1;
}

pid_t pid_check(const char *path)
{
    pid_written = false;
    FILE *file = fopen(path, "r");
    if (file != nullptr) {
        long found = 0;
        bool number = fscanf(file, "%ld", &found) == 1;
        fclose(file);
        // A process that exists but belongs to another user answers the
        // probe with EPERM: it is alive all the same.  Our own id in the
        // file can only be a stale file from a process before a reboot.
        if (number && found > 0 && found <= INT_MAX && found != getpid() &&
            (kill(static_cast<pid_t>(found), SIGCHLD) == 0 || errno == EPERM))
            return static_cast<pid_t>(found);
    }
    if (!pid_write(path))
        return 1;
    pid_written = true;
    signal_crash_unlink_set(pidfile);
    return 0;
}

void pid_remove()
{
    if (!pid_written || pidfile[0] == '\0')
        return;
    if (unlink(pidfile) != 0 && errno != ENOENT)
        putlog_system(LOG_ERROR, "unlink", errno, ", in %s, unable to remove PID file %s",
                      "pid_remove", pidfile);
    pid_written = false;
}

void fix_gid()
{
    if (group[0] == '\0') {
        if (username[0] != '\0')
            drop_supplementary_groups();
        gid_t gid = getgid();
        struct group *current = getgrgid(gid);
        if (current != nullptr)
            s_strncpy(group, current->gr_name, sizeof group);
        else
            snprintf(group, sizeof group, "%u", static_cast<unsigned>(gid));
        return;
    }
    struct group *wanted = getgrnam(group);
    if (wanted == nullptr) {
        fprintf(stderr, "getgrnam: unknown group\n");
        exit(1);
    }
    gid_t gid = wanted->gr_gid;
    drop_supplementary_groups();
    if (setgid(gid) != 0) {
        perror("setgid");
        exit(1);
    }
}

void fix_uid()
{
    if (username[0] == '\0') {
        uid_t uid = getuid();
        struct passwd *current = getpwuid(uid);
        if (current != nullptr)
            s_strncpy(username, current->pw_name, sizeof username);
        else
            snprintf(username, sizeof username, "%u", static_cast<unsigned>(uid));
        return;
    }
    struct passwd *wanted = getpwnam(username);
    if (wanted == nullptr) {
        fprintf(stderr, "getpwnam: unknown user\n");
        exit(1);
    }
    if (setuid(wanted->pw_uid) != 0) {
        perror("setuid");
        exit(1);
    }
}

void create_feedlog()
{
    if (slogfile[0] == '\0' || smfeed[0] == '\0')
        return;
    FILE *log = fopen(slogfile, "r");
    if (log == nullptr)
        return;
    // The feed is collected in memory and replaces the file whole, so a
    // failure half-way never leaves a cut feed behind.
    Filebuf feed;
    char line[4096];
    int hosts = 0;
    while (hosts < FEED_HOSTS_MAX && fgets(line, sizeof line, log) != nullptr) {
        size_t length = strlen(line);
        // A line longer than the buffer is judged by its first part; the
        // rest is skipped, not read as a line of its own.
        if (length > 0 && line[length - 1] != '\n') {
            int c;
            while ((c = fgetc(log)) != EOF && c != '\n') {
            }
        }
        char scheme[16];
        char host[1024];
        if (sscanf(line, "%*s %*s %*s %*s %*s %*s %15[^:/ \t\n]://%1023[^:/ \t\n]", scheme,
                   host) == 2) {
            feed.Add("\n", 1);
            feed.Add(host, strlen(host));
            hosts++;
        }
    }
    fclose(log);
    feed.Save(smfeed);
}

void config()
{
    config_global();
    // The cache's clock is the system clock: every HTTP date is UTC.
    gmtoffset = 0;
    config_openssl();
    create_feedlog();
    config_caches_and_pools();
    config_rlimits();
    config_schema();
    config_sections();
    globalstats_init();
    if (signal_setup() != 0)
        putlog(LOG_ERROR, "signals: not every signal is handled as it should be");
    config_exit_steps();
    net_init();
    // Loads from URLs and sync go through the internal HTTP client.
    config_url_fetch = http_fetch_text;
    config_sync_fetch = http_fetch_document;
    config_load_file();
    if (slave)
        config_sync(nullptr);
    hooks.Execute(HOOK_CONFIG, nullptr, nullptr);
    config_listeners();
    // The URL blacklist's tree, read once before any request is served.
    if (urlbl_section)
        urlbl_section->load();
    config_timers();
    prefetch_section->init_threads();
    config_threads();
    putlog(LOG_DEBUG, "GMT offset is -%u seconds", static_cast<unsigned>(gmtoffset));
}
