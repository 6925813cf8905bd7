// A fresh folder under the system's temporary area, removed with everything
// in it when the object goes away.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `content` to `path`, creating or truncating it; fails the test on error.
void writeTextFile(const std::string& path, const std::string& content);
// The whole content of `path`, or "" when it cannot be read.
std::string readTextFile(const std::string& path);
