// Tagged-field transaction texts: "|TAG=value|TAG=value|".
// Fields are found by plain substring search of the tag. The writing operations
// take the capacity (in bytes, NUL included) of the buffer they write into; a
// result that would not fit leaves the text unchanged and fails like invalid input.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the module's result buffer (used when the destination is null).
inline constexpr std::size_t KMO_TRAN_RESULT_SIZE = 512;
// Size of the work copy of the text that KMO_TranGetField reads from.
inline constexpr std::size_t KMO_TRAN_WORK_SIZE = 4096;

// Copies the value of the first field `tag` into `dest` (capacity `destCap`,
// the value is cut to destCap - 1 characters) or, when `dest` is null, into the
// module's result buffer (cut to 511 characters). Returns the buffer used, or
// null for a null/empty text or tag. A field that cannot be read (absent, no '='
// or no closing '|') leaves a caller's `dest` untouched. Every valid call clears
// the result buffer. Only the first 4095 characters of the text are searched.
char* KMO_TranGetField(const char* text, const char* tag, char* dest, std::size_t destCap);

// 1 when the tag's characters occur anywhere in the text, else 0.
std::uint16_t KMO_TranHasField(const char* text, const char* tag);

// Removes the first field `tag` up to and including the '|' that follows it.
// 0 for valid input (also when nothing was removed), -1 for null/empty text or tag.
int KMO_TranDelField(char* text, const char* tag);

// Appends ['|'] tag '=' value; no closing '|'. `cap` is the size of `text`'s
// buffer. 0, or -1 (text unchanged) for invalid input or a result that would not fit.
int KMO_TranPutfield(char* text, std::size_t cap, const char* tag, const char* value);

// Appends '|' to a non-empty text when it fits in `cap` bytes; otherwise nothing.
void KMO_TranClose(char* text, std::size_t cap);
