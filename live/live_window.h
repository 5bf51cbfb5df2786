// Live Tracing window (template 102). GUI thread only.
#pragma once

#include <windows.h>

#define LIVE_CONSUMER_WAIT_MS   5000

// Dialog procedure of template 102; the creation parameter is the trace
// level chosen in the main dialog (1..5). The dialog's result is always 0.
// Single-instance: opening a second one shows a message and closes it.
INT_PTR CALLBACK LiveDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The same window viewing log files: the creation parameter is a
// LogViewSource* (live/log_view.h) that outlives the window. Its title names
// what it shows; a reader thread takes the place of the live session.
INT_PTR CALLBACK LogViewDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
