#include "config/runtime_properties.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "base/text_util.h"
#include "base/version.h"
#include "platform/file_io.h"

namespace runtimeprops {
std::string appId;
std::string createdAt;
std::string brisvaneIdRegistration;
std::string brisvaneIdRelay;
std::string apiBase;
std::string apiKey;
std::string token;
std::atomic<bool> brisvaneExport{false};
std::string rtsHost;
std::string firstAuthAt;
int expiresDays = 0;
std::string appVersion;
std::string appUpdatedAt;
}  // namespace runtimeprops

namespace {

namespace rp = runtimeprops;

// Orders every read-modify-write of the file and every access to the
// globals; the public functions take it, the *Locked helpers expect it held.
std::mutex gMutex;
std::string gPath = "work/.runtime.properties";
DurableReplaceStepObserver gWriteSteps;

constexpr size_t kCreatedKeyWidth = 17;
constexpr size_t kUpdatedKeyColumn = 20;

// C0 controls and DEL: bytes no value written to the file may hold.
bool hasControlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

// C0 controls but the tab a hand-edited line may hold: a line with one of
// them (a NUL above all) is damaged, not text, and reading skips it.
bool hasUnreadableByte(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t') return true;
    }
    return false;
}

enum class ReadStatus { kOk, kMissing, kFailed };

// Reads the whole file; tells a missing file apart from one that exists but
// cannot be read, which writers must never replace.
ReadStatus readFileStatus(const std::string& path, std::string* content, std::string* error) {
    FILE* file = openStreamCloexec(path, "rb");
    if (!file) {
        const int err = errno;
        if (error) *error = std::strerror(err);
        return err == ENOENT ? ReadStatus::kMissing : ReadStatus::kFailed;
    }
    std::string data;
    char chunk[8192];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) data.append(chunk, n);
    const bool failed = std::ferror(file) != 0;
    const int err = errno;
    std::fclose(file);
    if (failed) {
        if (error) *error = std::strerror(err);
        return ReadStatus::kFailed;
    }
    *content = std::move(data);
    return ReadStatus::kOk;
}

std::string writeError() { return "Cannot write runtime properties: " + gPath; }

void writeFileLocked(const std::string& content) {
    std::string detail;
    if (!replaceFileDurably(gPath, content, &detail, gWriteSteps)) {
        logMessage(1, "[props] %s", detail.c_str());
        throw std::runtime_error(writeError());
    }
}

std::string paddedLine(const std::string& key, size_t column, const std::string& value) {
    const size_t blanks = key.size() < column ? column - key.size() : 1;
    return key + std::string(blanks, ' ') + "= " + value;
}

// The leading-integer rule of a decimal int conversion: blanks, an optional
// sign, digits, the rest ignored. Throws without digits or out of int range.
int parseLeadingInt(const std::string& text) { return std::stoi(text, nullptr, 10); }

