// cli.cc - the tool's entry point: the command table, --help and
// --version, option parsing, opening databases and the progress line.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "pmdbtool.h"

namespace pmdbtool {

namespace {

struct Command {
    const char *name;
    int (*run)(Ctx &, int, char **);
    const char *summary;
    const char *help;
};

const Command commands[] = {
    {"create", cmdcreate, "make a new database, with a schema",
     "usage: pmdb create FILE [--schema SCHEMA] [--xblkfreq N] [--force]\n"
     "\n"
     "Makes a new database FILE and writes the schema (names, record lengths,\n"
     "key types and duplicate settings of the logical files) into its control\n"
     "block. SCHEMA is a schema file as printed by `pmdb schema` (\"-\" reads\n"
     "standard input); without one every logical file keeps the defaults.\n"
     "\n"
     "  --xblkfreq N  spacing of the translation blocks, 2 to 32767 (default:\n"
     "                the schema's, else 20)\n"
     "  --force       replace FILE if it exists (refused otherwise)\n"},
    {"schema", cmdschema, "print a database's schema",
     "usage: pmdb schema FILE\n"
     "\n"
     "Prints the schema of FILE in the format that `pmdb create --schema`\n"
     "reads, so that a database made from it is set up the same way.\n"},
    {"info", cmdinfo, "figures of a database",
     "usage: pmdb info FILE [--json]\n"
     "\n"
     "Prints the file's size and blocks, the control values, each logical file\n"
     "in use (name, records, first and last rid, keys per subkey), the key\n"
     "tree (height, blocks, fill), the data blocks of each free-space chain\n"
     "with the room they leave unused, and the translation slots. The file is\n"
     "only read.\n"
     "\n"
     "  --json  one JSON object instead of text\n"},
    {"check", cmdcheck, "full integrity check (read-only)",
     "usage: pmdb check FILE [--max-problems N] [--quiet]\n"
     "\n"
     "Checks the control block, every translation slot and the free-slot\n"
     "chain (every slot is bound to a record or on the chain exactly once),\n"
     "every data block and record, the free-space chains, the key tree (order,\n"
     "separators, levels, lengths), and that every block is accounted for\n"
     "exactly once. Prints one line per problem naming the block, and warnings\n"
     "for what is odd but not damage (keys whose rid names no live record, a\n"
     "trailing part-block). The file is only read, and the check takes time in\n"
     "proportion to the file's real size whatever its control block claims.\n"
     "It cannot see changed record bytes or key values that still parse: the\n"
     "format holds no checksums.\n"
     "\n"
     "  --max-problems N  print at most N problem lines (default 100; all are\n"
     "                    counted)\n"
     "  --quiet           print only the summary line\n"
     "\n"
     "Exit status: 0 no problems (warnings allowed), 1 problems found, 2 the\n"
     "file cannot be read as a database, or bad usage.\n"},
    {"dump", cmddump, "write schema, control values, records and keys as text",
     "usage: pmdb dump FILE [--format text|jsonl] [--salvage]\n"
     "\n"
     "Writes the spacing and schema, the control values (counter, business\n"
     "date, application status), every record of every logical file (rid and\n"
     "bytes) and every key (file.subkey, rid, value decoded by its type) to\n"
     "standard output, one line each, in a stable order. `pmdb load` reads it\n"
     "back into a database with the same rids.\n"
     "\n"
     "  --format text   the line format described in docs/tool.md (default)\n"
     "  --format jsonl  one JSON object per line\n"
     "  --salvage       for a damaged file: read the file's blocks directly,\n"
     "                  write every record and key that can still be read, and\n"
     "                  warn about each one skipped; exit 1 when any was\n"},
    {"load", cmdload, "make a new database from a dump",
     "usage: pmdb load FILE [DUMP] [--force]\n"
     "\n"
     "Makes a new database FILE from a dump (text or jsonl, told apart by its\n"
     "first line), read from DUMP or from standard input. Every record gets\n"
     "back the rid it had, the control values and schema are restored, and\n"
     "every key is added as it was. A dump read from a file is checked whole\n"
     "before anything is written; from standard input each line is checked\n"
     "before it is written. The database is built in a temporary file beside\n"
     "FILE and renamed into place only when complete: a failed load leaves no\n"
     "file, and FILE as it was.\n"
     "\n"
     "  --force  replace FILE if it exists (refused otherwise)\n"},
    {"copy", cmdcopy, "copy a database, optionally compacted",
     "usage: pmdb copy SRC DST [--compact] [--force]\n"
     "\n"
     "Copies the database SRC to DST while holding SRC's lock. The copy is\n"
     "made beside DST and renamed into place when complete.\n"
     "\n"
     "  --compact  rebuild instead of copying the blocks: every record keeps\n"
     "             its rid, but records are packed into as few data blocks as\n"
     "             they fit, the key index is rebuilt, and empty blocks and\n"
     "             free room are dropped (translation blocks up to the highest\n"
     "             rid stay, as the rids need them)\n"
     "  --force    replace DST if it exists (refused otherwise)\n"},
    {"get", cmdget, "look up a key value",
     "usage: pmdb get FILE SUBKEY VALUE [--hex]\n"
     "\n"
     "Prints every key of the subkey whose value equals VALUE (several in a\n"
     "subkey with duplicates), each with its record. SUBKEY is FILE.S, the\n"
     "logical file by number or name (1.0, customers.0). VALUE is written as\n"
     "the subkey's type reads it: text for char keys (\\\\ and \\xHH escapes),\n"
     "a number for the numeric types.\n"
     "\n"
     "  --hex  print records as hexadecimal instead of escaped text\n"
     "\n"
     "Exit status 1 when no key has the value.\n"},
    {"scan", cmdscan, "walk the keys of a subkey",
     "usage: pmdb scan FILE SUBKEY [--from VALUE] [--to VALUE] [--prefix TEXT]\n"
     "                 [--reverse] [--limit N] [--count] [--hex]\n"
     "\n"
     "Prints the keys of a subkey (FILE.S, the file by number or name) in key\n"
     "order, each with its record.\n"
     "\n"
     "  --from VALUE   start at the first key not below VALUE (with --reverse:\n"
     "                 the last key not above it)\n"
     "  --to VALUE     stop after the last key not above VALUE (with --reverse:\n"
     "                 not below it)\n"
     "  --prefix TEXT  only the keys whose value starts with TEXT (char types)\n"
     "  --reverse      walk from the greatest key down\n"
     "  --limit N      stop after N keys\n"
     "  --count        print only the number of keys\n"
     "  --hex          print records as hexadecimal instead of escaped text\n"},
    {"put", cmdput, "add one record with its keys",
     "usage: pmdb put FILE LOGICALFILE RECORD [--key S=VALUE]... [--rid RID]\n"
     "                [--hex]\n"
     "\n"
     "Adds RECORD (text with \\\\ and \\xHH escapes, or hexadecimal with --hex)\n"
     "to the logical file (by number or name) with one key per --key, S the\n"
     "subkey and VALUE as the subkey's type reads it, and prints its rid. All\n"
     "of it is checked first (values, duplicates in unique subkeys) and done\n"
     "under one lock; a failure midway takes back what was added.\n"
     "\n"
     "  --rid RID  place the record under this free rid (hexadecimal)\n"
     "  --hex      RECORD is hexadecimal\n"},
    {"delete", cmddelete, "delete one record with its keys",
     "usage: pmdb delete FILE RID [--key S=VALUE]...\n"
     "\n"
     "Deletes the record RID (hexadecimal, as dump and scan print it) and its\n"
     "keys: those given with --key (each must exist and name RID), or, without\n"
     "--key, every key of the record's logical file that names RID (found by\n"
     "walking the file's subkeys, which takes time on a large file). Checked\n"
     "first, done under one lock.\n"},
    {"demo", cmddemo, "build and exercise a sample database",
     "usage: pmdb demo [DIR] [--scale N]\n"
     "\n"
     "Makes a fresh sample database DIR/demo.pmdb (DIR defaults to the current\n"
     "directory and is made when it does not exist) with customers, products\n"
     "and orders, loads tens of thousands of generated records with their keys,\n"
     "runs lookups, range walks forward and backward, rewrites that move\n"
     "records and deletions, prints a short report and the timing of each\n"
     "phase, then `info` and `check` of the file it made.\n"
     "\n"
     "  --scale N  percent of the normal amount of data, 1 to 1000 (default 100)\n"},
};

const Command *findcommand(const std::string &name) {
    for (const Command &cmd : commands)
        if (name == cmd.name) return &cmd;
    return nullptr;
}

void toolhelp(FILE *f) {
    fprintf(f,
            "usage: pmdb COMMAND [ARGS...]\n"
            "       pmdb COMMAND --help\n"
            "       pmdb --version\n"
            "\n"
            "Looks inside, checks, dumps, loads and sets up pmdblib database files.\n"
            "\n"
            "commands:\n");
    for (const Command &cmd : commands) fprintf(f, "  %-8s %s\n", cmd.name, cmd.summary);
    fprintf(f,
            "\n"
            "Exit status: 0 done, 1 failed (check: problems found), 2 bad usage or a\n"
            "file that cannot be read. Errors are one line, \"pmdb CMD: FILE: what is\n"
            "wrong\", followed by the library's error numbers where it failed.\n");
}

}  // namespace

const char *commandhelp(const std::string &cmd) {
    const Command *c = findcommand(cmd);
    return c ? c->help : nullptr;
}

int pmdbmain(int argc, char **argv, FILE *out, FILE *err) {
    Ctx c{out, err, ""};
    if (argc < 2) {
        toolhelp(err);
        return EXIT_USAGE;
    }
    std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        if (first == "help" && argc > 2) {
            const char *h = commandhelp(argv[2]);
            if (h == nullptr) return usage(c, "help", std::string("unknown command ") + argv[2]);
            fputs(h, out);
            return EXIT_OK;
        }
        toolhelp(out);
        return EXIT_OK;
    }
    if (first == "--version" || first == "-V") {
        fprintf(out, "pmdb %s\n", VERSION);
        return EXIT_OK;
    }
    const Command *cmd = findcommand(first);
    if (cmd == nullptr) {
        fprintf(err, "pmdb: unknown command '%s'\n\n", first.c_str());
        toolhelp(err);
        return EXIT_USAGE;
    }
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) break;
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(cmd->help, out);
            return EXIT_OK;
        }
    }
    c.cmd = cmd->name;
    int rc = cmd->run(c, argc - 2, argv + 2);
    // Output that did not reach its file (a full disk, a closed pipe) is a
    // failure, whatever the command thought.
    errno = 0;
    int e = fflush(out) != 0 ? errno : 0;
    if (ferror(out)) {
        toolerror(c, "standard output", sysreason(e != 0 ? e : EIO));
        if (rc == EXIT_OK) rc = EXIT_FAIL;
    }
    fflush(err);
    return rc;
}

