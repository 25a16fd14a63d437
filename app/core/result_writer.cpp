#include "app/core/result_writer.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "app/core/messages.hpp"

namespace tdcyl {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error(what + " " + QuotePath(path) + ": " + std::strerror(error));
}

std::string Directory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : (slash == 0 ? std::string("/") : path.substr(0, slash));
}

// Follows symbolic links to the name that is really written; the final name
// may not exist yet (a link to a file still to be created).
std::string FollowLinks(const std::string& path) {
    std::string p = path;
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        if (hops == 40) Fail("cannot write the result file", path, ELOOP);
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
        if (n < 0) Fail("cannot follow the link", p, errno);
        target.resize(static_cast<std::size_t>(n));
        p = target.front() == '/' ? target : Directory(p) + "/" + target;
    }
}

// A uniquely named file beside `path`, removed again unless released.
class TempFile {
public:
    explicit TempFile(const std::string& path) : name_(Directory(path) + "/.reflectance-XXXXXX") {
        fd_ = mkstemp(name_.data());
        if (fd_ < 0) Fail("cannot create files in the directory", Directory(path), errno);
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!released_) ::unlink(name_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    int Close() {
        int r = ::close(fd_);
        fd_ = -1;
        return r;
    }
    void Release() { released_ = true; }

private:
    std::string name_;
    int fd_ = -1;
    bool released_ = false;
};

// Holds back the signals that end a program from the terminal or a service
// manager while a temporary file exists; a pending one is delivered when the
// guard ends, after the file has been renamed or removed.
class HoldTerminationSignals {
public:
    HoldTerminationSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~HoldTerminationSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    HoldTerminationSignals(const HoldTerminationSignals&) = delete;
    HoldTerminationSignals& operator=(const HoldTerminationSignals&) = delete;

private:
    sigset_t old_;
};

void WriteAll(int fd, const std::string& text, const std::string& path) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("cannot write the result file", path, errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string FormatReal(double x) {
    if (!std::isfinite(x)) throw std::invalid_argument("a result value is not a finite number");
    if (x == 0) x = 0.0;  // -0 is written as 0
    // to_chars rounds correctly like printf but never consults the locale, so
    // the decimal point stays a point under any LC_NUMERIC.
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 14);  // d.ddd...e+XX
    const std::string s(buf, r.ptr);
    const auto e = s.find('e');
    const bool negative = x < 0;
    const std::string mantissa = s.substr(negative ? 1 : 0, e - (negative ? 1 : 0));
    const char exp_sign = s[e + 1];
    const int exponent = std::atoi(s.c_str() + e + 2);
    char out[32];
    std::snprintf(out, sizeof out, "%c%sE%c%04d", negative ? '-' : ' ', mantissa.c_str(),
                  exponent == 0 ? '+' : exp_sign, exponent);
    return out;
}

std::string FormatResultLine(double t, double v) { return FormatReal(t) + "   " + FormatReal(v) + "\r\n"; }

void CheckOutputWritable(const std::string& path) {
    if (path.empty()) throw std::runtime_error("no result file name given");
    if (path.size() >= PATH_MAX)
        throw std::runtime_error("the result file name is too long (" + std::to_string(path.size()) +
                                 " characters; at most " + std::to_string(PATH_MAX - 1) + ")");
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end - start > NAME_MAX)
            throw std::runtime_error("the result file name " + QuotePath(path) + " is too long: a part of it has " +
                                     std::to_string(end - start) + " characters, at most " +
                                     std::to_string(NAME_MAX) + " are allowed");
        start = end + 1;
    }
    if (path.back() == '/') throw std::runtime_error("the result file name " + QuotePath(path) + " names a directory");
    const std::string target = FollowLinks(path);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw std::runtime_error("the result file " + QuotePath(path) + " is a directory");
        if (!S_ISREG(st.st_mode)) {
            // Written straight through: it only has to accept writing.
            if (::access(target.c_str(), W_OK) != 0) Fail("cannot write the result file", path, errno);
            return;
        }
        // Mode bits, not access(): root may write anything, but a read-only
        // result file says "keep me".
        if ((st.st_mode & 0222) == 0)
            throw std::runtime_error("the result file " + QuotePath(path) +
                                     " is read-only; make it writable or choose another result file");
        if (::access(target.c_str(), W_OK) != 0) Fail("cannot write the result file", path, errno);
    } else if (errno != ENOENT) {
        Fail("cannot write the result file", path, errno);
    }
    const std::string dir = Directory(target);
    if (::stat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) throw std::runtime_error("the directory " + QuotePath(dir) + " of the result file does not exist");
        Fail("cannot use the directory", dir, errno);
    }
    if (!S_ISDIR(st.st_mode)) throw std::runtime_error(QuotePath(dir) + " in the result file name is not a directory");
    TempFile probe(target);  // the directory accepts new files (names it if not)
}

void CheckDistinctFiles(const std::string& input_path, const std::string& output_path) {
    struct stat in, out;
    if (::stat(input_path.c_str(), &in) != 0 || ::stat(output_path.c_str(), &out) != 0) return;
    if (in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        throw std::runtime_error("the result file " + QuotePath(output_path) + " is the input file " + QuotePath(input_path) +
                                 "; writing it would destroy the parameters, choose another result file");
}

void WriteResultFileAtomic(const std::string& path, const std::vector<double>& time_ps,
                           const std::vector<double>& reflectance) {
    std::string text;
    text.reserve(time_ps.size() * 51);
    for (std::size_t i = 0; i < time_ps.size(); ++i) text += FormatResultLine(time_ps[i], reflectance[i]);

    const std::string target = FollowLinks(path);
    struct stat st;
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) throw std::runtime_error("the result file " + QuotePath(path) + " is a directory");
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, FIFO or terminal is the destination itself: replacing
        // it by a regular file would break it.
        const int fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) Fail("cannot open the result file", path, errno);
        try {
            WriteAll(fd, text, path);
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (::close(fd) != 0) Fail("cannot write the result file", path, errno);
        return;
    }
    HoldTerminationSignals hold;  // outlives the temporary file
    TempFile tmp(target);
    WriteAll(tmp.fd(), text, path);
    if (exists) {
        // The result keeps the owner and the mode of the file it replaces (a
        // private 0600 file stays private). A foreign owner can be kept only
        // by root; otherwise the file becomes the writer's, as on any rewrite.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
            [[maybe_unused]] const int kept = ::fchown(tmp.fd(), st.st_uid, st.st_gid);
        }
        if (::fchmod(tmp.fd(), st.st_mode & 07777) != 0) Fail("cannot write the result file", path, errno);
    } else if (::fchmod(tmp.fd(), 0644) != 0) {
        Fail("cannot write the result file", path, errno);
    }
    if (tmp.Close() != 0) Fail("cannot write the result file", path, errno);
    if (std::rename(tmp.name().c_str(), target.c_str()) != 0) Fail("cannot replace the result file", path, errno);
    tmp.Release();
}

}  // namespace tdcyl
