// Identifiers of the setup dialog and its controls, shared by the resource
// script and the code. Plain defines, so that the resource compiler reads
// them too.
#pragma once

#define IDD_SETUP 101
#define IDC_RECV_AT_CONNECTED 1001 // check box: recvAtConnected
#define IDC_SERVER 1002            // edit: server
#define IDC_PORT 1003              // edit: port
#define IDC_USER 1004              // edit: user
#define IDC_PASS 1005              // edit, masked: pass
#define IDC_USE 1006               // check box: use
#define IDC_TLS 1007               // drop-down list: tls
#define IDC_STATUS 1010            // static, two lines: the watcher's state, a test's result
#define IDC_TEST 1011              // push button: 接続テスト
#define IDC_CERTIFICATE 1012       // push button: 証明書…
