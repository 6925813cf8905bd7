// The file work of applying and rolling back a program update: copying an
// update or backup tree over the installation with every replaced file
// moved aside first, undoing that copy when it fails part-way, and making
// the backup of what an update will replace. Single-threaded; the caller
// makes sure the server has stopped before files are touched.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// A copy that failed part-way and was undone: every file it had replaced is
// back (renamed from its ".old" name) and every file it had added is gone.
// what() names the file and the reason; `undoProblems` lists files that could
// not be put back (each "<path>: <reason>"), empty when the undo was whole.
class ReplaceFailed : public std::runtime_error {
public:
    ReplaceFailed(const std::string& message, std::vector<std::string> undoProblems)
        : std::runtime_error(message), undoProblems_(std::move(undoProblems)) {}
    const std::vector<std::string>& undoProblems() const { return undoProblems_; }

private:
    std::vector<std::string> undoProblems_;
};

struct ReplaceResult {
    int count = 0;                        // files written
    std::vector<std::string> movedAside;  // the ".old" files made, full paths
};

// Copies every file (and symbolic link, as a link) below `sourceTree` to the
// same relative path below `targetRoot`, in sorted path order, leaving out
// the top-level names in `skip`. Before a file is written its existing
// target is renamed to the target's name with ".old" appended (an older
// ".old" file of that name is deleted first; an ".old" that is a folder is
// never deleted, it fails the copy). A replaced program keeps its execute
// permission; a written file gets at most 0755 (no write for group and
// others, no set-id bits). A folder below `targetRoot` on the way to a
// target that is a symbolic link fails the copy (nothing is written through
// it). When any step fails the copy is undone and ReplaceFailed is thrown;
// the ".old" files of a finished copy stay (the last way back: the next copy
// over the same name replaces them, nothing else removes them).
ReplaceResult replaceFiles(const std::string& sourceTree, const std::string& targetRoot,
                           const std::vector<std::string>& skip = {});

// Makes `backupDir` afresh (deleting an old one) and copies into it, from
// `installDir` at the same relative paths when they exist: "brisvanesrv",
// "brisvane", "conf", "mivrel", "work/.runtime.properties", every ".json"
// file below "models", and every installed counterpart of a file of
// `updateTree` (when it is not empty). Symbolic links are copied as links.
// Throws std::filesystem::filesystem_error when the file system refuses.
void backupForRollback(const std::string& installDir, const std::string& backupDir, const std::string& updateTree);
