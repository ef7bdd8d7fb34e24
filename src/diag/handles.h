// Owning wrappers for the system objects the plug-in holds: one owner each,
// uncopyable, with a close that may run twice. They sit at the bottom of the
// layers so that every layer can use them.
#pragma once

#include <windows.h>

// One owned value of a kind of system object. Traits give its invalid value
// and how it is closed.
template <typename Traits> class UniqueResource {
public:
    typedef typename Traits::Type Type;

    UniqueResource() : value_(Traits::Invalid()) {}
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { Close(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) : value_(other.Detach()) {}
    UniqueResource& operator=(UniqueResource&& other)
    {
        if (this != &other)
            Attach(other.Detach());
        return *this;
    }

    Type Get() const { return value_; }
    bool Valid() const { return value_ != Traits::Invalid(); }
    // Closes what is held, then holds `value`.
    void Attach(Type value)
    {
        Close();
        value_ = value;
    }
    // Gives up ownership without closing.
    Type Detach()
    {
        Type value = value_;
        value_ = Traits::Invalid();
        return value;
    }
    void Close()
    {
        if (value_ != Traits::Invalid())
            Traits::Close(value_);
        value_ = Traits::Invalid();
    }

private:
    Type value_;
};

struct KernelHandleTraits {
    typedef HANDLE Type;
    static HANDLE Invalid() { return NULL; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
// Events and threads: null when there is none.
typedef UniqueResource<KernelHandleTraits> UniqueHandle;

struct ModuleReferenceTraits {
    typedef HMODULE Type;
    static HMODULE Invalid() { return NULL; }
    static void Close(HMODULE module) { FreeLibrary(module); }
};
// A reference on a module, taken with GetModuleHandleEx. A thread that runs
// the module's code holds one and gives it back with
// FreeLibraryAndExitThread (after Detach), so the module stays mapped until
// the thread has left its code.
typedef UniqueResource<ModuleReferenceTraits> ModuleReference;

// A reference on the module that holds `address`; empty on failure.
inline ModuleReference ReferenceModuleOf(const void* address)
{
    HMODULE module = NULL;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCSTR>(address), &module))
        module = NULL;
    return ModuleReference(module);
}

// Scoped holds of an SRW lock. Nothing that can wait, send, post, sleep or
// throw runs while one is held.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

class SharedLock {
public:
    explicit SharedLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~SharedLock() { ReleaseSRWLockShared(&lock_); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SRWLOCK& lock_;
};
