#pragma once
// Resource and control ids of the options dialog.

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
