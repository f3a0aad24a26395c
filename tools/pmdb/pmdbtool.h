// pmdbtool.h - what the files of the pmdb command-line tool share: the
// output context, the commands, option parsing, error reporting and the
// progress line.
//
// The tool is a plain C++ program over the static library. Its entry point
// is pmdbmain(), which writes only to the two streams it is given, so tests
// run every command in-process and read what it printed.
//
// Exit status of every command: 0 done, 1 the command ran and failed (or,
// for check, found problems; for dump --salvage, skipped something), 2 bad
// usage or a file that cannot be read as a database.
//
// Every error is one line on the error stream, "pmdb CMD: FILE: what is
// wrong" (FILE left out where no file is at fault), with the system's
// reason where the system refused; errors of the library add its error
// numbers and their meanings on indented lines below.
#ifndef PMDB_TOOL_PMDBTOOL_H
#define PMDB_TOOL_PMDBTOOL_H

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "pmdblib.h"

namespace pmdbtool {

#ifndef PMDB_VERSION
#define PMDB_VERSION "unknown"
#endif
constexpr const char VERSION[] = PMDB_VERSION;

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

struct Ctx {
    FILE *out;
    FILE *err;
    std::string cmd;  // the command running, for the error lines
};

// The tool's entry point: argv[0] is the program name.
int pmdbmain(int argc, char **argv, FILE *out, FILE *err);

// ---- command line ------------------------------------------------------

// The arguments of one command after its name: positional words and
// --name / --name=value / --name value options. A value is taken from the
// next word only for options the command declares as taking one.
struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;  // name without "--"
    bool help = false;

    bool has(const std::string &name) const;
    // The value of the option, or def when absent.
    std::string get(const std::string &name, const std::string &def = "") const;
    // Every value of an option that may be given more than once.
    std::vector<std::string> getall(const std::string &name) const;
};

// Splits argv; flags take no value, valued options take one. Unknown
// options and missing values print a usage error and return false.
bool parseargs(Ctx &c, const char *cmd, int argc, char **argv,
               const std::vector<std::string> &flags,
               const std::vector<std::string> &valued, Args *a);
// Reads a whole unsigned number (decimal, or hex with 0x); false if not.
bool parseuint(const std::string &s, uint64_t max, uint64_t *v);

// Prints "pmdb CMD: TEXT" and the command's usage line; returns EXIT_USAGE.
int usage(Ctx &c, const char *cmd, const std::string &text);

// ---- errors ------------------------------------------------------------

// Meaning of an error number of the ring, or of a pmerrno value; null
// when the number is not in the tables.
const char *errmeaning(int num);
const char *pmerrnomeaning(int num);
// Every number of the tables (tests compare them with docs/errors.md).
std::vector<int> errnumbers();
std::vector<int> pmerrnonumbers();

// Clears the library's error state before an operation whose failure
// will be reported with liberror().
void clearliberrors();
// "pmdb CMD: FILE: WHAT" (no "FILE: " when file is empty).
void toolerror(Ctx &c, const std::string &file, const std::string &what);
// "pmdb CMD: FILE: warning: WHAT".
void toolwarning(Ctx &c, const std::string &file, const std::string &what);
// The error line, then pmerrno and the error numbers the library recorded
// since clearliberrors() (oldest first) with their meanings, and the
// library's message text when there is one, each on an indented line.
void liberror(Ctx &c, const std::string &file, const std::string &what);
// The system's text for an errno value ("Permission denied").
std::string sysreason(int e);
// A file to read: true when path names one; otherwise the system's reason
// (missing, not permitted, a directory) is told and false returned. st,
// when given, receives what stat() found.
bool fileusable(Ctx &c, const std::string &path, struct stat *st = nullptr);
// Did the library record any error since clearliberrors()?
bool liberrorsince();

// Set by SIGINT, SIGTERM and SIGHUP while a command that writes a new file
// runs (see NewDb), so that it stops and removes what it made.
bool interrupted();

