// The tool's own output: failure reports on standard error and making sure
// what was printed on standard output has left the process.
#pragma once

// Prints label, ": " and the text for errno on standard error (perror),
// leaving errno as it was for the caller's own report.
void report_error(const char* label);

// Flushes standard output; true when everything written to it so far has
// left the process. Checks the stream's error indicator as well as fflush's
// result: uClibc-ng's fflush drops the buffered bytes after a write that
// failed for good (ENOSPC, EPIPE) and then reports success. errno then
// still holds the failed write's error.
bool flush_stdout();
