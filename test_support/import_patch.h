// Replaces one imported function of the test executable by patching its
// import address table, so a test can make a system call fail or answer
// differently (as Wine's own tests do with hooks). Restored by the guard.
#pragma once

#include <windows.h>

class ImportPatch {
public:
    // Patches every import of `function` from `dll` (case-insensitive).
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool active() const { return slot_ != nullptr; }
    // The function that was imported before the patch.
    template <typename T> T original() const { return reinterpret_cast<T>(original_); }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};
