// pending.cc - commands not built yet.
#include "pmdbtool.h"

namespace pmdbtool {
static int notyet(Ctx &c, const char *cmd) {
    toolerror(c, std::string(cmd) + ": not available in this build");
    return EXIT_FAIL;
}
int cmdinfo(Ctx &c, int, char **) { return notyet(c, "info"); }
int cmdcheck(Ctx &c, int, char **) { return notyet(c, "check"); }
int cmddump(Ctx &c, int, char **) { return notyet(c, "dump"); }
int cmdload(Ctx &c, int, char **) { return notyet(c, "load"); }
int cmdget(Ctx &c, int, char **) { return notyet(c, "get"); }
int cmdscan(Ctx &c, int, char **) { return notyet(c, "scan"); }
int cmddemo(Ctx &c, int, char **) { return notyet(c, "demo"); }
}  // namespace pmdbtool
