// A TCP relay on 127.0.0.1 in front of another port (the tests' Dovecot),
// that starts out answering no connection attempt at all: its accept queue
// is full, so the system drops further SYNs and a client's connect hangs
// until the relay opens. Open() then takes every waiting connection and
// forwards its bytes both ways to the target.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <vector>

class Relay {
public:
    explicit Relay(int targetPort);
    ~Relay(); // closes every socket and joins every thread
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    int Port() const { return port_; }
    // The accept queue was filled: connects to Port() go unanswered.
    bool Blocked() const { return blocked_; }

    // Starts accepting: the connections that fill the queue are dropped,
    // every other one is forwarded to the target.
    void Open();
    int Forwarded() const { return forwarded_; }
    // The connections forwarded so far go silent: their bytes are read and
    // dropped, both ways, and neither end is closed. Later ones forward.
    void SilenceForwarded() { silencedUpTo_ = forwarded_.load(); }

private:
    static DWORD WINAPI AcceptLoop(LPVOID parameter);
    static DWORD WINAPI Pump(LPVOID parameter);

    int targetPort_;
    int port_ = 0;
    bool blocked_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    std::vector<SOCKET> fillers_;  // our own connections that fill the queue
    std::vector<SOCKET> sockets_;  // accepted and target sockets, closed at the end
    std::vector<HANDLE> threads_;
    CRITICAL_SECTION lock_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> forwarded_{0};
    std::atomic<int> silencedUpTo_{0}; // connections numbered up to this drop their bytes
    HANDLE acceptThread_ = NULL;
};