// ---- command line ------------------------------------------------------

bool Args::has(const std::string &name) const {
    for (const auto &o : opts)
        if (o.first == name) return true;
    return false;
}

std::string Args::get(const std::string &name, const std::string &def) const {
    std::string v = def;
    for (const auto &o : opts)
        if (o.first == name) v = o.second;  // the last one given wins
    return v;
}

std::vector<std::string> Args::getall(const std::string &name) const {
    std::vector<std::string> v;
    for (const auto &o : opts)
        if (o.first == name) v.push_back(o.second);
    return v;
}

int usage(Ctx &c, const char *cmd, const std::string &text) {
    fprintf(c.err, "pmdb %s: %s\n", cmd, text.c_str());
    const char *h = commandhelp(cmd);
    if (h != nullptr) {
        const char *nl = strstr(h, "\n\n");
        fprintf(c.err, "%.*s\n", nl ? (int)(nl - h) : (int)strlen(h), h);
    }
    return EXIT_USAGE;
}

bool parseargs(Ctx &c, const char *cmd, int argc, char **argv,
               const std::vector<std::string> &flags,
               const std::vector<std::string> &valued, Args *a) {
    auto in = [](const std::vector<std::string> &v, const std::string &s) {
        for (const auto &x : v)
            if (x == s) return true;
        return false;
    };
    bool optsdone = false;
    for (int i = 0; i < argc; i++) {
        std::string w = argv[i];
        if (optsdone || w.size() < 3 || w.compare(0, 2, "--") != 0) {
            if (!optsdone && w == "--") {
                optsdone = true;
                continue;
            }
            a->pos.push_back(w);
            continue;
        }
        std::string name = w.substr(2), value;
        size_t eq = name.find('=');
        bool hasvalue = eq != std::string::npos;
        if (hasvalue) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (in(flags, name)) {
            if (hasvalue) {
                usage(c, cmd, "option --" + name + " takes no value");
                return false;
            }
        } else if (in(valued, name)) {
            if (!hasvalue) {
                if (i + 1 >= argc) {
                    usage(c, cmd, "option --" + name + " needs a value");
                    return false;
                }
                value = argv[++i];
            }
        } else {
            usage(c, cmd, "unknown option --" + name);
            return false;
        }
        a->opts.emplace_back(name, value);
    }
    return true;
}

