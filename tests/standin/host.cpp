#include "standin/host.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace standin {
namespace {

typedef int(WINAPI* CommandProc)(HWND window, int unused);
typedef int(WINAPI* TimerProc)(int unused, HWND window);

const UINT WM_HOST_RUN = WM_APP + 1;   // lParam: std::function<void()>* to run, caller waits
const UINT WM_HOST_POST = WM_APP + 2;  // lParam: heap std::function<void()>*, host frees it
const UINT FirstCommandId = 41001;
const UINT_PTR RetrievalTimer = 1;
const char MainClass[] = "StandinHostMain";
const char FolderClass[] = "StandinFolder";

struct Folder {
    std::string account;
    bool retrieving = false;
};

struct Timer {
    HWND window;
    TimerProc callback;
    int value;
};

// Window-thread state. Only the window thread touches it, except where a
// comment says otherwise.
Options HostOptions;
HANDLE Thread = NULL;
DWORD ThreadId = 0;
HWND MainWindow = NULL;
HMODULE PluginModule = NULL;
std::map<HWND, Folder> FolderWindows;
std::map<UINT_PTR, Timer> Timers; // keyed by the Win32 timer id
UINT_PTR NextTimerId = 100;
std::vector<Registration> Registered; // guarded by LogMutex, read by tests
std::atomic<bool> ForcedBusy{false};
std::atomic<int> ItemMode{static_cast<int>(CheckItemMode::Normal)};
int Retrievals = 0;

std::mutex LogMutex;
std::condition_variable LogChanged;
std::vector<std::string> LogEntries;
std::vector<double> LogTimes; // NowMs() of each entry, same index

LARGE_INTEGER ClockFrequency;

// Plug-in entry points, found by name when it loads.
typedef int(WINAPI* IntOfWindow)(HWND);
typedef int(WINAPI* IntOfWindowValue)(HWND, DWORD);
typedef void(WINAPI* InitMenuFn)(DWORD, HMENU, int);
typedef int(WINAPI* IntOfValue)(DWORD);
typedef const char*(WINAPI* NameFn)();
typedef void(WINAPI* VoidFn)();

template <typename Fn> Fn Entry(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(PluginEntry(name)));
}

bool HasPlugin()
{
    return PluginModule != NULL || HostOptions.linkedEntry != nullptr;
}

bool IsBusy()
{
    return ForcedBusy || Retrievals > 0;
}

void ApplyCheckItemMode(HMENU tools)
{
    CheckItemMode mode = static_cast<CheckItemMode>(ItemMode.load());
    if (mode == CheckItemMode::Absent) {
        DeleteMenu(tools, CheckItemId, MF_BYCOMMAND);
        return;
    }
    UINT enable = (mode == CheckItemMode::Grayed || (mode == CheckItemMode::Normal && IsBusy()))
                      ? MF_GRAYED
                      : MF_ENABLED;
    EnableMenuItem(tools, CheckItemId, MF_BYCOMMAND | enable);
    CheckMenuItem(tools, CheckItemId,
                  MF_BYCOMMAND | (mode == CheckItemMode::Checked ? MF_CHECKED : MF_UNCHECKED));
}

HMENU BuildFolderMenu()
{
    HMENU bar = CreateMenu();
    HMENU file = CreatePopupMenu();
    AppendMenuA(file, MF_STRING, 40010, "閉じる(&C)");
    HMENU edit = CreatePopupMenu();
    AppendMenuA(edit, MF_STRING, 40020, "すべて選択(&A)");
    HMENU mail = CreatePopupMenu();
    AppendMenuA(mail, MF_STRING, 40030, "新規作成(&N)");
    AppendMenuA(mail, MF_SEPARATOR, 0, NULL);
    AppendMenuA(mail, MF_STRING, SendReceiveItemId, "メールの送受信(&R)\tF5");
    HMENU tools = CreatePopupMenu();
    AppendMenuA(tools, MF_STRING, CheckItemId, "新着メールのチェック(&C)");
    AppendMenuA(tools, MF_STRING, 40050, "オプション(&O)...");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "ファイル(&F)");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), "編集(&E)");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(mail), "メール(&M)");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(tools), "ツール(&T)");
    return bar;
}

