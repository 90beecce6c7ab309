// The numbering of local pre-authorisations: the year in "anio.txt" and the
// last sequence number issued in "nroaut.txt", both in the working directory.
// Used by the automatic reply; internal to the client.
#pragma once

#include <cstddef>
#include <ctime>

// Where the local replies take the current time from. Tests point it at a
// clock of their own to cross a year change.
using NumberingClock = std::time_t (*)();
extern NumberingClock g_numberingNow;

// Holds the year of the numbering: four characters and the NUL.
inline constexpr std::size_t KMO_ANIO_SIZE = 5;

// Brings the numbering to the year of `now` and leaves that year in `anio`.
// When anio.txt is missing or holds another year, the new year starts:
// nroaut.txt is removed (a failure is logged) and anio.txt is then replaced.
// Removing first means that a crash in between repeats the year change on the
// next call, so the new year never carries on the old year's sequence. -1
// (logged) when anio.txt exists but cannot be read, or could not be replaced:
// no number may be issued then.
int numbering_CheckYear(std::time_t now, char (&anio)[KMO_ANIO_SIZE]);

// What nroaut.txt held: whether it existed, whether it could be read, and its
// number (0 when it held none).
struct NumberingCounter {
    bool present = false;
    bool readable = true;
    long long last = 0;
};
NumberingCounter numbering_ReadLast();

// Replaces nroaut.txt atomically and durably with `value`: a number is issued
// only once this has succeeded, and never put back. 0 or -1 (the file is then
// as it was).
int numbering_Store(long long value);
