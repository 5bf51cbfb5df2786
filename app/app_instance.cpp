// The module instance handle, shared by everything that loads resources.
#include "app/main_dialog.h"

HINSTANCE appInstance;