// ---- the receive dialog ---------------------------------------------------

const int StatusTextId = 100;

struct ReceiveDialogTemplate {
    // An in-memory DLGTEMPLATE with two items, laid out as the dialog
    // manager reads it: WORD-aligned, each item DWORD-aligned.
    std::vector<WORD> words;

    void Align()
    {
        if (words.size() % 2)
            words.push_back(0);
    }
    void Text(const wchar_t* text)
    {
        for (; *text; ++text)
            words.push_back(*text);
        words.push_back(0);
    }
    void Dword(DWORD value)
    {
        words.push_back(LOWORD(value));
        words.push_back(HIWORD(value));
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom,
              const wchar_t* text)
    {
        Align();
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        words.push_back(x);
        words.push_back(y);
        words.push_back(cx);
        words.push_back(cy);
        words.push_back(id);
        words.push_back(0xFFFF);
        words.push_back(classAtom);
        Text(text);
        words.push_back(0); // no creation data
    }
    ReceiveDialogTemplate()
    {
        Dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT);
        Dword(0);
        words.push_back(2); // items
        words.push_back(0);
        words.push_back(0);
        words.push_back(180);
        words.push_back(70);
        words.push_back(0); // no menu
        words.push_back(0); // default class
        Text(L"メール受信");
        words.push_back(9);
        Text(L"MS UI Gothic");
        Item(SS_LEFT, 10, 10, 160, 20, StatusTextId, 0x0082, L"メールを受信しています...");
        Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 65, 45, 50, 14, IDOK, 0x0080, L"OK");
    }
};

INT_PTR CALLBACK ReceiveDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        SetTimer(dialog, RetrievalTimer, HostOptions.retrievalMs, NULL);
        Log("receive dialog opened for %p", reinterpret_cast<void*>(lParam));
        return TRUE;
    case WM_TIMER:
        if (wParam == RetrievalTimer) {
            KillTimer(dialog, RetrievalTimer);
            HWND folder = reinterpret_cast<HWND>(GetWindowLongPtrA(dialog, DWLP_USER));
            SetDlgItemTextA(dialog, StatusTextId, "受信が完了しました");
            --Retrievals;
            FolderWindows[folder].retrieving = false;
            Log("retrieval ended for %p", static_cast<void*>(folder));
            BOOL posted = Entry<IntOfWindow>("QPCFolderEndRetrieve")(folder);
            Log("QPCFolderEndRetrieve(%p) -> %d", static_cast<void*>(folder), posted);
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            HWND folder = reinterpret_cast<HWND>(GetWindowLongPtrA(dialog, DWLP_USER));
            if (FolderWindows[folder].retrieving) {
                // Closed before the retrieval ended.
                KillTimer(dialog, RetrievalTimer);
                --Retrievals;
                FolderWindows[folder].retrieving = false;
            }
            Log("receive dialog %s for %p", LOWORD(wParam) == IDOK ? "OK pressed" : "cancelled",
                static_cast<void*>(folder));
            EndDialog(dialog, LOWORD(wParam));
        }
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK TestDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        Log("test dialog %p OK pressed", static_cast<void*>(dialog));
        DestroyWindow(dialog);
        return TRUE;
    }
    return FALSE;
}

void RunSendReceive(HWND folder, LPARAM lParam)
{
    Log("send/receive command on %p (%s)", static_cast<void*>(folder), lParam == 1000 ? "from the plug-in" : "from the menu");
    Folder& state = FolderWindows[folder];
    if (state.retrieving) {
        Log("send/receive ignored: a retrieval is running");
        return;
    }
    state.retrieving = true;
    ++Retrievals;
    static ReceiveDialogTemplate dialogTemplate;
    DialogBoxIndirectParamW(GetModuleHandleW(NULL),
                            reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.words.data()), folder,
                            ReceiveDialogProc, reinterpret_cast<LPARAM>(folder));
}

