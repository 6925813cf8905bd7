#include "platform/loaded_modules.h"

#include <link.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct Search {
    const std::string* prefix;
    std::string found;
};

int visit(struct dl_phdr_info* info, size_t, void* data) {
    Search* search = static_cast<Search*>(data);
    if (!info->dlpi_name || !*info->dlpi_name) return 0;
    const char* slash = std::strrchr(info->dlpi_name, '/');
    const char* name = slash ? slash + 1 : info->dlpi_name;
    if (std::strncmp(name, search->prefix->c_str(), search->prefix->size()) != 0) return 0;
    search->found = info->dlpi_name;
    return 1;
}

}  // namespace

std::string loadedModulePath(const std::string& namePrefix) {
    Search search{&namePrefix, ""};
    dl_iterate_phdr(visit, &search);
    if (search.found.empty()) return "";
    char resolved[PATH_MAX];
    if (::realpath(search.found.c_str(), resolved)) return resolved;
    return search.found;
}

std::string sharedObjectVersion(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t so = name.find(".so.");
    if (so == std::string::npos) return "";
    const std::string version = name.substr(so + 4);
    if (version.empty() || version.find_first_not_of("0123456789.") != std::string::npos) return "";
    return version;
}

std::string moduleVersionText(const std::string& namePrefix, std::string* path) {
    const std::string found = loadedModulePath(namePrefix);
    if (found.empty()) return "";
    if (path) *path = found;
    return sharedObjectVersion(found);
}