std::string valueOr(const std::map<std::string, std::string>& map, const char* key) {
    const auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

// Logs the lines a read skipped; the keys of every other line still load.
void logUnreadableLines(const std::vector<size_t>& lines) {
    for (const size_t line : lines) {
        logMessage(2, "[props] %s line %zu holds control characters and is skipped", gPath.c_str(), line);
    }
}

void loadLocked() {
    try {
        std::vector<size_t> unreadable;
        const auto values = parsePropertiesText(readWholeFile(gPath), &unreadable);
        logUnreadableLines(unreadable);
        rp::appId = valueOr(values, "APP_ID");
        rp::createdAt = valueOr(values, "CREATED_AT");
        rp::brisvaneIdRegistration = valueOr(values, "BRISVANE_ID");
        rp::apiBase = valueOr(values, "API_BASE");
        rp::firstAuthAt = valueOr(values, "FIRST_AUTH_AT");
        const std::string days = valueOr(values, "EXPIRES_DAYS");
        rp::expiresDays = 0;
        try {
            if (!days.empty()) rp::expiresDays = parseLeadingInt(days);
        } catch (const std::exception&) {
            // One bad value must not leave the keys after it unloaded.
            logMessage(2, "[props] EXPIRES_DAYS is not a number, skipped: %s", days.c_str());
        }
        rp::brisvaneIdRelay = valueOr(values, "BRISVANE_ID");
        rp::apiKey = valueOr(values, "BRISVANE_API_KEY");
        rp::token = valueOr(values, "BRISVANE_TOKEN");
        const std::string exported = valueOr(values, "BRISVANE_EXPORT");
        rp::brisvaneExport = exported == "true" || exported == "1";
        const std::string rts = valueOr(values, "RTS_HOST");
        if (!rts.empty()) rp::rtsHost = rts;
        rp::appVersion = valueOr(values, "APP_VERSION");
        rp::appUpdatedAt = valueOr(values, "APP_UPDATED_AT");
        logMessage(4, "[props] loaded: APP_ID=%s BRISVANE_ID=%s EXPORT=%s RTS_HOST=%s", rp::appId.c_str(),
                   rp::brisvaneIdRegistration.c_str(), rp::brisvaneExport ? "true" : "false",
                   rp::rtsHost.c_str());
    } catch (const std::exception& e) {
        logMessage(2, "[props] failed to load .runtime.properties: %s", e.what());
    }
}

void validateEntry(const std::string& key, const std::string& value) {
    if (!isValidRuntimePropertyKey(key)) {
        throw std::invalid_argument("invalid runtime property key: \"" + key.substr(0, kMaxRuntimePropertyKeyLength) +
                                    "\"");
    }
    const std::string problem = runtimePropertyValueProblem(value);
    if (!problem.empty()) {
        throw std::invalid_argument("invalid runtime property value: \"" + key + "\" " + problem);
    }
}

// Lines as getline sees them: a final "\n" ends the last line, it does not
// start an empty one.
std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string keyLine(const std::string& key, const std::string& value) {
    return paddedLine(key, kUpdatedKeyColumn, value) + "\n";
}

// The text after writing every key of `values`, built in one pass: the same
// result as handling the keys one by one in ascending order (matching lines
// rewritten, every line then ending in "\n"; keys without a line appended in
// key order), without rescanning the text for each key.
std::string applyUpdates(const std::string& content, const std::map<std::string, std::string>& values) {
    std::set<std::string> matched;
    std::string rewritten;
    rewritten.reserve(content.size() + 64);
    for (const std::string& line : splitLines(content)) {
        const size_t eq = line.find('=');
        const auto it = eq == std::string::npos ? values.end() : values.find(trimWhitespace(line.substr(0, eq)));
        if (it != values.end()) {
            rewritten += keyLine(it->first, it->second);
            matched.insert(it->first);
        } else {
            rewritten += line;
            rewritten += '\n';
        }
    }
    std::string result = matched.empty() ? content : std::move(rewritten);
    for (const auto& [key, value] : values) {
        if (matched.count(key)) continue;
        if (!result.empty() && result.back() != '\n') result += '\n';
        result += keyLine(key, value);
    }
    return result;
}

void updateLocked(const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values) validateEntry(key, value);
    std::string content;
    std::string error;
    if (readFileStatus(gPath, &content, &error) == ReadStatus::kFailed) {
        logMessage(1, "[props] cannot read %s: %s", gPath.c_str(), error.c_str());
        throw std::runtime_error("Cannot read runtime properties: " + gPath);
    }
    std::string updated = applyUpdates(content, values);
    // A file already past the bound (edited by hand) may still shrink or
    // keep its size, so that the credentials can always be rewritten.
    if (updated.size() > kMaxRuntimePropertiesFileSize && updated.size() > content.size()) {
        throw std::length_error("the runtime state file may hold at most " +
                                std::to_string(kMaxRuntimePropertiesFileSize) + " bytes");
    }
    writeFileLocked(updated);
}

