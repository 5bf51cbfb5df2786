// QuorvelTrace.exe entry point.
#include "app/main_dialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    return RunQuorvelTrace(instance);
}