// ---- progress ----------------------------------------------------------

// A one-line progress display on the error stream, shown only when that
// stream is a terminal and redrawn at most ten times a second.
class Progress {
public:
    Progress(Ctx &c, const char *label, uint64_t total);
    ~Progress();
    void step(uint64_t done);
    void done();

private:
    Ctx &c_;
    const char *label_;
    uint64_t total_;
    bool tty_;
    bool shown_ = false;
    double last_ = 0;
};

double nowseconds();

// ---- commands ----------------------------------------------------------

int cmdcreate(Ctx &c, int argc, char **argv);
int cmdschema(Ctx &c, int argc, char **argv);
int cmdinfo(Ctx &c, int argc, char **argv);
int cmdcheck(Ctx &c, int argc, char **argv);
int cmddump(Ctx &c, int argc, char **argv);
int cmdload(Ctx &c, int argc, char **argv);
int cmdget(Ctx &c, int argc, char **argv);
int cmdscan(Ctx &c, int argc, char **argv);
int cmdput(Ctx &c, int argc, char **argv);
int cmddelete(Ctx &c, int argc, char **argv);
int cmdcopy(Ctx &c, int argc, char **argv);
int cmddemo(Ctx &c, int argc, char **argv);

// The bodies of info and check, for the demo: print the figures or the
// check of one file; exit status as the commands give it.
int infofile(Ctx &c, const std::string &path, bool asjson);
int checkfile(Ctx &c, const std::string &path, uint64_t maxproblems, bool quiet);

// The help text of a command (its usage line first); null if unknown.
const char *commandhelp(const std::string &cmd);

// ---- opening -----------------------------------------------------------

// An open database, closed when it goes out of scope. Opening reports its
// own failure on the error stream, with the system's reason when the
// system refuses the file.
class Db {
public:
    Db() = default;
    ~Db() { close(); }
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;
    bool open(Ctx &c, const std::string &path, bool readonly);
    // Closes (which commits a writable database); false when the final
    // commit failed (the error ring says why).
    bool close();
    FS *fs() const { return fs_; }
    char inst() const { return inst_; }
    const std::string &path() const { return path_; }

private:
    FS *fs_ = nullptr;
    char inst_ = -1;
    std::string path_;
};

// Does a file of that name exist?
bool fileexists(const std::string &path);

// A database built in a temporary file in the target's folder and renamed
// over the target only when complete, so that a failure (or an interrupt)
// leaves the target as it was and no file behind. The temporary file is
// made private and, once complete, given the mode a new file would have
// (or the mode of the file it replaces), synced, renamed, and the folder
// synced.
class NewDb {
public:
    NewDb(Ctx &c) : c_(c) {}
    ~NewDb();
    NewDb(const NewDb &) = delete;
    NewDb &operator=(const NewDb &) = delete;
    // Checks the target: refused when it exists without force, when it is
    // a directory, or when it is the same file as source (may be empty).
    // Reports its refusal; false then.
    bool prepare(const std::string &target, bool force, const std::string &source);
    // Makes the temporary database with that spacing and opens it.
    bool create(int freq);
    // Or a temporary file for bytes copied in: its descriptor, -1 failed.
    int createfile();
    Db &db() { return db_; }
    const std::string &target() const { return target_; }
    // Commits, closes (the database, or the descriptor of createfile), and
    // renames the file into place.
    bool finish(int fd = -1);

private:
    int maketemp();
    Ctx &c_;
    Db db_;
    std::string target_, temp_;
    unsigned mode_ = 0666;
};

// A logical file given by number (1..15) or by its name; 0 and *error
// when there is none.
int resolvefile(const Db &db, const std::string &w, std::string *error);
// "FILE.SUBKEY" with FILE a number or a name; false and *error otherwise.
bool resolvesubkey(const Db &db, const std::string &w, int *file, int *subkey, std::string *error);

}  // namespace pmdbtool

#endif