void createLocked(const std::string& appId, const std::string& createdAt) {
    validateEntry("APP_ID", appId);
    validateEntry("CREATED_AT", createdAt);
    std::string content;
    content += "# Brisvane runtime state file\n";
    content += "# Auto-generated on first startup \xE2\x80\x94 edit with caution\n";
    content += "\n";
    content += paddedLine("APP_ID", kCreatedKeyWidth, appId) + "\n";
    content += paddedLine("CREATED_AT", kCreatedKeyWidth, createdAt) + "\n";
    content += paddedLine("BRISVANE_EXPORT", kCreatedKeyWidth, "false") + "\n";
    writeFileLocked(content);
    logMessage(4, "[props] .runtime.properties created: APP_ID=%s", appId.c_str());
}

void stampLocked() {
    if (rp::appVersion == kAppVersion) return;
    updateLocked({{"APP_UPDATED_AT", utcNowIso()}, {"APP_VERSION", kAppVersion}});
    loadLocked();
    logMessage(4, "[props] APP_VERSION updated: %s", kAppVersion);
}

// The desktop build shows these in a message box captioned
// "Quendral Startup Error"; this build has no window, so they go to the log.
void reportStartupError(const char* text) { logMessage(1, "[firstStartup] Quendral Startup Error: %s", text); }

// Makes a new identity and file. False after reporting the failure.
bool createFreshLocked() {
    const std::string folder = parentDirectory(gPath);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        logMessage(1, "[firstStartup] failed to create work directory: %s", ec.message().c_str());
        reportStartupError("Failed to create working directory.\nPlease check permissions and try again.");
        return false;
    }
    try {
        const std::string id = makeInstallationId();
        createLocked(id, utcNowIso());
        loadLocked();
        stampLocked();
        logMessage(4, "[firstStartup] completed: APP_ID=%s", id.c_str());
        return true;
    } catch (const std::exception& e) {
        logMessage(1, "[firstStartup] failed to write properties file: %s", e.what());
        reportStartupError("Failed to write properties file.\nPlease check disk space and permissions.");
        return false;
    }
}

// Adds a new APP_ID (and CREATED_AT when the file has none) to a file that
// holds other keys. False after reporting the failure.
bool addIdentityLocked(const std::map<std::string, std::string>& values) {
    std::map<std::string, std::string> added{{"APP_ID", makeInstallationId()}};
    if (valueOr(values, "CREATED_AT").empty()) added["CREATED_AT"] = utcNowIso();
    try {
        updateLocked(added);
        logMessage(4, "[firstStartup] APP_ID added: %s", added["APP_ID"].c_str());
        return true;
    } catch (const std::exception& e) {
        logMessage(1, "[firstStartup] failed to write properties file: %s", e.what());
        reportStartupError("Failed to write properties file.\nPlease check disk space and permissions.");
        return false;
    }
}

}  // namespace

RuntimePropertiesSnapshot runtimePropertiesSnapshot() {
    std::lock_guard<std::mutex> lock(gMutex);
    RuntimePropertiesSnapshot s;
    s.appId = rp::appId;
    s.createdAt = rp::createdAt;
    s.brisvaneIdRegistration = rp::brisvaneIdRegistration;
    s.brisvaneIdRelay = rp::brisvaneIdRelay;
    s.apiBase = rp::apiBase;
    s.apiKey = rp::apiKey;
    s.token = rp::token;
    s.brisvaneExport = rp::brisvaneExport;
    s.rtsHost = rp::rtsHost;
    s.firstAuthAt = rp::firstAuthAt;
    s.expiresDays = rp::expiresDays;
    s.appVersion = rp::appVersion;
    s.appUpdatedAt = rp::appUpdatedAt;
    return s;
}

std::string runtimePropertiesPath() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gPath;
}

void setRuntimePropertiesPathForTesting(const std::string& path, DurableReplaceStepObserver onWriteStep) {
    std::lock_guard<std::mutex> lock(gMutex);
    gPath = path;
    gWriteSteps = std::move(onWriteStep);
}

void clearRuntimePropertiesForTesting() {
    std::lock_guard<std::mutex> lock(gMutex);
    for (std::string* s : {&rp::appId, &rp::createdAt, &rp::brisvaneIdRegistration, &rp::brisvaneIdRelay,
                           &rp::apiBase, &rp::apiKey, &rp::token, &rp::rtsHost, &rp::firstAuthAt,
                           &rp::appVersion, &rp::appUpdatedAt}) {
        s->clear();
    }
    rp::brisvaneExport = false;
    rp::expiresDays = 0;
}

