#include "config/user_texts.h"

const char TextErrorCaption[] = "QV-PUSH エラー発生";
const char TextConnectFailed[] = "IMAP4サーバーへ接続できません";
const char TextLoginFailed[] = "ユーザー名か、パスワードが違います";
const char TextSaveFailedFormat[] = "設定ファイル「%s」に書き込めませんでした";
const char TextLoadFailureFormat[] =
    "プラグイン「%s」でエラーが発生しました。\r\nQV-Mail32とプラグインのバージョンを確認してください";
const char TextLoadFailureCaption[] = "プラグインエラー";

const char TextReasonPinMismatch[] = "サーバー証明書が指定された指紋と一致しません";
const char TextReasonCertUntrusted[] = "サーバー証明書を信頼できません（発行元を確認できません）";
const char TextReasonCertName[] = "サーバー証明書の名前がサーバー名と一致しません";
const char TextReasonCertExpired[] = "サーバー証明書の有効期限が切れているか、まだ有効になっていません";
const char TextReasonTls[] = "暗号化接続を確立できませんでした";
const char TextReasonLoginDisabled[] =
    "このサーバーは暗号化されていない接続でのログインを許可していません。設定の「暗号化」で SSL/TLS か STARTTLS を選んでください";
const char TextReasonTlsSetting[] = "設定ファイルの tls の値が正しくありません";
const char TextReasonPinSetting[] = "設定ファイルの tlsFingerprint の値が正しくありません";
const char TextReasonCertRevoked[] = "証明書は失効しています";
const char TextReasonCertCheckLate[] = "証明書を確認できませんでした（時間切れ）";

const char TextFingerprintFormat[] = "証明書の指紋 (SHA-256): %s";
const char TextTrustInFileFormat[] = "このサーバーを信頼する場合は、この指紋を %s に tlsFingerprint として書いてください。";
const char TextTrustInDialog[] = "設定画面の「接続テスト」で証明書を確かめて、信頼できます。";
const char TextNamesFormat[] = "証明書に書かれている名前: %s";
const char TextNamesAdvice[] = "サーバー名をこのどれかにしてください。";
const char TextValidityFormat[] = "証明書の有効期間: %s ～ %s";
const char TextClockAdvice[] = "パソコンの日付と時刻が正しいか確認し、正しければサーバーの管理者に連絡してください。";

const char TextStatusNoWindow[] = "状態: このアカウントのフォルダーウィンドウが開かれていません";
const char TextStatusIdlingFormat[] = "状態: 新着を監視しています（IDLE、%s から）";
const char TextStatusPollingFormat[] = "状態: 新着を監視しています（NOOP、%d 分ごと、%s から）";
const char TextStatusConnecting[] = "状態: 接続しています…";
const char TextStatusWaitingFormat[] = "状態: 再接続を待っています（%s に再試行）: %s";
const char TextStatusLoginRefused[] = "状態: 止まっています（ログインが拒否されました）";
const char TextStatusSwitchedOff[] = "状態: 止まっています（この機能を使わない設定です）";

const char TextTesting[] = "テスト中…";
const char TextTestSucceededFormat[] = "テスト成功: ログインして INBOX を開けました（%s、%s）";
const char TextTestIdle[] = "IDLE 対応";
const char TextTestNoIdle[] = "IDLE 非対応、NOOP で確認します";
const char TextTestPlain[] = "暗号化なし";
const char TextTestFailedFormat[] = "テスト失敗: %s";
const char TextTestNoAnswer[] = "応答がありません";
const char TextTestLate[] = "テスト失敗: 応答がありません";
const char TextTestNotStarted[] = "テスト失敗: テストを始められませんでした";
const char TextTrusted[] = "テスト: 証明書を信頼します（OK で保存）";
const char TextPinDropped[] = "テスト: サーバー名が変わったため、信頼した証明書の指紋を外します（OK で保存）";
const char TextCertificateCaption[] = "サーバー証明書";
const char TextCertSubjectFormat[] = "発行先: %s";
const char TextCertIssuerFormat[] = "発行者: %s";
const char TextCertValidityFormat[] = "有効期間: %s ～ %s";
const char TextCertReasonFormat[] = "理由: %s";
const char TextTrustQuestion[] = "この証明書を信頼して、このサーバーに接続しますか？";

#define USER_TEXT(name) {#name, name}
const UserText kUserTexts[] = {
    USER_TEXT(TextErrorCaption), USER_TEXT(TextConnectFailed), USER_TEXT(TextLoginFailed),
    USER_TEXT(TextSaveFailedFormat), USER_TEXT(TextLoadFailureFormat), USER_TEXT(TextLoadFailureCaption),
    USER_TEXT(TextReasonPinMismatch), USER_TEXT(TextReasonCertUntrusted), USER_TEXT(TextReasonCertName),
    USER_TEXT(TextReasonCertExpired), USER_TEXT(TextReasonTls), USER_TEXT(TextReasonLoginDisabled),
    USER_TEXT(TextReasonTlsSetting), USER_TEXT(TextReasonPinSetting), USER_TEXT(TextReasonCertRevoked),
    USER_TEXT(TextReasonCertCheckLate), USER_TEXT(TextFingerprintFormat), USER_TEXT(TextTrustInFileFormat),
    USER_TEXT(TextTrustInDialog), USER_TEXT(TextNamesFormat), USER_TEXT(TextNamesAdvice),
    USER_TEXT(TextValidityFormat), USER_TEXT(TextClockAdvice), USER_TEXT(TextStatusNoWindow),
    USER_TEXT(TextStatusIdlingFormat), USER_TEXT(TextStatusPollingFormat), USER_TEXT(TextStatusConnecting),
    USER_TEXT(TextStatusWaitingFormat), USER_TEXT(TextStatusLoginRefused), USER_TEXT(TextStatusSwitchedOff),
    USER_TEXT(TextTesting), USER_TEXT(TextTestSucceededFormat), USER_TEXT(TextTestIdle),
    USER_TEXT(TextTestNoIdle), USER_TEXT(TextTestPlain), USER_TEXT(TextTestFailedFormat),
    USER_TEXT(TextTestNoAnswer), USER_TEXT(TextTestLate), USER_TEXT(TextTestNotStarted), USER_TEXT(TextTrusted),
    USER_TEXT(TextPinDropped), USER_TEXT(TextCertificateCaption), USER_TEXT(TextCertSubjectFormat),
    USER_TEXT(TextCertIssuerFormat), USER_TEXT(TextCertValidityFormat), USER_TEXT(TextCertReasonFormat),
    USER_TEXT(TextTrustQuestion),
};
#undef USER_TEXT
const size_t kUserTextCount = sizeof kUserTexts / sizeof kUserTexts[0];
