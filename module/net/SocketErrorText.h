#pragma once
// A socket error as text for the dialog's line and the host's log.

constexpr int kReasonCapacity = 128;

// The system's text for a socket error, on one line without surrounding
// blanks; "Winsock error <code>" where the system has none (Wine has none
// for the network errors).
void DescribeSocketError(int error, wchar_t (&text)[kReasonCapacity]);