bool firstStartup() {
    std::lock_guard<std::mutex> lock(gMutex);
    const std::string folder = parentDirectory(gPath);
    // The throwing forms: a file system that cannot answer must not be taken
    // for a missing file, which would mean a new identity.
    bool present = false;
    try {
        present = std::filesystem::exists(folder) && std::filesystem::exists(gPath);
    } catch (const std::filesystem::filesystem_error& e) {
        logMessage(1, "[firstStartup] cannot tell whether %s exists: %s; it is left as it is", gPath.c_str(),
                   e.what());
        reportStartupError("Failed to read properties file.\nPlease check the file and its permissions.");
        return false;
    }
    if (!present) {
        logMessage(4, "[firstStartup] .runtime.properties not found -> running firstStartup");
        return createFreshLocked();
    }

    std::string content;
    std::string error;
    const ReadStatus status = readFileStatus(gPath, &content, &error);
    if (status == ReadStatus::kMissing) {
        logMessage(4, "[firstStartup] .runtime.properties not found -> running firstStartup");
        return createFreshLocked();
    }
    // An existing file that cannot be read may still carry the installation
    // id and the registration: keep it for the user to repair instead of
    // replacing the identity.
    if (status == ReadStatus::kFailed) {
        logMessage(1, "[firstStartup] cannot read %s: %s", gPath.c_str(), error.c_str());
        reportStartupError("Failed to read properties file.\nPlease check the file and its permissions.");
        return false;
    }
    std::vector<size_t> unreadable;
    const auto values = parsePropertiesText(content, &unreadable);
    // Damaged lines are skipped and the others load; but a damaged file is
    // never replaced, nor given a new identity, since the id may stand on a
    // line that cannot be read.
    const bool damaged = !unreadable.empty() || content.find('\0') != std::string::npos;
    if (values.empty() && !damaged) {
        logMessage(4, "[firstStartup] .runtime.properties has no keys -> running firstStartup");
        return createFreshLocked();
    }
    const auto it = values.find("APP_ID");
    if (it == values.end() || it->second.empty()) {
        if (damaged) {
            logMessage(1, "[firstStartup] %s has no readable APP_ID and damaged lines; it is left as it is",
                       gPath.c_str());
            reportStartupError("Failed to read properties file.\nPlease check the file and its permissions.");
            loadLocked();
            return false;
        }
        // The registration, keys and export flag beside it stay: only the
        // missing identity is made.
        logMessage(2, "[firstStartup] APP_ID missing -> adding a new one, other keys kept");
        if (!addIdentityLocked(values)) return false;
    }
    loadLocked();
    try {
        stampLocked();
    } catch (const std::exception& e) {
        // The file keeps its older stamp and every value was loaded: start-up
        // goes on, and the log says what failed (a full disk, say).
        logMessage(1, "[firstStartup] failed to stamp the program version: %s", e.what());
        reportStartupError("Failed to write properties file.\nPlease check disk space and permissions.");
        return false;
    }
    return true;
}

void loadRuntimeProperties() {
    std::lock_guard<std::mutex> lock(gMutex);
    loadLocked();
}

void updateRuntimeProperties(const std::map<std::string, std::string>& values) {
    std::lock_guard<std::mutex> lock(gMutex);
    updateLocked(values);
}

void patchRuntimeProperties(const std::map<std::string, std::string>& values) {
    std::lock_guard<std::mutex> lock(gMutex);
    updateLocked(values);
    for (const auto& [key, value] : values) {
        if (key == "BRISVANE_ID") rp::brisvaneIdRegistration = value;
        else if (key == "API_BASE") rp::apiBase = value;
        else if (key == "BRISVANE_API_KEY") rp::apiKey = value;
        else if (key == "BRISVANE_TOKEN") rp::token = value;
        else if (key == "RTS_HOST") rp::rtsHost = value;
        else if (key == "BRISVANE_EXPORT") rp::brisvaneExport = value == "true" || value == "1";
    }
}

