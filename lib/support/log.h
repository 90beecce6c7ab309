// The process-wide log: one destination (a file opened for appending, or standard
// output), one level filter, one line per record:
//   time stamp "%Y/%m/%d %H:%M:%S", TAB, level name, TAB, message, LF.
// Also holds FILE_JoinPath, the path builder of the client.
#pragma once

#include <cstddef>

#if defined(__MINGW32__)
// MinGW builds use its C99 printf (__USE_MINGW_ANSI_STDIO), not the system's.
#define KMO_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define KMO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KMO_PRINTF(fmt, args)
#endif

// Opens the log. `spec` is "path", "path,min,max" or null/empty; it is changed
// in place (each comma used becomes a NUL). Two commas replace min and max;
// otherwise the arguments stand. An empty path keeps the current destination;
// a path that cannot be opened falls back to standard output. Always returns 0.
int LOG_Open(int min, int max, char* spec);

// The C library's error number of the last failed open of the log file, or 0
// when the file named last is open (or none was named).
int LOG_OpenError();

// Closes the log file and opens the same path again, so that records go to a
// new file after the old one was renamed away. Standard output and a closed
// log stay as they are. 0, or -1 when the file cannot be opened again
// (records then go to standard output; LOG_OpenError tells why).
int LOG_Reopen();

// Closes a log file (never standard output) and drops every later record.
void LOG_Close();

// Writes one record when the level lies inside the filter; level 0 always
// passes. Records before LOG_Open, after LOG_Close or with a null format vanish.
void LOG_Write(int level, const char* format, ...) KMO_PRINTF(2, 3);

// Puts the level's name ("PANIC", "ERROR", "WARNING", "INFO", "DEBUG" or the
// empty text) into `out`, which holds at least 8 bytes, and returns `out`.
char* LOG_LevelName(int level, char* out);

// Appends the components to the text in `dest`, putting one platform separator
// between two components unless the text already ends in one (and never after
// an empty text). The argument list ends with a null pointer. `cap` is the size
// of `dest`: a result that would not fit leaves `dest` unchanged and gives -1.
// A null first component leaves `dest` unchanged and gives 0.
int FILE_JoinPath(char* dest, std::size_t cap, const char* first, ...);
