#include "cli/serv_conf.h"

#include <stdexcept>

#include "base/conf_text.h"
#include "base/text_util.h"
#include "platform/file_io.h"

namespace {

// The whole file, or false when it is not a readable regular file (a folder
// named like the file reads as missing).
bool readWholeFile(const std::string& path, std::string* text) {
    FILE* file = openRegularFileStream(path);
    if (!file) return false;
    char chunk[8192];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, n);
    std::fclose(file);
    return true;
}

}  // namespace

std::map<std::string, std::string> loadServConf(const std::string& confPath) {
    std::string text;
    if (!readWholeFile(confPath, &text)) return {};
    return parseConfText(text);
}

std::string readAppVersion(const std::string& dir) {
    std::string text;
    if (!readWholeFile(dir + "/work/.runtime.properties", &text)) return {};
    // The first APP_VERSION line counts.
    std::string version;
    forEachConfEntry(text, [&](const std::string& key, const std::string& value) {
        if (key != "APP_VERSION") return true;
        version = value;
        return false;
    });
    return version;
}

ServerAddress serverAddress(const std::string& confPath) {
    const std::map<std::string, std::string> conf = loadServConf(confPath);
    ServerAddress address;
    if (const auto ip = conf.find("SERV_IP"); ip != conf.end()) address.host = ip->second;
    if (const auto port = conf.find("SERV_PORT"); port != conf.end()) {
        long long value = 0;
        bool outOfRange = false;
        try {
            value = leadingInteger(port->second, &outOfRange);
        } catch (const std::invalid_argument&) {
            outOfRange = true;
        }
        if (outOfRange || value < 1 || value > 65535)
            throw std::runtime_error("SERV_PORT in " + confPath + " is not a port number (1..65535): \"" +
                                     port->second + "\"");
        address.port = static_cast<int>(value);
    }
    return address;
}