void createRuntimeProperties(const std::string& appId, const std::string& createdAt) {
    std::lock_guard<std::mutex> lock(gMutex);
    createLocked(appId, createdAt);
}

bool resetRuntimeProperties() {
    std::lock_guard<std::mutex> lock(gMutex);
    std::string id = rp::appId;
    if (id.empty()) {
        std::string content;
        if (readFileStatus(gPath, &content, nullptr) == ReadStatus::kOk) {
            id = valueOr(parsePropertiesText(content), "APP_ID");
        }
    }
    if (id.empty()) {
        logMessage(2, "[reset] APP_ID missing -> nothing to reset");
        return true;
    }
    try {
        createLocked(id, utcNowIso());
        loadLocked();
        logMessage(4, "[reset] .runtime.properties reset (APP_ID=%s kept)", id.c_str());
        return true;
    } catch (const std::exception& e) {
        logMessage(1, "[reset] failed to reset properties file: %s", e.what());
        return false;
    }
}

bool setExportFlag(bool enabled) {
    std::lock_guard<std::mutex> lock(gMutex);
    const char* text = enabled ? "true" : "false";
    try {
        updateLocked({{"BRISVANE_EXPORT", text}});
    } catch (const std::exception& e) {
        logMessage(1, "[props] BRISVANE_EXPORT 저장 실패: %s", e.what());
        return false;
    }
    rp::brisvaneExport = enabled;
    logMessage(4, "[props] BRISVANE_EXPORT=%s 저장 완료", text);
    return true;
}

void stampAppVersion() {
    std::lock_guard<std::mutex> lock(gMutex);
    stampLocked();
}

std::map<std::string, std::string> parsePropertiesText(const std::string& text,
                                                       std::vector<size_t>* unreadableLines) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = trimWhitespace(line.substr(0, eq));
        if (key.empty()) continue;
        std::string value = trimWhitespace(line.substr(eq + 1));
        if (hasUnreadableByte(key) || hasUnreadableByte(value)) {
            if (unreadableLines) unreadableLines->push_back(number);
            continue;
        }
        values[std::move(key)] = std::move(value);
    }
    return values;
}

std::string readWholeFile(const std::string& path) {
    std::string content;
    if (readFileStatus(path, &content, nullptr) != ReadStatus::kOk) {
        throw std::runtime_error("Cannot open file: " + path);
    }
    return content;
}

std::string utcNowIso() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

bool isValidRuntimePropertyKey(const std::string& key) {
    if (key.empty() || key.size() > kMaxRuntimePropertyKeyLength) return false;
    for (const char c : key) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

std::string runtimePropertyValueProblem(const std::string& value) {
    if (value.size() > kMaxRuntimePropertyValueLength) {
        return "must be at most " + std::to_string(kMaxRuntimePropertyValueLength) + " bytes";
    }
    if (value.find_first_of("\r\n") != std::string::npos) return "must not hold a line break";
    if (hasControlCharacter(value)) return "must not hold control characters";
    if (value.find('#') != std::string::npos) return "must not hold \"#\", which starts a comment in the file";
    if (!value.empty() && (value.front() == ' ' || value.back() == ' ')) return "must not begin or end with a blank";
    return {};
}

bool isValidRuntimePropertyValue(const std::string& value) { return runtimePropertyValueProblem(value).empty(); }

std::string makeInstallationId() {
    std::random_device device;
    std::mt19937_64 engine(static_cast<uint32_t>(device()));
    std::uniform_int_distribution<uint32_t> draw(0, 0xFFFFFFFFu);
    uint32_t v[6];
    for (uint32_t& value : v) value = draw(engine);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%08x-%04x-%04x-%04x-%08x%04x", v[0], v[1] & 0xFFFFu,
                  (v[2] & 0x0FFFu) | 0x4000u, (v[3] & 0x3FFFu) | 0x8000u, v[4], v[5] & 0xFFFFu);
    return buffer;
}
