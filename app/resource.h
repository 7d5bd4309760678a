// Resource and control ids of the updater's dialogs, pictures and icon. Read by
// the resource compiler as well as by C++, so plain #defines only.
#pragma once

#define IDB_LOGO 1
#define IDB_HANDHELD 106
#define IDD_MAIN 108
#define IDD_ABOUT 109
#define IDI_UPDATER 112
// The pictures at 125, 150 and 200 %; the ids above are the 100 % ones.
#define IDB_HANDHELD_125 120
#define IDB_HANDHELD_150 121
#define IDB_HANDHELD_200 122
#define IDB_LOGO_125 130
#define IDB_LOGO_150 131
#define IDB_LOGO_200 132

#define IDM_ABOUT 650

#define IDC_PROGRESS 1000
#define IDC_START 1001
#define IDC_STATUS 1002
#define IDC_PORTS 1003
#define IDC_FOR_TEXT 1004
#define IDC_TITLE 1005
#define IDC_POWERED_BY 1006
#define IDC_CREDIT 1007
#define IDC_PICTURE 1008
#define IDC_ABOUT_VERSION 1009
#define IDC_CANCEL 1010
#define IDC_ABOUT_LEGAL 1011
#define IDC_PORT_NOTE 1012

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
