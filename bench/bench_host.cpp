// The benchmarks' Windows side: the stand-in host with the real qvpush.dll,
// the raw IDLE readers that serve as baselines, and the measurements that
// only a process can take of itself. bench/run.py drives it, measures it
// from outside (/proc) and writes the tables.
//
//   qvpush_bench.exe latency   --user U --pass P --mails N [--port TEE] [--tls 1]
//   qvpush_bench.exe idle      --accounts N [--use 0] [--tls 1]
//   qvpush_bench.exe peer      --accounts N
//   qvpush_bench.exe close     --cycles N [--cases A,B,...] [--sequence N]
//   qvpush_bench.exe scale     --accounts N --mails M
//   qvpush_bench.exe handshake --connects N
//
// --tls 1 makes the plug-in's accounts speak implicit TLS to Dovecot's TLS
// port (or to the tee in front of it) under the name localhost, which its
// certificate is made out to; the test CA must be trusted in the prefix.
//
// Every mode that loads the plug-in takes --dll PATH (default qvpush.dll
// next to the program), so that one run can measure two builds of it.
//
// Output is one record per line, words separated by spaces:
//   READY                 set up; run.py measures, then writes STOP
//   CLOCK <ms>            NowMs() now, for a check against the native clock
//   KV <key> <value>      one figure
//   MAIL <k> <ms>...      one mail of the latency run (columns below)
//   CLOSE <case> <ms> [<ms>] one QPCFolderClose, and for some cases the time
//                         from the close to the worker's "thread terminated"
//   CONNECT <tls> <first> <ms>... one connect of the handshake run (columns below)
//   SEQUENCE <n> <ms> <ms> n accounts' last windows closed one after another:
//                         wall time, and the time inside QPCFolderClose
//   WIN <serial> ...      one window of the scale run
//   FAIL <text>           the run could not be made; exit code 1
// Every time is milliseconds of QueryPerformanceCounter, which Wine takes
// from CLOCK_MONOTONIC_RAW: the clock of the Dovecot control service and of
// run.py.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fault/relay.h"
#include "standin/host.h"
#include "support/dovecot.h"
#include "support/script_server.h"
#include "support/temp_account.h"
#include "watch/account_ini.h"

using testing_support::TempAccount;

namespace {

// ---- output and arguments ------------------------------------------------

void Out(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stdout, format, arguments);
    va_end(arguments);
    fputc('\n', stdout);
    fflush(stdout);
}

// The plug-in module to load; --dll names another build of it.
std::string PluginPath = "qvpush.dll";

[[noreturn]] void Fail(const std::string& text)
{
    Out("FAIL %s", text.c_str());
    ExitProcess(1);
}