// ---- windows ----------------------------------------------------------------

void RunCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    std::vector<Registration> registered;
    {
        std::lock_guard<std::mutex> lock(LogMutex);
        registered = Registered;
    }
    for (size_t i = 0; i < registered.size(); ++i) {
        if (registered[i].id != wParam)
            continue;
        Log("command %u (callback %u) on %p", registered[i].id, static_cast<unsigned>(i + 1),
            static_cast<void*>(window));
        int result = reinterpret_cast<CommandProc>(registered[i].callback)(window, 0);
        Log("command %u returned %d", registered[i].id, result);
        return;
    }
    Log("WM_COMMAND id=%lu lParam=%ld on %p", static_cast<unsigned long>(wParam), static_cast<long>(lParam),
        static_cast<void*>(window));
    if (LOWORD(wParam) == SendReceiveItemId && HIWORD(wParam) == 0)
        RunSendReceive(window, lParam);
}

void TimerTick(HWND window, UINT_PTR id)
{
    std::map<UINT_PTR, Timer>::iterator it = Timers.find(id);
    if (it == Timers.end())
        return;
    Timer timer = it->second;
    int result = timer.callback(static_cast<int>(id), window);
    Log("timer %u tick on %p returned %d", static_cast<unsigned>(id), static_cast<void*>(window), result);
    if (result == 0) {
        KillTimer(window, id);
        Timers.erase(id);
    }
}

void ForgetTimers(HWND window)
{
    for (std::map<UINT_PTR, Timer>::iterator it = Timers.begin(); it != Timers.end();) {
        if (it->second.window == window)
            it = Timers.erase(it);
        else
            ++it;
    }
}

