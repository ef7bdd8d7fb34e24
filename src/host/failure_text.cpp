#include "host/failure_text.h"

#include <windows.h>

#include "diag/format.h"

const char* ConnectFailReasonLine(ConnectFailReason reason)
{
    switch (reason) {
    case ReasonPinMismatch:
        return "サーバー証明書が指定された指紋と一致しません";
    case ReasonCertUntrusted:
        return "サーバー証明書を信頼できません（発行元を確認できません）";
    case ReasonCertName:
        return "サーバー証明書の名前がサーバー名と一致しません";
    case ReasonCertExpired:
        return "サーバー証明書の有効期限が切れているか、まだ有効になっていません";
    case ReasonTls:
        return "暗号化接続を確立できませんでした";
    case ReasonLoginDisabled:
        return "このサーバーは暗号化されていない接続でのログインを許可していません。設定の「暗号化」で SSL/TLS か STARTTLS を選んでください";
    case ReasonTlsSetting:
        return "設定ファイルの tls の値が正しくありません";
    case ReasonPinSetting:
        return "設定ファイルの tlsFingerprint の値が正しくありません";
    case ReasonCertRevoked:
        return "証明書は失効しています";
    case ReasonCertCheckLate:
        return "証明書を確認できませんでした（時間切れ）";
    default:
        return NULL;
    }
}

std::string LocalTimeText(uint64_t fileTime)
{
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(fileTime);
    utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME universal, local;
    if (fileTime == 0 || !FileTimeToSystemTime(&utc, &universal) ||
        !SystemTimeToTzSpecificLocalTime(NULL, &universal, &local))
        return "?";
    std::string text;
    FormatString(text, "%04u/%02u/%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                 local.wMinute);
    return text;
}
