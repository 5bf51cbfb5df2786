// Display format and filters of stored lines. GUI thread, storeLock held
// (both read a slot's text).
#pragma once

#include "live/live_state.h"

#define LINE_PREFIX_UNITS 160

// Whether the line passes the level, process and find filters of liveState.
BOOL IsLineVisible(const LiveLine* line);

// Checks the offsets from UTC cached per quarter hour against the time zone
// now in force (the user may have changed it) and forgets them all if one
// differs; TRUE then. GUI thread.
BOOL RefreshZoneCache();

// "yyyy-mm-dd hh:mm:ss" (with ".mmm" when `milliseconds`) of a UTC time in
// the local time in force on its date, into `units` units; "?" when it is no
// date.
#define LOCAL_STAMP_UNITS 32
void FormatLocalStamp(const FILETIME* utc, BOOL milliseconds, WCHAR* text, size_t units);

// Writes the fixed-width prefix (time, tag, pid, tid, 26-wide origin) into
// `prefix` (LINE_PREFIX_UNITS units) and points `body` at the message body
// inside line->text; valid while storeLock is held.
void FormatLinePrefix(const LiveLine* line, WCHAR* prefix, const WCHAR** body);