LRESULT CALLBACK FolderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        RunCommand(window, wParam, lParam);
        return 0;
    case WM_TIMER:
        TimerTick(window, wParam);
        return 0;
    case WM_INITMENUPOPUP: {
        HMENU tools = GetSubMenu(GetMenu(window), 3);
        if (reinterpret_cast<HMENU>(wParam) == tools) {
            ApplyCheckItemMode(tools);
            UINT state = GetMenuState(tools, CheckItemId, MF_BYCOMMAND);
            Log("WM_INITMENUPOPUP tools on %p: item 32835 state %d", static_cast<void*>(window),
                static_cast<int>(state));
        }
        return 0;
    }
    case WM_CLOSE: {
        double start = NowMs();
        int result = Entry<IntOfWindow>("QPCFolderClose")(window);
        Log("QPCFolderClose(%p) -> %d in %.1f ms", static_cast<void*>(window), result, NowMs() - start);
        DestroyWindow(window);
        return 0;
    }
    case WM_DESTROY:
        ForgetTimers(window);
        FolderWindows.erase(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_HOST_RUN:
        (*reinterpret_cast<std::function<void()>*>(lParam))();
        return 0;
    case WM_HOST_POST: {
        std::function<void()>* function = reinterpret_cast<std::function<void()>*>(lParam);
        (*function)();
        delete function;
        return 0;
    }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

struct StartState {
    HANDLE ready;
    bool loaded;
};

DWORD WINAPI HostThread(LPVOID parameter)
{
    StartState* start = static_cast<StartState*>(parameter);
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hCursor = LoadCursor(NULL, IDC_ARROW);
    windowClass.lpfnWndProc = MainProc;
    windowClass.lpszClassName = MainClass;
    RegisterClassA(&windowClass);
    windowClass.lpfnWndProc = FolderProc;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = FolderClass;
    RegisterClassA(&windowClass);
    MainWindow = CreateWindowA(MainClass, "QV-Mail stand-in", WS_OVERLAPPED, 0, 0, 10, 10, NULL, NULL,
                               GetModuleHandleA(NULL), NULL);

    if (HostOptions.pluginPath.empty()) {
        // A test that links the plug-in's code into itself drives it directly.
        Log("running without a plug-in module");
    } else {
        Log("loading plug-in %s", HostOptions.pluginPath.c_str());
        PluginModule = LoadLibraryA(HostOptions.pluginPath.c_str());
        if (PluginModule == NULL)
            Log("plug-in refused to load (error %lu)", GetLastError());
    }
    if (HasPlugin()) {
        if (PluginModule == NULL && HostOptions.attachLinked != nullptr)
            HostOptions.attachLinked();
        Log("plug-in loaded: %s", Entry<NameFn>("QPCGetPlugName")());
        Entry<IntOfValue>("QPCVersionInfo")(0);
        int result = Entry<IntOfValue>("QPCStartUp")(0);
        Log("QPCStartUp -> %d", result);
    }
    start->loaded = HasPlugin() || HostOptions.pluginPath.empty();
    SetEvent(start->ready);

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

std::string Stamp()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
    return text;
}

std::mutex TraceHookMutex;
TraceHook TraceHookNow;

TraceHook CurrentTraceHook()
{
    std::lock_guard<std::mutex> lock(TraceHookMutex);
    return TraceHookNow;
}

// Actions to run once when a trace line holding their text is captured.
struct LineAction {
    std::string text;
    std::function<void()> action;
};
std::mutex TraceHooksMutex;
std::vector<LineAction> TraceHooks;

LONG CALLBACK TraceHandler(EXCEPTION_POINTERS* exception)
{
    // OutputDebugStringA raises this exception for a debugger; with none
    // attached, the system swallows it after the vectored handlers ran.
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
    std::string line(text, length > 0 && text[length - 1] == '\0' ? length - 1 : length);
    Log("trace %s", line.c_str());
    // Runs on the tracing thread, after the line is logged: a test can hold
    // that thread here, as a slow debugger would, or act at an exact point.
    TraceHook hook = CurrentTraceHook();
    if (hook)
        hook(line);
    // A hook whose text the line holds is taken out and run last, on this
    // thread, so that whatever it arms meets the plug-in's own work after
    // the trace call, not this handler's.
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(TraceHooksMutex);
        for (std::vector<LineAction>::iterator it = TraceHooks.begin(); it != TraceHooks.end(); ++it)
            if (line.find(it->text) != std::string::npos) {
                action.swap(it->action);
                TraceHooks.erase(it);
                break;
            }
    }
    if (action)
        action();
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

// ---- control ----------------------------------------------------------------

double NowMs()
{
    if (ClockFrequency.QuadPart == 0)
        QueryPerformanceFrequency(&ClockFrequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(ClockFrequency.QuadPart);
}

void Log(const char* format, ...)
{
    // Taken first, so that the time is the event's, not the formatting's.
    double ms = NowMs();
    // Lines are kept whole, however long: a trace line of the plug-in is
    // checked byte for byte. Most fit the buffer on the stack.
    char text[2048];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::string line = Stamp() + " ";
    if (length >= 0 && static_cast<size_t>(length) >= sizeof text) {
        std::vector<char> whole(static_cast<size_t>(length) + 1);
        va_start(arguments, format);
        vsnprintf(whole.data(), whole.size(), format, arguments);
        va_end(arguments);
        line.append(whole.data(), static_cast<size_t>(length));
    } else {
        line += text;
    }
    if (HostOptions.echoLog) {
        fprintf(stdout, "%s\n", line.c_str());
        fflush(stdout);
    }
    std::lock_guard<std::mutex> lock(LogMutex);
    LogEntries.push_back(line);
    LogTimes.push_back(ms);
    LogChanged.notify_all();
}

void SetTraceHook(const TraceHook& hook)
{
    std::lock_guard<std::mutex> lock(TraceHookMutex);
    TraceHookNow = hook;
}

void CaptureTrace()
{
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true))
        AddVectoredExceptionHandler(1, TraceHandler);
}

void OnTraceLine(const std::string& text, const std::function<void()>& action)
{
    std::lock_guard<std::mutex> lock(TraceHooksMutex);
    TraceHooks.push_back(LineAction{text, action});
}

