// Every text the plug-in shows the user, in one place: the message boxes,
// the settings dialog's own lines, its status line and its connection
// test. Compiled to code page 932. In a format, "%s" and "%d" stand for the
// values filled in. The user guide quotes each of them word for word.
#pragma once

#include <stddef.h>

// Message boxes.
extern const char TextErrorCaption[];
extern const char TextConnectFailed[];
extern const char TextLoginFailed[];
extern const char TextSaveFailedFormat[];
extern const char TextLoadFailureFormat[];
extern const char TextLoadFailureCaption[];
// The connect-failed box's second line, by reason.
extern const char TextReasonPinMismatch[];
extern const char TextReasonCertUntrusted[];
extern const char TextReasonCertName[];
extern const char TextReasonCertExpired[];
extern const char TextReasonTls[];
extern const char TextReasonLoginDisabled[];
extern const char TextReasonTlsSetting[];
extern const char TextReasonPinSetting[];
extern const char TextReasonCertRevoked[];
extern const char TextReasonCertCheckLate[];
// What the connect-failed box advises about a refused certificate.
extern const char TextFingerprintFormat[];
extern const char TextTrustInFileFormat[];
extern const char TextTrustInDialog[];
extern const char TextNamesFormat[];
extern const char TextNamesAdvice[];
extern const char TextValidityFormat[];
extern const char TextClockAdvice[];
// The setup dialog's status line.
extern const char TextStatusNoWindow[];
extern const char TextStatusIdlingFormat[];
extern const char TextStatusPollingFormat[];
extern const char TextStatusConnecting[];
extern const char TextStatusWaitingFormat[];
extern const char TextStatusLoginRefused[];
extern const char TextStatusSwitchedOff[];
// The connection test, and trusting a certificate from it.
extern const char TextTesting[];
extern const char TextTestSucceededFormat[];
extern const char TextTestIdle[];
extern const char TextTestNoIdle[];
extern const char TextTestPlain[];
extern const char TextTestFailedFormat[];
extern const char TextTestNoAnswer[];
extern const char TextTestLate[];
extern const char TextTestNotStarted[];
extern const char TextTrusted[];
extern const char TextPinDropped[];
extern const char TextCertificateCaption[];
extern const char TextCertSubjectFormat[];
extern const char TextCertIssuerFormat[];
extern const char TextCertValidityFormat[];
extern const char TextCertReasonFormat[];
extern const char TextTrustQuestion[];

struct UserText {
    const char* name; // the constant's name, for a test's report
    const char* text;
};
extern const UserText kUserTexts[];
extern const size_t kUserTextCount;
