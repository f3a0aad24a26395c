// pmdbtool.h - what the files of the pmdb command-line tool share: the
// output context, the commands, option parsing, error reporting and the
// progress line.
//
// The tool is a plain C++ program over the static library. Its entry point
// is pmdbmain(), which writes only to the two streams it is given, so tests
// run every command in-process and read what it printed.
//
// Exit status of every command: 0 done, 1 the command ran and failed (or,
// for check, found problems), 2 bad usage or a file that cannot be read.
#ifndef PMDB_TOOL_PMDBTOOL_H
#define PMDB_TOOL_PMDBTOOL_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "pmdblib.h"

namespace pmdbtool {

constexpr const char VERSION[] = "0.1.0";

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

struct Ctx {
    FILE *out;
    FILE *err;
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
// Prints "pmdb: WHAT" followed by pmerrno, the error numbers the library
// recorded since clearliberrors() (oldest first) with their meanings, and
// the library's message text when there is one.
void liberror(Ctx &c, const std::string &what);
// Prints "pmdb: WHAT" alone.
void toolerror(Ctx &c, const std::string &what);

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
int cmddemo(Ctx &c, int argc, char **argv);

// The bodies of info and check, for the demo: print the figures or the
// check of one file; exit status as the commands give it.
int infofile(Ctx &c, const std::string &path, bool asjson);
int checkfile(Ctx &c, const std::string &path, uint64_t maxproblems, bool quiet);

// The help text of a command (its usage line first); null if unknown.
const char *commandhelp(const std::string &cmd);

// ---- opening -----------------------------------------------------------

// An open database, closed when it goes out of scope. Opening reports its
// own failure on the error stream.
class Db {
public:
    Db() = default;
    ~Db() { close(); }
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;
    bool open(Ctx &c, const std::string &path, bool readonly);
    void close();
    FS *fs() const { return fs_; }
    char inst() const { return inst_; }

private:
    FS *fs_ = nullptr;
    char inst_ = -1;
};

// Does a file of that name exist?
bool fileexists(const std::string &path);

}  // namespace pmdbtool

#endif
