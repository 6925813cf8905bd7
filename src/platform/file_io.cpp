#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

bool fail(std::string* error, const std::string& what, const std::string& path) {
    if (error) *error = what + " " + path + ": " + std::strerror(errno);
    return false;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int openFileCloexec(const std::string& path, int flags, int mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

FILE* openStreamCloexec(const std::string& path, const char* mode) {
    std::string withCloexec(mode);
    if (withCloexec.find('e') == std::string::npos) withCloexec.push_back('e');
    return std::fopen(path.c_str(), withCloexec.c_str());
}

FILE* openRegularFileStream(const std::string& path) {
    // Non-blocking so that opening a FIFO without a writer returns at once.
    const int fd = openFileCloexec(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* stream = ::fdopen(fd, "rb");
    if (!stream) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return stream;
}

std::string parentDirectory(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool fsyncDirectory(const std::string& dir) {
    const int fd = openFileCloexec(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

bool replaceFileDurably(const std::string& path, const std::string& content, std::string* error,
                        const DurableReplaceStepObserver& onStep) {
    const auto step = [&onStep](int n) {
        if (onStep) onStep(n);
    };
    // A unique temporary name per call keeps concurrent writers of one path
    // from sharing a temporary file; the last rename wins as a whole.
    static std::atomic<unsigned> counter{0};
    const std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1));
    const int fd = openFileCloexec(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return fail(error, "cannot create", temp);

    if (!writeAll(fd, content.data(), content.size())) {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return fail(error, "cannot write", temp);
    }
    step(1);
    if (::fsync(fd) != 0) {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return fail(error, "cannot sync", temp);
    }
    ::close(fd);
    step(2);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail(error, "cannot rename onto", path);
    }
    step(3);
    if (!fsyncDirectory(parentDirectory(path))) return fail(error, "cannot sync folder of", path);
    step(4);
    return true;
}