bool parseuint(const std::string &s, uint64_t max, uint64_t *v) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long x = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0' || x > max) return false;
    *v = x;
    return true;
}

// ---- opening -----------------------------------------------------------

bool fileexists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool Db::open(Ctx &c, const std::string &path, bool readonly) {
    close();
    // The system's reason is told here, before the library (which would
    // log the path and give only its own numbers) tries the file.
    if (!fileusable(c, path)) return false;
    int fd = ::open(path.c_str(), readonly ? O_RDONLY : O_RDWR);
    if (fd < 0) {
        toolerror(c, path, sysreason(errno));
        return false;
    }
    ::close(fd);
    clearliberrors();
    inst_ = fsinit("");
    if (inst_ < 0) {
        liberror(c, path, "no free instance");
        return false;
    }
    fs_ = fsopen(inst_, path.c_str(), 0, readonly ? 1 : 0);
    if (fs_ == nullptr) {
        liberror(c, path, "cannot be opened as a database");
        closefs(inst_);
        inst_ = -1;
        return false;
    }
    path_ = path;
    return true;
}

bool Db::close() {
    bool ok = true;
    if (fs_ != nullptr) {
        // fsclose reports nothing: a failed final commit shows in the ring.
        clearliberrors();
        fsclose(inst_, fs_);
        ok = !liberrorsince();
    }
    if (inst_ >= 0) closefs(inst_);
    fs_ = nullptr;
    inst_ = -1;
    return ok;
}

