// The connect-failed box says why the watcher could not connect, and for a
// certificate the user may choose to trust, its fingerprint and the setup
// dialog's test (for a faulty pin in the file, the file to write it into);
// for one made out to other names, those names; for one outside its
// validity, the period and a word about the clock. The box's text is read
// back from the host's own window.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <string>

#include "watch/session.h"
#include "standin/host.h"
#include "support/host_fixture.h"
#include "support/linked_plugin.h"
#include "support/ui.h"
#include "watch/registry.h"
#include "watch/watcher.h"

namespace {

const char ErrorCaption[] = "QV-PUSH エラー発生";
const char Unreachable[] = "IMAP4サーバーへ接続できません";
const char Fingerprint[] = "9f:86:d0:81:88:4c:7d:65:9a:2f:ea:a0:c5:5a:d0:15:a3:bf:4f:1b:2b:0b:82:2c:d1:5d:6c:15:b0:f0:0a:08";

std::string Lines(const char* reason)
{
    return std::string(Unreachable) + "\n" + reason;
}

// A certificate the user may trust: the reason, its fingerprint, and the
// setup dialog's test, where it is checked and trusted.
std::string CertificateLines(const char* reason)
{
    return Lines(reason) + "\n証明書の指紋 (SHA-256): " + Fingerprint +
           "\n設定画面の「接続テスト」で証明書を確かめて、信頼できます。";
}

// A pin in the file that is no fingerprint: put right in the file, by its
// full path.
std::string PinSettingLines()
{
    return Lines("設定ファイルの tlsFingerprint の値が正しくありません") + "\n証明書の指紋 (SHA-256): " + Fingerprint +
           "\nこのサーバーを信頼する場合は、この指紋を C:\\acct\\qvpush.ini に tlsFingerprint として書いてください。";
}

// A UTC time as a FILETIME value, and the box's local text for it.
uint64_t FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute)
{
    SYSTEMTIME utc = {};
    utc.wYear = year;
    utc.wMonth = month;
    utc.wDay = day;
    utc.wHour = hour;
    utc.wMinute = minute;
    FILETIME time;
    EXPECT_TRUE(SystemTimeToFileTime(&utc, &time));
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string LocalText(uint64_t value)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    SYSTEMTIME utc, local;
    EXPECT_TRUE(FileTimeToSystemTime(&time, &utc));
    EXPECT_TRUE(SystemTimeToTzSpecificLocalTime(NULL, &utc, &local));
    char text[40];
    snprintf(text, sizeof text, "%04u/%02u/%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
             local.wMinute);
    return text;
}

const uint64_t ValidFrom = FileTimeOf(2025, 3, 1, 9, 5);
const uint64_t ValidTo = FileTimeOf(2026, 2, 28, 23, 59);

class ConnectFailedBox : public HostTest {
protected:
    void SetUp() override
    {
        linked_plugin::Use(&options);
        HostTest::SetUp();
    }
};

TEST_F(ConnectFailedBox, AddsTheReasonOfTheLastFailureAndForACertificateWhatToTrust)
{
    const struct {
        ConnectFailReason reason;
        const char* fingerprint;
        std::string text;
        const char* names;
    } cases[] = {
        {ReasonNone, "", Unreachable, ""},
        {ReasonPinMismatch, Fingerprint, CertificateLines("サーバー証明書が指定された指紋と一致しません"), ""},
        {ReasonCertUntrusted, Fingerprint, CertificateLines("サーバー証明書を信頼できません（発行元を確認できません）"), ""},
        // A pin would accept any name and any date: the box tells what the
        // certificate holds instead, and nothing of pinning.
        {ReasonCertName, Fingerprint,
         Lines("サーバー証明書の名前がサーバー名と一致しません") +
             "\n証明書に書かれている名前: mail.example.jp, imap.example.jp, 192.0.2.7"
             "\nサーバー名をこのどれかにしてください。",
         "mail.example.jp, imap.example.jp, 192.0.2.7"},
        {ReasonCertExpired, Fingerprint,
         Lines("サーバー証明書の有効期限が切れているか、まだ有効になっていません") + "\n証明書の有効期間: " +
             LocalText(ValidFrom) + " ～ " + LocalText(ValidTo) +
             "\nパソコンの日付と時刻が正しいか確認し、正しければサーバーの管理者に連絡してください。", ""},
        {ReasonCertRevoked, Fingerprint, Lines("証明書は失効しています"), ""},
        {ReasonCertCheckLate, "", Lines("証明書を確認できませんでした（時間切れ）"), ""},
        {ReasonPinSetting, Fingerprint, PinSettingLines(), ""},
        // No certificate was seen: nothing to pin.
        {ReasonCertUntrusted, "", Lines("サーバー証明書を信頼できません（発行元を確認できません）"), ""},
        {ReasonPinSetting, "", Lines("設定ファイルの tlsFingerprint の値が正しくありません"), ""},
        // Not the certificate's fault: pinning it would change nothing.
        {ReasonTls, Fingerprint, Lines("暗号化接続を確立できませんでした"), ""},
        {ReasonLoginDisabled, "",
         Lines("このサーバーは暗号化されていない接続でのログインを許可していません。設定の「暗号化」で SSL/TLS "
               "か STARTTLS を選んでください"), ""},
        {ReasonTlsSetting, "", Lines("設定ファイルの tls の値が正しくありません"), ""},
        // After all those, a failure without a reason keeps none of theirs.
        {ReasonNone, Fingerprint, Unreachable, ""},
    };
    HWND window = standin::OpenFolder("C:\\acct\\");
    Watcher* watcher = nullptr;
    standin::Run([&] { watcher = FindWatcherByWindow(window); });
    ASSERT_NE(watcher, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE("reason " + std::to_string(c.reason) + " fingerprint \"" + c.fingerprint + "\"");
        ConnectFailure failure;
        failure.reason = c.reason;
        failure.fingerprint = c.fingerprint;
        failure.names = c.names ? c.names : "";
        failure.validFrom = ValidFrom;
        failure.validTo = ValidTo;
        // What the session's worker does: this watcher's own is idle, as the
        // account has no settings file.
        watcher->session.events.connectFailed(watcher->session.events.owner, failure);
        HWND box = ui::WaitForWindow("#32770", ErrorCaption, 10000, window);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(ui::MessageBoxText(box), c.text);
        ui::Press(box, IDOK);
        ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
    }
}

} // namespace
