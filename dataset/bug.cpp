// The error routine: every layer below the application reports through here.
#include "dataset/bug.h"

#include "dataset/hio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char programName[128] = "(NOT SET)";
bool aborting = false;  // set while the emergency close of a fatal error runs

const char* kindOf(char severity)
{
    switch (severity) {
    case 'i':
    case 'I':
        return "Informational";
    case 'w':
    case 'W':
        return "Warning";
    case 'e':
    case 'E':
        return "Error";
    default:
        return nullptr;
    }
}

}  // namespace

extern "C" {

void bug_c(char severity, const char* message)
{
    const char* kind = kindOf(severity);
    std::fprintf(stderr, "### %s:  %s\n", kind ? kind : "Fatal Error", message ? message : "");
    std::fflush(stderr);
    if (kind)
        return;
    // Close every data set in an emergency first; a fatal error inside that close ends the
    // process directly.
    if (!aborting) {
        aborting = true;
        habort_c();
    }
    std::exit(1);
}

void bugno_c(char severity, int errnum)
{
    bug_c(severity, errmsg_c(errnum));
}

void buglabel_c(const char* name)
{
    std::snprintf(programName, sizeof programName, "%s", name ? name : "");
}

const char* bugname_c(void)
{
    return programName;
}

const char* errmsg_c(int errnum)
{
    if (errnum == -1)
        return "End of file detected";
    return std::strerror(errnum);
}

}  // extern "C"
