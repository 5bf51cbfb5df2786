// A fresh directory under the Wine user's temp folder, removed with all its
// content when the guard ends, so tests leave the file system as they found it.
#pragma once

#include <windows.h>

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Deletes a file or a directory tree; missing ones are fine.
void DeleteTree(const std::wstring& path);
// Whole content of a file, or an empty string with *exists false.
std::string ReadFileBytes(const std::wstring& path, bool* exists = nullptr);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// With `directory`, whether the path is a directory.
bool PathExists(const std::wstring& path, bool directory = false);
