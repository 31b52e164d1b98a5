/* The one error routine of the dataset and task layers: informational messages, warnings,
   errors and fatal errors, written to standard error as "### <kind>:  <message>". */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Reports `message` with the kind chosen by `severity`: 'i'/'I' Informational, 'w'/'W' Warning,
   'e'/'E' Error (these return); anything else is a Fatal Error: the registered clean-up runs
   (unless the error arose inside it), then the fatal handler ends the run. */
void bug_c(char severity, const char* message);

/* The clean-up a fatal error runs first: the item layer registers its emergency close of every
   open data set when it starts. Null registers none. */
void bugcleanup_c(void (*cleanup)(void));

/* What ends the run after a fatal error has been reported and cleaned up, given the message. The
   default exits with status 1; tests and the fuzzer put in one that hands control back to them
   (by an exception or a jump). A handler that returns ends the process with status 1 all the
   same. Null restores the default. */
void bughandler_c(void (*handler)(const char* message));

/* bug_c with the system's text for the error number `errnum` ("End of file detected" for -1). */
void bugno_c(char severity, int errnum);

/* Keeps a copy of the program's name for messages. */
void buglabel_c(const char* name);

/* The program name given to buglabel_c ("(NOT SET)" before). */
const char* bugname_c(void);

/* The system's text for an error number; "End of file detected" for -1. */
const char* errmsg_c(int errnum);

#ifdef __cplusplus
}
#endif