int resolvefile(const Db &db, const std::string &w, std::string *error) {
    uint64_t n;
    if (!w.empty() && w.find_first_not_of("0123456789") == std::string::npos) {
        if (!parseuint(w, 15, &n) || n == 0) {
            *error = "'" + w + "' is not a logical file number (1..15)";
            return 0;
        }
        return (int)n;
    }
    for (int f = 1; f <= 15; f++) {
        char name[16];
        if (fsgetfile(db.inst(), db.fs(), (uint8_t)f, name, nullptr) && w == name) return f;
    }
    *error = "no logical file is named '" + w + "'";
    return 0;
}

bool resolvesubkey(const Db &db, const std::string &w, int *file, int *subkey, std::string *error) {
    size_t dot = w.rfind('.');
    uint64_t s;
    std::string sub = dot == std::string::npos ? "" : w.substr(dot + 1);
    if (dot == std::string::npos || sub.empty() || sub.find_first_not_of("0123456789") != std::string::npos ||
        !parseuint(sub, 15, &s)) {
        *error = "'" + w + "' is not FILE.SUBKEY (FILE a number or name, SUBKEY 0..15)";
        return false;
    }
    *file = resolvefile(db, w.substr(0, dot), error);
    *subkey = (int)s;
    return *file != 0;
}

// ---- progress ----------------------------------------------------------

double nowseconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Progress::Progress(Ctx &c, const char *label, uint64_t total)
    : c_(c), label_(label), total_(total), tty_(isatty(fileno(c.err)) != 0) {}

Progress::~Progress() { done(); }

void Progress::step(uint64_t n) {
    if (!tty_) return;
    double t = nowseconds();
    if (shown_ && t - last_ < 0.1) return;
    last_ = t;
    shown_ = true;
    if (total_ > 0)
        fprintf(c_.err, "\r%s: %llu/%llu (%u%%)\x1b[K", label_, (unsigned long long)n,
                (unsigned long long)total_, (unsigned)(n * 100 / total_));
    else
        fprintf(c_.err, "\r%s: %llu\x1b[K", label_, (unsigned long long)n);
    fflush(c_.err);
}

void Progress::done() {
    if (!shown_) return;
    fprintf(c_.err, "\r\x1b[K");
    fflush(c_.err);
    shown_ = false;
}

}  // namespace pmdbtool
