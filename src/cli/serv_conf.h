// The server's files as the tool reads them: the configuration file and the
// program version the server last recorded. Read-only; never changes a file.
#pragma once

#include <map>
#include <string>

// The keys and values of the configuration file at `confPath` (the server's
// syntax, base/conf_text.h); empty when the file cannot be opened.
std::map<std::string, std::string> loadServConf(const std::string& confPath);

// APP_VERSION from `dir`/work/.runtime.properties: the first line whose key
// is exactly APP_VERSION wins; "" when the file or the key is missing.
std::string readAppVersion(const std::string& dir);

// Where the server listens, as the configuration names it.
struct ServerAddress {
    std::string host = "127.0.0.1";  // SERV_IP as written, even when empty
    int port = 4092;
};

// SERV_IP and SERV_PORT from the configuration at `confPath`, with the
// defaults above for absent keys. Throws std::runtime_error when SERV_PORT
// holds no number or one outside 1..65535: a port is never guessed.
ServerAddress serverAddress(const std::string& confPath);
