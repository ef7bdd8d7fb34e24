#include "host/failure_text.h"

#include <windows.h>

#include "config/user_texts.h"
#include "diag/format.h"

const char* ConnectFailReasonLine(ConnectFailReason reason)
{
    switch (reason) {
    case ReasonPinMismatch:
        return TextReasonPinMismatch;
    case ReasonCertUntrusted:
        return TextReasonCertUntrusted;
    case ReasonCertName:
        return TextReasonCertName;
    case ReasonCertExpired:
        return TextReasonCertExpired;
    case ReasonTls:
        return TextReasonTls;
    case ReasonLoginDisabled:
        return TextReasonLoginDisabled;
    case ReasonTlsSetting:
        return TextReasonTlsSetting;
    case ReasonPinSetting:
        return TextReasonPinSetting;
    case ReasonCertRevoked:
        return TextReasonCertRevoked;
    case ReasonCertCheckLate:
        return TextReasonCertCheckLate;
    default:
        return NULL;
    }
}

bool LocalSystemTime(const FILETIME& utc, SYSTEMTIME* local)
{
    SYSTEMTIME universal;
    return FileTimeToSystemTime(&utc, &universal) && SystemTimeToTzSpecificLocalTime(NULL, &universal, local);
}

std::string LocalTimeText(uint64_t fileTime)
{
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(fileTime);
    utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME local;
    if (fileTime == 0 || !LocalSystemTime(utc, &local))
        return "?";
    std::string text;
    FormatString(text, "%04u/%02u/%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                 local.wMinute);
    return text;
}
