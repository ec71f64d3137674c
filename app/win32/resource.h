// Identifiers shared by the resource script and the program.
#pragma once

#define IDS_CLASSNAME 3
#define IDR_HOTKEYS 3
#define IDI_APPICON 101
#define IDR_MAINMENU 102
#define IDD_ABOUTBOX 103
#define IDC_REQUESTS 1001
#define IDM_EXIT 40002
#define IDM_ABOUT 40003
