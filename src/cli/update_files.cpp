#include "cli/update_files.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

constexpr fs::perms kExecuteBits = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
// The most an installed file may allow: no write for group or others, no
// set-id or sticky bit (a world-writable program is anyone's program).
constexpr fs::perms kInstalledMask = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec;

// The first folder between `root` (not included) and `path` (not included)
// that is a symbolic link, or an empty path. Writing through one would put
// the file wherever the link points.
fs::path linkedFolderOnTheWay(const fs::path& root, const fs::path& path) {
    fs::path folder = root;
    const fs::path relative = path.lexically_relative(root);
    for (auto it = relative.begin(); it != relative.end() && std::next(it) != relative.end(); ++it) {
        folder /= *it;
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(folder, ec))) return folder;
    }
    return {};
}

// Files and links below `root`, relative to it, sorted; folders are walked,
// not listed.
std::vector<fs::path> relativeFiles(const fs::path& root) {
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status)) continue;
        files.push_back(it->path().lexically_relative(root));
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool existsNoFollow(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// Copies a file, or a link as a link, replacing nothing: the target must
// not exist.
void copyOne(const fs::path& source, const fs::path& target) {
    if (fs::is_symlink(fs::symlink_status(source))) {
        fs::copy_symlink(source, target);
    } else {
        fs::copy_file(source, target);
    }
}

// What was done to one target, for the undo.
struct Step {
    fs::path target;
    fs::path aside;  // empty when nothing was moved aside
    bool written = false;
};

std::vector<std::string> undo(const std::vector<Step>& steps) {
    std::vector<std::string> problems;
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        std::error_code ec;
        // The new file, whole or partly written, goes; the moved-aside one
        // comes back under its name.
        if (step->written && existsNoFollow(step->target)) fs::remove(step->target, ec);
        if (!ec && !step->aside.empty()) fs::rename(step->aside, step->target, ec);
        if (ec) problems.push_back(step->target.string() + ": " + ec.message());
    }
    return problems;
}

// Copies one item (file, link or folder) from `from` to `to`, making parents.
void copyItem(const fs::path& from, const fs::path& to) {
    if (!existsNoFollow(from)) return;
    fs::create_directories(to.parent_path());
    const fs::file_status status = fs::symlink_status(from);
    if (fs::is_directory(status)) {
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing |
                               fs::copy_options::copy_symlinks);
    } else {
        if (existsNoFollow(to)) fs::remove(to);
        copyOne(from, to);
    }
}

}  // namespace

ReplaceResult replaceFiles(const std::string& sourceTree, const std::string& targetRoot,
                           const std::vector<std::string>& skip) {
    const fs::path target = fs::path(targetRoot);
    ReplaceResult result;
    std::vector<Step> steps;
    fs::path current;
    const auto fail = [&](const std::string& reason) {
        throw ReplaceFailed("cannot replace " + current.string() + ": " + reason, undo(steps));
    };
    try {
        const fs::path source = fs::canonical(sourceTree);
        for (const fs::path& relative : relativeFiles(source)) {
            if (std::find(skip.begin(), skip.end(), relative.string()) != skip.end()) continue;
            current = target / relative;
            Step step{current, {}, false};
            const fs::path linked = linkedFolderOnTheWay(target, current);
            if (!linked.empty()) throw std::runtime_error("the folder " + linked.string() + " is a symbolic link");
            fs::create_directories(current.parent_path());
            fs::perms keptExecute = fs::perms::none;
            if (existsNoFollow(current)) {
                const fs::path aside = current.string() + ".old";
                if (existsNoFollow(aside)) fs::remove(aside);  // refuses a non-empty folder
                const fs::file_status old = fs::symlink_status(current);
                if (fs::is_regular_file(old)) keptExecute = old.permissions() & kExecuteBits;
                fs::rename(current, aside);
                step.aside = aside;
            }
            step.written = true;  // from here on the target may hold new bytes
            steps.push_back(step);
            copyOne(source / relative, current);
            const fs::file_status written = fs::symlink_status(current);
            if (fs::is_regular_file(written)) {
                fs::permissions(current, (written.permissions() | keptExecute) & kInstalledMask,
                                fs::perm_options::replace);
            }
            if (!step.aside.empty()) result.movedAside.push_back(step.aside.string());
            ++result.count;
        }
    } catch (const fs::filesystem_error& e) {
        fail(e.code().message());
    } catch (const std::exception& e) {
        fail(e.what());
    }
    return result;
}

void backupForRollback(const std::string& installDir, const std::string& backupDir, const std::string& updateTree) {
    const fs::path install(installDir);
    const fs::path backup(backupDir);
    if (existsNoFollow(backup)) fs::remove_all(backup);
    fs::create_directories(backup);

    for (const char* item : {"brisvanesrv", "brisvane", "conf", "mivrel", "work/.runtime.properties"}) {
        copyItem(install / item, backup / item);
    }
    const fs::path models = install / "models";
    if (fs::is_directory(models)) {
        for (fs::recursive_directory_iterator it(models), end; it != end; ++it) {
            if (it->is_directory() || it->path().extension() != ".json") continue;
            copyItem(it->path(), backup / "models" / it->path().lexically_relative(models));
        }
    }
    if (!updateTree.empty() && fs::exists(updateTree)) {
        const fs::path tree = fs::canonical(updateTree);
        for (const fs::path& relative : relativeFiles(tree)) copyItem(install / relative, backup / relative);
    }
}