std::vector<std::string> LogLines()
{
    std::lock_guard<std::mutex> lock(LogMutex);
    return LogEntries;
}

std::vector<TimedLine> TimedLogLines(size_t from)
{
    std::lock_guard<std::mutex> lock(LogMutex);
    std::vector<TimedLine> lines;
    for (size_t i = from; i < LogEntries.size(); ++i)
        lines.push_back(TimedLine{LogTimes[i], LogEntries[i]});
    return lines;
}

size_t LogSize()
{
    std::lock_guard<std::mutex> lock(LogMutex);
    return LogEntries.size();
}

long WaitForLog(const std::string& text, DWORD timeoutMs, size_t from)
{
    std::unique_lock<std::mutex> lock(LogMutex);
    long found = -1;
    LogChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (; from < LogEntries.size(); ++from)
            if (LogEntries[from].find(text) != std::string::npos) {
                found = static_cast<long>(from);
                return true;
            }
        return false;
    });
    return found;
}

int CountLog(const std::string& text, size_t from)
{
    std::lock_guard<std::mutex> lock(LogMutex);
    int count = 0;
    for (size_t i = from; i < LogEntries.size(); ++i)
        if (LogEntries[i].find(text) != std::string::npos)
            ++count;
    return count;
}

bool NoLogFor(const std::string& text, DWORD spanMs, size_t from)
{
    return WaitForLog(text, spanMs, from) < 0;
}

void ObserveFor(DWORD spanMs)
{
    Sleep(spanMs);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

std::vector<std::string> TraceLines(size_t from)
{
    // "hh:mm:ss.mmm trace [01]...": the stamp is 12 characters.
    const std::string prefix = "trace ";
    std::lock_guard<std::mutex> lock(LogMutex);
    std::vector<std::string> lines;
    for (size_t i = from; i < LogEntries.size(); ++i)
        if (LogEntries[i].size() > 13 && LogEntries[i].compare(13, prefix.size(), prefix) == 0)
            lines.push_back(LogEntries[i].substr(13 + prefix.size()));
    return lines;
}

bool Start(const Options& options)
{
    HostOptions = options;
    {
        std::lock_guard<std::mutex> lock(LogMutex);
        Registered.clear();
    }
    StartState start;
    start.ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    start.loaded = false;
    Thread = CreateThread(NULL, 0, HostThread, &start, 0, &ThreadId);
    if (Thread == NULL) {
        CloseHandle(start.ready);
        return false;
    }
    WaitForSingleObject(start.ready, INFINITE);
    CloseHandle(start.ready);
    return start.loaded;
}

void Stop()
{
    if (Thread == NULL)
        return;
    Run([] {
        // Receive dialogs still open end first, then every folder window.
        for (std::pair<const HWND, Folder>& folder : FolderWindows) {
            HWND dialog = NULL;
            while ((dialog = FindWindowExA(NULL, dialog, "#32770", NULL)) != NULL)
                if (GetParent(dialog) == folder.first)
                    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        }
    });
    for (HWND window : Folders())
        CloseFolder(window);
    Run([] {
        if (PluginModule != NULL) {
            Entry<VoidFn>("QPCCleanUp")();
            FreeLibrary(PluginModule);
            Log("plug-in unloaded");
            PluginModule = NULL;
        }
        DestroyWindow(MainWindow);
        MainWindow = NULL;
        PostQuitMessage(0);
    });
    WaitForSingleObject(Thread, INFINITE);
    CloseHandle(Thread);
    Thread = NULL;
}

void Run(const std::function<void()>& function)
{
    if (GetCurrentThreadId() == ThreadId) {
        function();
        return;
    }
    SendMessageA(MainWindow, WM_HOST_RUN, 0,
                 reinterpret_cast<LPARAM>(const_cast<std::function<void()>*>(&function)));
}

void Post(const std::function<void()>& function)
{
    PostMessageA(MainWindow, WM_HOST_POST, 0, reinterpret_cast<LPARAM>(new std::function<void()>(function)));
}

HWND OpenFolder(const std::string& account)
{
    HWND window = NULL;
    Run([&] {
        std::string title = "受信箱 - " + account;
        window = CreateWindowA(FolderClass, title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 480,
                               320, NULL, BuildFolderMenu(), GetModuleHandleA(NULL), NULL);
        FolderWindows[window].account = account;
        Log("folder window %p opened for %s", static_cast<void*>(window), account.c_str());
        if (!HasPlugin())
            return;
        int result = Entry<IntOfWindow>("QPCFolderCreate")(window);
        Log("QPCFolderCreate(%p) -> %d", static_cast<void*>(window), result);
        if (HostOptions.initMenuOnCreate) {
            Entry<InitMenuFn>("QPCFolderInitMenu")(0, GetMenu(window), 101);
            Log("QPCFolderInitMenu(%p, 101)", static_cast<void*>(window));
        }
    });
    return window;
}

void CloseFolder(HWND window)
{
    Run([&] {
        if (!HasPlugin()) {
            DestroyWindow(window);
            return;
        }
        SendMessageA(window, WM_CLOSE, 0, 0);
    });
}

void SetAccount(HWND window, const std::string& account)
{
    Run([&] { FolderWindows[window].account = account; });
}

void LoadFolder(HWND window)
{
    Run([&] {
        int result = Entry<IntOfWindowValue>("QPCFolderLoad")(window, 0);
        Log("QPCFolderLoad(%p) -> %d", static_cast<void*>(window), result);
    });
}

std::vector<HWND> Folders()
{
    std::vector<HWND> windows;
    Run([&] {
        for (std::pair<const HWND, Folder>& folder : FolderWindows)
            windows.push_back(folder.first);
    });
    return windows;
}

void PostSetup(HWND window)
{
    Post([window] {
        int result = Entry<IntOfWindow>("QPCSetup")(window);
        Log("QPCSetup(%p) -> %d", static_cast<void*>(window), result);
    });
}

HWND CreateReceiveDialog(HWND owner, bool withOkButton)
{
    HWND dialog = NULL;
    Run([&] {
        static ReceiveDialogTemplate dialogTemplate;
        dialog = CreateDialogIndirectParamW(GetModuleHandleW(NULL),
                                            reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.words.data()),
                                            owner, TestDialogProc, 0);
        if (!withOkButton)
            DestroyWindow(GetDlgItem(dialog, IDOK));
        Log("test dialog %p created for %p", static_cast<void*>(dialog), static_cast<void*>(owner));
    });
    return dialog;
}

