// Dark list views: their colours, and a subclass that draws their column
// header dark through the header's custom-draw notifications. GUI thread
// only; nothing here fails visibly.
#pragma once

#include <windows.h>

#define LIST_VIEW_HEADER_SUBCLASS_ID 1

// The list-view step of a theme pass (after its visual-style theme was set
// or taken back): colours of the current app theme, a redraw, and the header
// subclass installed for a dark pass (replacing, never stacking) or removed
// for a light one.
void ThemeListView(HWND listView, BOOL dark);

// The header subclass of a list view (SetWindowSubclass, id
// LIST_VIEW_HEADER_SUBCLASS_ID, reference data 0). Draws the header only
// while the app theme is dark; removes itself when the list view goes.
LRESULT CALLBACK ListViewHeaderSubclassProc(HWND listView, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR id, DWORD_PTR referenceData);
