// newdb.cc - making a database file whole or not at all (NewDb), for load
// and copy: the file is built under a temporary name in the target's
// folder, where a rename can replace the target in one step, and renamed
// only once it is complete and on disk. Until then an interrupt, a failure
// or a full disk costs the temporary file, never the target.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "pmdbtool.h"

namespace pmdbtool {

namespace {

volatile sig_atomic_t stopasked = 0;
const int stopsignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction saved[3];
int installed = 0;

extern "C" void onstop(int) { stopasked = 1; }

void catchsignals() {
    if (installed++ > 0) return;
    stopasked = 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onstop;
    sigemptyset(&sa.sa_mask);
    for (int k = 0; k < 3; k++) sigaction(stopsignals[k], &sa, &saved[k]);
}

void releasesignals() {
    if (installed == 0 || --installed > 0) return;
    for (int k = 0; k < 3; k++) sigaction(stopsignals[k], &saved[k], nullptr);
}

std::string folderof(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseof(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// fsync of a file or folder by name; the errno, 0 when done.
int syncpath(const std::string &path, bool folder) {
    int fd = ::open(path.c_str(), folder ? O_RDONLY | O_DIRECTORY : O_RDONLY);
    if (fd < 0) return errno;
    int e = fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return e;
}

}  // namespace

bool interrupted() { return stopasked != 0; }

NewDb::~NewDb() {
    db_.close();
    if (!temp_.empty()) unlink(temp_.c_str());
    releasesignals();
}

bool NewDb::prepare(const std::string &target, bool force, const std::string &source) {
    target_ = target;
    struct stat st, src;
    if (stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            toolerror(c_, target, sysreason(EISDIR));
            return false;
        }
        if (!source.empty() && stat(source.c_str(), &src) == 0 && src.st_dev == st.st_dev &&
            src.st_ino == st.st_ino) {
            toolerror(c_, target, "is the same file as " + source);
            return false;
        }
        if (!force) {
            toolerror(c_, target, "exists; use --force to replace it");
            return false;
        }
        mode_ = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode_ = 0666 & ~mask;
    }
    catchsignals();
    return true;
}

int NewDb::maketemp() {
    std::string name = folderof(target_) + "/." + baseof(target_) + ".pmdb-XXXXXX";
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0) {
        toolerror(c_, target_, "cannot make a file in " + folderof(target_) + ": " + sysreason(errno));
        return -1;
    }
    temp_ = buf.data();
    return fd;
}

bool NewDb::create(int freq) {
    int fd = maketemp();
    if (fd < 0) return false;
    ::close(fd);
    clearliberrors();
    if (!fscreatedatabase(temp_.c_str(), (short)freq)) {
        liberror(c_, target_, "cannot create the new database");
        return false;
    }
    return db_.open(c_, temp_, false);
}

int NewDb::createfile() { return maketemp(); }

bool NewDb::finish(int fd) {
    int e = 0;
    if (fd >= 0) {
        if (fsync(fd) != 0) e = errno;
        if (::close(fd) != 0 && e == 0) e = errno;
    } else {
        clearliberrors();
        if (!fsunlock(db_.inst(), db_.fs()) || !db_.close()) {
            liberror(c_, target_, "cannot write the new database");
            return false;
        }
        e = syncpath(temp_, false);
    }
    if (e == 0 && chmod(temp_.c_str(), mode_) != 0) e = errno;
    if (e == 0 && rename(temp_.c_str(), target_.c_str()) != 0) e = errno;
    if (e != 0) {
        toolerror(c_, target_, sysreason(e));
        return false;
    }
    temp_.clear();
    // The rename is durable once the folder is on disk too.
    (void)syncpath(folderof(target_), true);
    return true;
}

}  // namespace pmdbtool