void SetBusy(bool busy)
{
    ForcedBusy = busy;
}

void SetCheckItemMode(CheckItemMode mode)
{
    ItemMode = static_cast<int>(mode);
}

HMODULE Plugin()
{
    return PluginModule;
}

void ForgetPlugin()
{
    PluginModule = NULL;
}

FARPROC PluginEntry(const char* name)
{
    if (PluginModule != NULL)
        return GetProcAddress(PluginModule, name);
    return HostOptions.linkedEntry != nullptr ? HostOptions.linkedEntry(name) : NULL;
}

std::vector<Registration> Registrations()
{
    std::lock_guard<std::mutex> lock(LogMutex);
    return Registered;
}

} // namespace standin

// ---- the host's plug-in functions ---------------------------------------
// Exported from the executable under the host's decorated names by
// host_exports.def.

using namespace standin;

extern "C" {

UINT WINAPI QPARegistCallback(void* callback, int param)
{
    UINT id;
    {
        std::lock_guard<std::mutex> lock(LogMutex);
        id = FirstCommandId + static_cast<UINT>(Registered.size());
        Registration registration = {callback, param, id};
        Registered.push_back(registration);
    }
    Log("_QPARegistCallback(%p, %d) -> %u", callback, param, id);
    return id;
}

int WINAPI QPASetTimer(int value, void* callback, HWND window)
{
    // One timer per window and callback: arming it again restarts it.
    UINT_PTR id = 0;
    for (std::pair<const UINT_PTR, Timer>& timer : Timers)
        if (timer.second.window == window && timer.second.callback == reinterpret_cast<TimerProc>(callback))
            id = timer.first;
    if (id == 0) {
        id = NextTimerId++;
        Timer timer = {window, reinterpret_cast<TimerProc>(callback), value};
        Timers[id] = timer;
    }
    SetTimer(window, id, static_cast<UINT>(value), NULL);
    Log("_QPASetTimer(%d, %p, %p) -> timer %u", value, callback, static_cast<void*>(window),
        static_cast<unsigned>(id));
    return static_cast<int>(id);
}

int WINAPI QPAKillTimer(int id)
{
    Log("_QPAKillTimer(%d)", id);
    std::map<UINT_PTR, Timer>::iterator it = Timers.find(static_cast<UINT_PTR>(id));
    if (it == Timers.end())
        return 0;
    KillTimer(it->second.window, it->first);
    Timers.erase(it);
    return 1;
}

int WINAPI QPAIsBusy()
{
    return IsBusy() ? 1 : 0;
}

const char* WINAPI QPAGetAccount(HWND window)
{
    // The host owns the string; it stays valid while the window lives.
    static const char none[] = "";
    std::map<HWND, Folder>::iterator it = FolderWindows.find(window);
    return it != FolderWindows.end() ? it->second.account.c_str() : none;
}

#define UNUSED_HOST_FUNCTION(name, parameters)                                                      \
    int WINAPI name parameters                                                                      \
    {                                                                                               \
        Log("unexpected call of %s", #name);                                                        \
        return 0;                                                                                   \
    }

UNUSED_HOST_FUNCTION(QPAExecQVMail, (int))
UNUSED_HOST_FUNCTION(QPAGetMailbox, ())
UNUSED_HOST_FUNCTION(QPAGetFolderName, (int))
UNUSED_HOST_FUNCTION(QPAImportFile, (int, int, int))
UNUSED_HOST_FUNCTION(QPASaveMail, (int, int, int, int))
UNUSED_HOST_FUNCTION(QPAMoveMail, (int, int))
UNUSED_HOST_FUNCTION(QPAMarkMail, (int, int, int))
UNUSED_HOST_FUNCTION(QPADeleteMail, (int))
UNUSED_HOST_FUNCTION(QPAFolderGetCurrentFolder, (int))
UNUSED_HOST_FUNCTION(QPAFolderGetCurrentEntry, (int))
UNUSED_HOST_FUNCTION(QPAFolderGetSelectEntry, (int, int))
UNUSED_HOST_FUNCTION(QPAFolderChangePassword, (int, int))
UNUSED_HOST_FUNCTION(QPAFolderMailTo, (int, int))
UNUSED_HOST_FUNCTION(QPAFolderReply, (int, int))
UNUSED_HOST_FUNCTION(QPAFolderForward, (int, int))
UNUSED_HOST_FUNCTION(QPAFolderOpenMail, (int, int, int))
UNUSED_HOST_FUNCTION(QPASendGetText, (int, int))
UNUSED_HOST_FUNCTION(QPASendGetHeader, (int))
UNUSED_HOST_FUNCTION(QPASendSetText, (int, int))
UNUSED_HOST_FUNCTION(QPASendSetHeader, (int, int))
UNUSED_HOST_FUNCTION(QPASendGetEditor, (int))
UNUSED_HOST_FUNCTION(QPAViewGetText, (int))
UNUSED_HOST_FUNCTION(QPAViewGetHeader, (int))
UNUSED_HOST_FUNCTION(QPAViewSetText, (int, int))
UNUSED_HOST_FUNCTION(QPAViewGetPath, (int))
UNUSED_HOST_FUNCTION(QPAViewGetEditor, (int))
UNUSED_HOST_FUNCTION(QPAViewChangeMail, (int, int))
UNUSED_HOST_FUNCTION(QPASjisToJis, (int, int, int))
UNUSED_HOST_FUNCTION(QPAJisToSjis, (int, int, int))

} // extern "C"
