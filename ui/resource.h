#pragma once
// Resource and control ids of the options dialog and of the second dialog
// that its More… button opens.

#define IDD_OPTIONS          101
#define IDB_BANNER           102

#define IDC_START            1000
#define IDC_STOP             1001
#define IDC_BYTES_SENT       1002
#define IDC_RUNNING_TIME     1003
#define IDC_DESCRIPTION      1004
#define IDC_PACKETS          1005
#define IDC_ADDRESS          1006
#define IDC_PORT             1007
#define IDC_MORE             1008

// The second dialog: a frame with tabs, and one child page per tab.
#define IDD_MORE             103
#define IDD_MORE_PROGRAMS    104

#define IDC_MORE_TABS        1100
#define IDC_MORE_APPLY       1101
#define IDC_MORE_NOTE        1102

#define IDC_PROGRAMS_ALL     1200
#define IDC_PROGRAMS_CHOSEN  1201
#define IDC_PROGRAMS_LIST    1202
#define IDC_PROGRAMS_NOTE    1203

#define IDD_MORE_URL         107

#define IDC_URL_ON           1500
#define IDC_URL_PORT         1501
#define IDC_URL_WHO          1502
#define IDC_URL_ALLOW        1503
#define IDC_URL_VIEWERS      1504
#define IDC_URL_VIEWERS_SPIN 1505
#define IDC_URL_MEMORY       1506
#define IDC_URL_ADAPTER      1507
#define IDC_URL_NOTE         1508
#define IDC_URL_PAGE         1509
#define IDC_URL_PLAYLIST     1510
#define IDC_URL_COPY         1511
#define IDC_URL_QR           1512
#define IDC_URL_WATCHING     1513
