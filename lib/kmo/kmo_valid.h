// Checks on single field values; each logs its entry and its result at level 64.
#pragma once

#include <cstdint>

std::uint16_t KMO_ValidFieldNumeric(const char* value);
std::uint16_t KMO_ValidFieldAlfa(const char* value);
std::uint16_t KMO_ValidFieldLength(const char* value, int length);
std::uint16_t KMO_ValidFieldDate(const char* value, const char* format);
