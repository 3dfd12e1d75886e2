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
#define IDD_MORE_SENDING     110
#define IDD_MORE_FEC         111

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
#define IDC_SEND_RTP         1700
#define IDC_SEND_UDP         1701
#define IDC_SEND_TIMESTAMPS  1702
#define IDC_SEND_TTL         1703
#define IDC_SEND_TTL_SPIN    1704
#define IDC_SEND_FROM        1705
#define IDC_SEND_BUFFER      1706
#define IDC_SEND_NEXT_START  1707
#define IDC_SEND_NOTE        1708

// The FEC choices' radio buttons in order, IDC_FEC_OFF..IDC_FEC_OTHER.
#define IDC_FEC_OFF          1600
#define IDC_FEC_5X5          1601
#define IDC_FEC_10X10        1602
#define IDC_FEC_OTHER        1603
#define IDC_FEC_MATRIX       1604
#define IDC_FEC_COST         1605
#define IDC_FEC_NEXT_START   1606
#define IDC_FEC_NOTE         1607

// The Outputs tab (1800..) and the small dialog that adds or edits one
// output (1820..).
#define IDD_MORE_OUTPUTS     112
#define IDD_OUTPUT_EDIT      113

#define IDC_OUTPUTS_LIST     1800
#define IDC_OUTPUTS_ADD      1801
#define IDC_OUTPUTS_EDIT     1802
#define IDC_OUTPUTS_REMOVE   1803
#define IDC_OUTPUTS_ANNOUNCE 1804
#define IDC_OUTPUTS_NEXT_START 1805
#define IDC_OUTPUTS_NOTE     1806

#define IDC_OUTPUT_TEXT      1820
#define IDC_OUTPUT_CHECK     1821
