// Resource, control, command and timer ids shared by the .rc file and the code.
#pragma once

// Resources
#define IDD_MAIN                101
#define IDD_LIVE                102
#define IDI_APP                 103
#define IDB_BANNER              104

// Main dialog (template 101)
#define IDC_ENABLE              1001
#define IDC_DISABLE             1002
#define IDC_SAVE_LOG            1003
#define IDC_LIVE_TRACING        1004
#define IDC_LEVEL               1005
#define IDC_VIEW_LOG            1006
#define IDC_PERSISTENT_STATUS   1024
#define IDC_ADVANCED            1026
#define IDC_BANNER              1040
#define IDC_BANNER_LINE         1041
#define IDC_NOTICE              1042

// Live Tracing window (template 102)
#define IDC_LIVE_VIEW           1002
#define IDC_LIVE_PAUSE          1010
#define IDC_LIVE_CLEAR          1011
#define IDC_LIVE_COPY           1012
#define IDC_LIVE_SAVE           1013
#define IDC_LIVE_LEVEL          1014
#define IDC_LIVE_FIND           1015
#define IDC_LIVE_AUTOSCROLL     1016
#define IDC_LIVE_LEVEL_LABEL    1017
#define IDC_LIVE_FIND_LABEL     1018

// Live Tracing context menu commands
#define IDM_LIVE_COPY           1020
#define IDM_LIVE_SELECT_ALL     1021
#define IDM_LIVE_CLEAR          1022
#define IDM_LIVE_SAVE           1023
#define IDM_LIVE_SHOW_ONLY      1030
#define IDM_LIVE_HIDE           1031
#define IDM_LIVE_SHOW_ALL       1032

// Live Tracing window timers
#define LIVE_REFRESH_TIMER      1
#define LIVE_REFRESH_MS         100
#define LIVE_FIND_TIMER         2
#define LIVE_FIND_MS            300
#define LIVE_LOSS_TIMER         3       // asks ETW what the live session lost
#define LIVE_LOSS_MS            1000

// Program version (res/version.h)
#include "version.h"
