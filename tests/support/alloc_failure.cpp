#include "support/alloc_failure.h"

#include <windows.h>

#include <malloc.h>
#include <stdlib.h>

#include <atomic>
#include <new>

namespace alloc_failure {
namespace {

std::atomic<DWORD> ArmedThread{0};
std::atomic<int> PassLeft{0};
std::atomic<int> ArmedKind{0};
std::atomic<int> ThrownCount{0};
std::atomic<bool> ThrownSinceArmed{false};

// Throws when the calling thread is armed and its passes are used up.
void MaybeFail()
{
    if (ArmedThread.load() != GetCurrentThreadId())
        return;
    if (PassLeft.fetch_sub(1) > 0)
        return;
    ArmedThread.store(0);
    ThrownSinceArmed.store(true);
    ++ThrownCount;
    if (ArmedKind.load() == static_cast<int>(Kind::Other))
        throw InjectedFault();
    throw std::bad_alloc();
}

void* Allocate(size_t size)
{
    MaybeFail();
    void* block = malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void* AllocateAligned(size_t size, std::align_val_t alignment)
{
    MaybeFail();
    void* block = _aligned_malloc(size != 0 ? size : 1, static_cast<size_t>(alignment));
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

} // namespace

void ArmHere(Kind kind, int pass)
{
    ArmedThread.store(0);
    ThrownSinceArmed.store(false);
    ArmedKind.store(static_cast<int>(kind));
    PassLeft.store(pass);
    ArmedThread.store(GetCurrentThreadId());
}

bool Disarm()
{
    ArmedThread.store(0);
    return ThrownSinceArmed.load();
}

int Thrown()
{
    return ThrownCount.load();
}

} // namespace alloc_failure

// ---- the replaced forms ----------------------------------------------------

void* operator new(size_t size)
{
    return alloc_failure::Allocate(size);
}

void* operator new[](size_t size)
{
    return alloc_failure::Allocate(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return malloc(size != 0 ? size : 1);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return malloc(size != 0 ? size : 1);
}

void* operator new(size_t size, std::align_val_t alignment)
{
    return alloc_failure::AllocateAligned(size, alignment);
}

void* operator new[](size_t size, std::align_val_t alignment)
{
    return alloc_failure::AllocateAligned(size, alignment);
}

void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return _aligned_malloc(size != 0 ? size : 1, static_cast<size_t>(alignment));
}

void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return _aligned_malloc(size != 0 ? size : 1, static_cast<size_t>(alignment));
}

void operator delete(void* block) noexcept
{
    free(block);
}

void operator delete[](void* block) noexcept
{
    free(block);
}

void operator delete(void* block, size_t) noexcept
{
    free(block);
}

void operator delete[](void* block, size_t) noexcept
{
    free(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    free(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    free(block);
}

void operator delete(void* block, std::align_val_t) noexcept
{
    _aligned_free(block);
}

void operator delete[](void* block, std::align_val_t) noexcept
{
    _aligned_free(block);
}

void operator delete(void* block, size_t, std::align_val_t) noexcept
{
    _aligned_free(block);
}

void operator delete[](void* block, size_t, std::align_val_t) noexcept
{
    _aligned_free(block);
}

void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    _aligned_free(block);
}

void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    _aligned_free(block);
}