std::string Argument(int argc, char** argv, const char* name, const char* fallback)
{
    for (int i = 2; i + 1 < argc; ++i)
        if (strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

// Waits for run.py's STOP (or the end of standard input).
void WaitForStop()
{
    char line[256];
    while (fgets(line, sizeof line, stdin) != NULL)
        if (strncmp(line, "STOP", 4) == 0)
            return;
}

struct Memory {
    double commitMb;
    double workingSetMb;
};

Memory MemoryNow()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    const double mb = 1024.0 * 1024.0;
    Memory memory = {static_cast<double>(counters.PagefileUsage) / mb,
                     static_cast<double>(counters.WorkingSetSize) / mb};
    return memory;
}

std::string Hex(const void* pointer)
{
    char text[32];
    snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::string SerialText(int serial, const char* text)
{
    char prefix[32];
    snprintf(prefix, sizeof prefix, "trace [%02d]", serial);
    return prefix + std::string(text);
}

// ---- a raw IDLE reader: the baseline ----------------------------------------

// One plain connection that logs in, selects INBOX and idles, and then has
// one thread blocked in recv that timestamps every line as it arrives.
class RawIdleReader {
public:
    RawIdleReader(const std::string& user, const std::string& password) : user_(user), password_(password) {}
    ~RawIdleReader()
    {
        if (sock_ != INVALID_SOCKET)
            closesocket(sock_);
        if (thread_ != NULL) {
            WaitForSingleObject(thread_, 5000);
            CloseHandle(thread_);
        }
    }

    // Connects and idles; false when the server did not play along.
    bool Start()
    {
        sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address;
        ZeroMemory(&address, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(dovecot::ImapPort()));
        if (connect(sock_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        std::string line;
        if (!ReadLine(&line) || line.compare(0, 4, "* OK") != 0)
            return false;
        if (!Command("a LOGIN " + user_ + " " + password_, "a ") || !Command("b SELECT INBOX", "b "))
            return false;
        if (!Send("c IDLE\r\n"))
            return false;
        do {
            if (!ReadLine(&line))
                return false;
        } while (line.empty() || line[0] != '+');
        thread_ = CreateThread(NULL, 0, Loop, this, 0, NULL);
        return thread_ != NULL;
    }

    // The time at which "* <count> EXISTS" arrived; negative when it has not.
    double ExistsAt(int count)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<int, double>::iterator it = exists_.find(count);
        return it == exists_.end() ? -1.0 : it->second;
    }

private:
    bool Send(const std::string& bytes)
    {
        return send(sock_, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }
    bool Command(const std::string& line, const std::string& tag)
    {
        if (!Send(line + "\r\n"))
            return false;
        std::string answer;
        do {
            if (!ReadLine(&answer))
                return false;
        } while (answer.compare(0, tag.size(), tag) != 0);
        return answer.compare(tag.size(), 2, "OK") == 0;
    }
    bool ReadLine(std::string* line)
    {
        for (;;) {
            size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                *line = pending_.substr(0, end > 0 && pending_[end - 1] == '\r' ? end - 1 : end);
                pending_.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            int n = recv(sock_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            pending_.append(chunk, static_cast<size_t>(n));
        }
    }
    static DWORD WINAPI Loop(LPVOID parameter)
    {
        RawIdleReader* reader = static_cast<RawIdleReader*>(parameter);
        for (;;) {
            char chunk[4096];
            int n = recv(reader->sock_, chunk, sizeof chunk, 0); // blocks until the server speaks
            double now = standin::NowMs();
            if (n <= 0)
                return 0;
            reader->pending_.append(chunk, static_cast<size_t>(n));
            std::string line;
            size_t end;
            while ((end = reader->pending_.find('\n')) != std::string::npos) {
                line = reader->pending_.substr(0, end);
                reader->pending_.erase(0, end + 1);
                int count = 0;
                if (sscanf(line.c_str(), "* %d EXISTS", &count) == 1) {
                    std::lock_guard<std::mutex> lock(reader->mutex_);
                    reader->exists_.emplace(count, now);
                }
            }
        }
    }

    std::string user_;
    std::string password_;
    SOCKET sock_ = INVALID_SOCKET;
    HANDLE thread_ = NULL;
    std::string pending_;
    std::mutex mutex_;
    std::map<int, double> exists_;
};

// ---- accounts -----------------------------------------------------------------

struct Account {
    std::unique_ptr<TempAccount> folder{new TempAccount};
    std::string user;
    std::string password;
    HWND window = NULL;
    int serial = 0;
};

// Dovecot's implicit TLS port: tests/dovecot/start.sh serves it 10000 above
// the plain one when it is given a folder of certificates.
int ImplicitTlsPort()
{
    return dovecot::ImapPort() + 10000;
}

// Turns an account's settings to implicit TLS on `port`, under the name that
// Dovecot's certificate is made out to.
void UseImplicitTls(const std::string& folder, int port)
{
    std::string file = folder + "qvpush.ini";
    WritePrivateProfileStringA("imap4", "server", "localhost", file.c_str());
    WritePrivateProfileStringA("imap4", "port", std::to_string(port).c_str(), file.c_str());
    WritePrivateProfileStringA("imap4", "tls", "1", file.c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
}

// A Dovecot user of its own, and its settings file.
void MakeAccount(Account& account, int use, int recvAtConnected, bool tls = false)
{
    account.user = dovecot::UniqueUser("b");
    account.password = "pw-" + account.user;
    if (!dovecot::AddUser(account.user, account.password))
        Fail("AddUser: " + dovecot::LastError());
    AccountIni ini;
    ini.use = use;
    ini.port = dovecot::ImapPort();
    ini.user = account.user;
    ini.pass = account.password;
    ini.debug = 1;
    ini.recvAtConnected = recvAtConnected;
    WriteAccountIni(account.folder->Folder(), ini);
    if (tls)
        UseImplicitTls(account.folder->Folder(), ImplicitTlsPort());
}

void StartHost(DWORD retrievalMs)
{
    standin::CaptureTrace();
    standin::Options options;
    options.retrievalMs = retrievalMs;
    options.pluginPath = PluginPath;
    if (!standin::Start(options))
        Fail("the plug-in did not load: " + PluginPath);
}

// Opens a window per account and waits until every watcher is in IDLE.
void OpenAll(std::vector<Account>& accounts, bool waitForIdle)
{
    int serial = 0;
    for (Account& account : accounts) {
        account.window = standin::OpenFolder(account.folder->Folder());
        account.serial = ++serial;
    }
    if (!waitForIdle)
        return;
    for (Account& account : accounts)
        if (standin::WaitForLog(SerialText(account.serial, "IDLE mode"), 60000) < 0)
            Fail("watcher " + std::to_string(account.serial) + " did not reach IDLE");
}

double FirstTime(const std::vector<standin::TimedLine>& lines, const std::string& text)
{
    for (const standin::TimedLine& line : lines)
        if (line.text.find(text) != std::string::npos)
            return line.ms;
    return -1.0;
}

// ---- latency ----------------------------------------------------------------

int Latency(int argc, char** argv)
{
    Account account;
    account.user = Argument(argc, argv, "--user", "");
    account.password = Argument(argc, argv, "--pass", "");
    int mails = atoi(Argument(argc, argv, "--mails", "40").c_str());
    AccountIni ini;
    // run.py may put a tee in front of Dovecot that stamps what it forwards.
    ini.port = atoi(Argument(argc, argv, "--port", std::to_string(dovecot::ImapPort()).c_str()).c_str());
    ini.user = account.user;
    ini.pass = account.password;
    ini.debug = 1;
    ini.recvAtConnected = 0;
    WriteAccountIni(account.folder->Folder(), ini);
    if (Argument(argc, argv, "--tls", "0") == "1")
        UseImplicitTls(account.folder->Folder(), ini.port);

    StartHost(50);
    // What one trace line costs the worker: the plug-in's mail-arrived post
    // comes after two of them ("Recv:" and "Received MAIL").
    const int probes = 2000;
    double start = standin::NowMs();
    for (int i = 0; i < probes; ++i)
        OutputDebugStringA("[00]bench probe");
    Out("KV trace_line_us %.1f", (standin::NowMs() - start) * 1000.0 / probes);

    HWND window = standin::OpenFolder(account.folder->Folder());
    if (standin::WaitForLog("trace [01]IDLE mode", 30000) < 0)
        Fail("the watcher did not reach IDLE");
    RawIdleReader wine(account.user, account.password);
    if (!wine.Start())
        Fail("the raw reader could not idle");
    Out("CLOCK %.3f", standin::NowMs());
    Out("READY");

    const std::string sendReceive = "lParam=1000 on " + Hex(window);
    const std::string dismissed = "receive dialog OK pressed for " + Hex(window);
    for (int k = 1; k <= mails; ++k) {
        size_t mark = standin::LogSize();
        double delivered = dovecot::Deliver(account.user, "bench " + std::to_string(k));
        if (delivered < 0)
            Fail("Deliver: " + dovecot::LastError());
        if (standin::WaitForLog(dismissed, 30000, mark) < 0)
            Fail("mail " + std::to_string(k) + " was not received");
        // The raw reader's line came long before, but it is its own thread.
        double wineAt = -1;
        for (int i = 0; i < 100 && (wineAt = wine.ExistsAt(k)) < 0; ++i)
            Sleep(10);
        std::vector<standin::TimedLine> lines = standin::TimedLogLines(mark);
        std::string exists = "trace [01]Recv:* " + std::to_string(k) + " EXISTS";
        Out("MAIL %d %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f", k, delivered, wineAt, FirstTime(lines, exists),
            FirstTime(lines, "Received MAIL"), FirstTime(lines, "(callback 1) on " + Hex(window)),
            FirstTime(lines, "_QPASetTimer(20,"), FirstTime(lines, sendReceive), FirstTime(lines, dismissed));
    }
    Out("KV merged_notices %d", standin::CountLog("Received MAIL") - mails);
    standin::Stop();
    return 0;
}

// ---- idle cost and its baseline -----------------------------------------------

int Idle(int argc, char** argv)
{
    int count = atoi(Argument(argc, argv, "--accounts", "1").c_str());
    int use = atoi(Argument(argc, argv, "--use", "1").c_str());
    bool tls = Argument(argc, argv, "--tls", "0") == "1";
    std::vector<Account> accounts(static_cast<size_t>(count));
    for (Account& account : accounts)
        MakeAccount(account, use, 0, tls);
    StartHost(300);
    Memory before = MemoryNow();
    OpenAll(accounts, use != 0);
    Memory after = MemoryNow();
    Out("KV commit_before_mb %.3f", before.commitMb);
    Out("KV commit_after_mb %.3f", after.commitMb);
    Out("KV ws_before_mb %.3f", before.workingSetMb);
    Out("KV ws_after_mb %.3f", after.workingSetMb);
    Out("READY");
    WaitForStop();
    Memory end = MemoryNow();
    Out("KV commit_end_mb %.3f", end.commitMb);
    Out("KV ws_end_mb %.3f", end.workingSetMb);
    Out("KV notices %d", standin::CountLog("Received MAIL"));
    // Closing 50 windows takes 50 s of close pauses: the process just ends.
    ExitProcess(0);
}

int Peer(int argc, char** argv)
{
    int count = atoi(Argument(argc, argv, "--accounts", "1").c_str());
    std::vector<Account> accounts(static_cast<size_t>(count));
    std::vector<std::unique_ptr<RawIdleReader>> readers;
    Memory before = MemoryNow();
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    for (Account& account : accounts) {
        MakeAccount(account, 0, 0);
        readers.emplace_back(new RawIdleReader(account.user, account.password));
        if (!readers.back()->Start())
            Fail("a raw reader could not idle");
    }
    Memory after = MemoryNow();
    Out("KV commit_before_mb %.3f", before.commitMb);
    Out("KV commit_after_mb %.3f", after.commitMb);
    Out("KV ws_before_mb %.3f", before.workingSetMb);
    Out("KV ws_after_mb %.3f", after.workingSetMb);
    Out("READY");
    WaitForStop();
    ExitProcess(0);
}

// ---- close cost ---------------------------------------------------------------

// The time QPCFolderClose of the window took, as the host timed it. With
// `threadEnded`, also the time from the close to the worker's last trace
// line, "thread terminated": the worker's own way out, which the host does
// not wait for to the end.
double CloseAndMeasure(HWND window, int serial = 0, double* threadEnded = NULL)
{
    size_t mark = standin::LogSize();
    double start = standin::NowMs();
    standin::CloseFolder(window);
    long line = standin::WaitForLog("QPCFolderClose(" + Hex(window) + ")", 300000, mark);
    if (line < 0)
        Fail("no QPCFolderClose in the log");
    std::string text = standin::LogLines()[static_cast<size_t>(line)];
    if (threadEnded != NULL) {
        long ended = standin::WaitForLog(SerialText(serial, "thread terminated"), 30000, mark);
        if (ended < 0)
            Fail("worker " + std::to_string(serial) + " did not end after its close");
        *threadEnded = standin::TimedLogLines(static_cast<size_t>(ended))[0].ms - start;
    }
    return atof(text.substr(text.rfind(" in ") + 4).c_str());
}

bool InNameNamespace()
{
    const char* flag = getenv("QVPUSH_NAME_NAMESPACE");
    return flag != NULL && flag[0] == '1';
}

// A loopback port where nothing listens: connects to it are refused.
int RefusedPort()
{
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address;
    ZeroMemory(&address, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    return ntohs(address.sin_port);
}

int Close(int argc, char** argv)
{
    int cycles = atoi(Argument(argc, argv, "--cycles", "10").c_str());
    int sequence = atoi(Argument(argc, argv, "--sequence", "20").c_str());
    std::string cases = "," + Argument(argc, argv, "--cases", "idle,greeting,login,connect,retry,sequence") + ",";
    auto wanted = [&](const char* name) { return cases.find("," + std::string(name) + ",") != std::string::npos; };
    StartHost(300);
    int serial = 0;

    // In IDLE on Dovecot.
    if (wanted("idle")) {
        Account dovecotAccount;
        MakeAccount(dovecotAccount, 1, 0);
        for (int i = 0; i < cycles; ++i) {
            HWND window = standin::OpenFolder(dovecotAccount.folder->Folder());
            if (standin::WaitForLog(SerialText(++serial, "IDLE mode"), 30000) < 0)
                Fail("no IDLE");
            double ended = 0;
            double inClose = CloseAndMeasure(window, serial, &ended);
            Out("CLOSE idle %.1f %.1f", inClose, ended);
        }
    }

    // In IDLE on Dovecot over implicit TLS.
    if (wanted("tls_idle")) {
        Account tlsAccount;
        MakeAccount(tlsAccount, 1, 0, true);
        for (int i = 0; i < cycles; ++i) {
            HWND window = standin::OpenFolder(tlsAccount.folder->Folder());
            if (standin::WaitForLog(SerialText(++serial, "IDLE mode"), 30000) < 0)
                Fail("no IDLE over TLS");
            double ended = 0;
            double inClose = CloseAndMeasure(window, serial, &ended);
            Out("CLOSE tls_idle %.1f %.1f", inClose, ended);
        }
    }

    // Over implicit TLS, the client's hello read by a server that never
    // answers it.
    if (wanted("tls_handshake")) {
        ScriptServer server;
        Account account;
        AccountIni ini;
        ini.port = server.Port();
        ini.user = "u";
        ini.pass = "p";
        WriteAccountIni(account.folder->Folder(), ini);
        UseImplicitTls(account.folder->Folder(), server.Port());
        for (int i = 0; i < cycles; ++i) {
            HWND window = standin::OpenFolder(account.folder->Folder());
            ++serial;
            if (!server.Accept(30000))
                Fail("no connection to the script server");
            // A TLS record header: handshake (22), version 3.x.
            std::string header;
            if (!server.ReadBytes(5, &header, 30000) || header[0] != 22 || header[1] != 3)
                Fail("no TLS hello from the watcher");
            double ended = 0;
            double inClose = CloseAndMeasure(window, serial, &ended);
            Out("CLOSE tls_handshake %.1f %.1f", inClose, ended);
        }
    }

    // Waiting for a greeting that never comes: a listener that never
    // accepts; the system completes the connection all the same.
    if (wanted("greeting")) {
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address;
        ZeroMemory(&address, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, SOMAXCONN);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        Account silent;
        AccountIni ini;
        ini.port = ntohs(address.sin_port);
        ini.user = "u";
        ini.pass = "p";
        WriteAccountIni(silent.folder->Folder(), ini);
        for (int i = 0; i < cycles; ++i) {
            HWND window = standin::OpenFolder(silent.folder->Folder());
            if (standin::WaitForLog(SerialText(++serial, "Connected(0)"), 30000) < 0)
                Fail("no connection to the silent listener");
            Out("CLOSE greeting %.1f", CloseAndMeasure(window));
        }
        closesocket(listener);
    }

    // Greeted, LOGIN sent, and no answer.
    if (wanted("login")) {
        ScriptServer server;
        Account account;
        AccountIni ini;
        ini.port = server.Port();
        ini.user = "u";
        ini.pass = "p";
        WriteAccountIni(account.folder->Folder(), ini);
        for (int i = 0; i < cycles; ++i) {
            HWND window = standin::OpenFolder(account.folder->Folder());
            ++serial;
            if (!server.Accept(30000))
                Fail("no connection to the script server");
            server.Send("* OK ready\r\n");
            if (server.ExpectCommand("LOGIN u p").empty())
                Fail("no LOGIN");
            Out("CLOSE login %.1f", CloseAndMeasure(window));
        }
    }

    // A connect that the server never answers (its accept queue is full).
    if (wanted("connect")) {
        Relay unanswered(dovecot::ImapPort());
        if (!unanswered.Blocked())
            Fail("could not fill an accept queue");
        Account account;
        AccountIni ini;
        ini.port = unanswered.Port();
        ini.user = "u";
        ini.pass = "p";
        WriteAccountIni(account.folder->Folder(), ini);
        for (int i = 0; i < cycles; ++i) {
            HWND window = standin::OpenFolder(account.folder->Folder());
            if (standin::WaitForLog(SerialText(++serial, "connect to("), 30000) < 0)
                Fail("no connect attempt");
            Out("CLOSE connect %.1f", CloseAndMeasure(window));
        }
    }

    // The server is down: the first connect was refused, and the watcher
    // waits for its next attempt (3 s after the first).
    if (wanted("retry")) {
        Account account;
        AccountIni ini;
        ini.port = RefusedPort();
        ini.user = "u";
        ini.pass = "p";
        WriteAccountIni(account.folder->Folder(), ini);
        for (int i = 0; i < cycles; ++i) {
            size_t mark = standin::LogSize();
            HWND window = standin::OpenFolder(account.folder->Folder());
            if (standin::WaitForLog(SerialText(++serial, "connect error("), 30000, mark) < 0)
                Fail("the connect to a closed port did not fail");
            Sleep(500); // well inside the pause before the next attempt
            if (standin::CountLog(SerialText(serial, "connect to("), mark) != 1)
                Fail("the retry wait was over before the close");
            Out("CLOSE retry %.1f", CloseAndMeasure(window));
        }
    }

    // A name lookup that hangs: only in the private mount namespace of
    // tests/support/name_namespace.sh, whose name server never answers.
    if (wanted("lookup")) {
        if (!InNameNamespace())
            Fail("the lookup case needs tests/support/name_namespace.sh (root, unshare -m)");
        Account account;
        AccountIni ini;
        ini.server = "hang.qvpush.test";
        ini.user = "u";
        ini.pass = "p";
        WriteAccountIni(account.folder->Folder(), ini);
        for (int i = 0; i < cycles; ++i) {
            size_t mark = standin::LogSize();
            HWND window = standin::OpenFolder(account.folder->Folder());
            ++serial;
            Sleep(300); // the lookup is under way
            // The attempt is traced only once the lookup has returned.
            if (standin::CountLog(SerialText(serial, "connect to("), mark) != 0)
                Fail("the lookup did not hang");
            Out("CLOSE lookup %.1f", CloseAndMeasure(window));
        }
    }

    // A host that closes many accounts in a row, as at exit: every watcher
    // in IDLE on Dovecot, each account's last window closed in turn.
    if (wanted("sequence")) {
        std::vector<Account> accounts(static_cast<size_t>(sequence));
        for (Account& account : accounts)
            MakeAccount(account, 1, 0);
        size_t mark = standin::LogSize();
        for (Account& account : accounts) {
            account.window = standin::OpenFolder(account.folder->Folder());
            account.serial = ++serial;
        }
        for (Account& account : accounts)
            if (standin::WaitForLog(SerialText(account.serial, "IDLE mode"), 60000, mark) < 0)
                Fail("watcher " + std::to_string(account.serial) + " did not reach IDLE");
        double start = standin::NowMs();
        double inCloses = 0;
        for (Account& account : accounts)
            inCloses += CloseAndMeasure(account.window);
        Out("SEQUENCE %d %.1f %.1f", sequence, standin::NowMs() - start, inCloses);
    }
    standin::Stop();
    return 0;
}

// ---- connects over TLS ------------------------------------------------------------

// The time of the first of the lines that holds the watcher's trace text;
// the run fails when none does.
double TraceTime(const std::vector<standin::TimedLine>& lines, int serial, const char* text)
{
    double at = FirstTime(lines, SerialText(serial, text));
    if (at < 0)
        Fail("no \"" + std::string(text) + "\" in watcher " + std::to_string(serial) + "'s trace");
    return at;
}

// Opens and closes a window `connects` times over implicit TLS, and as many
// times in plain text, taking turns, all in this one process: the first
// certificate check of a process loads and primes what the later ones reuse.
//   CONNECT <tls> <first> <Connected → IDLE mode>
//           [<Connected → TLS handshake> <TLS handshake → certificate accepted>]
int Handshake(int argc, char** argv)
{
    int connects = atoi(Argument(argc, argv, "--connects", "10").c_str());
    Account tlsAccount;
    Account plainAccount;
    MakeAccount(tlsAccount, 1, 0, true);
    MakeAccount(plainAccount, 1, 0, false);
    StartHost(300);
    Out("READY");
    int serial = 0;
    for (int i = 0; i < connects; ++i) {
        for (int tls = 1; tls >= 0; --tls) {
            Account& account = tls ? tlsAccount : plainAccount;
            size_t mark = standin::LogSize();
            HWND window = standin::OpenFolder(account.folder->Folder());
            ++serial;
            if (standin::WaitForLog(SerialText(serial, "IDLE mode"), 30000, mark) < 0)
                Fail("watcher " + std::to_string(serial) + " did not reach IDLE");
            std::vector<standin::TimedLine> lines = standin::TimedLogLines(mark);
            double connected = TraceTime(lines, serial, "Connected(0)");
            double idle = TraceTime(lines, serial, "IDLE mode");
            if (tls) {
                double handshake = TraceTime(lines, serial, "TLS handshake(");
                double accepted = TraceTime(lines, serial, "certificate accepted");
                Out("CONNECT 1 %d %.3f %.3f %.3f", i == 0 ? 1 : 0, idle - connected, handshake - connected,
                    accepted - handshake);
            } else {
                Out("CONNECT 0 %d %.3f", i == 0 ? 1 : 0, idle - connected);
            }
            CloseAndMeasure(window);
        }
    }
    standin::Stop();
    return 0;
}

// ---- scale ---------------------------------------------------------------------

struct DeliveryJob {
    std::vector<Account>* accounts;
    int first;
    int step;
    int mails;
    std::atomic<int>* failures;
};

DWORD WINAPI Deliveries(LPVOID parameter)
{
    DeliveryJob* job = static_cast<DeliveryJob*>(parameter);
    for (size_t i = static_cast<size_t>(job->first); i < job->accounts->size(); i += static_cast<size_t>(job->step))
        for (int m = 1; m <= job->mails; ++m)
            if (dovecot::Deliver((*job->accounts)[i].user, "scale " + std::to_string(m)) < 0)
                ++*job->failures;
    return 0;
}

struct WindowTally {
    int notices = 0;    // mail-arrived commands the host ran
    int sends = 0;      // send/receive commands
    int dismissed = 0;  // receive dialogs the plug-in closed
    int unbacked = 0;   // send/receive commands without a notice since the one before
    bool pending = false; // a notice after the last send/receive command
    double lastSend = -1;
};

std::vector<WindowTally> Tally(const std::vector<Account>& accounts, size_t from)
{
    std::map<std::string, size_t> byWindow;
    for (size_t i = 0; i < accounts.size(); ++i)
        byWindow[Hex(accounts[i].window)] = i;
    std::vector<WindowTally> tallies(accounts.size());
    for (const standin::TimedLine& line : standin::TimedLogLines(from)) {
        size_t on = line.text.rfind(" on ");
        size_t forWindow = line.text.rfind(" for ");
        bool notice = line.text.find("(callback 1) on ") != std::string::npos;
        bool send = line.text.find("lParam=1000 on ") != std::string::npos;
        bool dismiss = line.text.find("receive dialog OK pressed for ") != std::string::npos;
        if (!notice && !send && !dismiss)
            continue;
        std::string window = dismiss ? line.text.substr(forWindow + 5) : line.text.substr(on + 4);
        std::map<std::string, size_t>::iterator it = byWindow.find(window);
        if (it == byWindow.end())
            continue;
        WindowTally& tally = tallies[it->second];
        if (notice) {
            ++tally.notices;
            tally.pending = true;
        } else if (send) {
            ++tally.sends;
            if (!tally.pending)
                ++tally.unbacked;
            tally.pending = false;
            tally.lastSend = line.ms;
        } else {
            ++tally.dismissed;
        }
    }
    return tallies;
}

int Scale(int argc, char** argv)
{
    int count = atoi(Argument(argc, argv, "--accounts", "50").c_str());
    int mails = atoi(Argument(argc, argv, "--mails", "5").c_str());
    std::vector<Account> accounts(static_cast<size_t>(count));
    for (Account& account : accounts)
        MakeAccount(account, 1, 0);
    StartHost(100);
    Memory before = MemoryNow();
    OpenAll(accounts, true);
    Memory after = MemoryNow();
    Out("KV commit_growth_mb %.3f", after.commitMb - before.commitMb);
    Out("KV ws_growth_mb %.3f", after.workingSetMb - before.workingSetMb);
    Out("READY");
    WaitForStop(); // run.py has taken its first sample

    size_t mark = standin::LogSize();
    std::atomic<int> failures{0};
    const int threads = 8;
    std::vector<DeliveryJob> jobs(threads);
    std::vector<HANDLE> handles;
    double first = standin::NowMs();
    for (int t = 0; t < threads; ++t) {
        jobs[static_cast<size_t>(t)] = DeliveryJob{&accounts, t, threads, mails, &failures};
        handles.push_back(CreateThread(NULL, 0, Deliveries, &jobs[static_cast<size_t>(t)], 0, NULL));
    }
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    double last = standin::NowMs();
    for (HANDLE handle : handles)
        CloseHandle(handle);
    if (failures != 0)
        Fail(std::to_string(failures.load()) + " deliveries failed: " + dovecot::LastError());

    // Done when every watcher has seen its whole mailbox and every notice
    // has had its send/receive command, and every receive dialog is closed.
    std::string all = "* " + std::to_string(mails) + " EXISTS";
    DWORD start = GetTickCount();
    bool done = false;
    while (!done && GetTickCount() - start < 300000) {
        done = true;
        for (const Account& account : accounts)
            if (standin::CountLog(SerialText(account.serial, ("Recv:" + all).c_str()), mark) == 0)
                done = false;
        if (done)
            for (const WindowTally& tally : Tally(accounts, mark))
                if (tally.pending || tally.sends == 0 || tally.dismissed != tally.sends)
                    done = false;
        if (!done)
            standin::WaitForLog("receive dialog OK pressed", 500, standin::LogSize());
    }
    Out("KV settled %d", done ? 1 : 0);
    Out("KV first_delivery_ms %.3f", first);
    Out("KV last_delivery_ms %.3f", last);
    std::vector<WindowTally> tallies = Tally(accounts, mark);
    for (size_t i = 0; i < accounts.size(); ++i) {
        const WindowTally& t = tallies[i];
        bool sawAll = standin::CountLog(SerialText(accounts[i].serial, ("Recv:" + all).c_str()), mark) > 0;
        Out("WIN %d %d %d %d %d %d %d %.3f", accounts[i].serial, t.notices, t.sends, t.dismissed, t.unbacked,
            t.pending ? 1 : 0, sawAll ? 1 : 0, t.lastSend);
    }
    Memory end = MemoryNow();
    Out("KV commit_end_growth_mb %.3f", end.commitMb - before.commitMb);
    Out("KV ws_end_growth_mb %.3f", end.workingSetMb - before.workingSetMb);
    Out("DONE");
    WaitForStop(); // run.py has taken its second sample
    ExitProcess(0);
}

} // namespace

int main(int argc, char** argv)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    std::string mode = argc > 1 ? argv[1] : "";
    PluginPath = Argument(argc, argv, "--dll", "qvpush.dll");
    if (dovecot::ImapPort() == 0)
        Fail("QVPUSH_DOVECOT_PORT and QVPUSH_DOVECOT_CONTROL must name the bench's Dovecot");
    if (mode == "latency")
        return Latency(argc, argv);
    if (mode == "idle")
        return Idle(argc, argv);
    if (mode == "peer")
        return Peer(argc, argv);
    if (mode == "close")
        return Close(argc, argv);
    if (mode == "scale")
        return Scale(argc, argv);
    if (mode == "handshake")
        return Handshake(argc, argv);
    Fail("usage: qvpush_bench.exe latency|idle|peer|close|scale|handshake [options]");
}
