// Loading and looking up the URL blacklist's category tree.
#include "filters/urlbl.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>

#include "filters/listfile.h"
#include "runtime/log.h"

namespace {

std::string lowered(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

}  // namespace

void urlbl_domain_add(URLBLHostMap *hosts, const std::string &line)
{
    if (line.empty())
        return;
    // A host listed whole drops any prefixes that a "urls" line gave it.
    (*hosts)[lowered(line)].clear();
}

void urlbl_url_add(URLBLHostMap *hosts, const std::string &line)
{
    if (line.empty())
        return;
    size_t slash = line.find('/');
    std::string host = line.substr(0, std::min(slash, (size_t)URLBL_HOST_MAX));
    std::string prefix = slash == std::string::npos ? std::string() : line.substr(slash);
    host = lowered(host);
    auto found = hosts->find(host);
    if (found != hosts->end()) {
        // Listed with every path already: nothing to add.
        if (found->second.empty())
            return;
        if (prefix.empty()) {
            found->second.clear();
            return;
        }
        found->second.push_back(prefix);
        return;
    }
    std::vector<std::string> &prefixes = (*hosts)[host];
    if (!prefix.empty())
        prefixes.push_back(prefix);
}

int urlbl_tree_load(const std::string &directory, URLBLCategoryMap *map)
{
    map->clear();
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr) {
        putlog(LOG_URLBLACKLIST, "failed to load URL blacklist from %s", directory.c_str());
        return -1;
    }
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = directory + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        count++;
        URLBLHostMap &hosts = (*map)[name];
        hosts.clear();
        // Domains first, so that a host listed whole takes no prefixes.
        listfile_read(path + "/domains", LOG_URLBLACKLIST,
                      [&hosts](const std::string &line) { urlbl_domain_add(&hosts, line); });
        listfile_read(path + "/urls", LOG_URLBLACKLIST,
                      [&hosts](const std::string &line) { urlbl_url_add(&hosts, line); });
    }
    closedir(dir);
    putlog(LOG_URLBLACKLIST, "loaded %d categories", count);
    return count;
}

const std::string *urlbl_category_match(const URLBLCategoryMap &map,
                                        const std::vector<std::string> &categories,
                                        const char *host, const char *path)
{
    if (map.empty() || host == nullptr || *host == '\0')
        return nullptr;
    // The host's labels, empty ones dropped (a run of dots is one
    // separator), lower-cased.
    std::vector<std::string> labels;
    std::string label;
    for (const char *p = host;; p++) {
        if (*p == '.' || *p == '\0') {
            if (!label.empty())
                labels.push_back(lowered(label));
            label.clear();
            if (*p == '\0')
                break;
        } else {
            label.push_back(*p);
        }
    }
    if (labels.empty())
        return nullptr;
    if (path == nullptr)
        path = "";
    for (const auto &category : map) {
        if (std::find(categories.begin(), categories.end(), category.first) == categories.end())
            continue;
        std::string suffix;
        for (size_t i = labels.size(); i-- > 0;) {
            suffix = suffix.empty() ? labels[i] : labels[i] + "." + suffix;
            auto found = category.second.find(suffix);
            if (found == category.second.end())
                continue;
            if (found->second.empty())
                return &category.first;
            for (const std::string &prefix : found->second)
                if (strncasecmp(path, prefix.c_str(), prefix.size()) == 0)
                    return &category.first;
        }
    }
    return nullptr;
}
