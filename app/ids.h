// Command, dialog and control ids shared by the menu, the resources, the
// main window, the dialogs and the upload engine. Plain macros so that the
// resource compiler can read this file too.
#ifndef TESSEL_IDS_H
#define TESSEL_IDS_H

#define CMD_CONNECT        256
#define CMD_DISCONNECT     257
#define CMD_EXIT           258
#define CMD_SETTINGS       259
#define CMD_ABOUT          260
#define CMD_HELP_KEY       261
#define CMD_SEND_CR        262
#define CMD_SHOW_PROGRESS  263
#define CMD_FAIL_RECOVER   264
#define CMD_FAIL_RETRY     265
#define CMD_NO_RESPONSE    273
#define CMD_MONITOR_FOUND  274

#define IDM_ABOUT_ITEM     40005
#define IDM_BLANK_ITEM     40004

#define DLG_ABOUT              100
#define DLG_PORT               101
#define DLG_PROGRESS           102
#define DLG_PORT_NOT_OPEN      103
#define DLG_OPEN_FAILED        104
#define DLG_FAIL_RECOVER       105
#define DLG_FAIL_MAINS         106
#define DLG_COMM_FAILED        107
#define DLG_WELCOME            108
#define DLG_COMPLETED          109
#define DLG_INVALID_FILE       110
#define DLG_WARNING            112
#define DLG_CABLE              113
#define DLG_CONNECT_MAINS      114
#define DLG_DISCONNECT_MAINS   115

#define IDC_PORT           544
#define IDC_PERCENT        576
#define IDC_WAIT_TEXT      294

#define IDR_ACCEL          200
#define IDR_MENU           300
#define IDI_APP            400
#define IDB_ABOUT          500
#define IDS_COM_PREFIX     784

#endif
