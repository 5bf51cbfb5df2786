// "bundle FOLDER": what support asks for, in one folder that can be copied
// to a share as it is.
#pragma once

#include <windows.h>

#include <string>

#define BUNDLE_EXPORT_NAME   L"QuorvelTrace.txt"
#define BUNDLE_MANIFEST_NAME L"manifest.json"

// Writes the bundle into `folder` (absolute, created with its missing
// parents); returns the exit code, with what it did in `out` and the
// failure in `err`.
int RunBundle(const WCHAR* folder, std::wstring* out, std::wstring* err);
