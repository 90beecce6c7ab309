// The in-flight record: the request that is being served, kept in the working
// directory as "kmopendiente_<terminal>.txt" from before its request file is
// removed until its reply file has been written and synced. A request whose
// reply could not be written stays there and is served again on the next
// pass; one left by a crash is served again after the restart. Internal to
// the client.
#pragma once

#include <cstddef>

#include "plat_file.h"

// Why a request read cannot be sent: it is answered with an error reply.
enum class RequestFlaw : int { None = 0, TooLong = 1, BadChars = 2 };

// Looks for records left by an earlier run, at the start of the loop. A
// request whose terminal has left a new request since is dropped (it took its
// reply), and so is one whose reply file was written after its record (the
// terminal has not taken it yet). A request whose pre-authorisation was
// already recorded in kmoautoresp.txt gets that same reply again (same
// number, the record kept). Any other is pending again, and a request file
// still holding it is removed.
void inflight_Recover();

// True when terminal k has a request in flight.
bool inflight_Pending(int k);

// Records terminal k's request (the request buffer's text), read from the
// file `source`, and syncs it. 0, or -1 (logged): the request must then stay
// in its file.
int inflight_Begin(int k, const PLAT_FileId& source, RequestFlaw flaw);

// Loads terminal k's pending request into the request buffer and its flaw
// into *flaw: 0. 1 when the request was answered already and only the
// record's removal was left (it is tried again). -1 when the record cannot be
// read (logged; the record is then dropped).
int inflight_Load(int k, RequestFlaw* flaw);

// Notes in the record the pre-authorisation record about to be appended for
// it and the reply that will carry its number, so that after a crash the same
// number reaches the terminal. Nothing when terminal k has no request in
// flight. 0, or -1 (logged).
int inflight_NoteRecord(int k, const char* record, const char* reply);

// The reply is written: the record goes (its removal is tried again on the
// next pass when it fails).
void inflight_End(int k);
