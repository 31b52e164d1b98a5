/* The one error routine of the dataset and task layers: informational messages, warnings,
   errors and fatal errors, written to standard error as "### <kind>:  <message>". */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Reports `message` with the kind chosen by `severity`: 'i'/'I' Informational, 'w'/'W' Warning,
   'e'/'E' Error (these return); anything else is a Fatal Error, which closes every open data set
   in an emergency and ends the process with status 1. */
void bug_c(char severity, const char* message);

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
