// A stand-in for the mail client that hosts the plug-in. It exports the
// host's 34 plug-in functions from the executable it is linked into, and runs
// real folder windows, menus, timers and a modal receive dialog on one
// window thread of its own, as the real host does on its user-interface
// thread. Tests and the demo drive it from other threads and watch its log.
//
// Host behaviour where the plug-in leaves it open:
// - _QPARegistCallback@8 hands out identifiers from 41001 up; a WM_COMMAND
//   with one of them calls its callback with (window, 0).
// - _QPASetTimer@12(value, callback, window) arms a Win32 timer on the window
//   with a period of `value` milliseconds, one per window and callback:
//   arming it again restarts it. Each tick calls callback(timer id, window);
//   the host keeps calling until the callback returns 0, then kills it.
// - _QPAIsBusy@0 is non-zero while a retrieval runs or while a test says so.
// - The send/receive item (40040 in the "メール" popup at position 2) opens
//   the modal "メール受信" dialog owned by the folder window. The retrieval
//   takes a configurable time; when it ends the host calls
//   QPCFolderEndRetrieve for the window, and the dialog waits for OK.
// - Item 32835 in the "ツール" popup at position 3 is enabled on
//   WM_INITMENUPOPUP unless the host is busy; tests can force its state.
// - The 30 functions the plug-in never calls log their call and return 0.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace standin {

const UINT SendReceiveItemId = 40040;
const UINT CheckItemId = 32835;

enum class CheckItemMode { Normal, Grayed, Checked, Absent };

struct Options {
    std::string pluginPath = "qvpush.dll"; // empty: no plug-in module
    // A test that links the plug-in's code into itself, with pluginPath
    // empty, names its entry points here; attachLinked then runs on the
    // window thread in place of the module's load.
    FARPROC (*linkedEntry)(const char* name) = nullptr;
    void (*attachLinked)() = nullptr;
    bool initMenuOnCreate = true; // call QPCFolderInitMenu(101) for new windows
    DWORD retrievalMs = 300;      // how long a retrieval runs
    bool echoLog = false;         // copy every log line to standard output
};

// Starts the window thread, loads the plug-in there and calls QPCStartUp.
// False when the window thread could not start or the plug-in refused to
// load (the host keeps running without it).
bool Start(const Options& options = Options());
// Closes every folder window (QPCFolderClose first), frees the plug-in and
// ends the window thread.
void Stop();

// Runs a function on the window thread and waits for it. It may run a modal
// loop; other threads can still drive the windows meanwhile.
void Run(const std::function<void()>& function);
// Runs a function on the window thread later, without waiting.
void Post(const std::function<void()>& function);

// Folder windows. Open calls QPCFolderCreate and, unless switched off,
// QPCFolderInitMenu with the window's menu and 101.
HWND OpenFolder(const std::string& account);
void CloseFolder(HWND window);             // QPCFolderClose, then the window goes
void SetAccount(HWND window, const std::string& account); // QPCFolderLoad follows with LoadFolder
void LoadFolder(HWND window);              // QPCFolderLoad(window, 0)
std::vector<HWND> Folders();
// QPCSetup(window) on the window thread, later and without waiting, since the
// settings dialog is modal; logs "QPCSetup(<window>) -> <result>" when it
// returns.
void PostSetup(HWND window);

// A modeless "メール受信" dialog owned by `owner`, with or without its OK
// button; OK logs "test dialog <handle> OK pressed" and destroys it.
HWND CreateReceiveDialog(HWND owner, bool withOkButton);

void SetBusy(bool busy);
void SetCheckItemMode(CheckItemMode mode);

HMODULE Plugin();
// The host stops calling the plug-in, as after it has freed the module
// itself; Stop then neither cleans it up nor frees it again.
void ForgetPlugin();
FARPROC PluginEntry(const char* name);

// What the host recorded of the plug-in's registrations, in order.
struct Registration {
    void* callback;
    int param;
    UINT id;
};
std::vector<Registration> Registrations();

// The log: one line per event, "hh:mm:ss.mmm text". Lines are numbered from 0
// for the life of the process.
void Log(const char* format, ...);
std::vector<std::string> LogLines();
size_t LogSize();
// Waits until a line from index `from` on contains `text`; answers its index,
// or -1 after timeoutMs.
long WaitForLog(const std::string& text, DWORD timeoutMs, size_t from = 0);
// Number of lines from index `from` on that contain `text`.
int CountLog(const std::string& text, size_t from = 0);
// Watches the log for `spanMs`: true when no line from index `from` on
// contains `text` by then; false as soon as one does.
bool NoLogFor(const std::string& text, DWORD spanMs, size_t from = 0);
// Lets `spanMs` pass on purpose: the pace a scripted peer keeps, or a span in
// which something must not happen. Never a wait for an event: wait for the
// event itself (WaitForLog, WaitUntil) instead.
void ObserveFor(DWORD spanMs);
// Polls a condition that no event announces (a count read from another
// process, a module still mapped) every 20 ms; true once it holds, false
// after timeoutMs.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
// The plug-in's trace lines from log index `from` on, as the plug-in wrote
// them ("[01]IDLE mode"), without the log's time stamp and "trace " prefix.
std::vector<std::string> TraceLines(size_t from = 0);
// The lines from index `from` on, each with the NowMs() at which it was
// logged: for measuring the time between two events to the millisecond and
// below, where the stamp in the text is too coarse.
struct TimedLine {
    double ms;
    std::string text;
};
std::vector<TimedLine> TimedLogLines(size_t from = 0);

// Copies every OutputDebugStringA line of this process (the plug-in's trace)
// into the log as "trace " followed by the line. Idempotent.
void CaptureTrace();
// Called with every captured trace line (without "trace "), on the thread
// that wrote it, once the line is in the log; an empty function removes it.
// The tracing thread waits for it, as it would for a slow debugger.
typedef std::function<void(const std::string& line)> TraceHook;
void SetTraceHook(const TraceHook& hook);
// Runs `action` once, on the thread that traces, when a captured trace line
// next contains `text`: after the line is in the log and after everything
// the capture itself allocates, so that a test can act at an exact point of
// the plug-in's work (fail the next allocation there, say). The plug-in's
// own work goes on when the action returns.
void OnTraceLine(const std::string& text, const std::function<void()>& action);

// Milliseconds on the monotonic clock that the log's entries also carry.
double NowMs();

} // namespace standin
