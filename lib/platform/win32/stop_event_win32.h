// Shared by the Win32 files of the seam (not part of its interface): the event
// that a stop request sets, so that sleeps and waits can end early on it.
#pragma once

#include <windows.h>

// The manual-reset event of the stop requests, made at first use; null only
// when the system could not make it.
HANDLE win32_StopEvent();
