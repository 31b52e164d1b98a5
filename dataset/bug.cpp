// The error routine: every layer below the application reports through here.
#include "dataset/bug.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char programName[128] = "(NOT SET)";
void (*cleanupHook)(void) = nullptr;
void (*fatalHandler)(const char*) = nullptr;
bool cleaningUp = false;  // set while the clean-up of a fatal error runs

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
    // A fatal error inside the clean-up goes straight to the handler.
    if (cleanupHook && !cleaningUp) {
        cleaningUp = true;
        cleanupHook();
    }
    cleaningUp = false;
    if (fatalHandler)
        fatalHandler(message ? message : "");
    std::exit(1);
}

void bugcleanup_c(void (*cleanup)(void))
{
    cleanupHook = cleanup;
}

void bughandler_c(void (*handler)(const char* message))
{
    fatalHandler = handler;
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
