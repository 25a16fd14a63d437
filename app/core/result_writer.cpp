#include "app/core/result_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tdcyl {
namespace {

std::string Directory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : (slash == 0 ? std::string("/") : path.substr(0, slash));
}

// A uniquely named file beside `path`, removed again unless released.
class TempFile {
public:
    explicit TempFile(const std::string& path) : name_(Directory(path) + "/.reflectance-XXXXXX") {
        fd_ = mkstemp(name_.data());
        if (fd_ < 0)
            throw std::runtime_error("cannot write the result file \"" + path + "\": " + std::strerror(errno));
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

}  // namespace

std::string FormatReal(double x) {
    if (!std::isfinite(x)) throw std::invalid_argument("a result value is not a finite number");
    if (x == 0) x = 0.0;  // -0 is written as 0
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14E", x);  // correctly rounded, d.ddddddddddddddE+XX
    std::string s = buf;
    const auto e = s.find('E');
    const std::string mantissa = s.substr(0, e);
    const char exp_sign = s[e + 1];
    const int exponent = std::atoi(s.c_str() + e + 2);
    char out[32];
    std::snprintf(out, sizeof out, "%s%sE%c%04d", x < 0 ? "" : " ", mantissa.c_str(),
                  exponent == 0 ? '+' : exp_sign, exponent);
    return out;
}

std::string FormatResultLine(double t, double v) { return FormatReal(t) + "   " + FormatReal(v) + "\r\n"; }

void CheckOutputWritable(const std::string& path) { TempFile probe(path); }

void WriteResultFileAtomic(const std::string& path, const std::vector<double>& time_ps,
                           const std::vector<double>& reflectance) {
    std::string text;
    text.reserve(time_ps.size() * 51);
    for (std::size_t i = 0; i < time_ps.size(); ++i) text += FormatResultLine(time_ps[i], reflectance[i]);
    TempFile tmp(path);
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(tmp.fd(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("cannot write the result file \"" + path + "\": " + std::strerror(errno));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fchmod(tmp.fd(), 0644) != 0 || tmp.Close() != 0)
        throw std::runtime_error("cannot write the result file \"" + path + "\": " + std::strerror(errno));
    if (std::rename(tmp.name().c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot replace the result file \"" + path + "\": " + std::strerror(errno));
    tmp.Release();
}

}  // namespace tdcyl
